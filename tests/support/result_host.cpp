// A host whose one command ends with the result it is asked for:
// `result N` prints "result N" and returns N (any 32-bit number), so the
// tests see a handler's return value travel to cli-server's exit status and
// JSON. Usage: result_host ID NAME; stops on SIGTERM or SIGINT.
#include "cli_agent.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int cmd_result(int argc, char **argv) {
    if (argc != 2) {
        cli_print_buffer("usage: result N\n");
        return 2;
    }
    errno = 0;
    char *end = nullptr;
    const long long n = std::strtoll(argv[1], &end, 0);
    if (errno != 0 || *end != '\0' || n < INT32_MIN || n > INT32_MAX) {
        cli_print_buffer("not a 32-bit number: %s\n", argv[1]);
        return 2;
    }
    cli_print_buffer("result %lld\n", n);
    return static_cast<int>(n);
}

} // namespace

int main(int argc, char **argv) {
    uint32_t id = 0;
    if (argc != 3 || cli_parse_u32(argv[1], &id) != 0 || id == 0) {
        std::fprintf(stderr, "usage: result_host ID NAME\n");
        return 1;
    }
    cli_command cmd{};
    std::strncpy(cmd.name, "result", sizeof cmd.name - 1);
    std::strncpy(cmd.desc, "returns N", sizeof cmd.desc - 1);
    cmd.handler = cmd_result;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (cli_register_command(&cmd) != 0 || cli_agent_init(id, argv[2]) != 0) return 1;
    int sig = 0;
    while (sigwait(&stop, &sig) != 0) {
    }
    cli_agent_destroy(id);
    return 0;
}
