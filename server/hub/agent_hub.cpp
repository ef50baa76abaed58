#include "hub/agent_hub.h"

#include "core/users.h"
#include "core/text.h"

#include "cli_common.h"
#include "protocol.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

AgentHub::AgentHub(EventLoop &loop, HubOptions options)
    : loop_(loop), options_(std::move(options)), listener_(loop) {}

AgentHub::~AgentHub() {
    close_all();
}

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

void AgentHub::remove_client(HubClient *c) {
    clients_.erase(std::remove(clients_.begin(), clients_.end(), c), clients_.end());
}

void AgentHub::hub_notice(Notice kind, const std::string &text) {
    for (HubClient *c : clients_)
        c->on_hub_notice(kind, text);
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
        if (a && !a->closed && !a->greeted)
            drop_agent(*a, "closed before HELLO: the server is short of descriptors for agents",
                       Notice::kWarning);
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
    if (oldest && !oldest->closed && !oldest->greeted)
        drop_agent(*oldest,
                   "closed before HELLO: " + std::to_string(kMaxUngreeted) +
                       " newer connections are waiting for theirs",
                   Notice::kWarning);
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

void AgentHub::read_agent(Agent &a) {
    const auto end = a.stream.read_available(1, [&](const char *data, size_t n) {
        a.decoder.append(data, n);
        take_frames(a);
        return !a.closed;
    });
    if (end == ByteStream::ReadEnd::kFailed)
        drop_agent(a, std::string("connection error: ") + std::strerror(a.stream.error()));
    else if (end == ByteStream::ReadEnd::kClosed)
        drop_agent(a,
                   a.decoder.partial() ? "disconnected in the middle of a frame" : "disconnected");
}

void AgentHub::take_frames(Agent &a) {
    Frame f;
    std::string error;
    while (!a.closed) {
        DecodeResult res = a.decoder.next(f, &error);
        if (res == DecodeResult::kNeedMore) break;
        if (res == DecodeResult::kMalformed) {
            drop_agent(a, "sent a malformed frame (" + error + "); connection closed",
                       Notice::kWarning);
            break;
        }
        handle_frame(a, f);
    }
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
    a.stream.queue(encode_frame(type, req_id, 0, payload));
    flush_agent(a);
}

void AgentHub::handle_frame(Agent &a, Frame &f) {
    if (!a.greeted) {
        if (f.type != CLI_FRAME_HELLO) {
            drop_agent(a,
                       "opened with frame type " + std::to_string(f.type) +
                           " instead of HELLO; connection closed",
                       Notice::kWarning);
            return;
        }
        greet(a, f);
        return;
    }
    switch (f.type) {
    case CLI_FRAME_OUTPUT:
        on_output(a, f);
        break;
    case CLI_FRAME_PROMPT:
        on_prompt(a, f);
        break;
    case CLI_FRAME_DONE:
        on_done(a, f);
        break;
    case CLI_FRAME_BYE:
        drop_agent(a, "said goodbye");
        break;
    default:
        break; // a repeated HELLO or a type we never expect: nothing to do
    }
}

// Without a known owner an agent cannot be shown to belong to an accepted
// user, so a restricted server turns it away too.
bool AgentHub::owner_accepted(Agent &a) {
    if (a.socket_inode == 0) { // not found when it connected: once more
        const SocketOwner owner = owners_.socket_owner(a.stream.fd());
        if (owner.inode != 0) {
            a.uid = owner.uid;
            a.socket_inode = owner.inode;
        }
    }
    if (!options_.agent_users.restricted()) return true;
    if (a.uid && options_.agent_users.accepts(*a.uid, getuid())) return true;
    const std::string who = a.uid ? "uid " + std::to_string(*a.uid) + " (" + user_name(*a.uid) + ")"
                                  : "an owner that cannot be found";
    hub_notice(Notice::kWarning, "refused agent " + printable(a.name) + " (id " +
                                     std::to_string(a.id) + "): it belongs to " + who +
                                     ", not to a user of --agent-users");
    drop_agent(a, "refused");
    return false;
}

void AgentHub::greet(Agent &a, const Frame &f) {
    a.id = f.agent_id;
    a.name = f.payload.substr(0, cli_protocol::agent_name_max);
    a.said_hello = true;
    if (!owner_accepted(a)) return;
    if (options_.pids_at_greeting && a.socket_inode != 0) {
        a.pid_looked_up = true;
        auto found = owners_.pids_holding({a.socket_inode});
        if (auto it = found.find(a.socket_inode); it != found.end()) a.pid = it->second;
    }
    a.greeted = true;
    ungreeted_.erase(a.serial);
    ++greeted_count_;
    index_.add(a);
    send_to(a, CLI_FRAME_ACK, 0);
    if (a.closed) return;
    const uint64_t serial = a.serial;
    for (HubClient *c : clients_) {
        Agent *still = find(serial);
        if (!still || still->closed) return;
        c->on_agent_greeted(*still);
    }
}

void AgentHub::on_output(Agent &a, const Frame &f) {
    if (!a.busy()) return; // nobody asked
    Request &r = a.queue.front();
    if (r.req_id != f.req_id || r.abandoned || !r.client) return; // late output of an old one
    r.client->on_output(r, f.payload);
}

void AgentHub::on_prompt(Agent &a, const Frame &f) {
    if (!a.busy() || a.queue.front().req_id != f.req_id) return;
    Request &r = a.queue.front();
    // Nobody will answer: an empty reply lets the handler finish instead
    // of holding the agent forever.
    if (r.abandoned || !r.client || !r.client->on_prompt(r, f.payload)) {
        send_to(a, CLI_FRAME_INPUT, f.req_id);
        return;
    }
    r.prompt_pending = true;
}

void AgentHub::on_done(Agent &a, const Frame &f) {
    if (!a.busy() || a.queue.front().req_id != f.req_id) return;
    Request done = std::move(a.queue.front());
    a.queue.pop_front();
    request_agent_.erase(done.id);
    busy_.erase(a.serial);
    const uint64_t serial = a.serial;
    if (!done.abandoned && done.client) done.client->on_done(done);
    Agent *still = find(serial);
    if (still && !still->closed) dispatch_next(*still);
}

void AgentHub::dispatch_next(Agent &a) {
    while (!a.queue.empty() && !a.queue.front().sent && a.queue.front().client &&
           !a.queue.front().client->on_sending(a.queue.front())) {
        request_agent_.erase(a.queue.front().id);
        a.queue.pop_front();
    }
    if (a.queue.empty() || a.queue.front().sent) {
        update_interest(a);
        return;
    }
    Request &r = a.queue.front();
    if (++next_req_id_ == 0) next_req_id_ = 1;
    r.req_id = next_req_id_;
    r.sent = true;
    busy_.insert(a.serial);
    send_to(a, CLI_FRAME_COMMAND, r.req_id, r.line);
    if (a.closed) return;
    if (r.client) r.client->on_sent(r);
    if (!a.closed) update_interest(a);
}

void AgentHub::drop_agent(Agent &a, const std::string &why, Notice kind) {
    if (a.closed) return;
    a.closed = true;
    a.stream.unwatch(); // closed in reap(), so the number is not reused meanwhile
    closed_.push_back(a.serial);
    busy_.erase(a.serial);
    if (a.greeted) {
        --greeted_count_;
        index_.remove(a);
    } else {
        ungreeted_.erase(a.serial);
        find_ungreeted_process(a);
    }
    // Clients still see the agent's queue, to tell a running command of
    // theirs from a queued one.
    for (HubClient *c : clients_)
        c->on_agent_lost(a, why, kind);
    for (const Request &r : a.queue)
        request_agent_.erase(r.id);
    a.queue.clear();
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

void AgentHub::reap() {
    for (uint64_t serial : closed_)
        agents_.erase(serial);
    closed_.clear();
}

void AgentHub::say_goodbye() {
    for (auto &[serial, a] : agents_) {
        if (a->closed || !a->greeted) continue;
        send_to(*a, CLI_FRAME_BYE, 0);
    }
}

void AgentHub::close_all() {
    for (auto &[serial, a] : agents_)
        if (!a->closed) a->stream.unwatch();
    agents_.clear();
    index_.clear();
    request_agent_.clear();
    busy_.clear();
    closed_.clear();
    ungreeted_.clear();
    if (hello_timer_) loop_.cancel_timer(hello_timer_);
    hello_timer_ = 0;
    greeted_count_ = 0;
}

// ---------------------------------------------------------------- lookup

Agent *AgentHub::find(uint64_t serial) {
    auto it = agents_.find(serial);
    return it == agents_.end() ? nullptr : it->second.get();
}

const Agent *AgentHub::find(uint64_t serial) const {
    auto it = agents_.find(serial);
    return it == agents_.end() ? nullptr : it->second.get();
}

void AgentHub::for_each_agent(const std::function<void(const AgentView &)> &fn) const {
    for (auto &[serial, a] : agents_)
        if (a->greeted && !a->closed) fn(*a);
}

std::string AgentHub::where() const {
    return "listening on 127.0.0.1:" + std::to_string(options_.port);
}

void AgentHub::resolve_pids() {
    std::vector<unsigned long> inodes;
    for (auto &[serial, a] : agents_)
        if (a->greeted && !a->closed && !a->pid_looked_up && a->socket_inode != 0)
            inodes.push_back(a->socket_inode);
    if (inodes.empty()) return;
    auto found = owners_.pids_holding(inodes);
    for (auto &[serial, a] : agents_) {
        if (!a->greeted || a->closed || a->pid_looked_up || a->socket_inode == 0) continue;
        a->pid_looked_up = true;
        if (auto it = found.find(a->socket_inode); it != found.end()) a->pid = it->second;
    }
}

std::vector<AgentRow> AgentHub::rows() {
    resolve_pids();
    std::vector<AgentRow> rows;
    rows.reserve(greeted_count_);
    for (auto &[serial, a] : agents_) {
        if (!a->greeted || a->closed) continue;
        AgentRow row;
        row.serial = a->serial;
        row.id = a->id;
        row.name = a->name;
        row.connected_at = a->connected_at;
        row.pid = a->pid;
        row.uid = a->uid;
        row.busy = a->busy();
        row.queued = static_cast<uint32_t>(a->queue.size() - (row.busy ? 1 : 0));
        if (row.busy && a->queue.front().client) row.runner = a->queue.front().client->identity();
        row.name_shared_across_owners = index_.name_shared_across_owners(*a);
        rows.push_back(std::move(row));
    }
    return rows;
}

void AgentHub::list_agents(std::function<void(std::vector<AgentRow>)> done) {
    done(rows());
}

std::vector<AgentView *> AgentHub::match(const std::string &wanted) {
    return index_.match(wanted);
}

// ---------------------------------------------------------------- requests

bool AgentHub::submit(HubClient *c, AgentView &view, RequestId id, const std::string &line,
                      bool quiet) {
    Agent *found = find(view.serial);
    if (!found || found->closed || !found->greeted) return false;
    Agent &a = *found;
    a.queue.push_back(Request::make(c, a.serial, id, line, quiet));
    request_agent_.emplace(id, Placed{a.serial, std::prev(a.queue.end())});
    if (a.queue.size() == 1) {
        dispatch_next(a);
    } else if (!quiet && c) {
        c->on_queued(a.queue.back(), a.queue.size() - 1);
    }
    return true;
}

bool AgentHub::request_sent(RequestId id) const {
    const Request *r = find_request(id);
    return r && r->sent;
}

Request *AgentHub::locate(RequestId id, Agent **agent) {
    auto it = request_agent_.find(id);
    if (it == request_agent_.end()) return nullptr;
    Agent *a = find(it->second.agent);
    if (!a) return nullptr;
    if (agent) *agent = a;
    return &*it->second.at;
}

const Request *AgentHub::find_request(RequestId id) const {
    return const_cast<AgentHub *>(this)->locate(id, nullptr);
}

void AgentHub::answer(RequestId id, std::string_view reply) {
    Agent *a = nullptr;
    Request *r = locate(id, &a);
    if (!r || !r->prompt_pending) return;
    r->prompt_pending = false;
    send_to(*a, CLI_FRAME_INPUT, r->req_id, reply);
}

void AgentHub::abandon(RequestId id) {
    Agent *a = nullptr;
    Request *r = locate(id, &a);
    if (!r) return;
    if (!r->sent) {
        auto placed = request_agent_.find(id);
        a->queue.erase(placed->second.at);
        request_agent_.erase(placed);
        return;
    }
    r->abandoned = true;
    // A client that leaves abandons its commands and is freed right after,
    // while the agent may still be running one: nothing may reach it, or
    // ask it who it is, any more.
    r->client = nullptr;
    if (r->prompt_pending) {
        r->prompt_pending = false;
        send_to(*a, CLI_FRAME_INPUT, r->req_id);
    }
    if (!a->closed) update_interest(*a);
}

} // namespace cliserver
