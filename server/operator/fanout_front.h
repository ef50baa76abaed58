// A script on a set of agents (--all, --agent PATTERN, --json, --answer):
// the front end around FanoutScript. The lines of standard input, when
// there is no -c, are all read before it starts; the script's end decides
// the exit status.
//
// Threading: single-threaded, on the event loop's thread; it owns the
// FanoutScript, which submits the commands, and hears of agents only to
// report their losses and the service's messages.
#pragma once

#include "operator/fanout.h"
#include "operator/front_end.h"
#include "operator/operator_options.h"

namespace cliserver {

class FanoutFront final : public FrontEnd, public AgentEvents {
  public:
    FanoutFront(const OperatorOptions &opts, EventLoop &loop, AgentService &hub);
    ~FanoutFront() override;

    void on_interrupt_signal() override;
    void on_terminate_signal(int signo) override;

    // AgentEvents
    void on_agent_greeted(AgentView &a) override;
    void on_agent_lost(AgentView &a, const std::string &why, Notice kind) override {
        agent_lost_notice(a, why, kind);
    }
    void on_hub_notice(Notice kind, const std::string &text) override {
        unsolicited_notice(kind, text);
    }

  private:
    void begin() override { script_.start(); }
    void advance() override;
    void on_stdin() override;
    bool wants_stdin() const override { return !input_.eof() && !script_.has_lines(); }
    void report_congestion() override { script_.report_congestion(); }
    void output_failed() override { script_.interrupt(); }

    FanoutScript script_;
    StdinLines input_;
};

} // namespace cliserver
