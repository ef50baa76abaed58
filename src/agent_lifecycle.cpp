// The agent's lifecycle and its thread: init, destroy, the connection
// cycle, and what a forked child inherits.
//
// Threading rules of the whole library
// - Threads: any number of host threads (init, destroy, registration,
//   output outside a command) and at most one agent thread, which connects,
//   reads every frame, runs every command and its handler, and closes the
//   connection.
// - Locks, in this order: g_agent.send_lock, then g_agent.state_lock; the
//   command table's own lock is never held with either. state_lock guards
//   the connection descriptor, id, name and thread bookkeeping and is held
//   only for a few loads and stores. send_lock is held across the write of
//   one frame and nothing else. No lock is held across a read, a connect,
//   the reconnect pause or a handler.
// - The descriptor: only the agent thread closes it. cli_agent_destroy may
//   shut it down (under state_lock, so the descriptor cannot be closed and
//   reused meanwhile), which ends a blocked read or write; it sends BYE only
//   if it can take send_lock at once, so it never waits for a server that
//   stopped reading. HELLO is written under send_lock from the moment the
//   descriptor is published, so it precedes every other frame.
// - running is atomic: written under state_lock, polled by the agent thread
//   without it; the thread decides to end only under state_lock.
// - g_ctx is thread-local and set only on the agent thread while a command
//   runs.
// - fork: the child has no agent thread; a fork handler resets the locks and
//   returns the record to "not running", closing (never shutting down) the
//   inherited descriptor, so the parent's connection is untouched and the
//   child's own cli_agent_init starts a fresh agent.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "agent_state.h"
#include "cli_agent.h"
#include "command_table.h"
#include "connection.h"
#include "executor.h"
#include "owner_lookup.h"

// Tests build a copy of the library with a shorter pause so that long
// reconnect cycles stay fast; the shipped library always waits one second.
#ifndef CLI_AGENT_RETRY_MS
#define CLI_AGENT_RETRY_MS 1000
#endif

namespace cli_internal {

constinit agent_state g_agent;

} // namespace cli_internal

using namespace cli_internal;

namespace {

constexpr uint32_t CLI_RETRY_MS = CLI_AGENT_RETRY_MS;
// The agent thread keeps about 710 KiB of buffers on its stack; a host
// started with a small `ulimit -s` would otherwise hand it a stack too small.
constexpr size_t CLI_AGENT_STACK_MIN = 2u << 20;

// Set on the agent thread for its whole life, so a fork from inside a
// handler can tell that the child carries a copy of this very thread.
constinit __attribute__((tls_model("initial-exec"))) thread_local bool t_on_agent_thread = false;

// Decides under state_lock whether the thread goes on; a thread that ends
// clears thread_alive in the same critical section, so a concurrent init
// either re-arms it before this check or starts a fresh thread after it.
bool agent_continues() EXCLUDES(g_agent.state_lock) {
    if (g_agent.running.load() != 0) return true;
    mutex_guard guard(g_agent.state_lock);
    if (g_agent.running.load() != 0) return true;
    g_agent.thread_alive = false;
    return false;
}

// Ends the connection when a cycle leaves by any path, including a handler
// that ends the agent thread (pthread_exit unwinds through here).
class connection_guard {
  public:
    explicit connection_guard(int fd) : fd_(fd) { own_connection(fd_); }
    connection_guard(const connection_guard &) = delete;
    connection_guard &operator=(const connection_guard &) = delete;
    ~connection_guard() { end_connection(fd_); }

  private:
    int fd_;
};

int start_agent_thread(bool pause_first) REQUIRES(g_agent.state_lock);

// Covers an agent thread that ends other than through agent_continues (a
// handler calling pthread_exit): while the agent should run, a replacement
// thread takes over after the usual pause, as after any ended connection;
// otherwise the claim is dropped so that a later cli_agent_init starts a
// fresh thread.
class thread_claim {
  public:
    thread_claim() = default;
    thread_claim(const thread_claim &) = delete;
    thread_claim &operator=(const thread_claim &) = delete;
    ~thread_claim() {
        if (released_) return;
        mutex_guard guard(g_agent.state_lock);
        if (g_agent.running.load() != 0 && start_agent_thread(true) == 0) return;
        g_agent.running.store(0);
        g_agent.thread_alive = false;
    }
    void released() { released_ = true; }

  private:
    bool released_ = false;
};

void serve_connection(int fd, cli_frame &frame) {
    while (g_agent.running.load() != 0) {
        if (cli_recv_frame(fd, &frame) != 0) return;
        if (frame.type == CLI_FRAME_COMMAND) {
            // Commands still queued on a connection that cli_agent_destroy
            // ended must not run, even if a new init re-armed this thread.
            if (!connection_current(fd) || !execute_command(frame)) return;
        } else if (frame.type == CLI_FRAME_BYE) {
            return;
        }
    }
}

// Any local user can bind the unprivileged server port before the real
// server does. The agent runs what it is sent inside its host, so it talks
// only to a server owned by root or by its own effective user, the rule the
// kernel applies to signals and ptrace. Where the owner cannot be found at
// all the agent proceeds, so that an unusual sandbox keeps its CLI.
bool server_is_trusted(int fd) {
    uint32_t owner = 0;
    switch (cli_server_owner_uid(fd, cli_protocol::agent_port, &owner)) {
    case cli_owner_result::found:
        return owner == 0 || owner == geteuid();
    case cli_owner_result::unknown:
        return true;
    case cli_owner_result::absent:
        break;
    }
    return false;
}

// One connection cycle: connect, check the server, HELLO, ACK, serve, close,
// pause.
void run_connection(cli_frame &ack, cli_frame &frame) {
    int fd = cli_connect_server(cli_protocol::agent_port);
    bool stopped = false;
    if (fd >= 0) {
        connection_guard connection(fd);
        // Nothing is written to a server we do not trust.
        if (server_is_trusted(fd) && publish_and_hello(fd, &stopped) &&
            cli_recv_frame(fd, &ack) == 0 && ack.type == CLI_FRAME_ACK)
            serve_connection(fd, frame);
    }
    if (!stopped) cli_sleep_ms(CLI_RETRY_MS);
}

void *agent_thread_main(void *pause_first) {
    t_on_agent_thread = true;
    thread_claim claim;
    if (pause_first != nullptr) cli_sleep_ms(CLI_RETRY_MS);
    cli_frame ack;
    cli_frame frame;
    while (agent_continues())
        run_connection(ack, frame);
    claim.released();
    return nullptr;
}

int start_agent_thread(bool pause_first) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    size_t stack = 0;
    if (pthread_attr_getstacksize(&attr, &stack) != 0 || stack < CLI_AGENT_STACK_MIN)
        (void)pthread_attr_setstacksize(&attr, CLI_AGENT_STACK_MIN);
    (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    void *arg = pause_first ? &g_agent : nullptr;
    int rc = pthread_create(&g_agent.thread, &attr, agent_thread_main, arg);
    pthread_attr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

void ignore_sigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGPIPE, &sa, nullptr);
}

// The child of a fork has only the thread that forked. Whatever the other
// threads held is reset; the agent thread itself is gone, unless the fork
// came from inside a handler, in which case the child's copy of it finishes
// that command with its output dropped, closes its copy of the descriptor
// and ends.
void reset_agent_in_child() NO_THREAD_SAFETY_ANALYSIS {
    g_agent.state_lock.reset_after_fork();
    g_agent.send_lock.reset_after_fork();
    reset_command_table_lock_after_fork();
    g_agent.running.store(0);
    g_agent.sock = -1;
    if (t_on_agent_thread) return;
    if (g_agent.owned_fd != -1) close(g_agent.owned_fd);
    g_agent.owned_fd = -1;
    g_agent.thread_alive = false;
}

__attribute__((constructor)) void register_fork_handler() {
    (void)pthread_atfork(nullptr, nullptr, reset_agent_in_child);
}

} // namespace

extern "C" {

CLI_API int cli_agent_init(uint32_t agent_id, const char *name) {
    if (agent_id == 0 || name == nullptr) return -1;
    ignore_sigpipe();
    mutex_guard guard(g_agent.state_lock);
    if (g_agent.running.load() != 0) return 0;
    g_agent.sock = -1;
    g_agent.agent_id = agent_id;
    size_t n = strnlen(name, cli_protocol::agent_name_max);
    std::memcpy(g_agent.name.data(), name, n);
    g_agent.name[n] = '\0';
    g_agent.running.store(1);
    // A thread still stopping (in its pause, or in a long handler, or this
    // very thread when init is called from a handler) carries on as the new
    // agent, so two agent threads never serve at once.
    if (g_agent.thread_alive) return 0;
    if (start_agent_thread(false) != 0) {
        g_agent.running.store(0);
        return -1;
    }
    g_agent.thread_alive = true;
    return 0;
}

CLI_API int cli_agent_destroy(uint32_t agent_id) {
    mutex_guard guard(g_agent.state_lock);
    if (g_agent.running.load() == 0 || agent_id != g_agent.agent_id) return 0;
    g_agent.running.store(0);
    stop_connection_nowait();
    return 0;
}

CLI_API void cli_agent_sync_status(void) {}

} // extern "C"
