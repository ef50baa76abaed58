#include "core/users.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

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

} // namespace

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

std::string group_label(gid_t gid) {
    std::vector<char> buf(kNssBuffer);
    group gr{};
    group *found = nullptr;
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found) return found->gr_name;
    return std::to_string(gid);
}

std::optional<PeerCred> peer_credentials(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    PeerCred peer{cred.pid, cred.uid, cred.gid, {}};
    // At most NGROUPS_MAX of them; the kernel says how many when the room is short.
    std::vector<gid_t> groups(64);
    for (int tries = 0; tries < 3; ++tries) {
        socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            peer.groups = std::move(groups);
            return peer;
        }
        if (errno != ERANGE || size / sizeof(gid_t) <= groups.size()) break;
        groups.resize(size / sizeof(gid_t));
    }
    // Without its groups a connection is a member of its primary group only.
    return peer;
}

std::string user_name(uid_t uid) {
    const auto entry = lookup_uid(uid);
    return entry ? entry->name : std::to_string(uid);
}

std::vector<gid_t> groups_of_user(uid_t uid) {
    const auto entry = lookup_uid(uid);
    if (!entry) return {};
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (getgrouplist(entry->name.c_str(), entry->gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size())) return {entry->gid}; // cannot grow
        groups.resize(static_cast<size_t>(count));
    }
    groups.resize(static_cast<size_t>(count));
    return groups;
}

bool user_in_group(uid_t uid, gid_t gid) {
    const auto groups = groups_of_user(uid);
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string pid_text(const std::optional<pid_t> &pid) {
    return pid ? std::to_string(*pid) : "?";
}

std::string uid_text(const std::optional<uid_t> &uid) {
    return uid ? user_name(*uid) : "?";
}

std::optional<gid_t> lookup_group(const std::string &name) {
    if (name.empty()) return std::nullopt;
    std::vector<char> buf(16384);
    group gr{};
    group *found = nullptr;
    if (getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &found) == 0 && found)
        return found->gr_gid;
    char *end = nullptr;
    errno = 0;
    const unsigned long gid = std::strtoul(name.c_str(), &end, 10);
    if (errno == 0 && end && *end == '\0' && name[0] >= '0' && name[0] <= '9' &&
        gid < static_cast<unsigned long>(static_cast<gid_t>(-1)))
        return static_cast<gid_t>(gid);
    return std::nullopt;
}

const std::string &UserNames::of(uid_t uid, Clock::time_point now) {
    auto it = names_.find(uid);
    if (it != names_.end() && now - it->second.read_at < max_age_) return it->second.text;
    if (it == names_.end() && names_.size() >= kMaxUsers) names_.clear();
    Name &n = names_[uid];
    n.text = user_name(uid);
    n.read_at = now;
    return n.text;
}

} // namespace cliserver
