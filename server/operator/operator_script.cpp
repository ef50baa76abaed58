// Scripting mode of the local operator: -c lines, or command lines on
// standard input, each run to its end before the next; prompts are answered
// from the lines that follow.
#include "operator/local_operator.h"
#include "operator/fanout.h"
#include "core/text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace cliserver {

bool LocalOperator::read_stdin() {
    char buf[4096];
    ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
    if (r < 0) return errno == EINTR || errno == EAGAIN;
    if (r == 0) return false;
    stdin_buf_.append(buf, static_cast<size_t>(r));
    return true;
}

std::optional<std::string> LocalOperator::take_stdin_line() {
    size_t nl = stdin_buf_.find('\n');
    if (nl == std::string::npos) {
        if (!stdin_eof_ || stdin_buf_.empty()) return std::nullopt;
        nl = stdin_buf_.size(); // last line without a newline
    }
    std::string line = stdin_buf_.substr(0, nl);
    stdin_buf_.erase(0, std::min(nl + 1, stdin_buf_.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool LocalOperator::wants_stdin() const {
    if (stdin_eof_) return false;
    if (fanout_) return !fanout_->has_lines();
    if (interactive_) return editor_ && editor_->visible();
    const bool line_buffered = stdin_buf_.find('\n') != std::string::npos;
    if (line_buffered) return false;
    if (current_) return current_->prompt_pending;
    return script_.empty() && opts_.commands.empty() && !wait_deadline_;
}

void LocalOperator::set_wait_deadline() {
    wait_deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(opts_.wait_seconds);
    loop_.add_timer(*wait_deadline_, [this] { check_deadline(); });
}

// A timer of an earlier deadline may fire after it was met or replaced.
void LocalOperator::check_deadline() {
    if (!wait_deadline_ || std::chrono::steady_clock::now() < *wait_deadline_) return;
    wait_deadline_.reset();
    fail(2, "agent " + printable(target_) + " did not connect within " +
                std::to_string(opts_.wait_seconds) + " s");
}

// A fan-out runs the whole script on each agent: the lines of standard
// input are all read before it starts.
void LocalOperator::advance_fanout() {
    if (!fanout_->has_lines() && stdin_eof_) {
        std::vector<std::string> lines;
        while (auto line = take_stdin_line()) {
            size_t first = line->find_first_not_of(" \t");
            if (first == std::string::npos || (*line)[first] == '#') continue;
            const auto words = split_words(*line);
            if (words.size() == 1 && (words[0] == "quit" || words[0] == "exit")) break;
            lines.push_back(std::move(*line));
        }
        fanout_->set_lines(std::move(lines));
    }
    if (fanout_->finished() && !stop_) {
        exit_status_ = fanout_->exit_status();
        stop_ = true;
    }
}

// Feeds the next line to whatever waits for one: a prompt or the next command.
void LocalOperator::advance_script() {
    while (!stop_) {
        if (wait_deadline_ && !waiting_line_ && attached_agent()) wait_deadline_.reset();
        if (wait_deadline_) return;
        if (current_) {
            if (!current_->prompt_pending) return;
            auto reply = take_stdin_line();
            if (!reply) {
                if (!stdin_eof_) return;
                notice(Notice::kWarning, "no reply left on standard input; answering the "
                                         "prompt with an empty line");
                reply = std::string();
            }
            answer_prompt(*reply);
            continue;
        }
        std::optional<std::string> line;
        if (!opts_.commands.empty()) {
            if (script_.empty()) {
                stop_ = true;
                return;
            }
            line = std::move(script_.front());
            script_.pop_front();
        } else {
            line = take_stdin_line();
            if (!line) {
                if (stdin_eof_) stop_ = true;
                return;
            }
            size_t first = line->find_first_not_of(" \t");
            if (first != std::string::npos && (*line)[first] == '#') continue; // comment
        }
        run_line(*line);
    }
}

} // namespace cliserver
