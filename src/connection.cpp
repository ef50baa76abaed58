#include "connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "transport.h"

namespace cli_internal {

namespace {

struct connection_ref {
    int fd;
    uint32_t agent_id;
};

connection_ref published_connection() EXCLUDES(g_agent.state_lock) {
    mutex_guard guard(g_agent.state_lock);
    return {g_agent.sock, g_agent.agent_id};
}

// Sends BYE without blocking: a server that stopped reading must not be able
// to hold the host's shutdown path.
void send_bye_nowait(int fd, uint32_t agent_id) {
    std::array<uint8_t, CLI_FRAME_HDR_LEN> hdr;
    cli_protocol::encode_header(hdr.data(), CLI_FRAME_BYE, 0, agent_id, 0);
    (void)send(fd, hdr.data(), hdr.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Taking send_lock while state_lock is held reverses the lock order; a try
// cannot deadlock, so this one place is exempt from the order check.
void send_bye_if_idle(int fd, uint32_t agent_id) NO_THREAD_SAFETY_ANALYSIS {
    if (!g_agent.send_lock.try_lock()) return;
    send_bye_nowait(fd, agent_id);
    g_agent.send_lock.unlock();
}

} // namespace

int connection_send(uint16_t type, uint32_t req_id, const uint8_t *data, uint32_t len) {
    mutex_guard sending(g_agent.send_lock);
    connection_ref conn = published_connection();
    if (conn.fd == -1) return -1;
    return cli_send_frame(conn.fd, type, req_id, conn.agent_id, data, len);
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
    // A destroy from now on finds send_lock taken and sends no BYE of its
    // own; its shutdown makes this write fail instead.
    return cli_send_text(fd, CLI_FRAME_HELLO, 0, agent_id, name.data()) == 0;
}

void own_connection(int fd) {
    mutex_guard guard(g_agent.state_lock);
    g_agent.owned_fd = fd;
}

void end_connection(int fd) {
    {
        mutex_guard guard(g_agent.state_lock);
        if (g_agent.sock == fd) g_agent.sock = -1;
        if (g_agent.owned_fd == fd) g_agent.owned_fd = -1;
    }
    close(fd);
}

void stop_connection_nowait() {
    if (g_agent.sock == -1) return;
    send_bye_if_idle(g_agent.sock, g_agent.agent_id);
    // The agent thread's read or write ends; it closes the descriptor itself.
    shutdown(g_agent.sock, SHUT_RDWR);
    g_agent.sock = -1;
}

} // namespace cli_internal
