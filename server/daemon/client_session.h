// One operator client of the resident server, on the daemon's side of the
// Unix socket: it lends the client the hub (agents up and down, submit,
// answer, abandon, ls) and keeps the audit trail of the client's commands.
//
// A client affects only itself: garbage or a wrong version ends its own
// connection; half a message left hanging, a HELLO that never comes or
// output it stops reading end it after a bounded time; while more than
// kHighWater of its output waits, the agent running its command is not read
// (the same backpressure as the local console's). Whenever the connection
// ends, its queued commands are withdrawn and its running ones abandoned,
// so an agent waiting at one of its prompts is answered empty at once.
//
// Each command's "sent" audit record is written just before the command
// goes to its agent (on_sending); while the audit log cannot be written a
// command is refused instead: a scripted client gets REFUSED and is closed
// (its cli-server exits 1), an interactive one an error notice and DONE.
// The journal hears of the client's arrival and of its session's end, with
// the reason.
//
// Threading: single-threaded, on the daemon's event loop. A session never
// goes away inside a hub callback: fail() only marks it, and the server
// frees it between loop iterations (reap()).
#pragma once

#include "core/users.h"
#include "hub/agent_service.h"
#include "daemon/audit_log.h"
#include "daemon/policy_file.h"
#include "daemon/user_bounds.h"
#include "daemon/server_metrics.h"
#include "daemon/tracked_commands.h"
#include "core/byte_stream.h"
#include "core/event_loop.h"
#include "wire/operator_protocol.h"
#include "unique_fd.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace cliserver {

class ClientSession final : public HubClient {
  public:
    static constexpr size_t kHighWater = 1u << 20;
    // A client this far behind is not reading at all.
    static constexpr size_t kMaxBacklog = 16u << 20;
    static constexpr std::chrono::seconds kHelloTimeout{10};
    // Half a message waits this long for the rest of it.
    static constexpr std::chrono::seconds kMessageStallTimeout{10};
    static constexpr std::chrono::seconds kStallTimeout{30};
    // What one client may have waiting at once is held by its
    // TrackedCommands: a client past it is refused (REFUSED, then the
    // connection is closed).

    // The client was admitted by bounds (admit_client): the session gives
    // its place back, and the bytes its commands count, in finish().
    // policy: the server's, read again on SIGHUP (policy_reloaded()).
    ClientSession(EventLoop &loop, AgentService &hub, AuditLog &audit, UserBounds &bounds,
                  ServerMetrics &metrics, const PolicyFile &policy, cli_shared::UniqueFd fd,
                  PeerCred peer, std::function<void()> on_failed);
    ~ClientSession() override;
    ClientSession(const ClientSession &) = delete;
    ClientSession &operator=(const ClientSession &) = delete;

    void start();
    // Tells the client why it is closed and fails the session.
    void close_with(Notice kind, const std::string &message);
    bool failed() const { return failed_; }
    // After fail(): withdraws the client's work and detaches from the hub.
    void finish();
    // The policy was read again: agents it now lets the client use are shown.
    void policy_reloaded();

    // HubClient
    void on_agent_greeted(AgentView &a) override;
    void on_agent_lost(AgentView &a, const std::string &why, Notice kind) override;
    void on_output(const Request &r, std::string_view bytes) override;
    bool on_prompt(const Request &r, const std::string &text) override;
    void on_done(const Request &r) override;
    bool congested() const override;
    void on_hub_notice(Notice kind, const std::string &text) override;
    void on_queued(const Request &r, size_t ahead) override;
    bool on_sending(const Request &r) override;
    void on_sent(const Request &r) override;
    ClientIdentity identity() const override { return {peer_.uid, peer_.pid}; }

  private:
    using Tracked = TrackedCommand;

    void on_events(uint32_t events);
    void read_available();
    void handle(const operator_protocol::Message &m);
    void hello(const operator_protocol::Message &m);
    operator_protocol::Welcome welcome_for(uint16_t version) const;
    // REFUSED with the bare reason, in the form this client's version reads;
    // the caller closes the session.
    void refuse(const std::string &reason);
    void submit(const operator_protocol::Message &m);
    void reply(const operator_protocol::Message &m);
    void abandon(const operator_protocol::Message &m, CommandOutcome outcome);
    void list();
    void send_metrics();
    // The metrics hear how a command ended.
    void count_end(const Tracked &t, CommandOutcome outcome,
                   std::optional<int32_t> result = std::nullopt);
    void send_rows(const std::vector<AgentRow> &rows);
    void send(const std::string &bytes);
    template <typename Encode> void send_encoded(const Encode &encode);
    void write_available();
    void report_congestion();
    void check_health();
    void fail(const std::string &why, Notice kind = Notice::kWarning);
    void stop_io();
    void refuse_command(uint64_t client_request, const std::string &agent);
    AuditRecord audit_record(RequestId id, const Tracked &t, AuditEvent event) const;
    void audit(RequestId id, const Tracked &t, CommandOutcome outcome,
               std::optional<int32_t> result = {});
    std::string who() const; // "client uid N (user) pid P", for the journal
    // Forgets the command and gives back what it counts against the user.
    std::optional<Tracked> untrack(RequestId hub_id);
    // The access policy (client_session_policy.cpp).
    bool sees(const AgentView &a);
    bool shown(const AgentView &a) const;
    std::optional<std::string> refusal_by_policy(const AgentView &a, const std::string &line,
                                                 std::optional<unsigned> *rule);
    const std::vector<uint32_t> &rules_for(const AgentView &a);
    void deny(uint64_t client_request, const AgentView &a, const std::string &line,
              const std::string &why);

    EventLoop &loop_;
    AgentService &agents_;
    AuditLog &audit_;
    UserBounds &bounds_;
    ServerMetrics &metrics_;
    const PolicyFile &policy_;
    ByteStream stream_;
    PeerCred peer_;
    std::string client_user_;
    std::function<void()> on_failed_;
    bool greeted_ = false;
    bool scripted_ = false; // HELLO said so: a refused command ends the session
    uint16_t version_ = operator_protocol::kVersion; // the protocol HELLO asked for
    bool failed_ = false;
    bool finished_ = false;
    std::string end_reason_; // for the journal
    Notice end_kind_ = Notice::kInfo;
    operator_protocol::Decoder decoder_{operator_protocol::Sender::kClient};
    std::chrono::steady_clock::time_point opened_;
    std::chrono::steady_clock::time_point last_read_;
    EventLoop::TimerId health_timer_ = 0;
    EventLoop::TimerId flush_timer_ = 0; // the end-of-iteration write is due
    TrackedCommands commands_;
    size_t charged_ = 0;       // what they count against the user's bounds
    std::set<uint64_t> shown_; // agents the policy let it see (only while one applies)
    // By agent serial, the rules that match this client and that agent (the
    // facts of neither change while both are there), of the policy of
    // policy_generation_: a command only matches its word against them.
    std::map<uint64_t, std::vector<uint32_t>> rules_by_agent_;
    uint64_t policy_generation_ = 0;
};

} // namespace cliserver
