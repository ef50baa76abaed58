// A host that runs the agent until its "stop" command arrives. Started with
// a small stack limit, which also becomes the default stack of new threads;
// its commands take the agent thread to its deepest: a full print buffer, a
// 64 KiB immediate print and a prompt.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cli_agent.h"

namespace {

int g_stop[2] = {-1, -1};
char g_chunk[8192];
char g_big[70000];

int limit_handler(int, char **) {
    rlimit rl{};
    getrlimit(RLIMIT_STACK, &rl);
    cli_print("%llu\n", static_cast<unsigned long long>(rl.rlim_cur));
    return 0;
}

// 70 chunks of 8191 bytes: the buffer fills and is flushed from inside an
// append.
int fill_handler(int, char **) {
    for (int i = 0; i < 70; ++i)
        cli_print_buffer("%s", g_chunk);
    return 0;
}

int shout_handler(int, char **) {
    cli_print("%s", g_big);
    return 0;
}

int ask_handler(int, char **) {
    char reply[64];
    cli_print_buffer("pending output\n");
    if (cli_get_input("? ", reply, sizeof reply) == 0) cli_print("got %s\n", reply);
    return 0;
}

int stop_handler(int, char **) {
    (void)!write(g_stop[1], "s", 1);
    return 0;
}

void add(const char *name, cli_cmd_handler handler) {
    cli_command cmd{};
    std::strncpy(cmd.name, name, sizeof cmd.name - 1);
    cmd.handler = handler;
    cli_register_command(&cmd);
}

} // namespace

int main() {
    std::memset(g_chunk, 'c', sizeof g_chunk - 1);
    std::memset(g_big, 'B', sizeof g_big - 1);
    if (pipe(g_stop) != 0) return 3;
    add("limit", limit_handler);
    add("fill", fill_handler);
    add("shout", shout_handler);
    add("ask", ask_handler);
    add("stop", stop_handler);
    if (cli_agent_init(11, "small-stack") != 0) return 4;
    // Bounded, so a lost driver cannot leave the process behind.
    pollfd p{g_stop[0], POLLIN, 0};
    int rc = poll(&p, 1, 60000);
    cli_agent_destroy(11);
    return rc == 1 ? 0 : 2;
}
