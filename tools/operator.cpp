// The operator's side of the server: command lines from the terminal or a
// script, the server's own commands, prompts, Ctrl-C and what the terminal
// shows.
#include "server.h"
#include "server_text.h"

#include "cli_common.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace cliserver {

namespace {

using steady = std::chrono::steady_clock;

constexpr size_t kMaxReply = CLI_FRAME_MAX_DATA;
const char *const kServerCommands[] = {"help", "ls", "attach", "quit", "exit"};

} // namespace

// ---------------------------------------------------------------- operator

void Server::on_line(std::optional<std::string> line) {
    if (!line) {
        if (current_ && current_->prompt_pending) {
            answer_prompt("");
            return;
        }
        if (interactive_) emit("\n");
        cmd_quit();
        return;
    }
    if (current_ && current_->prompt_pending) {
        answer_prompt(*line);
        return;
    }
    if (editor_) editor_->remember(*line);
    run_line(*line);
}

void Server::answer_prompt(const std::string &reply) {
    if (reply.size() > kMaxReply) {
        refuse("reply of " + std::to_string(reply.size()) +
               " bytes is too long (at most 65536); not sent");
        if (editor_) editor_->show("> ");
        return;
    }
    Agent *a = find_agent(current_->agent);
    current_->prompt_pending = false;
    if (a) send_to(*a, CLI_FRAME_INPUT, current_->req_id, reply);
}

void Server::run_line(const std::string &line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    if (run_server_command(line)) return;
    send_to_attached(line, false);
}

// Server commands are exactly the names an agent can never register.
bool Server::run_server_command(const std::string &line) {
    auto words = split_words(line);
    if (words.empty()) return false;
    const std::string &cmd = words[0];
    if (cmd == "help")
        cmd_help();
    else if (cmd == "ls")
        cmd_ls();
    else if (cmd == "attach")
        cmd_attach(words);
    else if (cmd == "quit" || cmd == "exit")
        cmd_quit();
    else
        return false;
    return true;
}

void Server::cmd_help() {
    std::string text =
        paint("1", "Server commands:") +
        "\n"
        "  help              this list; while attached, the agent's help follows\n"
        "  ls                connected agents\n"
        "  attach NAME|ID    send command lines to that agent; bare attach detaches\n"
        "  quit, exit        say goodbye to every agent and leave\n"
        "Any other line goes to the attached agent.\n";
    emit(text);
    if (Agent *a = attached_agent()) {
        emit(paint("1", "Commands of " + describe(*a) + ":") + "\n");
        send_to_attached("help", true);
    }
}

void Server::cmd_ls() {
    size_t shown = 0;
    std::string text;
    char line[256];
    for (auto &[serial, a] : agents_) {
        if (a->closed || !a->greeted) continue;
        if (shown++ == 0) {
            std::snprintf(line, sizeof line, "  %-10s %-24s %-19s  %s", "ID", "NAME", "CONNECTED",
                          "STATE");
            text += paint("1", line) + "\n";
        }
        const char *state = a->running_req ? "busy" : "idle";
        std::snprintf(line, sizeof line, "%c %-10u %-24s %-19s  %s%s",
                      serial == attached_ ? '*' : ' ', a->id, printable(a->name).c_str(),
                      format_time(a->connected_at).c_str(), state,
                      serial == attached_ ? " (attached)" : "");
        text += line;
        text += '\n';
    }
    if (shown == 0) text = "no agents connected\n";
    emit(text);
}

void Server::cmd_attach(const std::vector<std::string> &args) {
    if (args.size() == 1) {
        if (Agent *a = attached_agent()) notice(Notice::kInfo, "detached from " + describe(*a));
        attached_ = 0;
        target_.clear();
        return;
    }
    if (args.size() > 2) {
        refuse("usage: attach NAME|ID");
        return;
    }
    const std::string &wanted = args[1];
    auto found = match_agents(wanted);
    if (found.size() > 1) {
        std::string ids;
        for (Agent *a : found)
            ids += (ids.empty() ? "" : ", ") + std::to_string(a->id);
        refuse("several agents match '" + printable(wanted) + "' (ids " + ids + "); attach by id");
        return;
    }
    target_ = wanted;
    if (found.size() == 1) {
        attach_to(*found[0], true);
        return;
    }
    attached_ = 0;
    if (interactive_) {
        notice(Notice::kWarning, "no agent '" + printable(wanted) +
                                     "' is connected (ls lists them); attaching when it connects");
    } else {
        wait_deadline_ = steady::now() + std::chrono::seconds(opts_.wait_seconds);
    }
}

void Server::cmd_quit() {
    stop_ = true;
}

void Server::send_to_attached(const std::string &line, bool learn) {
    if (line.size() > kMaxCommandLine) {
        refuse("line of " + std::to_string(line.size()) +
               " bytes is too long: agents take at most 4095; not sent");
        return;
    }
    Agent *a = attached_agent();
    if (a) {
        submit(*a, line, false, learn);
        return;
    }
    if (!interactive_ && !target_.empty()) {
        // The agent may be between connections: give it --wait seconds.
        waiting_line_ = line;
        if (!wait_deadline_)
            wait_deadline_ = steady::now() + std::chrono::seconds(opts_.wait_seconds);
        return;
    }
    if (!target_.empty())
        refuse(printable(target_) + " is not connected; the line was not sent");
    else
        refuse("no agent attached: attach NAME|ID first (ls lists the agents)");
}

void Server::submit(Agent &a, const std::string &line, bool hidden, bool learn, bool holds_prompt) {
    current_ = Request{};
    current_->agent = a.serial;
    current_->line = line;
    current_->hidden = hidden;
    current_->learn = learn;
    current_->holds_prompt = holds_prompt;
    if (editor_ && holds_prompt) editor_->hide();
    if (a.running_req != 0) {
        if (!a.running_hidden)
            notice(Notice::kInfo, describe(a) +
                                      " is still finishing an interrupted command; yours runs next "
                                      "(Ctrl-C cancels)");
        return;
    }
    dispatch(a);
}

void Server::dispatch(Agent &a) {
    if (++next_req_id_ == 0) next_req_id_ = 1;
    current_->req_id = next_req_id_;
    current_->sent = true;
    a.running_req = current_->req_id;
    a.running_hidden = current_->hidden;
    send_to(a, CLI_FRAME_COMMAND, current_->req_id, current_->line);
}

void Server::finish_request() {
    Request done = std::move(*current_);
    current_.reset();
    if (done.learn) {
        if (Agent *a = find_agent(done.agent)) a->commands = parse_help_listing(done.listing);
    }
    if (interactive_ && !done.hidden && !out_.at_line_start()) emit("\n");
}

void Server::interrupt() {
    if (!current_ || !current_->holds_prompt) {
        if (editor_) editor_->abandon_line();
        return;
    }
    Request r = std::move(*current_);
    current_.reset();
    if (editor_) editor_->hide();
    Agent *a = find_agent(r.agent);
    if (r.sent && r.prompt_pending && a) send_to(*a, CLI_FRAME_INPUT, r.req_id);
    out_.discard();
    if (r.hidden) return;
    std::string who = a ? describe(*a) : std::string("the agent");
    emit("\n"); // the terminal has echoed ^C already
    if (r.sent)
        notice(Notice::kInfo, "stopped waiting; " + who +
                                  " finishes the command on its own and its output is discarded");
    else
        notice(Notice::kInfo, "cancelled; the command was not sent");
}

// ---------------------------------------------------------------- scripting mode

bool Server::read_stdin() {
    char buf[4096];
    ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
    if (r < 0) return errno == EINTR || errno == EAGAIN;
    if (r == 0) return false;
    stdin_buf_.append(buf, static_cast<size_t>(r));
    return true;
}

std::optional<std::string> Server::take_stdin_line() {
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

// Feeds the next line to whatever waits for one: a prompt or the next command.
void Server::advance_script() {
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

// ---------------------------------------------------------------- terminal

std::string Server::paint(const char *sgr, const std::string &text) const {
    if (!color_) return text;
    return std::string("\033[") + sgr + "m" + text + "\033[0m";
}

std::string Server::prompt_text() const {
    auto wrap = [this](const char *sgr, const std::string &text) {
        if (!color_) return text;
        return std::string("\001\033[") + sgr + "m\002" + text + "\001\033[0m\002";
    };
    auto it = agents_.find(attached_);
    if (attached_ && it != agents_.end() && !it->second->closed)
        return wrap("1;36", printable(it->second->name)) + "> ";
    if (!target_.empty()) return wrap("2", "(" + printable(target_) + ")") + "> ";
    return wrap("1", "cli") + "> ";
}

void Server::refresh_editor() {
    if (!editor_ || stop_) return;
    if (current_ && current_->holds_prompt) return; // the command or its prompt owns the terminal
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

std::vector<std::string> Server::complete(std::string_view before) const {
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
        out.assign(std::begin(kServerCommands), std::end(kServerCommands));
        auto it = agents_.find(attached_);
        if (attached_ && it != agents_.end())
            out.insert(out.end(), it->second->commands.begin(), it->second->commands.end());
    } else if (words.size() == 1 && words[0] == "attach") {
        for (auto &[serial, a] : agents_)
            if (a->greeted && !a->closed && !a->name.empty()) out.push_back(a->name);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void Server::emit(std::string_view bytes) {
    out_.append(bytes);
    out_.write_available();
}

void Server::notice(Notice kind, const std::string &text) {
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
