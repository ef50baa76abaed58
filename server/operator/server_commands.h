// What the console and a script of one agent share: the server's own
// commands (help, ls, attach, quit), the attached agent, and the one command
// the operator waits for, with its output, prompts and end. Where the two
// differ (a refusal is a message at the terminal but the end of a script, a
// prompt is shown in the line editor or printed) they answer the hooks
// below; ServerCommands itself never asks which it is.
//
// Threading: single-threaded, on the event loop's thread.
#pragma once

#include "core/text.h"
#include "hub/agent_selection.h"
#include "operator/front_end.h"

#include <unistd.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace cliserver {

class ServerCommands : public FrontEnd, public HubClient {
  public:
    // target: the agent (NAME|ID) to attach to once it is there, or empty.
    ServerCommands(EventLoop &loop, AgentService &hub, std::string target);
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
    // No agent of that name is there yet; attaching when it comes.
    virtual void await_target(const std::string &wanted) = 0;
    // Output is about to take the terminal from the line editor.
    virtual void yield_terminal() {}
    virtual void attached(AgentView &, bool /*by_operator*/) {}
    virtual void attached_agent_lost() {}
    // The wait for the target ended: attached, or given up as ambiguous.
    virtual void target_settled(bool /*attached*/) {}
    // result: the agent's, when it reports one.
    virtual void command_finished(bool /*hidden*/, std::optional<int32_t> /*result*/) {}
    // The resident server's access policy refused the command; the operator
    // has been told (unless it was hidden).
    virtual void command_denied(bool /*hidden*/) {}
    // An answer the agent cannot take: the prompt is asked again.
    virtual void reply_refused() {}
    // attach PATTERN; a script selects its set on the command line instead.
    virtual void attach_set(const std::string &wanted);
    // attach NAME (say false) or a bare attach (say true) leaves a set.
    virtual void leave_set(bool /*say*/) {}
    // The line goes to a set of agents instead of the attached one.
    virtual bool send_to_set(const std::string &) { return false; }
    // No agent is attached: the line may wait for the target to connect.
    virtual bool hold_for_target(const std::string &) { return false; }

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
    // How the operator names an agent here, in advice: "--agent" or "attach".
    virtual const char *selector_option() const { return "--agent"; }
    void run_line(const std::string &line);
    void answer_prompt(const std::string &reply);
    bool current_sent() const;
    void submit(AgentView &a, const std::string &line, bool hidden, bool learn,
                bool holds_prompt = true);
    std::string paint(const char *sgr, const std::string &text) const;
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
    void attach_target_now();
    bool run_server_command(const std::string &line);
    void cmd_help();
    void cmd_ls();
    void show_rows(const std::vector<AgentRow> &rows);
    void cmd_attach(const std::vector<std::string> &args);
    void send_to_attached(const std::string &line, bool learn);

    bool terminal_out_ = false;
};

} // namespace cliserver
