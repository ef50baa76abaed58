/* Compiled as C99: the public headers must stay plain C. The event-loop
 * hand-off needs POSIX.1-2008, which a strict C99 build asks for. */
#define _POSIX_C_SOURCE 200809L
#include "cli_agent.h"
#include "cli_agent_loop.h"

static void bump(void *arg) {
    ++*(int *)arg;
}

static int noop(int argc, char **argv) {
    (void)argc;
    (void)argv;
    return 0;
}

int main(void) {
    cli_command cmd = {"noop", "does nothing", noop, 0};
    cli_option_state st = {0};
    uint32_t mask = 0;
    cli_set_option(&mask, 'c');
    if (!cli_test_option(mask, 'c') || st.optind != 0) return 1;
    if (cli_register_command(&cmd) != 0) return 1;
    cli_unregister_command(&cmd);
    {
        cli_handoff h;
        int runs = 0;
        if (cli_handoff_open(&h) != 0) return 1;
        if (cli_handoff_call(&h, bump, &runs, 0) != CLI_HANDOFF_DONE || runs != 1) return 1;
        cli_handoff_destroy(&h);
    }
    return sizeof(cli_frame) >= CLI_FRAME_HDR_LEN + CLI_FRAME_MAX_DATA + 1 ? 0 : 1;
}
