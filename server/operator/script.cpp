// A script of one agent: its lines, the replies to prompts, the wait for
// the agent, and how a failure ends it.
#include "operator/script.h"

#include "core/text.h"

namespace cliserver {

Script::Script(const OperatorOptions &opts, EventLoop &loop, AgentService &hub)
    : ServerCommands(loop, hub, opts, Seat::kScript), from_stdin_(opts.commands.empty()),
      wait_seconds_(opts.wait_seconds), standalone_note_(standalone_note(opts)),
      script_(opts.commands.begin(), opts.commands.end()),
      deadlines_(loop, opts.timeout_seconds, [this](RequestId id) { time_out(id); }) {
    agents_.add_client(this);
}

Script::~Script() {
    agents_.remove_client(this);
}

void Script::begin() {
    const std::string wanted = target_;
    if (wanted.empty() || !set_target(wanted)) return;
    set_wait_deadline();
    try_attach_target(); // a resident server may have it already
}

void Script::on_stdin() {
    if (!input_.read()) input_.set_eof();
}

bool Script::wants_stdin() const {
    if (input_.eof() || input_.has_line()) return false;
    if (current_) return current_->prompt_pending;
    return from_stdin_ && !wait_deadline_;
}

void Script::on_interrupt_signal() {
    fail(ExitStatus::kInterrupted, "interrupted");
}

void Script::on_terminate_signal(int signo) {
    if (!stop_) stop_with(signal_exit_code(signo));
}

// A line that cannot be carried out ends the script.
void Script::refuse(const std::string &message) {
    fail(ExitStatus::kError, message);
}

void Script::show_prompt(const std::string &text) {
    std::string line = text;
    if (line.empty() || line.back() != '\n') line += '\n';
    emit(terminal_out() ? shown_.feed(line) : line);
}

void Script::command_broken(const AgentView &a) {
    fail(ExitStatus::kCommandBroken, describe(a) + " disconnected in the middle of a command");
}

// A denied command did not complete; one that completed with a non-zero
// result completed as a failure.
void Script::command_finished(bool hidden, const Request &r) {
    if (r.denied) {
        if (!hidden) incomplete_ = true;
    } else if (r.result && *r.result != 0) {
        note_command_failure();
    }
}

void Script::set_wait_deadline() {
    wait_deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds_);
    loop_.add_timer(*wait_deadline_, [this] { check_deadline(); });
}

// A timer of an earlier deadline may fire after it was met or replaced.
void Script::check_deadline() {
    if (!wait_deadline_ || std::chrono::steady_clock::now() < *wait_deadline_) return;
    wait_deadline_.reset();
    fail(ExitStatus::kAgentAbsent, "agent " + printable(target_) + " did not connect within " +
                                       std::to_string(wait_seconds_) + " s" + standalone_note_);
}

// The open prompt takes the next line of input; false while it has none.
bool Script::answer_from_input() {
    auto reply = input_.take();
    if (!reply) {
        if (!input_.eof()) return false;
        notice(Notice::kWarning, "no reply left on standard input; answering the "
                                 "prompt with an empty line");
        note_command_failure(); // it completes, but not as asked
        reply = std::string();
    }
    answer_prompt(*reply);
    return true;
}

// A command that ran out of time or was denied did not complete: the script went on, but
// it does not end as if all was well.
void Script::end_of_script() {
    stop_ = true;
    if (incomplete_ && exit_status_ == exit_code(ExitStatus::kCompleted))
        exit_status_ = exit_code(ExitStatus::kCommandBroken);
}

// The command is withdrawn or abandoned (its late output dropped, as after
// Ctrl-C), and the script goes on with its next line.
void Script::time_out(RequestId id) {
    if (!current_ || current_->id != id || stop_) return;
    agents_.time_out(id);
    const bool hidden = current_->hidden;
    current_.reset();
    if (hidden) return;
    if (terminal_out()) emit(shown_.flush());
    if (!out_.at_line_start()) emit("\n");
    incomplete_ = true;
    notice(Notice::kError, "the command did not end within " +
                               std::to_string(deadlines_.seconds()) + " s (--timeout)");
}

// The command waited for has its deadline, running from its submission
// (in this iteration); one that ended in time has none any more.
void Script::follow_deadline() {
    const RequestId now = current_ ? current_->id : 0;
    if (now == armed_) return;
    if (armed_) deadlines_.disarm(armed_);
    armed_ = now;
    if (armed_) deadlines_.arm(armed_);
}

// The next command line, comments skipped; none at the end of the script
// (which stops it) or until more input comes.
std::optional<std::string> Script::next_line() {
    if (!from_stdin_) {
        if (script_.empty()) {
            end_of_script();
            return std::nullopt;
        }
        std::string line = std::move(script_.front());
        script_.pop_front();
        return line;
    }
    while (auto line = input_.take()) {
        size_t first = line->find_first_not_of(" \t");
        if (first == std::string::npos || (*line)[first] != '#') return line;
    }
    if (input_.eof()) end_of_script();
    return std::nullopt;
}

// Feeds the next line to whatever waits for one: a prompt or the next command.
void Script::advance() {
    while (!stop_) {
        follow_deadline();
        if (wait_deadline_ && !line_waiting() && attached_agent()) wait_deadline_.reset();
        if (wait_deadline_) return;
        if (current_) {
            if (!current_->prompt_pending || !answer_from_input()) return;
            continue;
        }
        auto line = next_line();
        if (!line) return;
        run_line(*line);
    }
}

} // namespace cliserver
