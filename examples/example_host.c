/* example_host - a small simulated service that embeds cli_agent.
 *
 * Written in plain C11 against the C interface only. It keeps a few
 * counters, a 256-byte "device buffer" and a little configuration, and
 * offers them to the CLI server as commands:
 *
 *   status                       counters and uptime
 *   echo WORDS...                the words, one space apart
 *   dump [-o OFF] [-n LEN] [-a ADDR]   hex dump of the device buffer
 *   config [-l] [-g KEY] [-s KEY VALUE]  show or change the configuration
 *   wipe                         clears the device buffer after confirmation
 *   stream MIB                   sends MIB mebibytes of raw data
 *   ticks [-n COUNT] [-i MS]     prints a line every MS milliseconds
 *
 * Usage: example_host [ID [NAME]]   (defaults: 1 and "demo")
 * It runs until SIGINT or SIGTERM.
 */
#define _POSIX_C_SOURCE 200809L

#include "cli_agent.h"

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#define DEVICE_BUF_SIZE 256u
#define STREAM_CHUNK 65536u
#define MAX_STREAM_MIB 65536u

/* Touched only by handlers, which all run on the agent thread. */
static uint8_t g_device[DEVICE_BUF_SIZE];
static unsigned long g_commands_run;
static uint64_t g_bytes_streamed;
static time_t g_started;

static struct {
    uint32_t level;       /* 0..7 */
    uint32_t interval_ms; /* tick interval */
    uint64_t quota;       /* bytes */
} g_config = {3, 100, 1u << 30};

static void fill_device(void) {
    for (unsigned i = 0; i < DEVICE_BUF_SIZE; ++i)
        g_device[i] = (uint8_t)(i * 7u + 1u);
}

static void sleep_ms(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = (time_t)(ms / 1000u);
    ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
    nanosleep(&ts, NULL);
}

/* ---- status ---- */

static int cmd_status(int argc, char **argv) {
    (void)argc;
    (void)argv;
    ++g_commands_run;
    /* Sent at once, then the rest buffered: both paths in one listing. */
    cli_print("service: up %ld s\n", (long)(time(NULL) - g_started));
    cli_print_buffer("commands run:   %lu\n", g_commands_run);
    cli_print_buffer("bytes streamed: %llu\n", (unsigned long long)g_bytes_streamed);
    cli_print_buffer("level:          %u\n", g_config.level);
    cli_print_buffer("device buffer:  %u bytes at %p\n", DEVICE_BUF_SIZE, (void *)g_device);
    return 0;
}

/* ---- echo ---- */

static int cmd_echo(int argc, char **argv) {
    ++g_commands_run;
    for (int i = 1; i < argc; ++i)
        cli_print_buffer("%s%s", i > 1 ? " " : "", argv[i]);
    cli_print_buffer("\n");
    return 0;
}

/* ---- dump ---- */

static void usage_dump(const cli_command *cmd, int flags) {
    (void)flags;
    cli_print_buffer("usage: %s [-o OFFSET] [-n LENGTH] [-a ADDRESS]\n"
                     "  -o OFFSET   first byte, counted from the start of the buffer\n"
                     "  -n LENGTH   number of bytes (default: to the end)\n"
                     "  -a ADDRESS  first byte as an address inside the buffer (see status)\n",
                     cmd->name);
}

static int cmd_dump(int argc, char **argv) {
    cli_option_state st;
    uint32_t offset = 0, length = DEVICE_BUF_SIZE, seen = 0;
    void *address = NULL;
    int opt;
    ++g_commands_run;
    memset(&st, 0, sizeof st);
    while ((opt = cli_get_option(argc, argv, "o:n:a:", &st)) != -1) {
        switch (opt) {
        case 'o':
            if (cli_get_param_u32(st.optarg, &offset) != 0 || offset >= DEVICE_BUF_SIZE) {
                cli_show_usage_and_error("bad offset '%s' (0 to %u)", st.optarg,
                                         DEVICE_BUF_SIZE - 1);
                return 1;
            }
            break;
        case 'n':
            if (cli_get_param_u32(st.optarg, &length) != 0) {
                cli_show_usage_and_error("bad length '%s'", st.optarg);
                return 1;
            }
            break;
        case 'a': {
            uintptr_t lo = (uintptr_t)g_device, p;
            if (cli_get_param_pointer(st.optarg, &address) != 0) {
                cli_show_usage_and_error("bad address '%s'", st.optarg);
                return 1;
            }
            p = (uintptr_t)address;
            if (p < lo || p >= lo + DEVICE_BUF_SIZE) {
                cli_show_usage_and_error("address %p is outside the buffer", address);
                return 1;
            }
            offset = (uint32_t)(p - lo);
            break;
        }
        case '?':
            cli_show_usage_and_error("%s", st.errmsg);
            return 1;
        default:
            cli_show_usage_and_error("unexpected argument '%s'", st.optarg);
            return 1;
        }
        cli_set_option(&seen, opt);
    }
    if (!cli_test_option(seen, 'n') || length > DEVICE_BUF_SIZE - offset)
        length = DEVICE_BUF_SIZE - offset;
    cli_print_memory(g_device + offset, length);
    return 0;
}

/* ---- config ---- */

static void usage_config(const cli_command *cmd, int flags) {
    (void)flags;
    cli_print_buffer("usage: %s [-l] [-g KEY] [-s KEY VALUE]\n"
                     "  -l            list every key\n"
                     "  -g KEY        show one key\n"
                     "  -s KEY VALUE  set a key; numbers are decimal, 0x hex or 0 octal\n"
                     "keys: level (0-7), interval_ms (1-60000), quota (bytes)\n",
                     cmd->name);
}

static int config_show(const char *key) {
    if (strcmp(key, "level") == 0)
        cli_print_buffer("level = %u\n", g_config.level);
    else if (strcmp(key, "interval_ms") == 0)
        cli_print_buffer("interval_ms = %u\n", g_config.interval_ms);
    else if (strcmp(key, "quota") == 0)
        cli_print_buffer("quota = %llu\n", (unsigned long long)g_config.quota);
    else {
        cli_show_usage_and_error("unknown key '%s'", key);
        return 1;
    }
    return 0;
}

static int config_set(const char *key, const char *value) {
    uint32_t v32;
    uint64_t v64;
    if (strcmp(key, "quota") == 0) {
        if (cli_get_param_u64(value, &v64) != 0) {
            cli_show_usage_and_error("quota must be a number of bytes, not '%s'", value);
            return 1;
        }
        g_config.quota = v64;
    } else if (strcmp(key, "level") == 0 || strcmp(key, "interval_ms") == 0) {
        int is_level = strcmp(key, "level") == 0;
        uint32_t max = is_level ? 7u : 60000u;
        if (cli_get_param_u32(value, &v32) != 0 || v32 > max || (!is_level && v32 == 0)) {
            cli_show_usage_and_error("%s must be a number from %u to %u, not '%s'", key,
                                     is_level ? 0u : 1u, max, value);
            return 1;
        }
        if (is_level)
            g_config.level = v32;
        else
            g_config.interval_ms = v32;
    } else {
        cli_show_usage_and_error("unknown key '%s'", key);
        return 1;
    }
    return config_show(key);
}

static int cmd_config(int argc, char **argv) {
    cli_option_state st;
    uint32_t seen = 0;
    const char *get_key = NULL, *set_key = NULL, *set_value = NULL;
    int opt;
    ++g_commands_run;
    memset(&st, 0, sizeof st);
    while ((opt = cli_get_option(argc, argv, "lg:s:", &st)) != -1) {
        if (opt == '?') {
            cli_show_usage_and_error("%s", st.errmsg);
            return 1;
        }
        if (opt == 1) { /* the value that follows -s KEY */
            if (!set_key || set_value) {
                cli_show_usage_and_error("unexpected argument '%s'", st.optarg);
                return 1;
            }
            set_value = st.optarg;
            continue;
        }
        if (opt == 'g') get_key = st.optarg;
        if (opt == 's') set_key = st.optarg;
        cli_set_option(&seen, opt);
    }
    if (cli_test_option(seen, 's')) {
        if (!set_value) {
            cli_show_usage_and_error("-s %s needs a value", set_key);
            return 1;
        }
        if (config_set(set_key, set_value) != 0) return 1;
    }
    if (cli_test_option(seen, 'g') && config_show(get_key) != 0) return 1;
    if (cli_test_option(seen, 'l') || seen == 0) {
        config_show("level");
        config_show("interval_ms");
        config_show("quota");
    }
    return 0;
}

/* ---- wipe ---- */

static int cmd_wipe(int argc, char **argv) {
    char answer[16];
    (void)argc;
    (void)argv;
    ++g_commands_run;
    if (cli_get_input("Wipe the device buffer? Type yes to confirm: ", answer, sizeof answer) != 0)
        return 1;
    if (strcmp(answer, "yes") != 0) {
        cli_print_buffer("Not wiped.\n");
        return 0;
    }
    memset(g_device, 0, sizeof g_device);
    cli_print_buffer("Wiped %u bytes.\n", DEVICE_BUF_SIZE);
    return 0;
}

/* ---- stream ---- */

static int cmd_stream(int argc, char **argv) {
    static uint8_t chunk[STREAM_CHUNK];
    uint32_t mib;
    ++g_commands_run;
    if (argc != 2 || cli_get_param_u32(argv[1], &mib) != 0 || mib > MAX_STREAM_MIB) {
        cli_show_usage_and_error("usage: stream MIB (0 to %u)", MAX_STREAM_MIB);
        return 1;
    }
    for (uint32_t i = 0; i < STREAM_CHUNK; ++i)
        chunk[i] = (uint8_t)('a' + i % 26u);
    chunk[STREAM_CHUNK - 1] = '\n';
    for (uint64_t left = (uint64_t)mib << 20; left > 0; left -= STREAM_CHUNK) {
        cli_send_buffer(chunk, STREAM_CHUNK);
        g_bytes_streamed += STREAM_CHUNK;
    }
    return 0;
}

/* ---- ticks ---- */

static void usage_ticks(const cli_command *cmd, int flags) {
    (void)flags;
    cli_print_buffer("usage: %s [-n COUNT] [-i MS]\n", cmd->name);
}

static int cmd_ticks(int argc, char **argv) {
    cli_option_state st;
    uint32_t count = 10, interval = g_config.interval_ms;
    int opt;
    ++g_commands_run;
    memset(&st, 0, sizeof st);
    while ((opt = cli_get_option(argc, argv, "n:i:", &st)) != -1) {
        uint32_t *target = opt == 'n' ? &count : opt == 'i' ? &interval : NULL;
        if (opt == '?' || !target || cli_get_param_u32(st.optarg, target) != 0) {
            cli_show_usage_and_error("%s", opt == '?' ? st.errmsg : "bad number");
            return 1;
        }
    }
    for (uint32_t i = 1; i <= count; ++i) {
        cli_print("tick %u/%u\n", i, count); /* sent at once */
        if (i < count) sleep_ms(interval);
    }
    return 0;
}

/* ---- set-up ---- */

static int add_command(const char *name, const char *desc, cli_cmd_handler handler,
                       cli_cmd_usage usage) {
    cli_command cmd;
    memset(&cmd, 0, sizeof cmd);
    snprintf(cmd.name, sizeof cmd.name, "%s", name);
    snprintf(cmd.desc, sizeof cmd.desc, "%s", desc);
    cmd.handler = handler;
    cmd.usage = usage;
    if (cli_register_command(&cmd) != 0) {
        fprintf(stderr, "example_host: cannot register %s\n", name);
        return -1;
    }
    return 0;
}

static const char *const k_names[] = {"status", "echo",   "dump", "config",
                                      "wipe",   "stream", "ticks"};

static int register_commands(void) {
    int rc = 0;
    rc |= add_command("status", "counters and uptime", cmd_status, NULL);
    rc |= add_command("echo", "print the arguments", cmd_echo, NULL);
    rc |= add_command("dump", "hex dump of the device buffer", cmd_dump, usage_dump);
    rc |= add_command("config", "show or change the configuration", cmd_config, usage_config);
    rc |= add_command("wipe", "clear the device buffer (asks first)", cmd_wipe, NULL);
    rc |= add_command("stream", "send MIB mebibytes of raw data", cmd_stream, NULL);
    rc |= add_command("ticks", "print a line every interval", cmd_ticks, usage_ticks);
    return rc;
}

static void unregister_commands(void) {
    for (size_t i = 0; i < sizeof k_names / sizeof k_names[0]; ++i) {
        cli_command cmd;
        memset(&cmd, 0, sizeof cmd);
        snprintf(cmd.name, sizeof cmd.name, "%s", k_names[i]);
        cli_unregister_command(&cmd);
    }
}

int main(int argc, char **argv) {
    uint32_t id = 1;
    const char *name = argc > 2 ? argv[2] : "demo";
    sigset_t stop_signals;
    struct timespec tick = {1, 0};

    if (argc > 3 || (argc > 1 && (cli_get_param_u32(argv[1], &id) != 0 || id == 0))) {
        fprintf(stderr, "usage: example_host [ID [NAME]]  (ID: 1 to 4294967295)\n");
        return 1;
    }
    g_started = time(NULL);
    fill_device();
    if (register_commands() != 0) return 1;

    /* Block the stop signals before the agent thread exists, so that it
     * inherits the mask and only sigtimedwait below receives them. */
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);

    if (cli_agent_init(id, name) != 0) {
        fprintf(stderr, "example_host: cannot start the agent\n");
        return 1;
    }
    fprintf(stderr, "example_host: agent '%s' (id %u) started; stop with Ctrl-C\n", name, id);
    for (;;) {
        int sig = sigtimedwait(&stop_signals, NULL, &tick);
        if (sig == SIGINT || sig == SIGTERM) break;
        cli_agent_sync_status();
    }
    cli_agent_destroy(id);
    unregister_commands();
    fprintf(stderr, "example_host: stopped\n");
    return 0;
}
