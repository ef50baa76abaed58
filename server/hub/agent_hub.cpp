// The agent hub (agent_hub.h): the frames agents send, their commands'
// queues and requests, and the lookups; the connections themselves are in
// agent_connections.cpp.
#include "hub/agent_hub.h"

#include "core/text.h"
#include "core/users.h"

#include "cli_common.h"
#include "protocol.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cliserver {

namespace {

std::string_view result_capability() {
    return {reinterpret_cast<const char *>(cli_protocol::result_capability.data()),
            cli_protocol::result_capability.size()};
}

// An empty DONE (an agent that reports no results) has none.
std::optional<int32_t> result_of_done(const std::string &payload) {
    int32_t result = 0;
    if (!cli_protocol::decode_result(reinterpret_cast<const uint8_t *>(payload.data()),
                                     payload.size(), &result))
        return std::nullopt;
    return result;
}

} // namespace

AgentHub::AgentHub(EventLoop &loop, HubOptions options)
    : loop_(loop), options_(std::move(options)), listener_(loop),
      trusted_(options_.agent_users.trusted_with(getuid())) {}

AgentHub::~AgentHub() {
    close_all();
}

void AgentHub::remove_observer(AgentEvents *c) {
    clients_.erase(std::remove(clients_.begin(), clients_.end(), c), clients_.end());
}

void AgentHub::hub_notice(Notice kind, const std::string &text) {
    for (AgentEvents *c : clients_)
        c->on_hub_notice(kind, text);
}

void AgentHub::agent_notice(const Agent &a, Notice kind, const std::string &text) {
    for (AgentEvents *c : clients_)
        c->on_agent_notice(a, kind, text);
}

// ---------------------------------------------------------------- frames

void AgentHub::handle_frame(Agent &a, Frame &f) {
    if (!a.greeted) {
        if (f.type != CLI_FRAME_HELLO) {
            refusals_.count(AgentRefusal::kNoHello);
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
    refusals_.count(a.uid ? AgentRefusal::kNotAllowedUser : AgentRefusal::kOwnerUnknown);
    const std::string who = a.uid ? "uid " + std::to_string(*a.uid) + " (" + user_name(*a.uid) + ")"
                                  : "an owner that cannot be found";
    agent_notice(a, Notice::kWarning,
                 "refused agent " + printable(a.name) + " (id " + std::to_string(a.id) +
                     "): it belongs to " + who + ", not to a user of --agent-users");
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
    // Agents that know results report them from now on; the others ignore
    // ACK's payload.
    send_to(a, CLI_FRAME_ACK, 0, result_capability());
    if (a.closed) return;
    const uint64_t serial = a.serial;
    for (AgentEvents *c : clients_) {
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
    done.result = result_of_done(f.payload);
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
    for (AgentEvents *c : clients_)
        c->on_agent_lost(a, why, kind);
    for (const Request &r : a.queue)
        request_agent_.erase(r.id);
    a.queue.clear();
}

void AgentHub::reap() {
    for (uint64_t serial : closed_) {
        by_serial_.erase(serial);
        agents_.erase(serial);
    }
    closed_.clear();
}

void AgentHub::say_goodbye() {
    for (auto &[serial, a] : agents_) {
        if (a->closed || !a->greeted) continue;
        send_to(*a, CLI_FRAME_BYE, 0);
    }
}

// The agents' sockets were never duplicated (accepted close-on-exec), so
// closing each takes it out of the epoll set: at the exit of a fan-out to
// thousands of agents that saves a system call per agent.
void AgentHub::close_all() {
    for (auto &[serial, a] : agents_)
        if (!a->closed) a->stream.close_forgetting();
    by_serial_.clear();
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
    auto it = by_serial_.find(serial);
    return it == by_serial_.end() ? nullptr : it->second;
}

const Agent *AgentHub::find(uint64_t serial) const {
    auto it = by_serial_.find(serial);
    return it == by_serial_.end() ? nullptr : it->second;
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

size_t AgentHub::queued_commands() const {
    size_t n = 0;
    for (const auto &[serial, a] : agents_)
        if (!a->closed) n += a->queue.size() - (a->busy() ? 1 : 0);
    return n;
}

std::vector<AgentRow> AgentHub::rows() {
    resolve_pids();
    std::vector<AgentRow> rows;
    rows.reserve(greeted_count_);
    for (auto &[serial, a] : agents_) {
        if (!a->greeted || a->closed) continue;
        AgentRow row(*a);
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

std::vector<AgentView *> AgentHub::match(const AgentSelector &s) {
    return index_.match(s);
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
