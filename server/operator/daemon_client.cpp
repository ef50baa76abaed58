// The resident server's client on the event loop (daemon_client.h): the
// daemon's messages, the agents it reports and the requests sent to it;
// connecting and the greeting are in daemon_client_connect.cpp.
#include "operator/daemon_client.h"

#include "core/peer_pump.h"

#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>

namespace cliserver {

namespace op = operator_protocol;

namespace {

constexpr int kFlushTimeoutMs = 1'000;

} // namespace

DaemonClient::DaemonClient(EventLoop &loop, std::string socket_path)
    : loop_(loop), path_(std::move(socket_path)) {}

DaemonClient::~DaemonClient() = default;

std::string DaemonClient::where() const {
    return "connected to the resident server at " + path_;
}

void DaemonClient::add_client(HubClient *c) {
    clients_.push_back(c);
    add_observer(c);
}

void DaemonClient::remove_client(HubClient *c) {
    clients_.erase(std::remove(clients_.begin(), clients_.end(), c), clients_.end());
    remove_observer(c);
}

void DaemonClient::remove_observer(AgentEvents *o) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), o), observers_.end());
}

// ---------------------------------------------------------------- reading

void DaemonClient::on_events(uint32_t events) {
    if (lost_) return;
    if (events & EPOLLOUT) write_available();
    if (lost_) return;
    if (!congested() && !read_available()) return;
    update_interest();
}

// False when the link is gone. Messages already read are handled first:
// they may have waited while the operator's terminal was congested. Reading
// stops while the operator's terminal cannot take more.
bool DaemonClient::read_available() {
    struct Owner {
        DaemonClient &link;
        bool dispatch(const op::Message &m) {
            link.handle(m);
            return !link.lost_ && !link.congested();
        }
        void end(const PeerEnd &e) {
            switch (e.kind) {
            case PeerEnd::Kind::kFailed:
                link.lose_connection();
                break;
            case PeerEnd::Kind::kClosed:
                link.lose("the resident server closed the connection");
                break;
            case PeerEnd::Kind::kViolation:
                link.lose("the resident server sent a bad message (" + e.violation + ")");
                break;
            }
        }
    } owner{*this};
    PeerPump pump(decoder_);
    if (congested() || !pump.drain(owner)) return !lost_;
    pump.read(stream_, 16, owner);
    return !lost_;
}

void DaemonClient::lose_connection() {
    lose(std::string("the connection to the resident server failed: ") +
         std::strerror(stream_.error()));
}

// Observers may come and go while one is told: an event goes to those there
// were when it came, from a copy (on the stack for the few a client has),
// until tell() says stop.
template <typename Tell> void DaemonClient::tell_observers(const Tell &tell) {
    std::array<AgentEvents *, 8> few{};
    std::vector<AgentEvents *> many;
    std::span<AgentEvents *> all;
    if (observers_.size() <= few.size()) {
        std::copy(observers_.begin(), observers_.end(), few.begin());
        all = std::span(few.data(), observers_.size());
    } else {
        many = observers_;
        all = many;
    }
    for (AgentEvents *o : all)
        if (!tell(*o)) return;
}

Request *DaemonClient::request(uint64_t id) {
    auto it = requests_.find(id);
    return it == requests_.end() ? nullptr : &it->second;
}

void DaemonClient::handle(const op::Message &m) {
    switch (m.type) {
    case op::Type::kAgentUp:
        agent_up(m);
        return;
    case op::Type::kAgentDown:
        agent_down(m);
        return;
    case op::Type::kNotice: {
        op::NoticeText n;
        if (!op::parse_notice(m, n)) return;
        tell_observers([&](AgentEvents &o) {
            o.on_hub_notice(n.kind, n.text);
            return true;
        });
        return;
    }
    case op::Type::kRow:
        add_row(m);
        return;
    case op::Type::kRowsEnd:
        rows_end();
        return;
    case op::Type::kMetricsText:
        metrics_text(m);
        return;
    case op::Type::kMetricsEnd:
        metrics_end();
        return;
    case op::Type::kRefused:
        // A verdict on this client (the audit log cannot be written, it has
        // too many commands waiting), not a lost agent: the daemon's line
        // alone is the operator's answer, and the status is 1.
        refused_ = true;
        lose(m.payload.empty() ? "the resident server closed the connection"
                               : op::refused_reason(op::kVersion, m.payload));
        return;
    default:
        request_news(m); // or WELCOME or READY again: nothing to do
        return;
    }
}

// What became of one of our requests.
void DaemonClient::request_news(const op::Message &m) {
    op::RequestBytes rb;
    uint64_t id = 0;
    switch (m.type) {
    case op::Type::kQueued: {
        op::Queued q;
        if (!op::parse_queued(m, q)) return;
        if (Request *r = request(q.request); r && r->client) r->client->on_queued(*r, q.ahead);
        return;
    }
    case op::Type::kSent:
        if (!op::parse_request(m, id)) return;
        if (Request *r = request(id)) {
            r->sent = true;
            if (r->client) r->client->on_sent(*r);
        }
        return;
    case op::Type::kOutput:
        if (!op::parse_request_bytes(m, rb)) return;
        if (Request *r = request(rb.request); r && r->client) r->client->on_output(*r, rb.bytes);
        return;
    case op::Type::kPrompt:
        prompt(m);
        return;
    case op::Type::kDone: {
        std::optional<int32_t> result;
        if (!op::parse_done(m, id, result)) return;
        finish_request(id, result);
        return;
    }
    case op::Type::kDenied:
        if (!op::parse_request_bytes(m, rb)) return;
        finish_request(rb.request, std::nullopt, rb.bytes);
        return;
    default:
        return;
    }
}

void DaemonClient::prompt(const op::Message &m) {
    op::RequestBytes p;
    if (!op::parse_request_bytes(m, p)) return;
    Request *r = request(p.request);
    if (!r) return; // abandoned meanwhile: the daemon answers it
    r->prompt_pending = true;
    if (!r->client || !r->client->on_prompt(*r, p.bytes)) answer(r->id, "");
}

void DaemonClient::finish_request(uint64_t id, std::optional<int32_t> result,
                                  std::optional<std::string> denied) {
    auto it = requests_.find(id);
    if (it == requests_.end()) return;
    Request done = std::move(it->second);
    requests_.erase(it);
    done.result = result;
    done.denied = std::move(denied);
    if (done.client) done.client->on_done(done);
}

void DaemonClient::agent_up(const op::Message &m) {
    AgentView view;
    if (!op::parse_agent_up(m, view) || agents_.count(view.serial)) return;
    view.greeted = true;
    const uint64_t serial = view.serial;
    AgentView &a = agents_.emplace(serial, std::move(view)).first->second;
    index_.add(a);
    tell_observers([&](AgentEvents &o) {
        if (!agents_.count(serial)) return false;
        o.on_agent_greeted(a);
        return true;
    });
}

void DaemonClient::agent_down(const op::Message &m) {
    op::AgentDown down;
    if (!op::parse_agent_down(m, down)) return;
    auto it = agents_.find(down.serial);
    if (it == agents_.end()) return;
    auto node = agents_.extract(it); // the view lives on while it is told
    AgentView &a = node.mapped();
    index_.remove(a);
    a.closed = true;
    // As with the hub: clients still see their requests while they hear of
    // the loss, then the requests are gone without further callbacks.
    tell_observers([&](AgentEvents &o) {
        o.on_agent_lost(a, down.why, down.kind);
        return true;
    });
    std::erase_if(requests_, [&](const auto &kv) { return kv.second.agent == down.serial; });
}

void DaemonClient::add_row(const op::Message &m) {
    AgentRow row;
    if (!op::parse_row(m, row)) return;
    rows_.push_back(std::move(row));
}

void DaemonClient::rows_end() {
    std::vector<AgentRow> rows;
    rows.swap(rows_);
    if (list_waiters_.empty()) return;
    auto done = std::move(list_waiters_.front());
    list_waiters_.pop_front();
    done(std::move(rows));
}

void DaemonClient::lose(const std::string &why) {
    if (lost_) return;
    lost_ = true;
    stream_.close();
    // Only the agents a command of ours waits on need telling: the session
    // ends with the link. A refusal is the daemon's own word for all of it.
    std::vector<uint64_t> busy;
    for (auto &[id, r] : requests_)
        if (!refused_) busy.push_back(r.agent);
    if (report_all_on_loss_)
        for (auto &[serial, a] : agents_)
            busy.push_back(serial);
    std::sort(busy.begin(), busy.end());
    busy.erase(std::unique(busy.begin(), busy.end()), busy.end());
    for (uint64_t serial : busy) {
        auto it = agents_.find(serial);
        if (it == agents_.end()) continue;
        it->second.closed = true;
        tell_observers([&](AgentEvents &o) {
            o.on_agent_lost(it->second, "is out of reach: " + why, Notice::kWarning);
            return true;
        });
    }
    requests_.clear();
    index_.clear();
    agents_.clear();
    auto waiters = std::move(list_waiters_);
    list_waiters_.clear();
    if (on_lost_) on_lost_(why);
    for (auto &done : waiters)
        done({});
}

// ---------------------------------------------------------------- writing

void DaemonClient::end_batch() {
    if (--batch_depth_ > 0 || !held_) return;
    held_ = false;
    if (!lost_) write_available();
}

void DaemonClient::write_available() {
    if (!stream_.write_available()) {
        lose_connection();
        return;
    }
    update_interest();
}

void DaemonClient::flush() {
    if (!lost_ && !stream_.drain_for(std::chrono::milliseconds(kFlushTimeoutMs))) lose_connection();
}

bool DaemonClient::congested() const {
    return std::any_of(clients_.begin(), clients_.end(),
                       [](const HubClient *c) { return c->congested(); });
}

void DaemonClient::update_interest() {
    if (!lost_) stream_.set_reading(!congested());
}

void DaemonClient::congestion_changed(HubClient *) {
    // Decoded messages may wait in the buffer with nothing left to read.
    if (!congested() && decoder_.buffered() > 0 && !lost_)
        loop_.add_timer(EventLoop::clock::now(), [this] { on_events(0); });
    update_interest();
}

// ---------------------------------------------------------------- the service

AgentView *DaemonClient::find(uint64_t serial) {
    auto it = agents_.find(serial);
    return it == agents_.end() ? nullptr : &it->second;
}

std::vector<AgentView *> DaemonClient::match(const AgentSelector &s) {
    return index_.match(s);
}

// The daemon finds the processes when it lists the agents; their views
// learn them from the rows.
void DaemonClient::find_processes(std::function<void()> done) {
    list_agents([this, done = std::move(done)](std::vector<AgentRow> rows) {
        for (const AgentRow &row : rows)
            if (AgentView *a = find(row.serial); a && row.pid) a->pid = row.pid;
        done();
    });
}

void DaemonClient::for_each_agent(const std::function<void(const AgentView &)> &fn) const {
    for (auto &[serial, a] : agents_)
        fn(a);
}

bool DaemonClient::submit(HubClient *c, AgentView &a, RequestId id, const std::string &line,
                          bool quiet) {
    if (lost_ || !agents_.count(a.serial)) return false;
    requests_.emplace(id, Request::make(c, a.serial, id, line, quiet));
    send([&](std::string &out) { op::encode_submit(out, op::Submit{id, a.serial, quiet, line}); });
    return true;
}

bool DaemonClient::request_sent(RequestId id) const {
    auto it = requests_.find(id);
    return it != requests_.end() && it->second.sent;
}

void DaemonClient::answer(RequestId id, std::string_view reply) {
    Request *r = request(id);
    if (!r || !r->prompt_pending) return;
    r->prompt_pending = false;
    send([&](std::string &out) { op::encode_reply(out, id, reply); });
}

void DaemonClient::abandon(RequestId id) {
    if (!requests_.erase(id)) return;
    send([id](std::string &out) { op::encode_abandon(out, id); });
}

// The daemon withdraws or abandons it as for ABANDON; its audit log says why.
void DaemonClient::time_out(RequestId id) {
    if (!requests_.erase(id)) return;
    send([id](std::string &out) { op::encode_abandon_timed_out(out, id); });
}

void DaemonClient::list_agents(std::function<void(std::vector<AgentRow>)> done) {
    if (lost_) {
        done({});
        return;
    }
    list_waiters_.push_back(std::move(done));
    // A row for every agent we know of is coming: room for them at once.
    if (rows_.empty()) rows_.reserve(agents_.size());
    send([](std::string &out) { op::encode_list(out); });
}

} // namespace cliserver
