// The operator's short name for an agent.
#include "core/agent_record.h"

#include "core/text.h"

namespace cliserver {

std::string describe(const AgentRecord &a) {
    return printable(a.name.empty() ? "(unnamed)" : a.name) + " (id " + std::to_string(a.id) + ")";
}

} // namespace cliserver
