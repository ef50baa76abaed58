// The console: the prompt and line editor, completion, colours, Ctrl-C, and
// the order of command output and the server's messages on the terminal.
#include "operator/console.h"

#include "core/text.h"
#include "core/users.h"

#include "protocol.h"

#include <algorithm>
#include <cstdlib>

namespace cliserver {

namespace {

std::string history_file() {
    const char *home = std::getenv("HOME");
    if (!home || !*home) return {};
    return std::string(home) + "/.cli_server_history";
}

} // namespace

Console::Console(const OperatorOptions &opts, EventLoop &loop, AgentService &hub)
    : ServerCommands(loop, hub, opts, Seat::kConsole) {
    agents_.add_client(this);
}

Console::~Console() {
    agents_.remove_client(this);
}

void Console::begin() {
    editor_ = std::make_unique<LineEditor>(
        [this](std::optional<std::string> line) { on_line(std::move(line)); },
        [this](std::string_view before) { return complete(before); }, history_file());
    const std::string wanted = target_;
    if (!wanted.empty()) set_target(wanted);
    std::string hello =
        "cli-server " CLI_SERVER_VERSION " " + agents_.where() + "; type help for the commands";
    if (!target_.empty()) hello += "; waiting for " + printable(target_) + " to connect";
    notice(Notice::kInfo, hello);
    // A resident server's agents were there before this console: the
    // operator hears of them as of agents that connect while it runs,
    // whichever came first.
    agents_.for_each_agent([this](const AgentView &a) {
        notice(Notice::kInfo, describe_for_client(a) + " connected");
    });
    if (!target_.empty()) try_attach_target(); // a resident server may have it already
}

void Console::finish() {
    if (editor_) editor_->hide();
}

void Console::drain_and_close() {
    FrontEnd::drain_and_close();
    editor_.reset(); // writes the history
}

void Console::on_stdin() {
    if (editor_ && editor_->visible()) editor_->on_readable();
}

void Console::on_interrupt_signal() {
    interrupt();
}

void Console::on_terminate_signal(int) {
    if (stop_) return;
    notice(Notice::kInfo, "terminated by signal; saying goodbye");
    stop_with(exit_code(ExitStatus::kCompleted));
}

// The open prompt takes the line (at the end of input, an empty one); a
// reply too long to send leaves it open.
void Console::on_line(std::optional<std::string> line) {
    if (current_ && current_->prompt_pending) {
        if (!answer_prompt(line.value_or("")) && editor_) editor_->show(prompt_mark_ + "> ");
        return;
    }
    if (!line) {
        emit("\n");
        stop_ = true;
        return;
    }
    if (editor_) editor_->remember(*line);
    run_line(*line);
}

// ---------------------------------------------------------------- hooks

// Every line of the prompt is the agent's text on the operator's terminal;
// the last one becomes the editor's prompt. Each starts with the agent's
// name in brackets, which no line of the console's own does (its prompt is
// "NAME> ", its notices "* " and "error: "), so an agent's prompt cannot
// pass for the console asking for its next command.
void Console::show_prompt(const std::string &text) {
    if (terminal_out()) out_.append(shown_.flush());
    out_.drain();
    const AgentView *a = current_ ? agents_.find(current_->agent) : nullptr;
    prompt_mark_ = "[" + printable(a && !a->name.empty() ? a->name : "agent") + "] ";
    size_t nl = text.rfind('\n');
    std::string last_line = printable(nl == std::string::npos ? text : text.substr(nl + 1));
    if (nl != std::string::npos) {
        std::string lines;
        size_t start = 0;
        while (start <= nl) {
            const size_t end = text.find('\n', start);
            lines += prompt_mark_ + printable(text.substr(start, end - start)) + "\n";
            start = end + 1;
        }
        out_.append(lines);
        out_.drain();
    }
    editor_->show(prompt_mark_ + (last_line.empty() ? "> " : last_line));
}

void Console::command_broken(const AgentView &) {
    notice(Notice::kWarning, "the command did not finish");
}

void Console::await_target(const std::string &wanted) {
    notice(Notice::kWarning, "no agent '" + printable(wanted) +
                                 "' is connected (ls lists them); attaching when it connects");
}

void Console::yield_terminal() {
    if (editor_) editor_->hide();
}

// A failure's result follows the output, dim, on a line of its own.
void Console::command_finished(bool hidden, const Request &r) {
    if (hidden || r.denied) return;
    if (!out_.at_line_start()) emit("\n");
    if (r.result && *r.result != 0) emit(paint("2", "result " + std::to_string(*r.result)) + "\n");
}

// Ctrl-C with nothing to stop waiting for drops the line being typed.
void Console::interrupt() {
    if (!stop_waiting() && editor_) editor_->abandon_line();
}

// ---------------------------------------------------------------- terminal

std::string Console::prompt_text() {
    auto wrap = [this](const char *sgr, const std::string &text) {
        if (!color_) return text;
        return std::string("\001\033[") + sgr + "m\002" + text + "\001\033[0m\002";
    };
    if (AgentView *a = attached_agent()) return wrap("1;36", printable(a->name)) + "> ";
    if (!set_pattern().empty()) return wrap("1;36", printable(set_pattern())) + "> ";
    if (!target_.empty()) return wrap("2", "(" + printable(target_) + ")") + "> ";
    return wrap("1", "cli") + "> ";
}

void Console::advance() {
    refresh_editor();
}

void Console::refresh_editor() {
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

std::vector<std::string> Console::complete(std::string_view before) {
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
            if (AgentView *a = agents_.find(attached_))
                out.insert(out.end(), a->commands.begin(), a->commands.end());
        }
    } else if (words.size() == 1 && words[0] == "attach") {
        // Each name, and each with its owner (NAME@USER), which another
        // user's agent cannot take.
        agents_.for_each_agent([&](const AgentView &a) {
            if (a.name.empty() || a.name.find('@') != std::string::npos) return;
            out.push_back(a.name);
            if (a.uid) out.push_back(a.name + "@" + uid_text(a.uid));
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

void Console::notice(Notice kind, const std::string &text) {
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
