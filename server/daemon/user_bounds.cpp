#include "daemon/user_bounds.h"

#include "core/text.h"
#include "core/users.h"

#include <unistd.h>

namespace cliserver {

UserBounds::UserBounds(BoundsOptions limits) : limits_(limits), server_uid_(getuid()) {}

std::string size_text(size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

namespace {

std::string user_of(uid_t uid) {
    return "user " + printable(user_name(uid));
}

} // namespace

std::optional<std::string> UserBounds::admit_client(uid_t uid) {
    Use &u = use_[uid];
    if (u.clients >= limits_.clients_per_user) {
        forget_if_idle(uid);
        return "refused: " + user_of(uid) + " already has " +
               std::to_string(limits_.clients_per_user) +
               " clients of the resident server (the bound per user, --max-clients)";
    }
    if (!own(uid) && shared_clients_ >= limits_.clients_total) {
        forget_if_idle(uid);
        return "refused: the resident server already has " + std::to_string(limits_.clients_total) +
               " clients of users other than root (--max-clients-total)";
    }
    ++u.clients;
    if (!own(uid)) ++shared_clients_;
    return std::nullopt;
}

void UserBounds::release_client(uid_t uid) {
    auto it = use_.find(uid);
    if (it == use_.end() || it->second.clients == 0) return;
    --it->second.clients;
    if (!own(uid)) --shared_clients_;
    forget_if_idle(uid);
}

std::optional<std::string> UserBounds::charge(uid_t uid, size_t bytes) {
    Use &u = use_[uid];
    if (u.bytes + bytes > limits_.queued_per_user)
        return "refused: " + user_of(uid) + "'s clients already have " + size_text(u.bytes) +
               " of commands waiting, and " + size_text(limits_.queued_per_user) +
               " is the bound per user (--max-queued); the connection is closed";
    if (!own(uid) && shared_bytes_ + bytes > limits_.queued_total)
        return "refused: the commands waiting in the resident server fill the " +
               size_text(limits_.queued_total) +
               " bound of all users but root (--max-queued-total); the connection is closed";
    u.bytes += bytes;
    if (!own(uid)) shared_bytes_ += bytes;
    return std::nullopt;
}

void UserBounds::refund(uid_t uid, size_t bytes) {
    auto it = use_.find(uid);
    if (it == use_.end()) return;
    const size_t n = std::min(bytes, it->second.bytes);
    it->second.bytes -= n;
    if (!own(uid)) shared_bytes_ -= std::min(n, shared_bytes_);
    forget_if_idle(uid);
}

void UserBounds::forget_if_idle(uid_t uid) {
    auto it = use_.find(uid);
    if (it != use_.end() && it->second.clients == 0 && it->second.bytes == 0) use_.erase(it);
}

} // namespace cliserver
