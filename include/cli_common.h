/* cli_common.h - frame transport and shared utilities of cli_agent.
 *
 * Every exchange between an agent and the CLI server is a sequence of
 * frames on a TCP connection over 127.0.0.1: a 20-byte big-endian header
 * (magic "QELM", version, type, req_id, agent_id, len) and up to 65536
 * payload bytes. These functions keep no state and take no locks; writers
 * that share one socket must hold a common lock around each send.
 */
#ifndef CLI_COMMON_H
#define CLI_COMMON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(CLI_AGENT_BUILDING)
#define CLI_API __attribute__((visibility("default")))
#else
#define CLI_API
#endif

#if defined(__GNUC__)
#define CLI_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define CLI_PRINTF(fmt_index, first_arg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define CLI_FRAME_MAGIC 0x51454C4Du
#define CLI_FRAME_VERSION 1
#define CLI_FRAME_HDR_LEN 20
#define CLI_FRAME_MAX_DATA 65536
#define CLI_MAX_ARGS 128

enum {
    CLI_FRAME_HELLO = 2,   /* agent -> server: agent name */
    CLI_FRAME_ACK = 3,     /* server -> agent: handshake accepted */
    CLI_FRAME_COMMAND = 4, /* server -> agent: one command line */
    CLI_FRAME_OUTPUT = 5,  /* agent -> server: a piece of output, never empty */
    CLI_FRAME_DONE = 6,    /* agent -> server: the command has finished */
    CLI_FRAME_PROMPT = 7,  /* agent -> server: prompt text */
    CLI_FRAME_INPUT = 8,   /* server -> agent: the user's reply to a prompt */
    CLI_FRAME_BYE = 9      /* both: the connection ends */
};

/* One received frame; header fields in host byte order. After a successful
 * cli_recv_frame, data[len] is 0 so a text payload is a C string. */
typedef struct cli_frame {
    uint32_t magic;
    uint16_t version;
    uint16_t type;
    uint32_t req_id;
    uint32_t agent_id;
    uint32_t len;
    uint8_t data[CLI_FRAME_MAX_DATA + 1];
} cli_frame;

/* Arguments of a split command line; argv points into the split line.
 * There is no terminating null entry. */
typedef struct cli_args {
    int32_t argc;
    char *argv[CLI_MAX_ARGS];
} cli_args;

/* Listening socket on 127.0.0.1:port (backlog 64); descriptor or -1. */
CLI_API int cli_open_server(uint16_t port);
/* Blocking connect to 127.0.0.1:port; descriptor or -1. */
CLI_API int cli_connect_server(uint16_t port);
/* Sends one frame; -1 if len > 65536, if len != 0 with a null data, or on a
 * write error. */
CLI_API int cli_send_frame(int fd, uint16_t type, uint32_t req_id, uint32_t agent_id,
                           const uint8_t *data, uint32_t len);
/* Sends a NUL-terminated text (null = empty) as one frame, cut at 65536 bytes. */
CLI_API int cli_send_text(int fd, uint16_t type, uint32_t req_id, uint32_t agent_id,
                          const char *text);
/* Receives one whole frame; -1 on a closed connection, a read error, a wrong
 * magic or version, or a length above 65536. */
CLI_API int cli_recv_frame(int fd, cli_frame *frame);
/* Sleeps ms milliseconds, resuming after signals for the remaining time. */
CLI_API void cli_sleep_ms(uint32_t ms);
/* Splits line in place into whitespace-separated arguments with single and
 * double quotes and backslash escapes; -1 on null pointers or more than
 * CLI_MAX_ARGS arguments (the first 128 stay in args). */
CLI_API int cli_split_args(char *line, cli_args *args);

/* Lower-cases s in place (bytes as unsigned, standard tolower). */
CLI_API void cli_lower(char *s);
/* Unsigned 32-bit number in base 0 (decimal, 0x hex, 0 octal) converted as
 * strtoull does, with nothing after it: leading white space and a sign are
 * accepted, and a negative value (modulo 2^64) is out of range, except
 * "-0". *out is untouched on failure. */
CLI_API int cli_parse_u32(const char *s, uint32_t *out);
/* The port in s if it is 1..65535, else default_port. */
CLI_API uint16_t cli_parse_port_arg(const char *s, uint16_t default_port);

#ifdef __cplusplus
}
#endif

#endif /* CLI_COMMON_H */
