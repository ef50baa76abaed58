// Uses of cli_agent.hpp that must not compile, one per macro; compiled with
// none of them defined it must compile, so that each refusal is the
// snippet's own.
#include "cli_agent.hpp"

[[maybe_unused]] static void refused([[maybe_unused]] const cli::args constant) {
#if defined(REJECT_HANDLER_SIGNATURE)
    cli::command wrong("wrong", "", [](int) { return 0; });
#elif defined(REJECT_HANDLER_RESULT)
    cli::command wrong("wrong", "", [](cli::args) { return "text"; });
#elif defined(REJECT_MUTABLE_ARGV)
    char **argv = constant.argv();
    (void)argv;
#elif defined(REJECT_NULL_OPTSTRING)
    cli::options o(constant, nullptr);
#else
    const char *const *argv = constant.argv();
    (void)argv;
#endif
}

int main() {
    return 0;
}
