#include "daemon/server_metrics.h"

#include "core/users.h"
#include "daemon/audit_log.h"
#include "hub/agent_hub.h"

#include <optional>

namespace cliserver {

ServerMetrics::ServerMetrics(const AgentHub &hub, const AuditLog &audit)
    : hub_(hub), audit_(audit), started_(std::chrono::duration_cast<std::chrono::seconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count()) {}

namespace {

constexpr bool every_outcome_has_a_slot() {
    for (CommandOutcome o : kCountedOutcomes)
        if (static_cast<size_t>(o) >= ServerMetrics::kSlots) return false;
    return true;
}
static_assert(every_outcome_has_a_slot());

} // namespace

void ServerMetrics::command_ended(CommandOutcome o, std::chrono::steady_clock::duration took,
                                  std::optional<int32_t> result) {
    if (o == CommandOutcome::kDone && outcome_failed(o, result))
        ++failed_;
    else
        ++outcomes_[slot(o)];
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    durations_.observe(us > 0 ? static_cast<uint64_t>(us) : 0);
}

void ServerMetrics::client_left(const std::string &user) {
    auto it = clients_.find(user);
    if (it != clients_.end() && --it->second == 0) clients_.erase(it);
}

MetricsSnapshot ServerMetrics::snapshot() const {
    MetricsSnapshot s;
    s.version = CLI_SERVER_VERSION;
    s.start_time_seconds = started_;
    // Each owner's name is looked up once, however many agents it has.
    std::map<std::optional<uid_t>, uint64_t> by_uid;
    hub_.for_each_agent([&](const AgentView &a) { ++by_uid[a.uid]; });
    for (const auto &[uid, n] : by_uid)
        s.agents_by_user[uid ? user_name(*uid) : std::string("unknown")] += n;
    s.clients_by_user = clients_;
    for (CommandOutcome o : kCountedOutcomes)
        s.commands_by_outcome[outcome_name(o)] = outcomes_[slot(o)];
    s.commands_by_outcome["failed"] = failed_;
    s.durations = durations_;
    s.queued_commands = hub_.queued_commands();
    for (AgentRefusal r : kAgentRefusals)
        s.agent_refusals_by_reason[refusal_label(r)] = hub_.refusals().of(r);
    s.audit_write_failures = audit_.write_failures();
    s.audit_log_ok = !audit_.failing();
    s.metrics_file_write_failures = file_failures_;
    return s;
}

} // namespace cliserver
