// The operator side of cli-server in this process: the interactive console
// (line editing, prompts, Ctrl-C, colours) and the script runner (-c lines
// or command lines on standard input). It is one client of the agents'
// service (the hub in this process, or the resident server through its
// socket); the server's own commands (help, ls, attach, quit) are carried
// out here, so they read the same in both.
//
// Files: operator_commands.cpp (lines, server commands, the request being
// waited for), operator_console.cpp (terminal), operator_script.cpp
// (scripting mode).
//
// Threading: single-threaded, on the event loop's thread.
#pragma once

#include "hub/agent_service.h"
#include "core/event_loop.h"
#include "operator/line_editor.h"
#include "operator/operator_options.h"
#include "core/output_queue.h"
#include "core/text.h"

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cliserver {

class FanoutRun;
class FanoutScript;

class LocalOperator : public HubClient {
  public:
    // The exit status when standard output cannot be written.
    static constexpr int kOutputFailed = 5;

    LocalOperator(OperatorOptions opts, EventLoop &loop, AgentService &hub);
    ~LocalOperator() override;
    LocalOperator(const LocalOperator &) = delete;
    LocalOperator &operator=(const LocalOperator &) = delete;

    // Greets the operator and starts watching standard input and output.
    void start();
    // Runs before each wait: the next script line, or the console's prompt.
    void before_wait();
    // Runs after the ready handlers: writes what output the terminal takes.
    void after_events();
    void on_interrupt_signal(); // SIGINT
    void on_terminate_signal(int signo);
    // The agents cannot be reached any more: ends the session.
    void abort_session(int status, const std::string &message) { fail(status, message); }
    // Gives the terminal its normal mode back (before the goodbyes).
    void finish();
    // Writes the remaining output and the history (last of all).
    void drain_and_close();

    bool stopped() const { return stop_; }
    int exit_status() const { return exit_status_; }
    bool interactive() const { return interactive_; }

    // HubClient
    void on_agent_greeted(AgentView &a) override;
    void on_agent_lost(AgentView &a, const std::string &why, Notice kind) override;
    void on_output(const Request &r, std::string_view bytes) override;
    bool on_prompt(const Request &r, const std::string &text) override;
    void on_done(const Request &r) override;
    bool congested() const override { return out_.over_high_water(); }
    void on_hub_notice(Notice kind, const std::string &text) override;
    void on_queued(const Request &r, size_t ahead) override;

  private:
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

    // operator_commands.cpp
    AgentView *attached_agent();
    void attach_to(AgentView &a, bool by_operator);
    void try_attach_target();
    static std::string ambiguity(const std::string &wanted, const std::vector<AgentView *> &found);
    void on_line(std::optional<std::string> line);
    void run_line(const std::string &line);
    bool run_server_command(const std::string &line);
    void cmd_help();
    void cmd_ls();
    void show_rows(const std::vector<AgentRow> &rows);
    void cmd_attach(const std::vector<std::string> &args);
    void cmd_quit();
    void send_to_attached(const std::string &line, bool learn);
    void submit(AgentView &a, const std::string &line, bool hidden, bool learn,
                bool holds_prompt = true);
    bool current_sent() const;
    bool set_running() const;
    void send_to_set(const std::string &line);
    void interrupt();
    void answer_prompt(const std::string &reply);
    void refuse(const std::string &message);
    void fail(int status, const std::string &message);

    // operator_script.cpp
    void advance_script();
    bool read_stdin();
    std::optional<std::string> take_stdin_line();
    bool wants_stdin() const;
    void set_wait_deadline();
    void check_deadline();
    void advance_fanout();

    // operator_console.cpp
    void on_stdin(uint32_t events);
    void check_output();
    void update_interest();
    void report_congestion();
    void refresh_editor();
    std::string prompt_text();
    std::vector<std::string> complete(std::string_view before);
    void notice(Notice kind, const std::string &text);
    void emit(std::string_view bytes);
    std::string paint(const char *sgr, const std::string &text) const;

    OperatorOptions opts_;
    EventLoop &loop_;
    AgentService &hub_;
    bool interactive_ = false;
    bool color_ = false;
    // Standard output is a terminal: what agents print is shown with its
    // control characters made visible (server_text.h); to a pipe or a file
    // it goes byte for byte.
    bool terminal_out_ = false;
    PrintableStream shown_;
    OutputQueue out_;
    bool was_congested_ = false;
    std::unique_ptr<LineEditor> editor_;

    uint64_t attached_ = 0; // serial of the attached agent, 0 if none
    std::string target_;    // NAME|ID to (re)attach to when it connects
    std::optional<Pending> current_;

    // Scripting mode.
    std::deque<std::string> script_; // -c commands still to run
    std::string stdin_buf_;
    bool stdin_eof_ = false;
    std::optional<std::chrono::steady_clock::time_point> wait_deadline_;
    std::optional<std::string> waiting_line_; // line to run once the agent is there

    // Scripting mode on a set of agents (operator_fanout.h), else null.
    std::unique_ptr<FanoutScript> fanout_;
    // Interactive: attached to every agent matching set_pattern_ (when not
    // empty); each line runs on those connected at the time.
    std::unique_ptr<FanoutRun> set_run_;
    std::string set_pattern_;

    bool stop_ = false;
    bool output_failed_ = false; // reported once
    int exit_status_ = 0;
};

} // namespace cliserver
