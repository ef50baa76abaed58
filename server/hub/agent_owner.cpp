#include "hub/agent_owner.h"

#include "core/users.h"
#include "sock_diag.h"
#include "unique_fd.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace cliserver {

namespace {

// Longer than the kernel ever needs for an exact lookup; it only keeps a
// stuck interface from stalling the loop.
constexpr int kNetlinkTimeoutMs = 1000;

struct DiagAnswer {
    uid_t uid = 0;
    unsigned long inode = 0;
};

template <typename Address> void copy_address(__be32 *words, const Address &a) {
    static_assert(sizeof a <= sizeof(inet_diag_sockid::idiag_src));
    std::memcpy(words, &a, sizeof a);
}

// Ports and addresses of the socket at the other end of ours, as Sock
// (sockaddr_in or sockaddr_in6) holds them.
template <typename Sock, typename Port, typename Address>
void name_peer_end(inet_diag_req_v2 &req, const sockaddr_storage &peer,
                   const sockaddr_storage &local, Port Sock::*port, Address Sock::*address) {
    const auto &p = reinterpret_cast<const Sock &>(peer);
    const auto &l = reinterpret_cast<const Sock &>(local);
    req.id.idiag_sport = p.*port;
    req.id.idiag_dport = l.*port;
    copy_address(req.id.idiag_src, p.*address);
    copy_address(req.id.idiag_dst, l.*address);
}

// The request names the agent's end: its address is our peer, its peer us.
bool fill_request(int fd, inet_diag_req_v2 &req) {
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t llen = sizeof local;
    socklen_t plen = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &llen) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &plen) != 0 ||
        local.ss_family != peer.ss_family)
        return false;
    req = cli_shared::tcp_exact_request(static_cast<uint8_t>(peer.ss_family));
    if (peer.ss_family == AF_INET) {
        name_peer_end(req, peer, local, &sockaddr_in::sin_port, &sockaddr_in::sin_addr);
        return true;
    }
    if (peer.ss_family == AF_INET6) {
        name_peer_end(req, peer, local, &sockaddr_in6::sin6_port, &sockaddr_in6::sin6_addr);
        return true;
    }
    return false;
}

std::optional<DiagAnswer> ask_sock_diag(const inet_diag_req_v2 &req) {
    cli_shared::UniqueFd nl(cli_shared::open_sock_diag());
    if (!nl.valid()) return std::nullopt;
    inet_diag_msg d{};
    if (cli_shared::sock_diag_lookup(nl.get(), req, kNetlinkTimeoutMs, &d) !=
        cli_shared::SockDiagStatus::found)
        return std::nullopt;
    return DiagAnswer{d.idiag_uid, d.idiag_inode};
}

bool is_pid_name(const char *name) {
    if (!*name) return false;
    for (const char *c = name; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

} // namespace

SocketOwner AgentOwnerLookup::socket_owner(int accepted_fd) {
    SocketOwner owner;
    inet_diag_req_v2 req{};
    if (!fill_request(accepted_fd, req)) return owner;
    const auto answer = ask_sock_diag(req);
    if (!answer) return owner;
    owner.uid = answer->uid;
    owner.inode = answer->inode;
    return owner;
}

// "socket:[12345]" -> 12345, else 0.
static unsigned long socket_link_inode(const char *target) {
    constexpr std::string_view prefix = "socket:[";
    if (std::strncmp(target, prefix.data(), prefix.size()) != 0) return 0;
    return std::strtoul(target + prefix.size(), nullptr, 10);
}

bool AgentOwnerLookup::collect(pid_t pid, std::unordered_set<unsigned long> &wanted,
                               std::unordered_map<unsigned long, pid_t> &found) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool any = false;
    char target[64];
    while (!wanted.empty()) {
        const dirent *e = readdir(d);
        if (!e) break;
        if (!is_pid_name(e->d_name)) continue;
        const ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        const unsigned long inode = socket_link_inode(target);
        if (inode == 0 || wanted.erase(inode) == 0) continue;
        found.emplace(inode, pid);
        any = true;
    }
    closedir(d);
    return any;
}

std::unordered_map<unsigned long, pid_t>
AgentOwnerLookup::pids_holding(const std::vector<unsigned long> &inodes) {
    std::unordered_set<unsigned long> wanted(inodes.begin(), inodes.end());
    wanted.erase(0);
    std::unordered_map<unsigned long, pid_t> found;
    for (const pid_t pid : std::vector<pid_t>(recent_))
        if (!wanted.empty() && collect(pid, wanted, found)) remember(pid);
    if (wanted.empty()) return found;
    DIR *proc = opendir("/proc");
    if (!proc) return found;
    size_t scanned = 0;
    while (!wanted.empty()) {
        const dirent *e = readdir(proc);
        if (!e) break;
        if (!is_pid_name(e->d_name)) continue;
        if (++scanned > kMaxProcesses) break;
        const auto pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
        if (collect(pid, wanted, found)) remember(pid);
    }
    closedir(proc);
    return found;
}

void AgentOwnerLookup::remember(pid_t pid) {
    recent_.erase(std::remove(recent_.begin(), recent_.end(), pid), recent_.end());
    recent_.insert(recent_.begin(), pid);
    if (recent_.size() > kRecentPids) recent_.pop_back();
}

} // namespace cliserver
