// Which agents an operator's word names, written once for the hub, the
// resident server's client and the fan-out and console front ends:
//  - a plain word: the agents of exactly that name; when none has it and
//    the word is a number, the agents with that id;
//  - a shell pattern (is_agent_pattern), or every agent with --all: the
//    names it matches, and the agents whose id it is, written out;
// always in connection order (by serial).
//
// An agents' service keeps an AgentIndex of the agents it knows, so a
// plain word costs a lookup, not a walk, among thousands of agents.
//
// Threading: none of its own; an index belongs to its service and is used
// on the event loop's thread like the service.
#pragma once

#include "hub/agent_service.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cliserver {

// Whether `wanted` is a shell pattern (it has *, ? or [) rather than a name or id.
bool is_agent_pattern(const std::string &wanted);

// The greeted agents of one service by name and by id.
class AgentIndex {
  public:
    void add(AgentView &a);
    void remove(const AgentView &a);
    void clear();
    // A plain word, as above.
    std::vector<AgentView *> match(const std::string &wanted) const;
    // Whether another agent of a's name has a different owner.
    bool name_shared_across_owners(const AgentView &a) const;

  private:
    std::multimap<std::string, AgentView *> by_name_;
    std::multimap<uint32_t, AgentView *> by_id_;
};

// Any word, or every agent when all is set, as above.
std::vector<AgentView *> select_agents(AgentService &agents, const std::string &wanted, bool all);

} // namespace cliserver
