// The agents' service as a client of the resident cli-server: the agents
// live in the daemon, this process learns of them over the Unix socket and
// hands its command lines to the daemon, which runs them in its queues.
//
// connect() first makes sure whom it talks to (operator/socket_trust.h): a socket in a
// directory others may write, or a peer that is neither root nor this user
// (nor the socket's owner in a directory only root can write), is refused
// before a byte is sent, because the operator is about to type commands
// and replies to prompts (passwords) into it. Then, synchronous and bounded,
// it says HELLO and reads the daemon's list of agents up to READY, so the operator starts knowing
// every agent connected now. After that the link runs on the event loop: reading stops while the
// operator's terminal is congested (the daemon then stops reading the agent, so the backpressure
// reaches the agent), and a daemon that goes away fails every agent and ends the session.
//
// Threading: single-threaded, on the event loop's thread.
#pragma once

#include "hub/agent_selection.h"
#include "hub/agent_service.h"
#include "core/byte_stream.h"
#include "core/event_loop.h"
#include "wire/operator_protocol.h"
#include "unique_fd.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace cliserver {

enum class ConnectResult {
    kConnected,
    kNoDaemon, // no socket at the path: run standalone
    kFailed,   // a daemon is there but would not or could not serve us (*error says why)
    // What is there is not to be trusted: the socket's directory is open to
    // others or the daemon runs as somebody else (*error says so); nothing
    // was sent.
    kUntrusted,
};

class DaemonClient final : public AgentService {
  public:
    DaemonClient(EventLoop &loop, std::string socket_path);
    ~DaemonClient() override;
    DaemonClient(const DaemonClient &) = delete;
    DaemonClient &operator=(const DaemonClient &) = delete;

    ConnectResult connect(operator_protocol::Mode mode, std::string *error);
    // Called once when the daemon closes the connection or breaks the protocol.
    // After a REFUSED (refused() true), why is the daemon's own line.
    void on_lost(std::function<void(const std::string &why)> fn) { on_lost_ = std::move(fn); }
    // Writes what is still queued for the daemon, blocking briefly at most.
    void flush();
    bool refused() const { return refused_; }
    // For a console that reconnects: when the link is lost, every agent is
    // reported lost (not only those a command waits on), so nothing stays
    // attached to an agent of the old connection.
    void report_every_agent_on_loss() { report_all_on_loss_ = true; }
    // Once lost: connects to the same socket again, as connect() does.
    ConnectResult reconnect(operator_protocol::Mode mode, std::string *error);

    // AgentService
    void add_client(HubClient *c) override;
    void remove_client(HubClient *c) override;
    void add_observer(AgentEvents *o) override { observers_.push_back(o); }
    void remove_observer(AgentEvents *o) override;
    AgentView *find(uint64_t serial) override;
    std::vector<AgentView *> match(const AgentSelector &s) override;
    // As the daemon said in WELCOME: root, its user, --agent-users and ours.
    const TrustedOwners &trusted_owners() const override { return trusted_; }
    void find_processes(std::function<void()> done) override;
    void for_each_agent(const std::function<void(const AgentView &)> &fn) const override;
    size_t agent_count() const override { return agents_.size(); }
    RequestId new_request_id() override { return next_request_++; }
    bool submit(HubClient *c, AgentView &a, RequestId id, const std::string &line,
                bool quiet) override;
    void begin_batch() override { ++batch_depth_; }
    void end_batch() override;
    bool request_sent(RequestId id) const override;
    void answer(RequestId id, std::string_view reply) override;
    void abandon(RequestId id) override;
    void time_out(RequestId id) override;
    void congestion_changed(HubClient *c) override;
    void list_agents(std::function<void(std::vector<AgentRow>)> done) override;
    bool gathers() const override { return false; }
    // Asks for the resident server's metrics text (metrics_client.cpp);
    // done is called with it, or not at all when the link is lost first.
    void request_metrics(std::function<void(std::string)> done);
    std::string where() const override;

  private:
    bool connect_socket(std::string *error, ConnectResult *result);
    bool read_greeting(operator_protocol::Mode mode, std::string *error);
    void on_events(uint32_t events);
    bool read_available();
    void handle(const operator_protocol::Message &m);
    void request_news(const operator_protocol::Message &m);
    void prompt(const operator_protocol::Message &m);
    void finish_request(uint64_t id, std::optional<int32_t> result,
                        std::optional<std::string> denied = std::nullopt);
    void agent_up(const operator_protocol::Message &m);
    void agent_down(const operator_protocol::Message &m);
    void add_row(const operator_protocol::Message &m);
    void rows_end();
    void metrics_text(const operator_protocol::Message &m);
    void metrics_end();
    // Each message is encoded straight into the write queue and written at
    // once, unless a batch holds it (the SUBMITs of a fan-out's start go in
    // a few writes) or earlier bytes still wait for room: then the loop
    // writes them all when the socket is writable again (EPOLLOUT), and
    // trying sooner would only fail again.
    template <typename Encode> void send(const Encode &encode) {
        if (lost_) return;
        const bool waiting_for_room = stream_.pending() > 0;
        encode(stream_.queue_tail());
        stream_.queued();
        if (batch_depth_ > 0)
            held_ = true;
        else if (!waiting_for_room)
            write_available();
    }
    void write_available();
    void update_interest();
    void lose_connection();
    bool congested() const;
    void lose(const std::string &why);
    Request *request(uint64_t id);
    template <typename Tell> void tell_observers(const Tell &tell);

    EventLoop &loop_;
    std::string path_;
    ByteStream stream_;
    bool lost_ = false;
    bool refused_ = false;
    bool report_all_on_loss_ = false;
    operator_protocol::Decoder decoder_{operator_protocol::Sender::kDaemon};
    std::map<uint64_t, AgentView> agents_; // in connection order
    AgentIndex index_;
    TrustedOwners trusted_;
    std::unordered_map<RequestId, Request> requests_;
    std::deque<std::function<void(std::vector<AgentRow>)>> list_waiters_;
    std::vector<AgentRow> rows_;
    std::function<void(std::string)> metrics_waiter_;
    std::string metrics_text_;
    std::vector<HubClient *> clients_;     // congested() asks them
    std::vector<AgentEvents *> observers_; // clients too: hear of agents, in order
    std::function<void(const std::string &)> on_lost_;
    RequestId next_request_ = 1;
    int batch_depth_ = 0; // SubmitBatches open now
    bool held_ = false;   // a batch held messages back
};

} // namespace cliserver
