// The server's commands at the console: the set of agents each line runs on
// (attach PATTERN, --all), through a FanoutRun of its own, and Ctrl-C, which
// stops waiting for a line.
#include "operator/server_commands.h"

#include "core/text.h"

namespace cliserver {

void ServerCommands::attach_set(const std::string &wanted) {
    if (!set_run_) {
        refuse("attach PATTERN is for the console; scripts select a set with --agent "
               "PATTERN or --all");
        return;
    }
    attached_ = 0;
    target_.clear();
    set_pattern_ = wanted;
    const Selection found = select_set();
    std::string names;
    for (AgentView *a : found.agents)
        names += (names.empty() ? "" : ", ") + describe_for_client(*a);
    notice(Notice::kInfo, "attached to the agents matching '" + printable(wanted) + "' (now " +
                              std::to_string(found.agents.size()) +
                              (names.empty() ? "" : ": " + names) +
                              "); each line runs on those connected at the time");
    if (!found.left_out.empty())
        notice(Notice::kWarning, left_out_summary(*set_sel_, found.left_out, "attach"));
}

// The set of attach PATTERN (or --all); a word that is no selector selects nothing.
Selection ServerCommands::select_set() {
    if (!set_sel_ || set_sel_->word != set_pattern_) {
        std::string error;
        set_sel_ = set_pattern_ == "*" ? std::optional(every_agent())
                                       : parse_selector(set_pattern_, &error);
        if (!set_sel_) {
            refuse(error);
            return {};
        }
    }
    return select_agents(agents_, *set_sel_);
}

void ServerCommands::leave_set(bool say) {
    if (say && !set_pattern_.empty())
        notice(Notice::kInfo,
               "detached from the agents matching '" + printable(set_pattern_) + "'");
    set_pattern_.clear();
}

bool ServerCommands::send_to_set(const std::string &line) {
    if (set_pattern_.empty()) return false;
    const Selection found = select_set();
    if (found.agents.empty()) {
        refuse("no agent matching '" + printable(set_pattern_) +
               "' is connected; the line was not sent");
        return true;
    }
    if (!found.left_out.empty())
        notice(Notice::kWarning, left_out_summary(*set_sel_, found.left_out, "attach"));
    yield_terminal();
    set_run_->start(found.agents, {line});
    return true;
}

bool ServerCommands::stop_waiting() {
    if (set_running()) {
        set_run_->interrupt();
        emit("\n");
        notice(Notice::kInfo, "stopped waiting; the agents finish the command on their own and "
                              "its output is discarded");
        return true;
    }
    if (!current_ || !current_->holds_prompt) return false;
    if (current_->listing_agents) {
        current_.reset();
        emit("\n");
        return true;
    }
    Pending r = std::move(*current_);
    const bool sent = agents_.request_sent(r.id);
    current_.reset();
    yield_terminal();
    agents_.abandon(r.id);
    out_.discard();
    (void)shown_.flush();
    if (r.hidden) return true;
    AgentView *a = agents_.find(r.agent);
    std::string who = a ? describe(*a) : std::string("the agent");
    emit("\n"); // the terminal has echoed ^C already
    if (sent)
        notice(Notice::kInfo, "stopped waiting; " + who +
                                  " finishes the command on its own and its output is discarded");
    else
        notice(Notice::kInfo, "cancelled; the command was not sent");
    return true;
}

} // namespace cliserver
