// The access policy as the resident server holds it: read from --policy
// FILE at start-up and again on SIGHUP. The file is checked as the audit
// log is, and more strictly, since it grants rights: no symbolic link, a
// regular file, owned by root or the server's own user, writable by
// nobody else. A reload that fails leaves the policy in force as it was.
//
// Threading: single-threaded, on the daemon's event loop; sessions read it
// at each decision, so a reload applies to the next command of every client.
#pragma once

#include "daemon/access_policy.h"

#include <unistd.h>

#include <optional>
#include <string>

namespace cliserver {

// Reads and parses path; nullopt with *error ("FILE:LINE: what", or "FILE:
// what" for a file that cannot be used).
std::optional<AccessPolicy> load_policy(const std::string &path, std::string *error);

class PolicyFile {
  public:
    // No policy: every client that may connect may run every command.
    PolicyFile() = default;
    PolicyFile(std::string path, AccessPolicy policy)
        : path_(std::move(path)), policy_(std::move(policy)) {}

    // Root and the server's own user are never subject to the rules.
    bool applies_to(uid_t client) const {
        return policy_.has_value() && client != 0 && client != getuid();
    }
    const AccessPolicy &rules() const { return *policy_; }
    // SIGHUP: true when the file was read again; false with *error, the old
    // policy still in force.
    bool reload(std::string *error);
    const std::string &path() const { return path_; }
    // Changes with every reload: what was derived from the rules before is stale.
    uint64_t generation() const { return generation_; }

  private:
    std::string path_;
    std::optional<AccessPolicy> policy_;
    uint64_t generation_ = 0;
};

} // namespace cliserver
