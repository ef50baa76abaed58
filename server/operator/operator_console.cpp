// The local operator's terminal: the prompt and line editor, completion,
// colours, and the order of command output and the server's messages.
#include "operator/local_operator.h"
#include "operator/fanout.h"
#include "core/text.h"

#include "protocol.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace cliserver {

void LocalOperator::on_stdin(uint32_t) {
    if (stop_) return;
    if (interactive_) {
        if (editor_ && editor_->visible()) editor_->on_readable();
    } else if (!read_stdin()) {
        stdin_eof_ = true;
    }
}

// Interest in standard input and output follows what the operator waits
// for; agents feeding a congested terminal are paused through the hub.
void LocalOperator::update_interest() {
    loop_.set_interest(STDIN_FILENO, wants_stdin() ? uint32_t{EPOLLIN} : 0u);
    loop_.set_interest(STDOUT_FILENO, out_.empty() ? 0u : uint32_t{EPOLLOUT});
    report_congestion();
}

// Both edges must reach the service: one that pauses itself on seeing
// congested() (the resident server's link) waits for the word to resume,
// and output that crosses the mark and drains again within one iteration
// would otherwise never give it.
void LocalOperator::report_congestion() {
    const bool now = congested();
    if (now != was_congested_) {
        was_congested_ = now;
        hub_.congestion_changed(this);
    }
    if (fanout_) fanout_->update_congestion();
    if (set_run_) set_run_->update_congestion();
}

void LocalOperator::before_wait() {
    check_output();
    if (stop_) return;
    if (fanout_)
        advance_fanout();
    else if (interactive_)
        refresh_editor();
    else
        advance_script();
    update_interest();
}

void LocalOperator::after_events() {
    if (!out_.empty()) out_.write_available();
    check_output();
    update_interest();
}

// Output that cannot be written is an error of the whole session (a full
// disk, a reader that went away): said once, on standard error, and the
// exit status is not 0 whatever else went right.
void LocalOperator::check_output() {
    if (!out_.broken() || output_failed_) return;
    output_failed_ = true;
    const std::string line = std::string("cli-server: cannot write standard output: ") +
                             std::strerror(out_.error()) + "\n";
    ssize_t w = write(STDERR_FILENO, line.data(), line.size());
    (void)w;
    if (exit_status_ == 0) exit_status_ = kOutputFailed;
    stop_ = true;
    if (fanout_) fanout_->interrupt();
}

std::string LocalOperator::paint(const char *sgr, const std::string &text) const {
    if (!color_) return text;
    return std::string("\033[") + sgr + "m" + text + "\033[0m";
}

std::string LocalOperator::prompt_text() {
    auto wrap = [this](const char *sgr, const std::string &text) {
        if (!color_) return text;
        return std::string("\001\033[") + sgr + "m\002" + text + "\001\033[0m\002";
    };
    if (AgentView *a = attached_agent()) return wrap("1;36", printable(a->name)) + "> ";
    if (!set_pattern_.empty()) return wrap("1;36", printable(set_pattern_)) + "> ";
    if (!target_.empty()) return wrap("2", "(" + printable(target_) + ")") + "> ";
    return wrap("1", "cli") + "> ";
}

void LocalOperator::refresh_editor() {
    if (!editor_ || stop_) return;
    if (current_ && current_->holds_prompt) return; // the command or its prompt owns the terminal
    if (set_running()) return;
    if (editor_->visible()) {
        if (!current_ || !current_->prompt_pending) editor_->set_prompt(prompt_text());
        return;
    }
    out_.drain();
    if (!out_.at_line_start()) {
        out_.append("\n");
        out_.drain();
    }
    editor_->show(prompt_text());
}

std::vector<std::string> LocalOperator::complete(std::string_view before) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < before.size()) {
        size_t b = before.find_first_not_of(" \t", pos);
        if (b == std::string_view::npos) break;
        size_t e = before.find_first_of(" \t", b);
        if (e == std::string_view::npos) e = before.size();
        words.emplace_back(before.substr(b, e - b));
        pos = e;
    }
    std::vector<std::string> out;
    if (words.empty()) {
        out.assign(cli_protocol::reserved_names.begin(), cli_protocol::reserved_names.end());
        if (attached_) {
            if (AgentView *a = hub_.find(attached_))
                out.insert(out.end(), a->commands.begin(), a->commands.end());
        }
    } else if (words.size() == 1 && words[0] == "attach") {
        hub_.for_each_agent([&](const AgentView &a) {
            if (!a.name.empty()) out.push_back(a.name);
        });
    }
    // Candidates are the agents' words, and libedit lists them as they are:
    // one with a control character in it is not offered at all.
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const std::string &w) { return printable(w) != w; }),
              out.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void LocalOperator::emit(std::string_view bytes) {
    out_.append(bytes);
    out_.write_available();
    report_congestion();
}

void LocalOperator::notice(Notice kind, const std::string &text) {
    if (!interactive_) {
        if (kind == Notice::kInfo) return; // scripts get command output only
        std::string line = "cli-server: " + text + "\n";
        out_.drain(); // keep messages in order with the output before them
        ssize_t w = write(STDERR_FILENO, line.data(), line.size());
        (void)w;
        return;
    }
    const char *sgr = kind == Notice::kError ? "31" : kind == Notice::kWarning ? "33" : "2";
    std::string line = paint(sgr, (kind == Notice::kError ? "error: " : "* ") + text) + "\n";
    if (editor_ && editor_->visible()) {
        out_.drain();
        editor_->print_above(line);
    } else {
        if (!out_.at_line_start()) line.insert(0, "\n");
        emit(line);
    }
}

} // namespace cliserver
