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
// - The descriptor: only the agent thread closes it, in end_connection,
//   which takes send_lock first. cli_agent_destroy unpublishes it at once,
//   then waits a bounded time (tens of milliseconds) for send_lock, writes
//   BYE whole if the connection takes it in that time, and shuts the
//   connection down, which ends a blocked read or write; a server that
//   stopped reading costs it only the wait. If the agent thread gets to
//   close that connection first (it saw running at 0, or a queued command
//   of the ended connection), it writes the owed BYE itself. HELLO is written under send_lock
//   from the moment the descriptor is published, so it precedes every other
//   frame.
// - running is atomic: written under state_lock, polled by the agent thread
//   without it; the thread decides to end only under state_lock.
// - g_ctx is thread-local and set only on the agent thread while a command
//   runs.
// - Signals: the agent thread blocks every asynchronous signal, so a
//   process-directed signal is always handled on one of the host's threads,
//   never while the agent thread holds a lock.
// - fork: a prepare handler takes state_lock, the command table's lock and
//   the descriptor record's lock (never send_lock, which a writer blocked on
//   the network may hold), so the child sees consistent records. The child
//   has no agent thread: it closes every descriptor the library had open
//   (never shutting one down, so the parent's connection is untouched),
//   returns the record to "not running", and its own cli_agent_init starts a
//   fresh agent. If the fork came from inside a handler, the child's only
//   thread is a copy of the agent thread: once the handler returns, that
//   copy drops the command's output and ends without reading or writing
//   anything.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "agent_state.h"
#include "cli_agent.h"
#include "command_table.h"
#include "connection.h"
#include "executor.h"
#include "held_fds.h"
#include "owner_lookup.h"
#include "test_hooks.h"

// Tests build a copy of the library with a shorter pause so that long
// reconnect cycles stay fast; the shipped library always waits one second.
#ifndef CLI_AGENT_RETRY_MS
#define CLI_AGENT_RETRY_MS 1000
#endif

namespace cli_internal {

constinit agent_state g_agent;
constinit __attribute__((tls_model("initial-exec"))) thread_local bool t_forked_copy = false;

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
    explicit connection_guard(int fd) : fd_(fd) {}
    connection_guard(const connection_guard &) = delete;
    connection_guard &operator=(const connection_guard &) = delete;
    // A forked copy's number was closed in the child and may name the
    // child's own connection by now.
    ~connection_guard() {
        if (!t_forked_copy) end_connection(fd_);
    }

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
        if (released_ || t_forked_copy) return;
        mutex_guard guard(g_agent.state_lock);
        if (g_agent.running.load() != 0 && start_agent_thread(true) == 0) return;
        g_agent.running.store(0);
        g_agent.thread_alive = false;
    }
    void released() { released_ = true; }

  private:
    bool released_ = false;
};

void serve_connection(int fd, cli_frame &frame, bool with_results) {
    while (g_agent.running.load() != 0) {
        if (cli_recv_frame(fd, &frame) != 0) return;
        if (frame.type == CLI_FRAME_COMMAND) {
            // Commands still queued on a connection that cli_agent_destroy
            // ended must not run, even if a new init re-armed this thread.
            if (!connection_current(fd) || !execute_command(frame, with_results) || t_forked_copy)
                return;
        } else if (frame.type == CLI_FRAME_BYE) {
            return;
        }
    }
}

// Any local user can bind the unprivileged server port before the real
// server does. The agent runs what it is sent inside its host, so it talks
// only to a server owned by root or by its own effective user, the rule the
// kernel applies to signals and ptrace. Where the owner cannot be found at
// all (a sandbox that refuses netlink sockets and hides /proc/net) the
// agent cannot tell the real server from a squatter, so it talks to none.
bool server_is_trusted(int fd) {
    test_hook(hook_point::before_owner_lookup);
    uint32_t owner = 0;
    if (cli_server_owner_uid(fd, cli_protocol::agent_port, &owner) != cli_owner_result::found)
        return false;
    return owner == 0 || owner == geteuid();
}

// One connection cycle: connect, check the server, HELLO, ACK, serve, close,
// pause.
void run_connection(cli_frame &ack, cli_frame &frame) {
    int fd = open_connection(cli_protocol::agent_port);
    bool stopped = false;
    if (fd >= 0) {
        connection_guard connection(fd);
        // Nothing is written to a server we do not trust.
        if (server_is_trusted(fd) && publish_and_hello(fd, &stopped) &&
            cli_recv_frame(fd, &ack) == 0 && ack.type == CLI_FRAME_ACK)
            serve_connection(fd, frame, cli_protocol::asks_for_results(ack.data, ack.len));
    }
    if (!stopped && !t_forked_copy) cli_sleep_ms(CLI_RETRY_MS);
}

void *agent_thread_main(void *pause_first) {
    t_on_agent_thread = true;
    // So that top -H, ps -L and debuggers tell it from the host's threads.
    (void)pthread_setname_np(pthread_self(), "cli_agent");
    thread_claim claim;
    if (pause_first != nullptr) cli_sleep_ms(CLI_RETRY_MS);
    cli_frame ack;
    cli_frame frame;
    while (!t_forked_copy && agent_continues())
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
    // The thread starts with every asynchronous signal blocked: a
    // process-directed signal must reach one of the host's threads, whose
    // handler may then call into the library. Faults stay deliverable, so a
    // crash on the agent thread still reaches the host's crash handler.
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
        sigdelset(&blocked, sig);
    (void)pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    int rc = pthread_create(&g_agent.thread, &attr, agent_thread_main, arg);
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

void ignore_sigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGPIPE, &sa, nullptr);
}

// Held across fork, so that the child copies consistent records: the
// state, the command table and the descriptors. send_lock is not taken: a
// writer blocked on a server that stopped reading may hold it for as long
// as that server likes.
void lock_before_fork() NO_THREAD_SAFETY_ANALYSIS {
    g_agent.state_lock.lock();
    lock_command_table_for_fork();
    held_fds_prepare_fork();
}

void unlock_in_parent() NO_THREAD_SAFETY_ANALYSIS {
    held_fds_parent_after_fork();
    unlock_command_table_after_fork();
    g_agent.state_lock.unlock();
}

// The child has only the thread that forked. It holds the prepare
// handler's locks; send_lock may have been held by a thread that does not
// exist here. Every descriptor the library had open is closed (the
// parent's connection stays up: a close of a copy sends nothing), and a
// fork from inside a handler leaves this thread as a copy of the agent
// thread, which must end once the handler returns.
void reset_agent_in_child() NO_THREAD_SAFETY_ANALYSIS {
    g_agent.send_lock.reset_after_fork();
    g_agent.running.store(0);
    g_agent.sock = -1;
    g_agent.open_fd = -1;
    g_agent.open_serial = 0;
    g_agent.bye_owed = 0;
    g_agent.thread_alive = false;
    if (t_on_agent_thread) t_forked_copy = true;
    held_fds_child_after_fork();
    unlock_command_table_after_fork();
    g_agent.state_lock.unlock();
}

__attribute__((constructor)) void register_fork_handler() {
    (void)pthread_atfork(lock_before_fork, unlock_in_parent, reset_agent_in_child);
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
    stopped_connection conn{};
    {
        mutex_guard guard(g_agent.state_lock);
        if (g_agent.running.load() == 0 || agent_id != g_agent.agent_id) return 0;
        g_agent.running.store(0);
        conn = unpublish_connection();
    }
    stop_connection(conn);
    return 0;
}

CLI_API void cli_agent_sync_status(void) {}

} // extern "C"
