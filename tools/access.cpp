#include "access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace cliserver {

namespace {

constexpr size_t kNssBuffer = 16384;

struct PasswdEntry {
    std::string name;
    gid_t gid = 0;
};

std::optional<PasswdEntry> lookup_uid(uid_t uid) {
    std::vector<char> buf(kNssBuffer);
    passwd pw{};
    passwd *found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return std::nullopt;
    return PasswdEntry{found->pw_name, found->pw_gid};
}

std::optional<uid_t> lookup_user(const std::string &entry) {
    std::vector<char> buf(kNssBuffer);
    passwd pw{};
    passwd *found = nullptr;
    if (getpwnam_r(entry.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found)
        return found->pw_uid;
    if (entry.empty() ||
        !std::all_of(entry.begin(), entry.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    errno = 0;
    const unsigned long uid = std::strtoul(entry.c_str(), nullptr, 10);
    if (errno != 0 || uid >= static_cast<unsigned long>(static_cast<uid_t>(-1)))
        return std::nullopt;
    return static_cast<uid_t>(uid);
}

std::vector<std::string> split_commas(const std::string &list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        std::string item = list.substr(start, comma - start);
        const auto first = item.find_first_not_of(" \t");
        const auto last = item.find_last_not_of(" \t");
        out.push_back(first == std::string::npos ? "" : item.substr(first, last - first + 1));
        start = comma + 1;
    }
    return out;
}

std::string group_label(gid_t gid) {
    std::vector<char> buf(kNssBuffer);
    group gr{};
    group *found = nullptr;
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found) return found->gr_name;
    return std::to_string(gid);
}

} // namespace

std::optional<PeerCred> peer_credentials(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    return PeerCred{cred.pid, cred.uid, cred.gid};
}

std::string user_name(uid_t uid) {
    const auto entry = lookup_uid(uid);
    return entry ? entry->name : std::to_string(uid);
}

bool user_in_group(uid_t uid, gid_t gid) {
    const auto entry = lookup_uid(uid);
    if (!entry) return false;
    if (entry->gid == gid) return true;
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (getgrouplist(entry->name.c_str(), entry->gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size())) return false; // cannot grow: give up
        groups.resize(static_cast<size_t>(count));
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::optional<std::string> OperatorAccess::refusal(const PeerCred &peer) const {
    if (peer.uid == 0 || peer.uid == server_uid_) return std::nullopt;
    const std::string who = "uid " + std::to_string(peer.uid) + " (" + user_name(peer.uid) + ")";
    if (!group_)
        return "cli-server: access denied for " + who + ": only root and uid " +
               std::to_string(server_uid_) + " may use this server";
    if (peer.gid == *group_ || user_in_group(peer.uid, *group_)) return std::nullopt;
    return "cli-server: access denied for " + who + ": not root, uid " +
           std::to_string(server_uid_) + " or a member of group " + group_label(*group_);
}

std::optional<AgentUsers> AgentUsers::parse(const std::string &list, std::string *error) {
    AgentUsers users;
    users.restricted_ = true;
    for (const auto &entry : split_commas(list)) {
        const auto uid = lookup_user(entry);
        if (!uid) {
            if (error) *error = "--agent-users: '" + entry + "' is neither a user name nor a uid";
            return std::nullopt;
        }
        users.uids_.push_back(*uid);
    }
    return users;
}

bool AgentUsers::accepts(uid_t owner, uid_t server_uid) const {
    if (!restricted_ || owner == 0 || owner == server_uid) return true;
    return std::find(uids_.begin(), uids_.end(), owner) != uids_.end();
}

} // namespace cliserver
