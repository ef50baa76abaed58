#include "hub/agent_service.h"

#include "core/text.h"

namespace cliserver {

std::string describe(const AgentView &a) {
    return printable(a.name.empty() ? "(unnamed)" : a.name) + " (id " + std::to_string(a.id) + ")";
}

} // namespace cliserver
