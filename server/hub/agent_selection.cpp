// Selecting agents by name, id or pattern (agent_selection.h).
#include "hub/agent_selection.h"

#include "cli_common.h"

#include <fnmatch.h>

#include <algorithm>

namespace cliserver {

namespace {

template <typename Map, typename Key>
void erase_entry(Map &map, const Key &key, const AgentView &a) {
    auto [b, e] = map.equal_range(key);
    for (auto it = b; it != e; ++it)
        if (it->second == &a) {
            map.erase(it);
            return;
        }
}

} // namespace

bool is_agent_pattern(const std::string &wanted) {
    return wanted.find_first_of("*?[") != std::string::npos;
}

void AgentIndex::add(AgentView &a) {
    by_name_.emplace(a.name, &a);
    by_id_.emplace(a.id, &a);
}

void AgentIndex::remove(const AgentView &a) {
    erase_entry(by_name_, a.name, a);
    erase_entry(by_id_, a.id, a);
}

void AgentIndex::clear() {
    by_name_.clear();
    by_id_.clear();
}

std::vector<AgentView *> AgentIndex::match(const std::string &wanted) const {
    std::vector<AgentView *> found;
    auto [nb, ne] = by_name_.equal_range(wanted);
    for (auto it = nb; it != ne; ++it)
        found.push_back(it->second);
    uint32_t id = 0;
    if (found.empty() && cli_parse_u32(wanted.c_str(), &id) == 0) {
        auto [ib, ie] = by_id_.equal_range(id);
        for (auto it = ib; it != ie; ++it)
            found.push_back(it->second);
    }
    std::sort(found.begin(), found.end(),
              [](const AgentView *x, const AgentView *y) { return x->serial < y->serial; });
    return found;
}

bool AgentIndex::name_shared_across_owners(const AgentView &a) const {
    auto [b, e] = by_name_.equal_range(a.name);
    return std::any_of(b, e,
                       [&](const auto &kv) { return kv.second != &a && kv.second->uid != a.uid; });
}

std::vector<AgentView *> select_agents(AgentService &agents, const std::string &wanted, bool all) {
    if (!all && !is_agent_pattern(wanted)) return agents.match(wanted);
    std::vector<uint64_t> serials;
    agents.for_each_agent([&](const AgentView &a) {
        if (all || fnmatch(wanted.c_str(), a.name.c_str(), 0) == 0 ||
            std::to_string(a.id) == wanted)
            serials.push_back(a.serial);
    });
    std::vector<AgentView *> found;
    for (uint64_t s : serials)
        if (AgentView *a = agents.find(s)) found.push_back(a);
    return found;
}

} // namespace cliserver
