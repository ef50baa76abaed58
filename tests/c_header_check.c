/* Compiled as C99: the public headers must stay plain C. */
#include "cli_agent.h"

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
    return sizeof(cli_frame) >= CLI_FRAME_HDR_LEN + CLI_FRAME_MAX_DATA + 1 ? 0 : 1;
}
