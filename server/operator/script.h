// A script of one agent: the -c lines, or the command lines of standard
// input, each run to its end before the next; prompts are answered from the
// lines that follow. The agent may be late or between connections: a line
// for it waits up to --wait seconds.
//
// Threading: single-threaded, on the event loop's thread.
#pragma once

#include "operator/operator_options.h"
#include "operator/request_deadlines.h"
#include "operator/server_commands.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string>

namespace cliserver {

class Script final : public ServerCommands {
  public:
    Script(const OperatorOptions &opts, EventLoop &loop, AgentService &hub);
    ~Script() override;

    void on_interrupt_signal() override;
    void on_terminate_signal(int signo) override;

  private:
    // FrontEnd
    void begin() override;
    void advance() override;
    void on_stdin() override;
    bool wants_stdin() const override;

    // ServerCommands
    void refuse(const std::string &message) override;
    void show_prompt(const std::string &text) override;
    void command_broken(const AgentView &a) override;
    // The agent is not there yet, or between connections: it gets --wait seconds.
    void await_target(const std::string &) override { set_wait_deadline(); }
    void target_settled(bool) override { wait_deadline_.reset(); }
    void command_finished(bool hidden, const Request &r) override;

    bool answer_from_input();
    std::optional<std::string> next_line();
    void set_wait_deadline();
    void check_deadline();
    void time_out(RequestId id);
    void end_of_script();
    void follow_deadline();

    bool from_stdin_; // no -c: the lines come from standard input
    uint32_t wait_seconds_;
    std::string standalone_note_;    // for "did not connect"
    std::deque<std::string> script_; // -c commands still to run
    StdinLines input_;
    std::optional<std::chrono::steady_clock::time_point> wait_deadline_;
    RequestDeadlines deadlines_; // --timeout of each command
    RequestId armed_ = 0;        // the request whose deadline runs
    bool incomplete_ = false;    // some command ran out of time or was denied
};

} // namespace cliserver
