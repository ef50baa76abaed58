// Whose agents the server accepts: --agent-users LIST (comma-separated
// names or uids) limits the agents to processes owned by those users; root
// and the server's own user are always accepted. Without the option every
// owner is.
//
// Threading: immutable after parse(), safe to share between threads.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace cliserver {

class AgentUsers {
  public:
    // Everybody's agents, the default.
    AgentUsers() = default;
    // Parses --agent-users; on failure returns nullopt and *error names the
    // entry that is neither a user name nor a uid.
    static std::optional<AgentUsers> parse(const std::string &list, std::string *error);

    bool accepts(uid_t owner, uid_t server_uid) const;
    bool restricted() const { return restricted_; }
    // The owners trusted by default: root, these uids (the server's user,
    // the client's) and the users listed.
    std::vector<uid_t> trusted_with(uid_t server_uid, std::optional<uid_t> client_uid = {}) const;

  private:
    bool restricted_ = false;
    std::vector<uid_t> uids_;
};

} // namespace cliserver
