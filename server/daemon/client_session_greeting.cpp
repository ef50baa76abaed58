// A client's greeting: the protocol version it speaks, and what a client of
// that version is told first.
#include "daemon/client_session.h"

#include "hub/agent_selection.h"

#include <string>

namespace cliserver {

namespace op = operator_protocol;

void ClientSession::hello(const op::Message &m) {
    op::Hello h;
    std::string why;
    std::string out;
    if (!op::parse_hello(m, h, &why) || !op::served_version(h.version)) {
        refuse("this server speaks operator protocol version " +
               std::to_string(op::kOldestVersion) + " to " + std::to_string(op::kVersion) +
               (why.empty() ? ", not " + std::to_string(h.version) : ": " + why));
        fail("refused the client's HELLO");
        return;
    }
    greeted_ = true;
    scripted_ = h.mode == op::Mode::kScripted;
    version_ = h.version;
    decoder_.speak(version_);
    op::encode_welcome(out, welcome_for(version_));
    agents_.for_each_agent([&](const AgentView &a) {
        if (sees(a)) op::encode_agent_up(out, a);
    });
    op::encode_ready(out);
    send(out);
}

// Until the client is welcomed, its version is not agreed: the refusal
// then takes the form every version reads.
void ClientSession::refuse(const std::string &reason) {
    std::string out;
    op::encode_refused(out, op::refused_line(greeted_ ? version_ : op::kUnknownVersion, reason));
    send(out);
}

// What a client of each version is told first. From version 2, the owners
// whose agents it reaches without @USER: the hub's (root, the daemon's user,
// --agent-users) and the client's own user.
op::Welcome ClientSession::welcome_for(uint16_t version) const {
    op::Welcome w;
    w.version = version;
    if (op::welcome_names_owners(version)) {
        w.trusted_owners = agents_.trusted_owners().uids();
        w.trusted_owners.push_back(peer_.uid);
    }
    return w;
}

} // namespace cliserver
