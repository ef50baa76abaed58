// Why the hub closed an agent's connection before or at its HELLO, counted
// for the resident server's metrics (which read them; the hub knows nothing
// of metrics). Counting is one increment where the connection is closed.
//
// Threading: plain data, on the hub's thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace cliserver {

enum class AgentRefusal : uint8_t {
    kNotAllowedUser, // its owner is not one of --agent-users
    kOwnerUnknown,   // --agent-users is given and its owner cannot be found
    kNoHello,        // no HELLO in time, or another frame instead
    kTooManyWaiting, // pushed out by newer connections waiting for their HELLO
};

inline constexpr AgentRefusal kAgentRefusals[] = {
    AgentRefusal::kNotAllowedUser, AgentRefusal::kOwnerUnknown, AgentRefusal::kNoHello,
    AgentRefusal::kTooManyWaiting};

// The metrics' `reason` label.
constexpr const char *refusal_label(AgentRefusal r) {
    switch (r) {
    case AgentRefusal::kNotAllowedUser:
        return "not-allowed-user";
    case AgentRefusal::kOwnerUnknown:
        return "owner-unknown";
    case AgentRefusal::kNoHello:
        return "no-hello";
    case AgentRefusal::kTooManyWaiting:
        return "too-many-waiting";
    }
    return "?";
}

class AgentRefusalCounts {
  public:
    void count(AgentRefusal r) { ++n_[static_cast<size_t>(r)]; }
    uint64_t of(AgentRefusal r) const { return n_[static_cast<size_t>(r)]; }

  private:
    std::array<uint64_t, std::size(kAgentRefusals)> n_{};
};

} // namespace cliserver
