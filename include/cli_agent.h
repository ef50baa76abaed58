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

/* Lifecycle
 *
 * cli_agent_init: starts the agent with a non-zero id and a name (cut at 63
 * bytes) shown by the server. Sets SIGPIPE to be ignored for the process and
 * starts one detached agent thread, which connects to 127.0.0.1:7002, checks
 * that the server's end of the connection is established and owned by root
 * or by this process's effective user, announces the name and serves
 * commands; after a failed attempt or an ended connection it waits one
 * second and connects again. Where the owner cannot be found out (netlink
 * sockets refused and /proc/net hidden, as in some sandboxes) the agent
 * sends nothing and tries again later: such a host must allow AF_NETLINK
 * sockets or /proc/net for its CLI to work. Returns 0, or -1 for a zero id,
 * a null name, or a thread that could not be started. While the agent runs,
 * a second call changes nothing and returns 0. Any thread, including a
 * handler; never blocks on the network.
 *
 * cli_agent_destroy: stops the agent started with this id (another id, or no
 * agent, is ignored). Waits at most a few tens of milliseconds for a frame
 * being written to finish, sends BYE, shuts the connection down and returns
 * 0, well within 100 ms; the agent thread notices, closes the connection and
 * ends without anyone waiting for it. BYE is left out only when the server
 * has stopped reading (a frame cannot be finished in that time); that frame
 * is then cut short. Output of a command still running is lost. Any thread,
 * including a handler; never blocks on the network.
 *
 * cli_agent_sync_status: does nothing; kept for hosts that call it.
 *
 * fork: the child has no agent; its own cli_agent_init starts one
 * (registrations are inherited). The library's descriptors are closed in
 * the child, never shut down, so the parent's connection is left alone.
 * After a fork inside a handler, the child's copy of the agent thread
 * returns from the handler with the command's output dropped and then ends,
 * without reading or writing anything (the child then lives on only in
 * its other threads, such as the agent its cli_agent_init started).
 *
 * Signals: the agent thread blocks every asynchronous signal (faults such as
 * SIGSEGV stay deliverable), so a process-directed signal is always handled
 * on one of the host's threads, and handlers run with those signals
 * blocked. No function of this library is async-signal-safe: they take
 * locks. To stop the agent from a signal, set a volatile sig_atomic_t flag
 * (or read a signalfd) and call cli_agent_destroy from the host's own loop.
 *
 * Another CLI library (Debian's libcli) exports several of the same C names
 * (cli_print, cli_register_command, ...); the two cannot share a process.
 * This library's own calls always bind inside it, but the host's calls go
 * to whichever is found first. */
CLI_API int cli_agent_init(uint32_t agent_id, const char *name);
CLI_API int cli_agent_destroy(uint32_t agent_id);
CLI_API void cli_agent_sync_status(void);

/* Command table (256 commands), independent of whether the agent runs; any
 * thread at any time, never blocking on the network.
 *
 * cli_register_command: copies *cmd into the table. -1 for a null cmd or
 * handler, a name that is not 2..19 of ASCII [A-Za-z0-9_] whatever the
 * locale (read at most 20 bytes, so a name without a terminator is safe), a
 * reserved name (help, ls, quit, exit, attach), a name already registered,
 * or a full table. The description is cut at 63 bytes. A command running
 * while it is unregistered finishes on its copy.
 *
 * cli_unregister_command: removes the command with cmd->name, if any. */
CLI_API int cli_register_command(const cli_command *cmd);
CLI_API void cli_unregister_command(const cli_command *cmd);

/* Handler output and input. Inside a handler (on the agent thread) output
 * goes to the server as the command's output, in the order of the calls.
 * Outside a command (another thread, or no command running) cli_print,
 * cli_print_buffer and cli_print_memory write to standard error instead, and
 * the others do nothing. Output that cannot be sent (the connection is gone)
 * is dropped; none of these reports it.
 *
 * cli_print: formats up to 65535 bytes (longer output is cut) and sends it at
 * once, after anything buffered. Blocks while the server does not read.
 * cli_print_buffer: formats up to 8191 bytes into the command's 512 KiB
 * buffer, which is sent when full, before direct output or a prompt, and
 * when the handler returns.
 * cli_send_buffer: sends len raw bytes at once (in frames of at most
 * 64 KiB), after anything buffered; nothing for null data or len 0.
 * cli_print_memory: a hex dump of len bytes, 16 per line ("%08x: " offset,
 * two hex digits and a space per byte), into the buffer.
 * cli_show_usage_and_error: the formatted message (up to 1023 bytes, a
 * newline added if missing) into the buffer, then the command's usage
 * callback if it has one. Only inside a command.
 * cli_get_input: sends prompt (null = ":") and blocks until the server sends
 * the user's reply for this command; copies at most size - 1 bytes and a
 * terminator into buf. 0, or -1 for a null buf, size 0, no command running
 * on this thread, or a connection that failed (after which the command's
 * connection ends once the handler returns); a BYE from the server while
 * it waits ends the wait (-1) and the connection the same way. No time-out:
 * the agent waits as long as the user does.
 *
 * A host with an event loop: handlers run on the agent thread, and what
 * belongs to the loop is reached through cli_agent_loop.h (a job run on the
 * loop's thread, waited for with a time-out). The job cannot print: it
 * returns its data and the handler prints it. */
CLI_API void cli_print(const char *fmt, ...) CLI_PRINTF(1, 2);
CLI_API void cli_print_buffer(const char *fmt, ...) CLI_PRINTF(1, 2);
CLI_API void cli_send_buffer(const void *data, uint32_t len);
CLI_API void cli_print_memory(const void *data, uint32_t len);
CLI_API void cli_show_usage_and_error(const char *fmt, ...) CLI_PRINTF(1, 2);
CLI_API int cli_get_input(const char *prompt, char *buf, uint32_t size);

/* Option and parameter parsing: caller-owned state only, any thread.
 *
 * cli_get_option: getopt-style; each argument that starts with '-' (and is
 * not just "-") is one option letter, with its argument in the same word or
 * the next when optstring marks the letter with ':'. Returns the option
 * character; 1 for a non-option argument (st->optarg points at it); '?' for
 * an unknown option or a missing argument (st->optopt and st->errmsg say
 * which); -1 when the arguments are exhausted or for a null argv, optstring
 * or st. st->optind is the next index. Flags are not grouped ("-ab" is -a)
 * and "--" is the option '-', not an end marker.
 * cli_set_option, cli_test_option: a mask with one bit per letter 'a'..'z';
 * other characters are ignored (set) or false (test).
 * cli_get_param_u64, cli_get_param_u32, cli_get_param_pointer: a number in
 * base 0 (decimal, 0x hex, leading 0 octal) converted as strtoull does,
 * with nothing after it: leading white space and a sign are accepted, and a
 * minus negates modulo 2^64, so "-1" gives 2^64-1 for the u64 and pointer
 * forms (and fails as a u32). A handler that wants no negatives checks the
 * text itself, e.g. `if (strchr(argv[1], '-') != NULL) reject`.
 * 0, or -1 for a null text or out, an empty text, trailing characters or a
 * value out of range; *out is untouched on failure. */
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
