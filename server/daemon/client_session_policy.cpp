// What the access policy means for one client (client_session.h): which
// agents it is shown, and the refusal of a command no rule allows, which
// never reaches the agent.
//
// Threading: single-threaded, on the daemon's event loop, like the session.
#include "daemon/client_session.h"

#include "core/text.h"

#include <string>

namespace cliserver {

namespace op = operator_protocol;

// An agent no rule lets this client use is not shown to it at all: not at
// HELLO, not when it connects, not in ls. Once shown, an agent stays known
// to the session until it goes (a reload that narrows the rules refuses
// its commands from then on).
bool ClientSession::sees(const AgentView &a) {
    if (!policy_.applies_to(peer_.uid)) return true;
    if (shown_.count(a.serial)) return true;
    if (!policy_.rules().covers(peer_, a)) return false;
    shown_.insert(a.serial);
    return true;
}

bool ClientSession::shown(const AgentView &a) const {
    return !policy_.applies_to(peer_.uid) || shown_.count(a.serial) > 0;
}

// A reload may cover agents this client was not shown before.
void ClientSession::policy_reloaded() {
    if (!greeted_ || failed_ || !policy_.applies_to(peer_.uid)) return;
    std::string out;
    agents_.for_each_agent([&](const AgentView &a) {
        if (!shown_.count(a.serial) && sees(a)) op::encode_agent_up(out, a);
    });
    if (!out.empty()) send(out);
}

// nullopt: allowed (no rule needed, or the line of the rule that allows it
// in *rule); otherwise the line telling the client why not.
std::optional<std::string> ClientSession::refusal_by_policy(const AgentView &a,
                                                            const std::string &line,
                                                            std::optional<unsigned> *rule) {
    if (!policy_.applies_to(peer_.uid)) return std::nullopt;
    *rule = policy_.rules().allows_among(rules_for(a), line);
    if (*rule) return std::nullopt;
    const auto word = first_word(line);
    const std::string what =
        word ? "\"" + printable(*word) + "\"" : std::string("a line holding a NUL byte");
    return "denied: " + what + " on " + describe(a) + " for " + printable(client_user_) +
           ": no rule of the access policy allows it; not sent";
}

// Bounded by the agents the client has sent commands to, and forgotten with
// each agent (on_agent_lost) and each reload.
const std::vector<uint32_t> &ClientSession::rules_for(const AgentView &a) {
    constexpr size_t kMaxAgentsKept = 4096;
    if (policy_generation_ != policy_.generation() || rules_by_agent_.size() >= kMaxAgentsKept) {
        rules_by_agent_.clear();
        policy_generation_ = policy_.generation();
    }
    auto it = rules_by_agent_.find(a.serial);
    if (it == rules_by_agent_.end())
        it = rules_by_agent_.emplace(a.serial, policy_.rules().rules_for(peer_, a)).first;
    return it->second;
}

// The refusal is recorded as any end is, though nothing was sent; the
// client hears it as the command's end and goes on with its next one.
void ClientSession::deny(uint64_t client_request, const AgentView &a, const std::string &line,
                         const std::string &why) {
    Tracked t;
    t.client_request = client_request;
    t.agent = a;
    t.line = line;
    t.sent_at = std::chrono::system_clock::now();
    t.started = std::chrono::steady_clock::now();
    count_end(t, CommandOutcome::kDenied);
    audit(agents_.new_request_id(), t, CommandOutcome::kDenied);
    std::string out;
    if (op::has_denied(version_)) {
        op::encode_denied(out, client_request, why);
    } else {
        op::encode_notice(out, op::NoticeText{Notice::kError, why});
        op::encode_done(out, client_request);
    }
    send(out);
}

} // namespace cliserver
