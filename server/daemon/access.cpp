#include "daemon/access.h"

#include "core/users.h"

namespace cliserver {

std::optional<std::string> OperatorAccess::refusal(const PeerCred &peer) const {
    if (peer.uid == 0 || peer.uid == server_uid_) return std::nullopt;
    const std::string who = "uid " + std::to_string(peer.uid) + " (" + user_name(peer.uid) + ")";
    if (!group_)
        return "access denied for " + who + ": only root and uid " + std::to_string(server_uid_) +
               " may use this server";
    if (peer.gid == *group_ || user_in_group(peer.uid, *group_)) return std::nullopt;
    return "access denied for " + who + ": not root, uid " + std::to_string(server_uid_) +
           " or a member of group " + group_label(*group_);
}

} // namespace cliserver
