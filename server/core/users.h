// Who is at the other end of a socket, and users and groups by name: the
// facts the daemon's access control, the agents' owners and the operator's
// listings are built from.
//
// Threading: plain functions, no shared state. The lookups go through NSS
// (getpwuid_r, getgrouplist), which reads /etc/passwd and /etc/group here
// but may block on a network directory elsewhere.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace cliserver {

struct PeerCred {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    // Its supplementary groups as the connection holds them (SO_PEERGROUPS),
    // not as the group database says now.
    std::vector<gid_t> groups = std::vector<gid_t>();

    bool in_group(gid_t g) const {
        return gid == g || std::find(groups.begin(), groups.end(), g) != groups.end();
    }
};

// The credentials of the process at the other end of a Unix socket, its
// supplementary groups included.
std::optional<PeerCred> peer_credentials(int fd);

// The user name of uid, or its number as text when it has none.
std::string user_name(uid_t uid);
// The uid of a user name, or of a number given as text.
std::optional<uid_t> lookup_user(const std::string &entry);
// True when uid's user has gid as a primary or supplementary group.
bool user_in_group(uid_t uid, gid_t gid);
// The group named by --group NAME (or a numeric gid), or nullopt.
std::optional<gid_t> lookup_group(const std::string &name);
// uid's groups in the group database (primary and supplementary); empty
// when it has no user entry.
std::vector<gid_t> groups_of_user(uid_t uid);
// The group's name, or its number as text when it has none.
std::string group_label(gid_t gid);

// "1234" or "?" for ls.
std::string pid_text(const std::optional<pid_t> &pid);
// The user name, else the uid as a number, else "?".
std::string uid_text(const std::optional<uid_t> &uid);

} // namespace cliserver
