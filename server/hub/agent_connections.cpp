// The hub's connections to agents (agent_hub.h): the listener, accepting
// within the descriptors set aside for agents, the bounds on connections
// that have not said HELLO, and each agent's byte stream: reading frames
// under backpressure and sending frames with a bounded queue.
//
// Threading: single-threaded, on the event loop's thread, like the hub.
#include "hub/agent_hub.h"

#include "core/peer_pump.h"

#include "cli_common.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace cliserver {

namespace {

constexpr size_t kMaxSendQueue = 1u << 20; // an agent that stops reading is dropped
// Connections closed before HELLO are journalled with the process that
// held them, when it can be found: at most this many /proc walks a second.
constexpr unsigned kOwnerWalksPerSecond = 4;
// Silent connections closed at once when the descriptors run short.
constexpr size_t kEvictBatch = 16;

} // namespace

bool AgentHub::listen(std::string *error) {
    int fd = cli_open_server(options_.port);
    if (fd < 0) {
        int err = errno;
        std::string why = err == EADDRINUSE ? "the port is already in use (is another cli-server "
                                              "running?)"
                                            : std::strerror(err);
        *error = "cannot listen on 127.0.0.1:" + std::to_string(options_.port) + ": " + why;
        return false;
    }
    rlimit lim{};
    const rlim_t files = getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
    if (files == RLIM_INFINITY || files > (rlim_t{1} << 30))
        max_agents_ = size_t{1} << 30;
    else if (files > 2 * kReservedDescriptors)
        max_agents_ = static_cast<size_t>(files) - kReservedDescriptors;
    else
        max_agents_ = static_cast<size_t>(files) / 2;
    // Thousands of agents may connect at once (all of a machine's services
    // when the server starts): a short backlog would drop their SYNs and
    // cost each a retransmission second.
    ::listen(fd, SOMAXCONN);
    listener_.start(cli_shared::UniqueFd(fd), [this] { accept_agents(); });
    return true;
}

// ---------------------------------------------------------------- connections

// The descriptors agents may have are all taken: the oldest connections
// that have not said HELLO go, and are closed at the end of this loop
// iteration. False when nothing could be freed.
bool AgentHub::make_room() {
    size_t evicted = 0;
    while (!ungreeted_.empty() && evicted < kEvictBatch) {
        Agent *a = find(*ungreeted_.begin());
        if (!a || a->closed) {
            ungreeted_.erase(ungreeted_.begin());
            continue;
        }
        const uint64_t serial = a->serial;
        read_agent(*a); // its HELLO may be waiting
        a = find(serial);
        if (a && !a->closed && !a->greeted) {
            refusals_.count(AgentRefusal::kTooManyWaiting);
            drop_agent(*a, "closed before HELLO: the server is short of descriptors for agents",
                       Notice::kWarning);
        }
        ++evicted;
    }
    return evicted > 0;
}

void AgentHub::accept_agents() {
    for (;;) {
        if (agents_.size() >= max_agents_) {
            // Closed connections free their descriptors when reaped, after
            // this iteration; the listener stays readable until then.
            if (!make_room()) {
                hub_notice(Notice::kWarning,
                           "cannot accept more agents: " + std::to_string(agents_.size()) +
                               " connections use the descriptors set aside "
                               "for them");
                listener_.pause();
            }
            return;
        }
        cli_shared::UniqueFd fd = listener_.accept([this](int err) {
            hub_notice(Notice::kWarning,
                       "cannot accept more agents: " + std::string(std::strerror(err)));
        });
        if (!fd.valid()) return;
        admit(std::move(fd));
    }
}

void AgentHub::admit(cli_shared::UniqueFd fd) {
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto a = std::make_unique<Agent>();
    a->serial = next_serial_++;
    a->connected_at = std::chrono::system_clock::now();
    a->accepted = std::chrono::steady_clock::now();
    // Its owner is looked up while the agent still holds its end, so a
    // connection that closes before HELLO can be told to the journal
    // with its user; an end no process holds any more (inode 0) has
    // no user worth the name.
    const SocketOwner owner = owners_.socket_owner(fd.get());
    if (owner.inode != 0) {
        a->uid = owner.uid;
        a->socket_inode = owner.inode;
    }
    a->stream.reset(std::move(fd));
    const uint64_t serial = a->serial;
    Agent &added = *agents_.emplace(serial, std::move(a)).first->second;
    by_serial_.emplace(serial, &added);
    ungreeted_.insert(serial);
    added.stream.watch(loop_, true, [this, serial](uint32_t ev) { on_agent_events(serial, ev); });
    if (ungreeted_.size() > kMaxUngreeted) evict_oldest_ungreeted();
    arm_hello_timer();
}

// Too many connections wait for their HELLO: the oldest goes, after what it
// sent has been read.
void AgentHub::evict_oldest_ungreeted() {
    Agent *oldest = find(*ungreeted_.begin());
    if (!oldest) return;
    const uint64_t old_serial = oldest->serial;
    read_agent(*oldest);
    oldest = find(old_serial);
    if (oldest && !oldest->closed && !oldest->greeted) {
        refusals_.count(AgentRefusal::kTooManyWaiting);
        drop_agent(*oldest,
                   "closed before HELLO: " + std::to_string(kMaxUngreeted) +
                       " newer connections are waiting for theirs",
                   Notice::kWarning);
    }
}

void AgentHub::arm_hello_timer() {
    if (hello_timer_ || ungreeted_.empty()) return;
    const Agent *oldest = find(*ungreeted_.begin());
    const auto when =
        (oldest ? oldest->accepted : std::chrono::steady_clock::now()) + kHelloTimeout;
    hello_timer_ = loop_.add_timer(when, [this] {
        hello_timer_ = 0;
        on_hello_timer();
    });
}

// Connections are accepted in the order of their serials, so the ones past
// their time are at the front.
void AgentHub::on_hello_timer() {
    const auto now = std::chrono::steady_clock::now();
    while (!ungreeted_.empty()) {
        Agent *a = find(*ungreeted_.begin());
        if (!a || a->closed || a->greeted) {
            ungreeted_.erase(ungreeted_.begin());
            continue;
        }
        if (now - a->accepted < kHelloTimeout) break;
        refusals_.count(AgentRefusal::kNoHello);
        drop_agent(*a, "closed: no HELLO within " + std::to_string(kHelloTimeout.count()) + " s",
                   Notice::kWarning);
    }
    arm_hello_timer();
}

void AgentHub::on_agent_events(uint64_t serial, uint32_t events) {
    Agent *a = find(serial);
    if (!a || a->closed) return;
    if (events & EPOLLOUT) flush_agent(*a);
    if (!a->closed && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) read_agent(*a);
}

// Reading stops while the client of the running visible command cannot take
// more output: the agent's socket fills up and the agent waits.
bool AgentHub::readable(const Agent &a) const {
    if (!a.busy()) return true;
    const Request &r = a.queue.front();
    if (r.quiet || r.abandoned || !r.client) return true;
    return !r.client->congested();
}

void AgentHub::update_interest(Agent &a) {
    if (a.closed) return;
    a.stream.set_reading(readable(a));
}

void AgentHub::congestion_changed(HubClient *c) {
    for (uint64_t serial : busy_) {
        Agent *a = find(serial);
        if (a && a->busy() && a->queue.front().client == c) update_interest(*a);
    }
}

// One read of up to a chunk: an agent's output comes a chunk per loop
// iteration, so no agent holds up the others.
void AgentHub::read_agent(Agent &a) {
    struct Owner {
        AgentHub &hub;
        Agent &a;
        bool dispatch(Frame &f) {
            hub.handle_frame(a, f);
            return !a.closed;
        }
        void end(const PeerEnd &e) {
            switch (e.kind) {
            case PeerEnd::Kind::kFailed:
                hub.drop_agent(a, std::string("connection error: ") + std::strerror(e.error));
                break;
            case PeerEnd::Kind::kClosed:
                hub.drop_agent(a, e.mid_message ? "disconnected in the middle of a frame"
                                                : "disconnected");
                break;
            case PeerEnd::Kind::kViolation:
                hub.drop_agent(a, "sent a malformed frame (" + e.violation + "); connection closed",
                               Notice::kWarning);
                break;
            }
        }
    } owner{*this, a};
    PeerPump(a.decoder).read(a.stream, 1, owner);
}

void AgentHub::flush_agent(Agent &a) {
    if (!a.stream.write_available()) {
        drop_agent(a, std::string("connection error: ") + std::strerror(a.stream.error()));
        return;
    }
    update_interest(a);
}

void AgentHub::send_to(Agent &a, uint16_t type, uint32_t req_id, std::string_view payload) {
    if (a.closed) return;
    if (a.stream.pending() > kMaxSendQueue) {
        drop_agent(a, "does not read what it is sent; connection closed", Notice::kWarning);
        return;
    }
    // Encoded into one buffer the hub reuses and sent from it: a frame costs
    // no allocation, and a copy only when the socket leaves bytes waiting.
    encode_frame_into(frame_, type, req_id, 0, payload);
    if (!a.stream.send(frame_)) {
        drop_agent(a, std::string("connection error: ") + std::strerror(a.stream.error()));
        return;
    }
    update_interest(a);
}

// Why a service's agent never appears is often only in what its connection
// did before HELLO (a sandbox that keeps the agent from checking the
// server's owner makes it close at once): the journal names the process
// when the walk through /proc is affordable and it still holds its end.
void AgentHub::find_ungreeted_process(Agent &a) {
    if (a.socket_inode == 0 || a.pid) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - owner_walks_since_ >= std::chrono::seconds(1)) {
        owner_walks_since_ = now;
        owner_walks_left_ = kOwnerWalksPerSecond;
    }
    if (owner_walks_left_ == 0) return;
    --owner_walks_left_;
    auto found = owners_.pids_holding({a.socket_inode});
    if (auto it = found.find(a.socket_inode); it != found.end()) a.pid = it->second;
}

} // namespace cliserver
