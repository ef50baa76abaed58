// Command lines of the local operator, from the console or a script: the
// server's own commands and the one agent command the operator waits for.
#include "operator/local_operator.h"
#include "operator/fanout.h"
#include "core/text.h"

#include "core/users.h"
#include "hub/agent_owner.h"

#include "cli_common.h"
#include "protocol.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace cliserver {

namespace {

constexpr size_t kMaxReply = CLI_FRAME_MAX_DATA;
constexpr size_t kMaxListing = 256 * 1024;

std::string history_file() {
    const char *home = std::getenv("HOME");
    if (!home || !*home) return {};
    return std::string(home) + "/.cli_server_history";
}

} // namespace

LocalOperator::LocalOperator(OperatorOptions opts, EventLoop &loop, AgentService &hub)
    : opts_(std::move(opts)), loop_(loop), hub_(hub), out_(STDOUT_FILENO) {
    interactive_ = opts_.commands.empty() && isatty(STDIN_FILENO);
    const char *no_color = std::getenv("NO_COLOR");
    terminal_out_ = isatty(STDOUT_FILENO);
    color_ = terminal_out_ && no_color == nullptr; // set at all, even empty: no colour
    for (auto &c : opts_.commands)
        script_.push_back(c);
    target_ = opts_.agent;
    auto notify = [this](Notice k, const std::string &t) { notice(k, t); };
    if (!interactive_ && fans_out(opts_)) {
        fanout_ = std::make_unique<FanoutScript>(opts_, loop_, hub_, out_, notify);
        target_.clear();
    }
    if (interactive_) {
        FanoutSettings settings;
        settings.answer = opts_.answer;
        set_run_ = std::make_unique<FanoutRun>(hub_, loop_, out_, notify, settings);
        if (opts_.all || is_agent_pattern(target_)) {
            set_pattern_ = opts_.all ? "*" : target_;
            target_.clear();
        }
    }
}

LocalOperator::~LocalOperator() = default;

void LocalOperator::start() {
    loop_.watch(STDIN_FILENO, 0, [this](uint32_t ev) { on_stdin(ev); });
    loop_.watch(STDOUT_FILENO, 0, [this](uint32_t) { out_.write_available(); });
    if (fanout_) {
        fanout_->start();
    } else if (interactive_) {
        editor_ = std::make_unique<LineEditor>(
            [this](std::optional<std::string> line) { on_line(std::move(line)); },
            [this](std::string_view before) { return complete(before); }, history_file());
        std::string hello =
            "cli-server " CLI_SERVER_VERSION " " + hub_.where() + "; type help for the commands";
        if (!target_.empty()) hello += "; waiting for " + printable(target_) + " to connect";
        notice(Notice::kInfo, hello);
        // A resident server's agents were there before this console: the
        // operator hears of them as of agents that connect while it runs,
        // whichever came first.
        hub_.for_each_agent(
            [this](const AgentView &a) { notice(Notice::kInfo, describe(a) + " connected"); });
    } else if (!target_.empty()) {
        set_wait_deadline();
    }
    if (!target_.empty()) try_attach_target(); // a resident server may have it already
}

void LocalOperator::finish() {
    if (editor_) editor_->hide();
}

void LocalOperator::drain_and_close() {
    out_.drain();
    check_output();
    editor_.reset(); // writes the history
}

void LocalOperator::on_interrupt_signal() {
    if (fanout_) fanout_->interrupt();
    if (interactive_)
        interrupt();
    else
        fail(130, "interrupted");
}

void LocalOperator::on_terminate_signal(int signo) {
    if (stop_) return;
    if (interactive_) notice(Notice::kInfo, "terminated by signal; saying goodbye");
    if (fanout_) fanout_->interrupt();
    stop_ = true;
    exit_status_ = interactive_ ? 0 : 128 + signo;
}

// An operator's line that cannot be carried out: a message at the terminal,
// the end of a script.
void LocalOperator::refuse(const std::string &message) {
    if (interactive_)
        notice(Notice::kError, message);
    else
        fail(1, message);
}

void LocalOperator::fail(int status, const std::string &message) {
    notice(Notice::kError, message);
    if (!stop_) exit_status_ = status;
    stop_ = true;
}

// ---------------------------------------------------------------- agents

void LocalOperator::on_agent_greeted(AgentView &a) {
    notice(Notice::kInfo, describe(a) + " connected");
    if (!attached_ && !target_.empty()) try_attach_target();
}

void LocalOperator::on_agent_lost(AgentView &a, const std::string &why, Notice kind) {
    const std::string who = a.greeted ? describe(a) : "a connection that never said HELLO";
    if (a.greeted || kind != Notice::kInfo) notice(kind, who + " " + why);
    if (current_ && current_->agent == a.serial) {
        const bool was_running = current_sent();
        const bool hidden = current_->hidden;
        if (editor_ && current_->holds_prompt) editor_->hide();
        current_.reset();
        if (terminal_out_ && !hidden) emit(shown_.flush());
        if (was_running && !hidden) {
            if (!out_.at_line_start()) emit("\n");
            if (interactive_)
                notice(Notice::kWarning, "the command did not finish");
            else
                fail(3, describe(a) + " disconnected in the middle of a command");
        }
    }
    if (attached_ == a.serial) {
        attached_ = 0;
        if (interactive_ && !target_.empty())
            notice(Notice::kInfo, "will attach again when " + printable(target_) + " reconnects");
    }
}

void LocalOperator::on_hub_notice(Notice kind, const std::string &text) {
    notice(kind, text);
}

AgentView *LocalOperator::attached_agent() {
    if (!attached_) return nullptr;
    AgentView *a = hub_.find(attached_);
    return a && !a->closed ? a : nullptr;
}

void LocalOperator::attach_to(AgentView &a, bool by_operator) {
    attached_ = a.serial;
    notice(Notice::kInfo, "attached to " + describe(a));
    // Learn the agent's command names for completion while it is idle. An
    // attach the operator typed waits for them, so Tab works right after it;
    // one that happens on its own leaves the prompt alone.
    if (interactive_ && !current_ && a.commands.empty()) submit(a, "help", true, true, by_operator);
}

// "'dup': id 5 (user alice), id 6 (user mallory)": names are not
// authenticated, so the operator is shown whose each one is.
std::string LocalOperator::ambiguity(const std::string &wanted,
                                     const std::vector<AgentView *> &found) {
    std::string text = "several agents match '" + printable(wanted) + "':";
    for (size_t i = 0; i < found.size(); ++i)
        text += (i ? ", id " : " id ") + std::to_string(found[i]->id) + " (user " +
                uid_text(found[i]->uid) + ")";
    return text;
}

void LocalOperator::try_attach_target() {
    auto found = hub_.match(target_);
    if (found.size() > 1) {
        // Waiting cannot make it right: a second agent took the name.
        const std::string why = ambiguity(target_, found) + "; name one by its id";
        target_.clear();
        waiting_line_.reset();
        wait_deadline_.reset();
        refuse(why);
        return;
    }
    if (found.size() != 1) return;
    attach_to(*found[0], false);
    if (wait_deadline_) wait_deadline_.reset();
    if (waiting_line_) {
        std::string line = std::move(*waiting_line_);
        waiting_line_.reset();
        run_line(line);
    }
}

// ---------------------------------------------------------------- lines

void LocalOperator::on_line(std::optional<std::string> line) {
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

void LocalOperator::run_line(const std::string &line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    if (run_server_command(line)) return;
    send_to_attached(line, false);
}

// Server commands are exactly the names an agent can never register.
bool LocalOperator::run_server_command(const std::string &line) {
    auto words = split_words(line);
    if (words.empty() || !cli_protocol::is_reserved_name(words[0])) return false;
    const std::string &cmd = words[0];
    if (cmd == "help")
        cmd_help();
    else if (cmd == "ls")
        cmd_ls();
    else if (cmd == "attach")
        cmd_attach(words);
    else
        cmd_quit(); // quit, exit
    return true;
}

void LocalOperator::cmd_help() {
    std::string text =
        paint("1", "Server commands:") +
        "\n"
        "  help              this list; while attached, the agent's help follows\n"
        "  ls                connected agents\n"
        "  attach NAME|ID    send command lines to that agent; bare attach detaches\n"
        "  attach PATTERN    send each line to every agent whose name matches (db-*)\n"
        "  quit, exit        leave (standalone: after a goodbye to every agent)\n"
        "Any other line goes to the attached agent.\n";
    emit(text);
    if (AgentView *a = attached_agent()) {
        emit(paint("1", "Commands of " + describe(*a) + ":") + "\n");
        send_to_attached("help", true);
    }
}

// The rows may come from the resident server: the operator waits for them
// like for a command, so the next line's output follows the listing.
void LocalOperator::cmd_ls() {
    current_ = Pending{};
    current_->listing_agents = true;
    if (editor_) editor_->hide();
    hub_.list_agents([this](std::vector<AgentRow> rows) {
        if (!current_ || !current_->listing_agents) return; // the operator stopped waiting
        current_.reset();
        show_rows(rows);
    });
}

void LocalOperator::show_rows(const std::vector<AgentRow> &rows) {
    if (rows.empty()) {
        emit("no agents connected\n");
        return;
    }
    std::string text;
    char line[512];
    std::snprintf(line, sizeof line, "  %-10s %-24s %-19s  %-8s %-12s %-5s  %s", "ID", "NAME",
                  "CONNECTED", "PID", "USER", "QUEUE", "STATE");
    text += paint("1", line) + "\n";
    for (const AgentRow &a : rows) {
        const bool here = a.serial == attached_;
        std::string state = a.busy ? "busy" : "idle";
        if (a.busy && a.runner)
            state +=
                " (" + user_name(a.runner->uid) + " pid " + std::to_string(a.runner->pid) + ")";
        if (here) state += " (attached)";
        if (a.name_shared_across_owners) state += " (name shared by other users' agents)";
        std::snprintf(line, sizeof line, "%c %-10u %-24s %-19s  %-8s %-12s %-5u  %s",
                      here ? '*' : ' ', a.id, printable(a.name).c_str(),
                      format_time(a.connected_at).c_str(), pid_text(a.pid).c_str(),
                      uid_text(a.uid).c_str(), a.queued, state.c_str());
        text += line;
        text += '\n';
    }
    emit(text);
}

void LocalOperator::cmd_attach(const std::vector<std::string> &args) {
    if (args.size() == 1) {
        if (AgentView *a = attached_agent()) notice(Notice::kInfo, "detached from " + describe(*a));
        if (!set_pattern_.empty())
            notice(Notice::kInfo,
                   "detached from the agents matching '" + printable(set_pattern_) + "'");
        attached_ = 0;
        target_.clear();
        set_pattern_.clear();
        return;
    }
    if (args.size() > 2) {
        refuse("usage: attach NAME|ID|PATTERN");
        return;
    }
    const std::string &wanted = args[1];
    if (is_agent_pattern(wanted)) {
        if (!set_run_) {
            refuse("attach PATTERN is for the console; scripts select a set with --agent "
                   "PATTERN or --all");
            return;
        }
        attached_ = 0;
        target_.clear();
        set_pattern_ = wanted;
        const auto found = select_agents(hub_, wanted, false);
        std::string names;
        for (AgentView *a : found)
            names += (names.empty() ? "" : ", ") + describe(*a);
        notice(Notice::kInfo, "attached to the agents matching '" + printable(wanted) + "' (now " +
                                  std::to_string(found.size()) +
                                  (names.empty() ? "" : ": " + names) +
                                  "); each line runs on those connected at the time");
        return;
    }
    set_pattern_.clear();
    auto found = hub_.match(wanted);
    if (found.size() > 1) {
        refuse(ambiguity(wanted, found) + "; attach by id");
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
        set_wait_deadline();
    }
}

void LocalOperator::cmd_quit() {
    stop_ = true;
}

// ---------------------------------------------------------------- requests

void LocalOperator::send_to_attached(const std::string &line, bool learn) {
    if (line.size() > cli_protocol::command_line_max) {
        refuse("line of " + std::to_string(line.size()) +
               " bytes is too long: agents take at most " +
               std::to_string(cli_protocol::command_line_max) + "; not sent");
        return;
    }
    if (!set_pattern_.empty()) {
        send_to_set(line);
        return;
    }
    AgentView *a = attached_agent();
    if (a) {
        submit(*a, line, false, learn);
        return;
    }
    if (!interactive_ && !target_.empty()) {
        // The agent may be between connections: give it --wait seconds.
        waiting_line_ = line;
        if (!wait_deadline_) set_wait_deadline();
        return;
    }
    if (!target_.empty())
        refuse(printable(target_) + " is not connected; the line was not sent");
    else
        refuse("no agent attached: attach NAME|ID first (ls lists the agents)");
}

void LocalOperator::submit(AgentView &a, const std::string &line, bool hidden, bool learn,
                           bool holds_prompt) {
    // The console's own help, queued behind another client's command to
    // learn the agent's command names, gives way to the operator's line
    // rather than wait ahead of it (and count in its busy notice).
    if (current_ && current_->hidden && !current_->holds_prompt && !hub_.request_sent(current_->id))
        hub_.abandon(current_->id);
    current_ = Pending{};
    current_->id = hub_.new_request_id();
    current_->agent = a.serial;
    current_->hidden = hidden;
    current_->learn = learn;
    current_->holds_prompt = holds_prompt;
    if (editor_ && holds_prompt) editor_->hide();
    if (!hub_.submit(this, a, current_->id, line, hidden)) {
        current_.reset();
        refuse(describe(a) + " is gone; the line was not sent");
    }
}

void LocalOperator::on_queued(const Request &r, size_t ahead) {
    if (!current_ || current_->id != r.id || current_->hidden) return;
    const AgentView *a = hub_.find(r.agent);
    notice(Notice::kInfo, printable(a ? a->name : std::string("the agent")) + " is busy: " +
                              std::to_string(ahead) + (ahead == 1 ? " command" : " commands") +
                              " ahead (Ctrl-C cancels yours)");
}

bool LocalOperator::set_running() const {
    return set_run_ && set_run_->running();
}

void LocalOperator::send_to_set(const std::string &line) {
    const auto found = select_agents(hub_, set_pattern_, false);
    if (found.empty()) {
        refuse("no agent matching '" + printable(set_pattern_) +
               "' is connected; the line was not sent");
        return;
    }
    if (editor_) editor_->hide();
    set_run_->start(found, {line});
}

bool LocalOperator::current_sent() const {
    return current_ && !current_->listing_agents && hub_.request_sent(current_->id);
}

void LocalOperator::on_output(const Request &r, std::string_view bytes) {
    if (!current_ || current_->id != r.id) return;
    if (current_->hidden || current_->learn) {
        if (current_->listing.size() < kMaxListing) current_->listing.append(bytes);
    }
    if (!current_->hidden) emit(terminal_out_ ? shown_.feed(bytes) : std::string(bytes));
}

bool LocalOperator::on_prompt(const Request &r, const std::string &text) {
    if (!current_ || current_->id != r.id || current_->hidden) return false;
    current_->prompt_pending = true;
    if (interactive_) {
        // Every line of it is the agent's text on the operator's terminal;
        // the last one becomes the editor's prompt.
        if (terminal_out_) out_.append(shown_.flush());
        out_.drain();
        size_t nl = text.rfind('\n');
        std::string last_line = printable(nl == std::string::npos ? text : text.substr(nl + 1));
        if (nl != std::string::npos) {
            out_.append(terminal_out_ ? printable_text(text.substr(0, nl + 1))
                                      : text.substr(0, nl + 1));
            out_.drain();
        }
        editor_->show(last_line.empty() ? "> " : last_line);
    } else {
        std::string line = text;
        if (line.empty() || line.back() != '\n') line += '\n';
        emit(terminal_out_ ? shown_.feed(line) : line);
    }
    return true;
}

void LocalOperator::on_done(const Request &r) {
    if (!current_ || current_->id != r.id) return;
    Pending done = std::move(*current_);
    current_.reset();
    if (terminal_out_ && !done.hidden) emit(shown_.flush());
    if (done.learn) {
        if (AgentView *a = hub_.find(done.agent)) a->commands = parse_help_listing(done.listing);
    }
    if (interactive_ && !done.hidden && !out_.at_line_start()) emit("\n");
}

void LocalOperator::answer_prompt(const std::string &reply) {
    if (reply.size() > kMaxReply) {
        refuse("reply of " + std::to_string(reply.size()) +
               " bytes is too long (at most 65536); not sent");
        if (editor_) editor_->show("> ");
        return;
    }
    current_->prompt_pending = false;
    hub_.answer(current_->id, reply);
}

void LocalOperator::interrupt() {
    if (set_running()) {
        set_run_->interrupt();
        emit("\n");
        notice(Notice::kInfo, "stopped waiting; the agents finish the command on their own and "
                              "its output is discarded");
        return;
    }
    if (!current_ || !current_->holds_prompt) {
        if (editor_) editor_->abandon_line();
        return;
    }
    if (current_->listing_agents) {
        current_.reset();
        emit("\n");
        return;
    }
    Pending r = std::move(*current_);
    const bool sent = hub_.request_sent(r.id);
    current_.reset();
    if (editor_) editor_->hide();
    hub_.abandon(r.id);
    out_.discard();
    (void)shown_.flush();
    if (r.hidden) return;
    AgentView *a = hub_.find(r.agent);
    std::string who = a ? describe(*a) : std::string("the agent");
    emit("\n"); // the terminal has echoed ^C already
    if (sent)
        notice(Notice::kInfo, "stopped waiting; " + who +
                                  " finishes the command on its own and its output is discarded");
    else
        notice(Notice::kInfo, "cancelled; the command was not sent");
}

} // namespace cliserver
