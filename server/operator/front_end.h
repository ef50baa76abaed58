// The operator's front ends in this process, as the operator process drives
// them: the console (console.h), a script of one agent (script.h) and a
// script on a set of agents (fanout_front.h). What they all do the same way
// lives here: standard output through one queue, its failure, the interest
// in standard input and output, the end of the session and its exit status;
// and, for the scripts, the command lines of standard input.
//
// Threading: single-threaded, on the event loop's thread. A front end owns
// its output queue and registers itself with the agents' service for as
// long as it lives.
#pragma once

#include "core/event_loop.h"
#include "core/exit_status.h"
#include "core/output_queue.h"
#include "hub/agent_service.h"
#include "operator/notice_limiter.h"

#include <cstdint>
#include <optional>
#include <string>

namespace cliserver {

class FrontEnd {
  public:
    FrontEnd(EventLoop &loop, AgentService &hub);
    virtual ~FrontEnd();
    FrontEnd(const FrontEnd &) = delete;
    FrontEnd &operator=(const FrontEnd &) = delete;

    // Starts watching standard input and output, then greets the operator.
    void start();
    // Runs before each wait: the next line of a script, or the prompt.
    void before_wait();
    // Runs after the ready handlers: writes what output the terminal takes.
    void after_events();
    virtual void on_interrupt_signal() = 0;          // SIGINT
    virtual void on_terminate_signal(int signo) = 0; // SIGTERM, SIGHUP
    // The agents cannot be reached any more: ends the session.
    void abort_session(ExitStatus status, const std::string &message) { fail(status, message); }
    // A message of the session's own (the resident server went and came back).
    void tell(Notice kind, const std::string &text) { notice(kind, text); }
    // Gives the terminal its normal mode back (before the goodbyes).
    virtual void finish() {}
    // Writes the remaining output (and the console's history, last of all).
    virtual void drain_and_close();

    bool stopped() const { return stop_; }
    // A session that ended well, in which some command completed as a
    // failure, says so; every other ending takes precedence.
    int exit_status() const {
        return exit_status_ == exit_code(ExitStatus::kCompleted) && command_failed_
                   ? exit_code(ExitStatus::kCommandFailed)
                   : exit_status_;
    }

  protected:
    virtual void begin() = 0;
    // The front end's step before the wait (the session is not over).
    virtual void advance() = 0;
    virtual void on_stdin() = 0;
    virtual bool wants_stdin() const = 0;
    // The output crossed its high-water mark (either way, perhaps and back):
    // tells the agents' service, for each client of it that shares the output.
    virtual void report_congestion() = 0;
    // Standard output failed: work still running is given up.
    virtual void output_failed() {}
    // A message of the server's: a script gets warnings and errors on
    // standard error, after the output before them, and no information.
    virtual void notice(Notice kind, const std::string &text);
    // Whether notice() shows notices of this kind (a script: no information).
    virtual bool shows(Notice kind) const { return kind != Notice::kInfo; }
    // A notice the operator did not ask for (notice_limiter.h).
    void unsolicited_notice(Notice kind, const std::string &text);

    void fail(ExitStatus status, const std::string &message);
    // A command completed, but not as asked (a non-zero result, a refused prompt).
    void note_command_failure() { command_failed_ = true; }
    void stop_with(int status);
    void emit(std::string_view bytes);
    // The lines the agents' service says of agents that go.
    void agent_lost_notice(const AgentView &a, const std::string &why, Notice kind);

    EventLoop &loop_;
    AgentService &agents_;
    OutputQueue out_;
    bool stop_ = false;
    int exit_status_ = 0;

  private:
    void update_interest();
    void check_output();

    bool output_failed_ = false; // reported once
    bool command_failed_ = false;
    NoticeLimiter unsolicited_;
};

// Command lines on standard input, for the scripts: read as they come, taken
// one at a time (the last without its newline).
class StdinLines {
  public:
    // False at the end of input (or on an error).
    bool read();
    std::optional<std::string> take();
    bool has_line() const { return buf_.find('\n') != std::string::npos; }
    bool eof() const { return eof_; }
    void set_eof() { eof_ = true; }

  private:
    std::string buf_;
    bool eof_ = false;
};

} // namespace cliserver
