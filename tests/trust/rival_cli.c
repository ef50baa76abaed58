/* Another library of the process that exports some of the same C names as
 * cli_agent, as a widely packaged CLI library does, with other meanings.
 * Loaded before cli_agent, its definitions are the ones the dynamic linker
 * finds first for any reference it resolves by name. */
#include "cli_common.h"

int rival_split_calls = 0;

int cli_split_args(char *line, cli_args *args) {
    (void)line;
    ++rival_split_calls;
    args->argc = 0;
    return -1;
}

int cli_send_text(int fd, uint16_t type, uint32_t req_id, uint32_t agent_id, const char *text) {
    (void)fd;
    (void)type;
    (void)req_id;
    (void)agent_id;
    (void)text;
    return -1;
}
