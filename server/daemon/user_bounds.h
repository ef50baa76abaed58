// What the operators' clients may make the resident server hold, by user
// (the uid of the client): how many clients, and how many bytes of command
// lines waiting (queued or running) for agents. Each session already keeps
// within its own bounds (client_session.h); these keep one user's many
// clients from pinning the daemon's memory, or from locking others out.
//
// Every user has the same bound of their own; the users other than root
// and the server's own user also share a bound in all. Root's and the
// server's own user's clients count only against their own bound, so no
// group member's clients can lock the operator's monitoring out.
//
// Each command counts its text plus kCommandCost, what the daemon keeps
// about it besides (its record in the session and in the agent's queue):
// a bound in bytes is then a bound on memory whatever the lines' length.
//
// Threading: single-threaded, on the daemon's event loop.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace cliserver {

struct BoundsOptions {
    uint32_t clients_per_user = 64;     // --max-clients
    uint32_t clients_total = 256;       // --max-clients-total (users but root)
    size_t queued_per_user = 16u << 20; // --max-queued, in bytes
    size_t queued_total = 64u << 20;    // --max-queued-total (users but root)
};

class UserBounds {
  public:
    static constexpr size_t kCommandCost = 512;

    explicit UserBounds(BoundsOptions limits = {});

    // The bytes a command of this length counts for.
    static size_t cost(size_t line_size) { return line_size + kCommandCost; }

    // A client of uid is admitted (counted) unless a bound says no: then
    // the line to refuse it with, naming the bound.
    std::optional<std::string> admit_client(uid_t uid);
    void release_client(uid_t uid);
    // The same for the bytes of a command about to be queued.
    std::optional<std::string> charge(uid_t uid, size_t bytes);
    void refund(uid_t uid, size_t bytes);

    const BoundsOptions &limits() const { return limits_; }

  private:
    struct Use {
        unsigned clients = 0;
        size_t bytes = 0;
    };
    // Root and the server's own user: bounded, but outside the total.
    bool own(uid_t uid) const { return uid == 0 || uid == server_uid_; }
    void forget_if_idle(uid_t uid);

    BoundsOptions limits_;
    uid_t server_uid_;
    std::unordered_map<uid_t, Use> use_;
    unsigned shared_clients_ = 0; // of the users other than root
    size_t shared_bytes_ = 0;
};

// "16 MiB", "512 KiB" or "100 bytes", for refusals and the manual.
std::string size_text(size_t bytes);

} // namespace cliserver
