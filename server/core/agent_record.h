// What the server knows of one agent, written once for every place that
// speaks of it: the hub's agents and the operator's view of them derive
// from AgentRecord, a row of ls adds what the agent is doing now, and the
// operator protocol and the audit log carry the record as it is. Notice is
// how serious a line about the agents or the hub is; the operator protocol
// carries it as one byte, its number here.
//
// Threading: plain values, no shared state; the functions are pure.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cliserver {

enum class Notice : uint8_t { kInfo = 0, kWarning = 1, kError = 2 };

// An agent's identity, fixed when its HELLO is accepted (its process and
// owner may be found later). `serial` numbers connections in the order they
// came and is never reused; `id` and `name` are what the agent said. In the
// order the operator protocol sends them, the name last.
struct AgentRecord {
    uint64_t serial = 0;
    uint32_t id = 0;
    std::chrono::system_clock::time_point connected_at;
    std::optional<pid_t> pid; // the agent's process, when known
    std::optional<uid_t> uid; // its owner, when known
    std::string name;

    bool operator==(const AgentRecord &) const = default;
};

// Who an operator client is, for ls and the audit log.
struct ClientIdentity {
    uid_t uid = 0;
    pid_t pid = 0;

    bool operator==(const ClientIdentity &) const = default;
};

// One line of ls: the agent and what it is doing now.
struct AgentRow : AgentRecord {
    AgentRow() = default;
    explicit AgentRow(const AgentRecord &agent) : AgentRecord(agent) {}

    uint32_t queued = 0; // commands waiting behind the running one
    bool busy = false;
    std::optional<ClientIdentity> runner; // whose command runs now
    bool name_shared_across_owners = false;

    bool operator==(const AgentRow &) const = default;
};

// "name (id N)", the way the operator sees an agent, its name made visible.
std::string describe(std::string_view name, uint32_t id);
inline std::string describe(const AgentRecord &a) {
    return describe(a.name, a.id);
}

} // namespace cliserver
