// What the console and a script of one agent share: the server's own
// commands (help, ls, attach, quit), where each line goes (the attached
// agent, the agent it waits for, or at the console a set of agents), and the
// one command the operator waits for, with its output, prompts and end.
// The console also has sets (attach PATTERN, --all) and learns an attached
// agent's command names for completion; a script has neither. Where the two
// show things differently (a refusal is a message at the terminal but the
// end of a script, a prompt is shown in the line editor or printed) they
// answer the hooks below.
//
// Threading: single-threaded, on the event loop's thread.
#pragma once

#include "core/text.h"
#include "hub/agent_selection.h"
#include "operator/fanout.h"
#include "operator/front_end.h"
#include "operator/operator_options.h"

#include <unistd.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace cliserver {

class ServerCommands : public FrontEnd, public HubClient {
  public:
    // opts.agent: the agent (NAME|ID; at the console also a PATTERN, as is
    // --all) to attach to once it is there, or empty.
    enum class Seat { kConsole, kScript };
    ServerCommands(EventLoop &loop, AgentService &hub, const OperatorOptions &opts, Seat seat);
    ~ServerCommands() override;

    // HubClient
    void on_agent_greeted(AgentView &a) override;
    void on_agent_lost(AgentView &a, const std::string &why, Notice kind) override;
    void on_hub_notice(Notice kind, const std::string &text) override {
        unsolicited_notice(kind, text);
    }
    void on_output(const Request &r, std::string_view bytes) override;
    bool on_prompt(const Request &r, const std::string &text) override;
    void on_done(const Request &r) override;
    bool congested() const override { return out_.over_high_water(); }
    void on_queued(const Request &r, size_t ahead) override;

  protected:
    // The one command the operator is waiting for.
    struct Pending {
        RequestId id = 0;
        uint64_t agent = 0;
        bool prompt_pending = false;
        bool hidden = false;         // output only feeds `listing`, nothing is shown
        bool learn = false;          // output is a help listing to learn command names from
        bool holds_prompt = true;    // the operator waits for it (no prompt meanwhile)
        bool listing_agents = false; // ls: waiting for the rows, no request at all
        std::string listing;
    };

    // An operator's line that cannot be carried out.
    virtual void refuse(const std::string &message) = 0;
    // The agent's prompt, for the operator to answer.
    virtual void show_prompt(const std::string &text) = 0;
    // The command of an agent that went had started and is lost.
    virtual void command_broken(const AgentView &a) = 0;
    // No agent of that name is there yet; attaching when it comes (a
    // script's line waits for it).
    virtual void await_target(const std::string &wanted) = 0;
    // Output is about to take the terminal from the line editor.
    virtual void yield_terminal() {}
    // The wait for the target ended: attached, or given up as ambiguous.
    virtual void target_settled(bool /*attached*/) {}
    // The command waited for ended (r.result: the agent's, when it reports
    // one), or the resident server's access policy refused it (r.denied; the
    // operator has been told unless it was hidden).
    virtual void command_finished(bool /*hidden*/, const Request & /*r*/) {}

    void report_congestion() override;

    AgentView *attached_agent();
    // Sets the agent to (re)attach to; false (refused) when the word is no
    // selector (agent_selection.h).
    bool set_target(const std::string &wanted);
    void try_attach_target();
    // describe(a), with its owner unless that is root or the operator.
    static std::string describe_for_client(const AgentView &a) {
        return describe_owned(a, getuid());
    }
    // How the operator names an agent here, in advice.
    const char *selector_option() const { return seat_ == Seat::kConsole ? "attach" : "--agent"; }
    void run_line(const std::string &line);
    // False (refused: the prompt stays open) for a reply too long to send.
    bool answer_prompt(const std::string &reply);
    bool current_sent() const;
    void submit(AgentView &a, const std::string &line, bool hidden, bool learn,
                bool holds_prompt = true);
    std::string paint(const char *sgr, const std::string &text) const;
    // The set each line runs on (attach PATTERN, --all), or empty.
    const std::string &set_pattern() const { return set_pattern_; }
    bool set_running() const { return set_run_ && set_run_->running(); }
    // Ctrl-C at the console: stops waiting for the set's line or for the
    // command that holds the prompt; false if neither was waited for.
    bool stop_waiting();
    // A script's line waits for its agent to connect.
    bool line_waiting() const { return waiting_line_.has_value(); }
    // Standard output is a terminal: what agents print is shown with its
    // control characters made visible (core/text.h); to a pipe or a file it
    // goes byte for byte.
    bool terminal_out() const { return terminal_out_; }

    uint64_t attached_ = 0; // serial of the attached agent, 0 if none
    std::string target_;    // the word of the agent to (re)attach to when it connects
    std::optional<AgentSelector> target_sel_; // target_, parsed
    // Set by the first attach to the target: whose agent it was. Only an
    // agent of that owner is attached again.
    bool owner_fixed_ = false;
    std::optional<uid_t> attached_owner_;
    std::set<uint64_t> told_; // agents the operator heard were not attached
    std::optional<Pending> current_;
    PrintableStream shown_;
    bool color_ = false;

  private:
    void attach_to(AgentView &a, bool by_operator);
    void learn_commands(AgentView &a, bool by_operator);
    void attach_target_now();
    bool run_server_command(const std::string &line);
    void cmd_help();
    void cmd_ls();
    void show_rows(const std::vector<AgentRow> &rows);
    void cmd_attach(const std::vector<std::string> &args);
    void send_to_attached(const std::string &line, bool learn);
    // attach PATTERN; a script selects its set on the command line instead.
    void attach_set(const std::string &wanted);
    // attach NAME (say false) or a bare attach (say true) leaves a set.
    void leave_set(bool say);
    // The line goes to a set of agents instead of the attached one.
    bool send_to_set(const std::string &line);
    Selection select_set();

    Seat seat_;
    bool terminal_out_ = false;
    // At the console: attached to every agent matching set_pattern_ (when
    // not empty); each line runs on those connected at the time.
    std::optional<FanoutRun> set_run_;
    std::string set_pattern_;
    std::optional<AgentSelector> set_sel_;    // set_pattern_, parsed
    std::optional<std::string> waiting_line_; // a script's line, run once the agent is there
};

} // namespace cliserver
