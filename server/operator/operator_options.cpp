#include "operator/operator_options.h"

namespace cliserver {

bool fans_out(const OperatorOptions &opts) {
    return opts.all || is_agent_pattern(opts.agent) || opts.json || opts.answer.has_value();
}

} // namespace cliserver
