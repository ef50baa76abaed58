// Who is at the other end of a socket, and users and groups by name: the
// facts the daemon's access control, the agents' owners and the operator's
// listings are built from.
//
// Threading: plain functions, no shared state; a UserNames belongs to one
// thread. The lookups go through NSS (getpwuid_r, getgrouplist), which
// reads /etc/passwd and /etc/group here but may block on a network
// directory elsewhere.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
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

// uid_text for many lines about few users: each name read from the user
// database (a file, or a directory service) once and kept for max_age, so a
// long-lived process sees a renamed user that much later at most. At most
// kMaxUsers names are kept; past that they are all read afresh. A name
// returned by reference is good until the next call.
class UserNames {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxUsers = 1024;

    explicit UserNames(Clock::duration max_age = Clock::duration::max()) : max_age_(max_age) {}
    const std::string &of(uid_t uid, Clock::time_point now = Clock::now());
    std::string of(const std::optional<uid_t> &uid) { return uid ? of(*uid) : uid_text(uid); }

  private:
    struct Name {
        std::string text;
        Clock::time_point read_at;
    };
    Clock::duration max_age_;
    std::unordered_map<uid_t, Name> names_;
};

} // namespace cliserver
