#include "hub/agent_users.h"

#include "core/users.h"

#include <algorithm>

namespace cliserver {

namespace {

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

} // namespace

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

std::vector<uid_t> AgentUsers::trusted_with(uid_t server_uid,
                                            std::optional<uid_t> client_uid) const {
    std::vector<uid_t> uids{0, server_uid};
    if (client_uid) uids.push_back(*client_uid);
    uids.insert(uids.end(), uids_.begin(), uids_.end());
    return uids;
}

} // namespace cliserver
