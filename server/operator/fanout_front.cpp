// The fan-out's front end: the script's lines from standard input, signals,
// and the exit status FanoutScript decides.
#include "operator/fanout_front.h"

#include <unistd.h>

#include "core/text.h"

namespace cliserver {

FanoutFront::FanoutFront(const OperatorOptions &opts, EventLoop &loop, AgentService &hub)
    : FrontEnd(loop, hub),
      script_(opts, loop, hub, out_, [this](Notice k, const std::string &t) { notice(k, t); }) {
    agents_.add_observer(this);
}

FanoutFront::~FanoutFront() {
    agents_.remove_observer(this);
}

// Scripts show no information, such as an agent's arrival.
// The text is not even made when it would not be shown: thousands of agents
// connect while a fan-out gathers them.
void FanoutFront::on_agent_greeted(AgentView &a) {
    if (!shows(Notice::kInfo)) return;
    unsolicited_notice(Notice::kInfo, describe_owned(a, getuid()) + " connected");
}

void FanoutFront::on_stdin() {
    if (!input_.read()) input_.set_eof();
}

void FanoutFront::on_interrupt_signal() {
    script_.interrupt();
    fail(ExitStatus::kInterrupted, "interrupted");
}

void FanoutFront::on_terminate_signal(int signo) {
    if (stop_) return;
    script_.interrupt();
    stop_with(signal_exit_code(signo));
}

// The whole script runs on each agent: the lines of standard input are all
// read before it starts, up to a quit.
void FanoutFront::advance() {
    if (!script_.has_lines() && input_.eof()) {
        std::vector<std::string> lines;
        while (auto line = input_.take()) {
            size_t first = line->find_first_not_of(" \t");
            if (first == std::string::npos || (*line)[first] == '#') continue;
            const auto words = split_words(*line);
            if (words.size() == 1 && (words[0] == "quit" || words[0] == "exit")) break;
            lines.push_back(std::move(*line));
        }
        script_.set_lines(std::move(lines));
    }
    if (script_.finished() && !stop_) stop_with(script_.exit_status());
}

} // namespace cliserver
