/* cli_agent.h - a command-line interface for a long-running service.
 *
 * The host registers named commands and starts the agent; a background
 * thread keeps a connection to the CLI server on 127.0.0.1:7002, runs each
 * command line typed there on that thread and streams the output back.
 * The library allocates no heap memory and writes nothing of its own to
 * any stream.
 */
#ifndef CLI_AGENT_H
#define CLI_AGENT_H

#include "cli_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CLI_CMD_NAME_LEN 20
#define CLI_CMD_DESC_LEN 64

typedef struct cli_command cli_command;
/* Runs on the agent thread with the split command line; argv[0] is the
 * command name. The result is ignored. */
typedef int (*cli_cmd_handler)(int argc, char **argv);
/* Prints the usage text of cmd; flags is always 0. */
typedef void (*cli_cmd_usage)(const cli_command *cmd, int flags);

struct cli_command {
    char name[CLI_CMD_NAME_LEN]; /* 2..19 of [A-Za-z0-9_], not a reserved name */
    char desc[CLI_CMD_DESC_LEN]; /* one line shown by help */
    cli_cmd_handler handler;     /* required */
    cli_cmd_usage usage;         /* optional */
};

/* Caller-owned state of cli_get_option; zero it before the first call. */
typedef struct cli_option_state {
    char *optarg;         /* option argument, or the non-option argument */
    int32_t optind;       /* next argv index; 0 or less means 1 */
    unsigned char optopt; /* option character of the last error */
    char errmsg[80];      /* message of the last error, else empty */
} cli_option_state;

/* Lifecycle */
CLI_API int cli_agent_init(uint32_t agent_id, const char *name);
CLI_API int cli_agent_destroy(uint32_t agent_id);
CLI_API void cli_agent_sync_status(void);

/* Command table (256 commands) */
CLI_API int cli_register_command(const cli_command *cmd);
CLI_API void cli_unregister_command(const cli_command *cmd);

/* Handler output and input. Outside a command (another thread, or no
 * command running) cli_print, cli_print_buffer and cli_print_memory write
 * to standard error instead. */
CLI_API void cli_print(const char *fmt, ...) CLI_PRINTF(1, 2);
CLI_API void cli_print_buffer(const char *fmt, ...) CLI_PRINTF(1, 2);
CLI_API void cli_send_buffer(const void *data, uint32_t len);
CLI_API void cli_print_memory(const void *data, uint32_t len);
CLI_API void cli_show_usage_and_error(const char *fmt, ...) CLI_PRINTF(1, 2);
CLI_API int cli_get_input(const char *prompt, char *buf, uint32_t size);

/* Option and parameter parsing */
CLI_API int cli_get_option(int argc, char **argv, const char *optstring, cli_option_state *st);
CLI_API void cli_set_option(uint32_t *mask, int32_t opt);
CLI_API bool cli_test_option(uint32_t mask, int32_t opt);
CLI_API int cli_get_param_u64(const char *s, uint64_t *out);
CLI_API int cli_get_param_u32(const char *s, uint32_t *out);
CLI_API int cli_get_param_pointer(const char *s, void **out);

#ifdef __cplusplus
}
#endif

#endif /* CLI_AGENT_H */
