#include "operator/operator_options.h"

namespace cliserver {

bool fans_out(const OperatorOptions &opts) {
    return opts.all || is_agent_pattern(opts.agent) || opts.json || opts.answer.has_value();
}

std::string standalone_note(const OperatorOptions &opts) {
    if (opts.fell_back_from.empty()) return {};
    return " (ran standalone: no resident server answered on " + opts.fell_back_from + ")";
}

} // namespace cliserver
