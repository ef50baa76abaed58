// The operator's short name for an agent.
#include "core/agent_record.h"

#include "core/text.h"

namespace cliserver {

std::string describe(std::string_view name, uint32_t id) {
    return printable(name.empty() ? "(unnamed)" : name) + " (id " + std::to_string(id) + ")";
}

} // namespace cliserver
