// The commands one operator client has with the resident server, between
// its SUBMIT and their end: each by the hub's request id and by the client's
// own, counted by agent and by the bytes of their lines, so that the
// session can hold a client to what it may have waiting at once.
//
// A console or a script has one command at a time, a fan-out one per agent;
// a client past kMaxPerAgent for one agent, or kMaxCommands or
// kMaxCommandBytes in all, is refused (bounds()), so it cannot make the
// daemon hold its commands without bound.
//
// Threading: single-threaded, on the daemon's event loop, owned by its
// session (client_session.h).
#pragma once

#include "core/agent_record.h"
#include "hub/agent_service.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace cliserver {

// A command of one client's, with what its audit record and metrics need.
struct TrackedCommand {
    uint64_t client_request = 0;
    AgentRecord agent; // as it was at SUBMIT, for the audit log
    std::string line;
    bool sent = false;
    bool prompt_open = false;
    std::chrono::system_clock::time_point sent_at;
    std::chrono::steady_clock::time_point started;
    uint64_t output_bytes = 0;
    unsigned prompts_answered = 0;
    bool prompt_refused = false;  // a prompt was answered empty
    std::optional<unsigned> rule; // the policy's rule that allowed it

    bool operator==(const TrackedCommand &) const = default;
};

class TrackedCommands {
  public:
    static constexpr unsigned kMaxPerAgent = 32;
    static constexpr size_t kMaxCommands = 1u << 16;
    static constexpr size_t kMaxCommandBytes = 16u << 20;

    // nullopt when one more command of line_size bytes for agent fits;
    // otherwise why not, for the client.
    std::optional<std::string> bounds(const AgentRecord &agent, size_t line_size) const;
    // False (and nothing added) when id or the client's request is known.
    bool add(RequestId id, TrackedCommand c);
    TrackedCommand *find(RequestId id);
    // The hub's id of the client's request, if it is tracked.
    std::optional<RequestId> by_client(uint64_t client_request) const;
    bool has_client_request(uint64_t client_request) const {
        return by_client_request_.count(client_request) > 0;
    }
    // Forgets the command, and gives it back.
    std::optional<TrackedCommand> remove(RequestId id);
    // The ids of the commands for the agent of that serial, in their order.
    std::vector<RequestId> for_agent(uint64_t serial) const;
    // Forgets them all, and gives them back in their order.
    std::map<RequestId, TrackedCommand> take_all();

    size_t size() const { return by_id_.size(); }
    bool empty() const { return by_id_.empty(); }
    size_t bytes() const { return bytes_; }

  private:
    // Hashed: a fan-out finds each of its thousands of commands several
    // times, and a walk down a tree of them costs more than a hash.
    std::unordered_map<RequestId, TrackedCommand> by_id_;       // by the hub's request id
    std::unordered_map<uint64_t, RequestId> by_client_request_; // the client's id -> the hub's
    std::unordered_map<uint64_t, unsigned> per_agent_;          // by agent serial
    size_t bytes_ = 0;                                          // of their command lines
};

} // namespace cliserver
