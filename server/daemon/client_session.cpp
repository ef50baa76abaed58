// One client of the resident server (client_session.h): its connection,
// its messages and the hub's callbacks; the audit trail of its commands is
// in client_session_audit.cpp.
#include "daemon/client_session.h"

#include "hub/agent_selection.h"

#include "daemon/journal.h"
#include "protocol.h"
#include "core/peer_pump.h"
#include "core/text.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cliserver {

namespace op = operator_protocol;

namespace {

constexpr auto kHealthPeriod = std::chrono::seconds(2);

} // namespace

ClientSession::ClientSession(EventLoop &loop, AgentService &hub, AuditLog &audit,
                             UserBounds &bounds, ServerMetrics &metrics, const PolicyFile &policy,
                             cli_shared::UniqueFd fd, PeerCred peer,
                             std::function<void()> on_failed)
    : loop_(loop), agents_(hub), audit_(audit), bounds_(bounds), metrics_(metrics), policy_(policy),
      stream_(std::move(fd), kHighWater), peer_(peer), client_user_(user_name(peer.uid)),
      on_failed_(std::move(on_failed)) {
    metrics_.client_connected(client_user_);
}

ClientSession::~ClientSession() {
    finish();
}

std::string ClientSession::who() const {
    return "client uid " + std::to_string(peer_.uid) + " (" + printable(client_user_) + ") pid " +
           std::to_string(peer_.pid);
}

void ClientSession::start() {
    journal(Priority::kInfo, who() + " connected", JournalSource::clients_of(peer_.uid));
    opened_ = last_read_ = std::chrono::steady_clock::now();
    stream_.watch(loop_, true, [this](uint32_t ev) { on_events(ev); });
    agents_.add_client(this);
    health_timer_ = loop_.add_timer(EventLoop::clock::now() + kHealthPeriod, [this] {
        health_timer_ = 0;
        check_health();
    });
}

void ClientSession::fail(const std::string &why, Notice kind) {
    if (failed_) return;
    end_reason_ = why;
    end_kind_ = kind;
    stop_io();
    if (on_failed_) on_failed_();
}

// The loop forgets the connection: no more events, no health check, no
// end-of-iteration write.
void ClientSession::stop_io() {
    failed_ = true;
    stream_.unwatch();
    if (health_timer_) loop_.cancel_timer(health_timer_);
    health_timer_ = 0;
    if (flush_timer_) loop_.cancel_timer(flush_timer_);
    flush_timer_ = 0;
}

void ClientSession::close_with(Notice kind, const std::string &message) {
    if (failed_) return;
    std::string bye;
    op::encode_notice(bye, op::NoticeText{kind, message});
    send(bye);
    fail(message, Notice::kInfo);
}

// Runs between loop iterations, never inside a hub callback.
void ClientSession::finish() {
    if (finished_) return;
    finished_ = true;
    if (!failed_) stop_io();
    journal(priority_of(end_kind_),
            "session of " + who() +
                " ended: " + (end_reason_.empty() ? std::string("closed") : end_reason_),
            JournalSource::clients_of(peer_.uid));
    agents_.remove_client(this);
    metrics_.client_left(client_user_);
    auto tracked = commands_.take_all();
    bounds_.refund(peer_.uid, charged_);
    charged_ = 0;
    bounds_.release_client(peer_.uid);
    for (auto &[hub_id, t] : tracked) {
        count_end(t, CommandOutcome::kClientLeft);
        if (t.sent) audit(hub_id, t, CommandOutcome::kClientLeft);
        agents_.abandon(hub_id);
    }
    // What is still queued for the client goes out if the socket takes it now.
    (void)stream_.write_available();
    stream_.close();
}

// ---------------------------------------------------------------- input

void ClientSession::on_events(uint32_t events) {
    if (failed_) return;
    if (events & EPOLLOUT) write_available();
    if (!failed_ && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) read_available();
}

void ClientSession::read_available() {
    struct Owner {
        ClientSession &s;
        void received() { s.last_read_ = std::chrono::steady_clock::now(); }
        bool dispatch(const op::Message &m) {
            s.handle(m);
            return !s.failed_;
        }
        void end(const PeerEnd &e) {
            switch (e.kind) {
            case PeerEnd::Kind::kFailed:
                s.fail(std::string("read failed: ") + std::strerror(e.error));
                break;
            case PeerEnd::Kind::kClosed:
                s.fail("the client closed the connection", Notice::kInfo);
                break;
            case PeerEnd::Kind::kViolation:
                s.fail("bad message: " + e.violation);
                break;
            }
        }
    } owner{*this};
    PeerPump(decoder_).read(stream_, 4, owner);
}

void ClientSession::handle(const op::Message &m) {
    if (!greeted_) {
        if (m.type != op::Type::kHello) {
            refuse("a client must open with HELLO");
            fail("no HELLO");
            return;
        }
        hello(m);
        return;
    }
    switch (m.type) {
    case op::Type::kSubmit:
        submit(m);
        break;
    case op::Type::kReply:
        reply(m);
        break;
    case op::Type::kAbandon:
        abandon(m, CommandOutcome::kInterrupted);
        break;
    case op::Type::kAbandonTimedOut:
        // A client of version 1 never sent this type: to it the daemon
        // answers as it always did, by closing the connection.
        if (!op::has_timed_out_abandon(version_)) {
            fail("bad message: ABANDON_TIMED_OUT is not in operator protocol version 1");
            break;
        }
        abandon(m, CommandOutcome::kTimedOut);
        break;
    case op::Type::kList:
        list();
        break;
    case op::Type::kMetrics:
        send_metrics();
        break;
    default:
        fail("a second HELLO");
        break;
    }
}

void ClientSession::submit(const op::Message &m) {
    op::Submit s;
    if (!op::parse_submit(m, s) || s.line.size() > cli_protocol::command_line_max ||
        commands_.has_client_request(s.request)) {
        fail("a malformed SUBMIT");
        return;
    }
    AgentView *a = agents_.find(s.agent);
    if (!a || a->closed || !a->greeted) {
        // The client has not yet read that the agent is gone; it will.
        metrics_.command_unsent(CommandOutcome::kNotConnected);
        return;
    }
    std::optional<unsigned> rule;
    if (auto why = refusal_by_policy(*a, s.line, &rule)) {
        deny(s.request, *a, s.line, *why);
        return;
    }
    if (audit_.enabled() && !audit_.writable()) {
        refuse_command(s.request, printable(a->name));
        return;
    }
    if (auto why = commands_.bounds(*a, s.line.size())) {
        refuse(*why);
        fail("refused a command: too many commands waiting", Notice::kWarning);
        return;
    }
    if (auto why = bounds_.charge(peer_.uid, UserBounds::cost(s.line.size()))) {
        refuse(*why);
        fail("refused a command: " + *why, Notice::kWarning);
        return;
    }
    charged_ += UserBounds::cost(s.line.size());
    if (audit_.enabled() && !a->pid) agents_.resolve_pids(); // for the record; once per agent
    const RequestId id = agents_.new_request_id();
    Tracked t;
    t.client_request = s.request;
    t.agent = *a;
    t.line = s.line;
    t.rule = rule;
    commands_.add(id, std::move(t));
    if (!agents_.submit(this, *a, id, s.line, s.quiet)) (void)untrack(id);
}

std::optional<ClientSession::Tracked> ClientSession::untrack(RequestId hub_id) {
    auto t = commands_.remove(hub_id);
    if (!t) return t;
    const size_t cost = UserBounds::cost(t->line.size());
    charged_ -= cost;
    bounds_.refund(peer_.uid, cost);
    return t;
}

void ClientSession::reply(const op::Message &m) {
    op::RequestBytes r;
    if (!op::parse_request_bytes(m, r)) return;
    const auto id = commands_.by_client(r.request);
    Tracked *t = id ? commands_.find(*id) : nullptr;
    if (!t || !t->prompt_open) return;
    t->prompt_open = false;
    ++t->prompts_answered;
    if (r.bytes.empty()) t->prompt_refused = true;
    agents_.answer(*id, r.bytes);
}

void ClientSession::abandon(const op::Message &m, CommandOutcome outcome) {
    uint64_t request = 0;
    if (!op::parse_request(m, request)) return;
    const auto id = commands_.by_client(request);
    if (!id) return;
    if (auto t = untrack(*id)) {
        count_end(*t, outcome);
        if (t->sent) audit(*id, *t, outcome);
    }
    agents_.abandon(*id);
}

void ClientSession::list() {
    // The hub hands the rows over at once, while the session is there.
    agents_.list_agents([this](std::vector<AgentRow> rows) { send_rows(rows); });
}

void ClientSession::send_rows(const std::vector<AgentRow> &rows) {
    std::string out;
    const bool filtered = policy_.applies_to(peer_.uid);
    for (const AgentRow &row : rows) {
        if (filtered) {
            const AgentView *a = agents_.find(row.serial);
            if (!a || !policy_.rules().covers(peer_, *a)) continue;
        }
        op::encode_row(out, row);
    }
    op::encode_rows_end(out);
    send(out);
}

// ---------------------------------------------------------------- output

// Messages wait for the end of the loop iteration and go out in one write:
// a command's OUTPUT and DONE from one read of the agent, or the rows of
// ls, wake the client once instead of once per message.
void ClientSession::send(const std::string &bytes) {
    send_encoded([&bytes](std::string &out) { out.append(bytes); });
}

// The messages of every command (SENT, OUTPUT, DONE) are encoded straight
// into the write queue: no buffer of their own per message.
template <typename Encode> void ClientSession::send_encoded(const Encode &encode) {
    if (failed_) return;
    const bool was_empty = stream_.pending() == 0;
    encode(stream_.queue_tail());
    stream_.queued();
    if (stream_.pending() > kMaxBacklog) {
        fail("does not read its output");
        return;
    }
    report_congestion();
    if (!flush_timer_ && was_empty)
        flush_timer_ = loop_.add_timer(EventLoop::clock::now(), [this] {
            flush_timer_ = 0;
            write_available();
        });
}

void ClientSession::write_available() {
    if (!stream_.write_available()) {
        fail(std::string("write failed: ") + std::strerror(stream_.error()));
        return;
    }
    report_congestion();
}

// The hub hears when the high-water mark is crossed, either way: on
// appending (send) or on writing.
void ClientSession::report_congestion() {
    if (stream_.take_congestion_edge()) agents_.congestion_changed(this);
}

bool ClientSession::congested() const {
    return stream_.over_high_water();
}

// Bounded waits for a client that went quiet in the middle of something.
void ClientSession::check_health() {
    if (failed_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!greeted_ && now - opened_ >= kHelloTimeout) {
        fail("no HELLO in time");
        return;
    }
    if (decoder_.buffered() > 0 && now - last_read_ >= kMessageStallTimeout) {
        fail("stalled in the middle of a message");
        return;
    }
    const auto last_write = std::max(opened_, stream_.last_write());
    if (stream_.pending() > 0 && now - last_write >= kStallTimeout) {
        fail("stopped reading its output");
        return;
    }
    health_timer_ = loop_.add_timer(EventLoop::clock::now() + kHealthPeriod, [this] {
        health_timer_ = 0;
        check_health();
    });
}

// ---------------------------------------------------------------- the hub

void ClientSession::on_agent_greeted(AgentView &a) {
    if (!greeted_ || !sees(a)) return;
    std::string out;
    op::encode_agent_up(out, a);
    send(out);
}

// Its commands end with it, withdrawn or cut off.
void ClientSession::on_agent_lost(AgentView &a, const std::string &why, Notice kind) {
    for (RequestId id : commands_.for_agent(a.serial)) {
        auto t = untrack(id);
        count_end(*t, t->sent ? CommandOutcome::kAgentDisconnected : CommandOutcome::kNotConnected);
        if (t->sent) audit(id, *t, CommandOutcome::kAgentDisconnected);
    }
    rules_by_agent_.erase(a.serial);
    if (!greeted_ || !a.greeted || !shown(a)) return;
    shown_.erase(a.serial);
    std::string out;
    op::encode_agent_down(out, op::AgentDown{a.serial, kind, why});
    send(out);
}

void ClientSession::on_sent(const Request &r) {
    Tracked *t = commands_.find(r.id);
    if (!t) return;
    send_encoded([t](std::string &out) { op::encode_sent(out, t->client_request); });
}

void ClientSession::on_output(const Request &r, std::string_view bytes) {
    Tracked *t = commands_.find(r.id);
    if (!t) return;
    t->output_bytes += bytes.size();
    send_encoded(
        [t, bytes](std::string &out) { op::encode_output(out, t->client_request, bytes); });
}

bool ClientSession::on_prompt(const Request &r, const std::string &text) {
    Tracked *t = commands_.find(r.id);
    if (!t || failed_) return false;
    t->prompt_open = true;
    std::string out;
    op::encode_prompt(out, t->client_request, text);
    send(out);
    return !failed_;
}

void ClientSession::on_done(const Request &r) {
    auto t = untrack(r.id);
    if (!t) return;
    count_end(*t, t->prompt_refused ? CommandOutcome::kPromptRefused : CommandOutcome::kDone,
              r.result);
    audit(r.id, *t, CommandOutcome::kDone, r.result);
    const std::optional<int32_t> result =
        op::done_carries_result(version_) ? r.result : std::nullopt;
    send_encoded(
        [&t, result](std::string &out) { op::encode_done(out, t->client_request, result); });
}

void ClientSession::on_hub_notice(Notice kind, const std::string &text) {
    if (!greeted_) return;
    std::string out;
    op::encode_notice(out, op::NoticeText{kind, text});
    send(out);
}

void ClientSession::on_queued(const Request &r, size_t ahead) {
    Tracked *t = commands_.find(r.id);
    if (!t) return;
    std::string out;
    op::encode_queued(out, op::Queued{t->client_request, static_cast<uint32_t>(ahead)});
    send(out);
}

} // namespace cliserver
