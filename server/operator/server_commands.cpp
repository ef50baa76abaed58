// The server's own commands and the one agent command the operator waits
// for, the same from the console and from a script.
#include "operator/server_commands.h"

#include "core/users.h"
#include "operator/operator_options.h"

#include "cli_common.h"
#include "protocol.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace cliserver {

namespace {

constexpr size_t kMaxReply = CLI_FRAME_MAX_DATA;
constexpr size_t kMaxListing = 256 * 1024;

} // namespace

ServerCommands::ServerCommands(EventLoop &loop, AgentService &hub, const OperatorOptions &opts,
                               Seat seat)
    : FrontEnd(loop, hub), target_(opts.agent), seat_(seat) {
    // Parsed (and refused, if it must be) by the front end's begin().
    terminal_out_ = isatty(STDOUT_FILENO);
    color_ = terminal_out_ && std::getenv("NO_COLOR") == nullptr; // set at all, even empty
    if (seat_ != Seat::kConsole) return;
    FanoutSettings settings;
    settings.answer = opts.answer;
    set_run_.emplace(
        hub, loop, out_, [this](Notice k, const std::string &t) { notice(k, t); }, settings);
    if (opts.all || is_agent_pattern(target_)) {
        set_pattern_ = opts.all ? "*" : target_;
        target_.clear();
    }
}

ServerCommands::~ServerCommands() = default;

// Both edges must reach the service: one that pauses itself on seeing
// congested() (the resident server's link) waits for the word to resume,
// also after output that crossed the mark and drained within one iteration.
void ServerCommands::report_congestion() {
    agents_.congestion_changed(this);
    if (set_run_) set_run_->report_congestion();
}

std::string ServerCommands::paint(const char *sgr, const std::string &text) const {
    if (!color_) return text;
    return std::string("\033[") + sgr + "m" + text + "\033[0m";
}

// ---------------------------------------------------------------- agents

void ServerCommands::on_agent_greeted(AgentView &a) {
    unsolicited_notice(Notice::kInfo, describe_for_client(a) + " connected");
    if (!attached_ && !target_.empty()) try_attach_target();
}

void ServerCommands::on_agent_lost(AgentView &a, const std::string &why, Notice kind) {
    agent_lost_notice(a, why, kind);
    if (current_ && current_->agent == a.serial) {
        const bool was_running = current_sent();
        const bool hidden = current_->hidden;
        if (current_->holds_prompt) yield_terminal();
        current_.reset();
        if (terminal_out_ && !hidden) emit(shown_.flush());
        if (was_running && !hidden) {
            if (!out_.at_line_start()) emit("\n");
            command_broken(a);
        }
    }
    if (attached_ == a.serial) {
        attached_ = 0;
        if (!target_.empty())
            notice(Notice::kInfo, "will attach again when " + printable(target_) + " reconnects");
        // One of the same owner may be there already; one of another owner
        // that came first is named as not attached.
        if (target_sel_) try_attach_target();
    }
}

AgentView *ServerCommands::attached_agent() {
    if (!attached_) return nullptr;
    AgentView *a = agents_.find(attached_);
    return a && !a->closed ? a : nullptr;
}

void ServerCommands::attach_to(AgentView &a, bool by_operator) {
    attached_ = a.serial;
    if (!owner_fixed_) {
        owner_fixed_ = true;
        attached_owner_ = a.uid;
    }
    notice(Notice::kInfo, "attached to " + describe_for_client(a));
    learn_commands(a, by_operator);
}

// The console learns the agent's command names for completion while it is
// idle. An attach the operator typed waits for them, so Tab works right
// after it; one that happens on its own leaves the prompt alone.
void ServerCommands::learn_commands(AgentView &a, bool by_operator) {
    if (seat_ == Seat::kConsole && !current_ && a.commands.empty())
        submit(a, "help", true, true, by_operator);
}

// Parses the word the operator named an agent by; a word that is no
// selector is refused and forgotten.
bool ServerCommands::set_target(const std::string &wanted) {
    target_.clear();
    target_sel_.reset();
    owner_fixed_ = false;
    told_.clear();
    if (wanted.empty()) return true;
    std::string error;
    auto sel = parse_selector(wanted, &error);
    if (!sel) {
        refuse(error);
        return false;
    }
    target_ = wanted;
    target_sel_ = std::move(*sel);
    return true;
}

// A process id is known to the resident server, not to its client: the
// agents' processes are found first (the hub finds them at once).
void ServerCommands::try_attach_target() {
    if (!target_sel_) return;
    if (target_sel_->kind != AgentSelector::Kind::kPid) {
        attach_target_now();
        return;
    }
    const std::string wanted = target_;
    agents_.find_processes([this, wanted] {
        if (target_ == wanted && !attached_) attach_target_now();
    });
}

void ServerCommands::attach_target_now() {
    Selection sel = select_agents(agents_, *target_sel_);
    // Once attached, the target is that agent's owner's: an agent of
    // another owner that takes the name (or id) is not attached again.
    std::vector<AgentView *> strangers;
    if (owner_fixed_) {
        auto other = [&](AgentView *a) { return !a->uid || a->uid != attached_owner_; };
        for (AgentView *a : sel.agents)
            if (other(a)) strangers.push_back(a);
        std::erase_if(sel.agents, other);
        strangers.insert(strangers.end(), sel.left_out.begin(), sel.left_out.end());
        sel.left_out.clear();
    }
    if (sel.agents.size() > 1) {
        // Waiting cannot make it right: a second agent took the name.
        const std::string why =
            ambiguity_text(agents_, *target_sel_, sel.agents) + "; name one as shown";
        set_target({});
        waiting_line_.reset();
        target_settled(false);
        refuse(why);
        return;
    }
    if (sel.agents.size() == 1) {
        attach_to(*sel.agents[0], false);
        target_settled(true);
        if (waiting_line_) {
            std::string line = std::move(*waiting_line_);
            waiting_line_.reset();
            run_line(line);
        }
        return;
    }
    for (AgentView *a : strangers)
        if (told_.insert(a->serial).second)
            notice(Notice::kWarning, "not attaching to " + describe_with_owner(*a) + ": " +
                                         printable(target_) + " was " + uid_text(attached_owner_) +
                                         "'s agent, this one is " + uid_text(a->uid) + "'s");
    if (!sel.left_out.empty() && told_.insert(sel.left_out.back()->serial).second)
        notice(Notice::kWarning, other_owner_text(*target_sel_, sel.left_out, selector_option()));
}

// ---------------------------------------------------------------- lines

void ServerCommands::run_line(const std::string &line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    if (run_server_command(line)) return;
    send_to_attached(line, false);
}

// Server commands are exactly the names an agent can never register.
bool ServerCommands::run_server_command(const std::string &line) {
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
        stop_ = true; // quit, exit
    return true;
}

void ServerCommands::cmd_help() {
    std::string text =
        paint("1", "Server commands:") +
        "\n"
        "  help              this list; while attached, the agent's help follows\n"
        "  ls                connected agents\n"
        "  attach AGENT      send command lines to that agent; bare attach detaches\n"
        "                    (AGENT: NAME, ID, NAME@USER, ID@USER or pid:N)\n"
        "  attach PATTERN    send each line to every agent whose name matches (db-*,\n"
        "                    db-*@USER)\n"
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
void ServerCommands::cmd_ls() {
    current_ = Pending{};
    current_->listing_agents = true;
    yield_terminal();
    agents_.list_agents([this](std::vector<AgentRow> rows) {
        if (!current_ || !current_->listing_agents) return; // the operator stopped waiting
        current_.reset();
        show_rows(rows);
    });
}

void ServerCommands::show_rows(const std::vector<AgentRow> &rows) {
    if (rows.empty()) {
        emit("no agents connected\n");
        return;
    }
    std::string text;
    char line[512];
    std::snprintf(line, sizeof line, "  %-10s %-24s %-19s  %-8s %-12s %-5s  %s", "ID", "NAME",
                  "CONNECTED", "PID", "USER", "QUEUE", "STATE");
    text += paint("1", line) + "\n";
    UserNames names; // owners and runners, each read from the user database once per listing
    for (const AgentRow &a : rows) {
        const bool here = a.serial == attached_;
        std::string state = a.busy ? "busy" : "idle";
        if (a.busy && a.runner)
            state += " (" + names.of(a.runner->uid) + " pid " + std::to_string(a.runner->pid) + ")";
        if (here) state += " (attached)";
        if (a.name_shared_across_owners) state += " (name shared by other users' agents)";
        std::snprintf(line, sizeof line, "%c %-10u %-24s %-19s  %-8s %-12s %-5u  %s",
                      here ? '*' : ' ', a.id, printable(a.name).c_str(),
                      format_time(a.connected_at).c_str(), pid_text(a.pid).c_str(),
                      names.of(a.uid).c_str(), a.queued, state.c_str());
        text += line;
        text += '\n';
    }
    emit(text);
}

void ServerCommands::cmd_attach(const std::vector<std::string> &args) {
    if (args.size() == 1) {
        if (AgentView *a = attached_agent()) notice(Notice::kInfo, "detached from " + describe(*a));
        leave_set(true);
        attached_ = 0;
        target_.clear();
        return;
    }
    if (args.size() > 2) {
        refuse("usage: attach NAME|ID|PATTERN");
        return;
    }
    const std::string &wanted = args[1];
    std::string error;
    auto sel = parse_selector(wanted, &error);
    if (!sel) {
        refuse(error);
        return;
    }
    if (sel->selects_set()) {
        attach_set(wanted);
        return;
    }
    leave_set(false);
    Selection found = select_agents(agents_, *sel);
    if (found.agents.size() > 1) {
        refuse(ambiguity_text(agents_, *sel, found.agents) + "; attach one as shown");
        return;
    }
    set_target(wanted);
    attached_ = 0;
    if (found.agents.size() == 1) {
        attach_to(*found.agents[0], true);
        return;
    }
    await_target(wanted);
    // Says so when only another owner's agent matches; pid:N through a
    // resident server attaches once it has named the processes.
    try_attach_target();
}

// ---------------------------------------------------------------- requests

void ServerCommands::send_to_attached(const std::string &line, bool learn) {
    if (line.size() > cli_protocol::command_line_max) {
        refuse("line of " + std::to_string(line.size()) +
               " bytes is too long: agents take at most " +
               std::to_string(cli_protocol::command_line_max) + "; not sent");
        return;
    }
    if (send_to_set(line)) return;
    if (AgentView *a = attached_agent()) {
        submit(*a, line, false, learn);
        return;
    }
    // A script's agent may be between connections: the line waits for it.
    if (seat_ == Seat::kScript && !target_.empty()) {
        waiting_line_ = line;
        await_target(target_);
        return;
    }
    if (!target_.empty())
        refuse(printable(target_) + " is not connected; the line was not sent");
    else
        refuse("no agent attached: attach AGENT first (ls lists the agents)");
}

void ServerCommands::submit(AgentView &a, const std::string &line, bool hidden, bool learn,
                            bool holds_prompt) {
    // The console's own help, queued behind another client's command to
    // learn the agent's command names, gives way to the operator's line
    // rather than wait ahead of it (and count in its busy notice).
    if (current_ && current_->hidden && !current_->holds_prompt &&
        !agents_.request_sent(current_->id))
        agents_.abandon(current_->id);
    current_ = Pending{};
    current_->id = agents_.new_request_id();
    current_->agent = a.serial;
    current_->hidden = hidden;
    current_->learn = learn;
    current_->holds_prompt = holds_prompt;
    if (holds_prompt) yield_terminal();
    if (!agents_.submit(this, a, current_->id, line, hidden)) {
        current_.reset();
        refuse(describe(a) + " is gone; the line was not sent");
    }
}

void ServerCommands::on_queued(const Request &r, size_t ahead) {
    if (!current_ || current_->id != r.id || current_->hidden) return;
    const AgentView *a = agents_.find(r.agent);
    notice(Notice::kInfo, printable(a ? a->name : std::string("the agent")) + " is busy: " +
                              std::to_string(ahead) + (ahead == 1 ? " command" : " commands") +
                              " ahead (Ctrl-C cancels yours)");
}

bool ServerCommands::current_sent() const {
    return current_ && !current_->listing_agents && agents_.request_sent(current_->id);
}

void ServerCommands::on_output(const Request &r, std::string_view bytes) {
    if (!current_ || current_->id != r.id) return;
    if (current_->hidden || current_->learn) {
        if (current_->listing.size() < kMaxListing) current_->listing.append(bytes);
    }
    if (!current_->hidden) emit(terminal_out_ ? shown_.feed(bytes) : std::string(bytes));
}

bool ServerCommands::on_prompt(const Request &r, const std::string &text) {
    if (!current_ || current_->id != r.id || current_->hidden) return false;
    current_->prompt_pending = true;
    show_prompt(text);
    return true;
}

void ServerCommands::on_done(const Request &r) {
    if (!current_ || current_->id != r.id) return;
    Pending done = std::move(*current_);
    current_.reset();
    if (terminal_out_ && !done.hidden) emit(shown_.flush());
    if (r.denied) {
        if (!done.hidden) notice(Notice::kError, *r.denied);
    } else if (done.learn) {
        if (AgentView *a = agents_.find(done.agent)) a->commands = parse_help_listing(done.listing);
    }
    command_finished(done.hidden, r);
}

bool ServerCommands::answer_prompt(const std::string &reply) {
    if (reply.size() > kMaxReply) {
        refuse("reply of " + std::to_string(reply.size()) +
               " bytes is too long (at most 65536); not sent");
        return false;
    }
    current_->prompt_pending = false;
    agents_.answer(current_->id, reply);
    return true;
}

} // namespace cliserver
