#include "operator/operator_options.h"

namespace cliserver {

bool is_agent_pattern(const std::string &wanted) {
    return wanted.find_first_of("*?[") != std::string::npos;
}

bool fans_out(const OperatorOptions &opts) {
    return opts.all || is_agent_pattern(opts.agent) || opts.json || opts.answer.has_value();
}

} // namespace cliserver
