#include "hub/agent_owner.h"

#include "core/users.h"
#include "unique_fd.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace cliserver {

namespace {

constexpr int kNetlinkTimeoutMs = 1000;

struct DiagAnswer {
    uid_t uid = 0;
    unsigned long inode = 0;
};

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
    std::memset(&req, 0, sizeof req);
    req.sdiag_family = static_cast<uint8_t>(peer.ss_family);
    req.sdiag_protocol = IPPROTO_TCP;
    req.idiag_states = ~0u;
    req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (peer.ss_family == AF_INET) {
        const auto &p = reinterpret_cast<const sockaddr_in &>(peer);
        const auto &l = reinterpret_cast<const sockaddr_in &>(local);
        req.id.idiag_sport = p.sin_port;
        req.id.idiag_dport = l.sin_port;
        std::memcpy(req.id.idiag_src, &p.sin_addr, sizeof p.sin_addr);
        std::memcpy(req.id.idiag_dst, &l.sin_addr, sizeof l.sin_addr);
        return true;
    }
    if (peer.ss_family == AF_INET6) {
        const auto &p = reinterpret_cast<const sockaddr_in6 &>(peer);
        const auto &l = reinterpret_cast<const sockaddr_in6 &>(local);
        req.id.idiag_sport = p.sin6_port;
        req.id.idiag_dport = l.sin6_port;
        std::memcpy(req.id.idiag_src, &p.sin6_addr, sizeof p.sin6_addr);
        std::memcpy(req.id.idiag_dst, &l.sin6_addr, sizeof l.sin6_addr);
        return true;
    }
    return false;
}

std::optional<DiagAnswer> ask_sock_diag(const inet_diag_req_v2 &req) {
    cli_shared::UniqueFd nl(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!nl.valid()) return std::nullopt;
    timeval tv{kNetlinkTimeoutMs / 1000, (kNetlinkTimeoutMs % 1000) * 1000};
    setsockopt(nl.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    struct {
        nlmsghdr hdr;
        inet_diag_req_v2 req;
    } msg{};
    msg.hdr.nlmsg_len = sizeof msg;
    msg.hdr.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.hdr.nlmsg_flags = NLM_F_REQUEST;
    msg.hdr.nlmsg_seq = 1;
    msg.req = req;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl.get(), &msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof msg))
        return std::nullopt;

    alignas(nlmsghdr) char buf[8192];
    const ssize_t n = recv(nl.get(), buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    int left = static_cast<int>(n);
    for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) return std::nullopt; // NLMSG_ERROR, DONE
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
        const auto *d = static_cast<const inet_diag_msg *>(NLMSG_DATA(h));
        return DiagAnswer{d->idiag_uid, d->idiag_inode};
    }
    return std::nullopt;
}

bool is_pid_name(const char *name) {
    if (!*name) return false;
    for (const char *c = name; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

bool process_holds_socket(pid_t pid, const std::string &link_text) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    char target[64];
    while (const dirent *e = readdir(d)) {
        if (!is_pid_name(e->d_name)) continue;
        const ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (link_text == target) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

} // namespace

AgentOwner OwnerLookup::lookup(int accepted_fd) {
    AgentOwner owner;
    inet_diag_req_v2 req{};
    if (!fill_request(accepted_fd, req)) return owner;
    const auto answer = ask_sock_diag(req);
    if (!answer) return owner;
    owner.uid = answer->uid;
    if (answer->inode != 0) owner.pid = find_pid(answer->inode);
    return owner;
}

SocketOwner OwnerLookup::socket_owner(int accepted_fd) {
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

bool OwnerLookup::collect(pid_t pid, std::unordered_set<unsigned long> &wanted,
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
OwnerLookup::pids_holding(const std::vector<unsigned long> &inodes) {
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

std::optional<pid_t> OwnerLookup::find_pid(unsigned long inode) {
    const std::string link_text = "socket:[" + std::to_string(inode) + "]";
    for (const pid_t pid : recent_)
        if (process_holds_socket(pid, link_text)) return pid;
    DIR *proc = opendir("/proc");
    if (!proc) return std::nullopt;
    std::optional<pid_t> found;
    size_t scanned = 0;
    while (const dirent *e = readdir(proc)) {
        if (!is_pid_name(e->d_name)) continue;
        if (++scanned > kMaxProcesses) break;
        const auto pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
        if (process_holds_socket(pid, link_text)) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    if (found) remember(*found);
    return found;
}

void OwnerLookup::remember(pid_t pid) {
    recent_.erase(std::remove(recent_.begin(), recent_.end(), pid), recent_.end());
    recent_.insert(recent_.begin(), pid);
    if (recent_.size() > kRecentPids) recent_.pop_back();
}

} // namespace cliserver
