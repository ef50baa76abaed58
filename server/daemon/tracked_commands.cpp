// The commands one client has waiting (tracked_commands.h).
#include "daemon/tracked_commands.h"

#include <algorithm>

namespace cliserver {

std::optional<std::string> TrackedCommands::bounds(const AgentRecord &agent,
                                                   size_t line_size) const {
    const auto it = per_agent_.find(agent.serial);
    if (it != per_agent_.end() && it->second >= kMaxPerAgent)
        return "refused: this client already has " + std::to_string(kMaxPerAgent) +
               " commands waiting for " + describe(agent) + "; the connection is closed";
    if (size() >= kMaxCommands || bytes_ + line_size > kMaxCommandBytes)
        return "refused: this client already has " + std::to_string(size()) +
               " commands waiting; the connection is closed";
    return std::nullopt;
}

bool TrackedCommands::add(RequestId id, TrackedCommand c) {
    if (by_id_.count(id) || by_client_request_.count(c.client_request)) return false;
    ++per_agent_[c.agent.serial];
    bytes_ += c.line.size();
    by_client_request_.emplace(c.client_request, id);
    by_id_.emplace(id, std::move(c));
    return true;
}

TrackedCommand *TrackedCommands::find(RequestId id) {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : &it->second;
}

std::optional<RequestId> TrackedCommands::by_client(uint64_t client_request) const {
    auto it = by_client_request_.find(client_request);
    if (it == by_client_request_.end()) return std::nullopt;
    return it->second;
}

std::optional<TrackedCommand> TrackedCommands::remove(RequestId id) {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return std::nullopt;
    TrackedCommand c = std::move(it->second);
    by_id_.erase(it);
    by_client_request_.erase(c.client_request);
    auto n = per_agent_.find(c.agent.serial);
    if (n != per_agent_.end() && --n->second == 0) per_agent_.erase(n);
    bytes_ -= c.line.size();
    return c;
}

std::vector<RequestId> TrackedCommands::for_agent(uint64_t serial) const {
    std::vector<RequestId> ids;
    if (!per_agent_.count(serial)) return ids;
    for (const auto &[id, c] : by_id_)
        if (c.agent.serial == serial) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::map<RequestId, TrackedCommand> TrackedCommands::take_all() {
    std::map<RequestId, TrackedCommand> all;
    for (auto &[id, c] : by_id_)
        all.emplace(id, std::move(c));
    by_id_.clear();
    by_client_request_.clear();
    per_agent_.clear();
    bytes_ = 0;
    return all;
}

} // namespace cliserver
