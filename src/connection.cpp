#include "connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "held_fds.h"
#include "test_hooks.h"
#include "transport.h"

namespace cli_internal {

namespace {

// How long cli_agent_destroy waits for a frame being written to finish
// and for its BYE to be taken: a write that makes progress finishes well
// within it even on a loaded machine with the writer preempted, and the
// whole destroy stays far below 100 ms.
constexpr long kByeWaitNs = 40L * 1000 * 1000;

struct connection_ref {
    int fd;
    uint32_t agent_id;
    uint64_t serial;
};

connection_ref published_connection() EXCLUDES(g_agent.state_lock) {
    mutex_guard guard(g_agent.state_lock);
    return {g_agent.sock, g_agent.agent_id, g_agent.open_serial};
}

timespec deadline_after(long ns) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_nsec += ns;
    t.tv_sec += t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

int ms_until(const timespec &deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return ms > 0 ? static_cast<int>(ms) : 0;
}

// BYE in full or not at all as far as the writer can tell: every byte is
// written without blocking, each piece once the socket has room, until the
// deadline. Only a server that stopped reading with its buffer full gets
// none (or, under memory pressure, a cut one, which the shutdown follows).
void send_bye_whole(int fd, uint32_t agent_id, const timespec &deadline) {
    std::array<uint8_t, CLI_FRAME_HDR_LEN> hdr;
    cli_protocol::encode_header(hdr.data(), CLI_FRAME_BYE, 0, agent_id, 0);
    size_t sent = 0;
    while (sent < hdr.size()) {
        pollfd p{fd, POLLOUT, 0};
        int ready = poll(&p, 1, ms_until(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (p.revents & POLLOUT) == 0) return;
        ssize_t n = send(fd, hdr.data() + sent, hdr.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

// Unpublishes fd if it is still the published connection and shuts it
// down, so that no frame follows one that went out in part and the agent
// thread's read ends.
void abandon_connection(int fd) EXCLUDES(g_agent.state_lock) {
    mutex_guard guard(g_agent.state_lock);
    if (g_agent.sock != fd) return;
    g_agent.sock = -1;
    shutdown(fd, SHUT_RDWR);
}

} // namespace

int connection_send(uint16_t type, uint32_t req_id, const uint8_t *data, uint32_t len) {
    if (t_forked_copy) return -1;
    mutex_guard sending(g_agent.send_lock);
    connection_ref conn = published_connection();
    if (conn.fd == -1) return -1;
    if (cli_send_frame(conn.fd, type, req_id, conn.agent_id, data, len) == 0) return 0;
    abandon_connection(conn.fd);
    return -1;
}

int connection_send_bytes(uint16_t type, uint32_t req_id, const char *data, size_t len) {
    if (len == 0) return connection_send(type, req_id, nullptr, 0);
    while (len > 0) {
        auto piece = static_cast<uint32_t>(std::min<size_t>(len, CLI_FRAME_MAX_DATA));
        if (connection_send(type, req_id, reinterpret_cast<const uint8_t *>(data), piece) != 0)
            return -1;
        data += piece;
        len -= piece;
    }
    return 0;
}

int connection_send_text(uint16_t type, uint32_t req_id, const char *text) {
    if (text == nullptr) text = "";
    return connection_send_bytes(type, req_id, text, std::strlen(text));
}

int current_connection() {
    if (t_forked_copy) return -1;
    mutex_guard guard(g_agent.state_lock);
    return g_agent.sock;
}

bool connection_current(int fd) {
    return current_connection() == fd;
}

bool publish_and_hello(int fd, bool *stopped) {
    mutex_guard sending(g_agent.send_lock);
    std::array<char, cli_protocol::agent_name_max + 1> name;
    uint32_t agent_id;
    {
        mutex_guard guard(g_agent.state_lock);
        if (g_agent.running.load() == 0) {
            *stopped = true;
            return false;
        }
        g_agent.sock = fd;
        agent_id = g_agent.agent_id;
        name = g_agent.name;
    }
    // A destroy from now on waits for this write before its BYE; its
    // shutdown ends the write if the server does not read.
    return cli_send_text(fd, CLI_FRAME_HELLO, 0, agent_id, name.data()) == 0;
}

int open_connection(uint16_t port) {
    int fd = held_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    {
        mutex_guard guard(g_agent.state_lock);
        g_agent.open_fd = fd;
        g_agent.open_serial = ++g_agent.last_serial;
    }
    test_hook(hook_point::connection_socket_opened);
    if (connect_loopback(fd, port) != 0) {
        end_connection(fd);
        return -1;
    }
    return fd;
}

void end_connection(int fd) {
    {
        mutex_guard sending(g_agent.send_lock);
        bool owes_bye = false;
        uint32_t agent_id = 0;
        {
            mutex_guard guard(g_agent.state_lock);
            if (g_agent.sock == fd) g_agent.sock = -1;
            if (g_agent.open_fd == fd) {
                owes_bye = g_agent.bye_owed != 0 && g_agent.bye_owed == g_agent.open_serial;
                if (owes_bye) g_agent.bye_owed = 0;
                agent_id = g_agent.agent_id;
                g_agent.open_fd = -1;
                g_agent.open_serial = 0;
            }
        }
        // The destroy that stopped this connection has not written its BYE
        // yet; the agent thread, about to close, writes it instead.
        if (owes_bye) send_bye_whole(fd, agent_id, deadline_after(kByeWaitNs));
    }
    held_close(fd);
}

stopped_connection unpublish_connection() {
    stopped_connection conn{g_agent.sock, g_agent.agent_id, g_agent.open_serial};
    if (conn.fd != -1) g_agent.bye_owed = conn.serial;
    g_agent.sock = -1;
    return conn;
}

void stop_connection(const stopped_connection &conn) {
    if (conn.fd == -1) return;
    timespec deadline = deadline_after(kByeWaitNs);
    if (g_agent.send_lock.try_lock_until(deadline)) {
        bool open;
        bool owes_bye;
        {
            mutex_guard guard(g_agent.state_lock);
            open = g_agent.open_serial == conn.serial;
            owes_bye = open && g_agent.bye_owed == conn.serial;
            if (owes_bye) g_agent.bye_owed = 0;
        }
        // Holding send_lock keeps the connection open: the agent thread
        // closes it only in end_connection, which waits for the lock.
        if (owes_bye) send_bye_whole(conn.fd, conn.agent_id, deadline);
        if (open) shutdown(conn.fd, SHUT_RDWR);
        g_agent.send_lock.unlock();
        return;
    }
    // A frame write makes no progress: the server stopped reading. The
    // shutdown ends that write; under state_lock the descriptor cannot be
    // closed and reused meanwhile.
    mutex_guard guard(g_agent.state_lock);
    if (g_agent.bye_owed == conn.serial) g_agent.bye_owed = 0;
    if (g_agent.open_serial == conn.serial) shutdown(conn.fd, SHUT_RDWR);
}

} // namespace cli_internal
