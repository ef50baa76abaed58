/* loop_host - a service around its own epoll loop that embeds cli_agent.
 *
 * The service's state belongs to the loop's thread: it answers every TCP
 * connection on 127.0.0.1:PORT with its greeting line, counts the clients
 * it served and the ticks of a 100 ms timer. Handlers run on the agent
 * thread, so they reach that state only through the hand-off of
 * cli_agent_loop.h: the job runs on the loop's thread with its data on the
 * handler's stack, and the handler prints what the job returned.
 *
 *   stats            clients served, timer ticks and the greeting
 *   greeting TEXT    changes the greeting
 *
 * Usage: loop_host [ID [NAME [PORT]]]   (defaults: 1, "loop", no listener)
 * It runs until SIGINT or SIGTERM, which the loop reads from a signalfd.
 */
#define _GNU_SOURCE

#include "cli_agent.h"
#include "cli_agent_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#define HANDOFF_TIMEOUT_MS 2000u
#define GREETING_LEN 128

/* Owned by the loop's thread: nothing else reads or writes these. */
static struct {
    unsigned long clients;
    unsigned long ticks;
    char greeting[GREETING_LEN];
} g_service = {0, 0, "hello from loop_host"};

static cli_handoff g_handoff;

/* ---- jobs: run on the loop's thread, data on the handler's stack ---- */

struct stats_job {
    unsigned long clients, ticks;
    char greeting[GREETING_LEN];
};

static void read_stats(void *arg) {
    struct stats_job *job = arg;
    job->clients = g_service.clients;
    job->ticks = g_service.ticks;
    memcpy(job->greeting, g_service.greeting, sizeof job->greeting);
}

static void set_greeting(void *arg) {
    snprintf(g_service.greeting, sizeof g_service.greeting, "%s", (const char *)arg);
}

/* ---- handlers: on the agent thread ---- */

static int say_why(int rc) {
    cli_print(rc == CLI_HANDOFF_TIMED_OUT ? "the service is busy, try again\n"
                                          : "the service is stopping\n");
    return 1;
}

static int cmd_stats(int argc, char **argv) {
    struct stats_job job;
    int rc;
    (void)argc;
    (void)argv;
    rc = cli_handoff_call(&g_handoff, read_stats, &job, HANDOFF_TIMEOUT_MS);
    if (rc != CLI_HANDOFF_DONE) return say_why(rc);
    cli_print("clients %lu\nticks %lu\ngreeting %s\n", job.clients, job.ticks, job.greeting);
    return 0;
}

static int cmd_greeting(int argc, char **argv) {
    char text[GREETING_LEN] = "";
    size_t used = 0;
    int rc;
    if (argc < 2) {
        cli_show_usage_and_error("greeting: the new greeting is missing");
        return 1;
    }
    for (int i = 1; i < argc && used + 1 < sizeof text; ++i) {
        int n = snprintf(text + used, sizeof text - used, "%s%s", i > 1 ? " " : "", argv[i]);
        if (n < 0) break;
        used += (size_t)n;
    }
    rc = cli_handoff_call(&g_handoff, set_greeting, text, HANDOFF_TIMEOUT_MS);
    if (rc != CLI_HANDOFF_DONE) return say_why(rc);
    cli_print("greeting set\n");
    return 0;
}

static void greeting_usage(const cli_command *cmd, int flags) {
    (void)cmd;
    (void)flags;
    cli_print_buffer("usage: greeting TEXT...\n");
}

/* ---- the loop ---- */

static int listen_on(uint16_t port) {
    struct sockaddr_in addr;
    int one = 1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Greets one client and hangs up; a client that does not read loses the
 * line rather than holding the loop. */
static void serve_client(int listener) {
    int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
    char line[GREETING_LEN + 1];
    int n;
    if (fd < 0) return;
    n = snprintf(line, sizeof line, "%s\n", g_service.greeting);
    if (send(fd, line, (size_t)n, MSG_NOSIGNAL) < 0) perror("loop_host: send");
    close(fd);
    ++g_service.clients;
}

static int watch(int ep, int fd) {
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
}

static int open_timer(void) {
    struct itimerspec every = {{0, 100000000L}, {0, 100000000L}};
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd >= 0 && timerfd_settime(fd, 0, &every, NULL) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int open_signals(void) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    /* Blocked before the agent thread starts, so every thread inherits it. */
    if (pthread_sigmask(SIG_BLOCK, &stop, NULL) != 0) return -1;
    return signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
}

/* Runs until a stop signal arrives; 0, or 1 when epoll fails. */
static int run_loop(int ep, int sigfd, int timer, int listener) {
    for (;;) {
        struct epoll_event ev[8];
        int n = epoll_wait(ep, ev, 8, -1);
        if (n < 0) {
            perror("loop_host: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            int fd = ev[i].data.fd;
            uint64_t count;
            if (fd == sigfd) return 0;
            if (fd == cli_handoff_fd(&g_handoff)) {
                cli_handoff_dispatch(&g_handoff);
            } else if (fd == timer) {
                if (read(timer, &count, sizeof count) == (ssize_t)sizeof count)
                    g_service.ticks += (unsigned long)count;
            } else if (fd == listener) {
                serve_client(listener);
            }
        }
    }
}

int main(int argc, char **argv) {
    uint32_t id = 1;
    const char *name = argc > 2 ? argv[2] : "loop";
    uint16_t port = argc > 3 ? cli_parse_port_arg(argv[3], 0) : 0;
    cli_command cmds[] = {
        {"stats", "clients, ticks and greeting of the service", cmd_stats, NULL},
        {"greeting", "changes the service's greeting", cmd_greeting, greeting_usage},
    };
    int ep, sigfd, timer, listener = -1, rc;

    if (argc > 1 && cli_get_param_u32(argv[1], &id) != 0) {
        fprintf(stderr, "usage: loop_host [ID [NAME [PORT]]]\n");
        return 2;
    }
    sigfd = open_signals();
    timer = open_timer();
    ep = epoll_create1(EPOLL_CLOEXEC);
    if (sigfd < 0 || timer < 0 || ep < 0 || cli_handoff_open(&g_handoff) != 0) {
        perror("loop_host: setting up the loop");
        return 1;
    }
    if (port != 0 && (listener = listen_on(port)) < 0) {
        perror("loop_host: listening");
        return 1;
    }
    if (watch(ep, sigfd) || watch(ep, timer) || watch(ep, cli_handoff_fd(&g_handoff)) ||
        (listener >= 0 && watch(ep, listener))) {
        perror("loop_host: epoll_ctl");
        return 1;
    }
    for (size_t i = 0; i < sizeof cmds / sizeof cmds[0]; ++i)
        cli_register_command(&cmds[i]);
    if (cli_agent_init(id, name) != 0) {
        fprintf(stderr, "loop_host: the agent could not be started\n");
        return 1;
    }

    rc = run_loop(ep, sigfd, timer, listener);

    /* Close the hand-off first: a handler waiting in it returns at once,
     * then the agent stops and the hand-off is freed once no call is left
     * in it. */
    cli_handoff_close(&g_handoff);
    cli_agent_destroy(id);
    cli_handoff_destroy(&g_handoff);
    fprintf(stderr, "loop_host: stopped\n");
    return rc;
}
