// FanoutScript: which agents a fan-out runs on, when it may start, and the
// exit status it ends with (the run itself is FanoutRun's, fanout.cpp).
#include "operator/fanout.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

namespace cliserver {

std::string local_host_name() {
    char buf[HOST_NAME_MAX + 1] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

namespace {

FanoutSettings settings_from(const OperatorOptions &opts) {
    FanoutSettings s;
    s.json = opts.json;
    s.label = !opts.no_label && (opts.all || is_agent_pattern(opts.agent));
    s.answer = opts.answer;
    s.timeout_seconds = opts.timeout_seconds;
    if (opts.json) s.host = local_host_name();
    return s;
}

} // namespace

FanoutScript::FanoutScript(const OperatorOptions &opts, EventLoop &loop, AgentService &hub,
                           OutputQueue &out, NoticeFn notice)
    : opts_(opts), loop_(loop), agents_(hub), notice_(notice),
      run_(hub, loop, out, notice, settings_from(opts)) {
    if (!opts_.commands.empty()) lines_ = opts_.commands;
    run_.on_greeted = [this](AgentView &) {
        processes_known_ = false;
        check();
    };
}

std::string FanoutScript::nothing_matched_text() const {
    if (opts_.all) return "no agent connected";
    if (is_agent_pattern(opts_.agent))
        return "no agent matching '" + printable(opts_.agent) + "' connected";
    return "agent " + printable(opts_.agent) + " did not connect";
}

void FanoutScript::start() {
    std::string error;
    auto sel = opts_.all ? std::optional(every_agent()) : parse_selector(opts_.agent, &error);
    if (!sel) {
        notice_(Notice::kError, error);
        finish(ExitStatus::kError);
        return;
    }
    selector_ = std::move(*sel);
    phase_ = Phase::kSelecting;
    const auto now = EventLoop::clock::now();
    // A plain name or id is taken as soon as it connects; a pattern or --all
    // cannot know when the set is complete, so it waits for the agents that
    // are between connections.
    gathers_ = (opts_.all || is_agent_pattern(opts_.agent)) && agents_.gathers();
    gather_end_ = now + std::chrono::milliseconds(gathers_ ? opts_.gather_ms : 0);
    wait_end_ = now + std::chrono::seconds(opts_.wait_seconds);
    if (wait_end_ < gather_end_) wait_end_ = gather_end_;
    loop_.add_timer(gather_end_, [this] { check(); });
    loop_.add_timer(wait_end_, [this] { check(); });
}

void FanoutScript::set_lines(std::vector<std::string> lines) {
    lines_ = std::move(lines);
    check();
}

void FanoutScript::check() {
    if (phase_ != Phase::kSelecting || !lines_) return;
    for (const std::string &line : *lines_)
        if (line.size() > cli_protocol::command_line_max) {
            notice_(Notice::kError, "line of " + std::to_string(line.size()) +
                                        " bytes is too long: agents take at most " +
                                        std::to_string(cli_protocol::command_line_max) +
                                        "; nothing was sent");
            finish(ExitStatus::kError);
            return;
        }
    const auto now = EventLoop::clock::now();
    if (now < gather_end_) return;
    // pid:N through a resident server: it names the processes first.
    if (selector_.kind == AgentSelector::Kind::kPid && !processes_known_) {
        if (finding_processes_) return;
        finding_processes_ = true;
        agents_.find_processes([this] {
            finding_processes_ = false;
            processes_known_ = true;
            check();
        });
        return;
    }
    Selection selection = select_agents(agents_, selector_);
    auto &found = selection.agents;
    if (found.empty()) {
        if (now < wait_end_) return;
        std::string why =
            nothing_matched_text() + " within " + std::to_string(opts_.wait_seconds) + " s";
        if (!selection.left_out.empty())
            why += "; " + other_owner_text(selector_, selection.left_out, "--agent");
        notice_(Notice::kError, why + standalone_note(opts_));
        finish(ExitStatus::kAgentAbsent);
        return;
    }
    // Agents of other owners are not outcomes: one line, whatever comes of the rest.
    if (!selection.left_out.empty())
        notice_(Notice::kWarning, left_out_summary(selector_, selection.left_out, "--agent"));
    if (opts_.no_label && found.size() > 1) {
        notice_(Notice::kError, "--no-label needs exactly one agent; " +
                                    std::to_string(found.size()) + " are selected");
        finish(ExitStatus::kError);
        return;
    }
    if (!opts_.json) {
        phase_ = Phase::kRunning;
        run_.start(found, *lines_);
        return;
    }
    // The results name each agent's process: the rows of ls have them, found
    // for all agents in one pass (and, from a resident server, when it answers).
    phase_ = Phase::kListing;
    std::vector<uint64_t> serials;
    for (AgentView *a : found)
        serials.push_back(a->serial);
    agents_.list_agents([this, serials](std::vector<AgentRow> rows) {
        if (phase_ != Phase::kListing) return;
        std::sort(rows.begin(), rows.end(),
                  [](const AgentRow &x, const AgentRow &y) { return x.serial < y.serial; });
        std::vector<AgentView *> agents;
        for (uint64_t serial : serials)
            if (AgentView *a = agents_.find(serial); a && !a->closed) agents.push_back(a);
        phase_ = Phase::kRunning;
        run_.start(agents, *lines_, rows);
    });
}

bool FanoutScript::finished() {
    if (phase_ == Phase::kRunning && !run_.running()) {
        finish(script_exit_status(run_.tally()));
    }
    return phase_ == Phase::kFinished;
}

void FanoutScript::interrupt() {
    if (phase_ == Phase::kRunning) run_.interrupt();
    phase_ = Phase::kFinished;
}

void FanoutScript::finish(ExitStatus status) {
    phase_ = Phase::kFinished;
    exit_status_ = exit_code(status);
}

} // namespace cliserver
