// cli-server --daemon: the resident server. It holds the agents' port for
// as long as it runs, so agents stay connected whether or not anybody is
// looking, and serves any number of operator clients on a Unix socket (see
// operator_protocol.h), each a ClientSession on the one hub.
//
// It stays in the foreground (the service manager's convention: no fork,
// no PID file), reports readiness with sd_notify when started by systemd,
// writes its journal (journal.h: agents and clients coming and going with
// who they are and why they went, refusals) to standard error, reopens the
// audit log and reads its access policy again on SIGHUP, and on SIGTERM or SIGINT says goodbye to
// every agent, closes every client with a message and exits 0.
//
// Threading: single-threaded: the hub, the sessions, the listener and the
// signals share one event loop.
#pragma once

#include "daemon/access.h"
#include "hub/agent_users.h"
#include "hub/agent_hub.h"
#include "daemon/audit_log.h"
#include "core/event_loop.h"
#include "core/listener.h"
#include "core/process.h"
#include "core/users.h"
#include "daemon/client_session.h"
#include "daemon/user_bounds.h"
#include "daemon/metrics_file.h"
#include "daemon/policy_file.h"
#include "daemon/server_metrics.h"
#include "unique_fd.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cliserver {

// What the resident server is asked for on the command line.
struct DaemonOptions {
    uint16_t port = 0;
    std::string socket;      // --socket PATH, empty for the default
    std::string group;       // --group NAME
    std::string audit_log;   // --audit-log FILE
    bool syslog = false;     // --syslog
    std::string agent_users; // --agent-users LIST
    BoundsOptions bounds;    // --max-clients, --max-queued...
    // --metrics-file PATH, --metrics-interval SECONDS
    std::string metrics_file;
    uint32_t metrics_interval = MetricsFile::kDefaultIntervalSeconds;
    std::string policy = std::string(); // --policy FILE
};

class ResidentServer : private AgentEvents {
  public:
    ResidentServer(uint16_t port, std::string socket_path, AgentUsers agent_users,
                   std::optional<gid_t> group, AuditLog audit, BoundsOptions bounds = {});
    ~ResidentServer() override;
    ResidentServer(const ResidentServer &) = delete;
    ResidentServer &operator=(const ResidentServer &) = delete;

    // Before run(): who may run what (without it, every client may run everything).
    void enforce(PolicyFile policy) { policy_ = std::move(policy); }
    // Before run(): the metrics go to path every interval as well.
    void write_metrics_to(const std::string &path, std::chrono::seconds interval);
    int run();

  private:
    bool set_up();
    void accept_clients();
    void admit(cli_shared::UniqueFd fd);
    void on_signal(int signo);
    void reload_policy();
    void reap_sessions();
    void shut_down();
    void housekeeping();

    // AgentEvents: the journal's view of the agents.
    void on_agent_greeted(AgentView &a) override;
    void on_agent_lost(AgentView &a, const std::string &why, Notice kind) override;
    void on_hub_notice(Notice kind, const std::string &text) override;
    void on_agent_notice(const AgentView &a, Notice kind, const std::string &text) override;

    uint16_t port_;
    std::string socket_path_;
    std::optional<gid_t> group_;
    EventLoop loop_;
    AgentHub hub_;
    AuditLog audit_;
    UserBounds bounds_;
    ServerMetrics metrics_{hub_, audit_};
    std::unique_ptr<MetricsFile> metrics_file_;
    OperatorAccess access_;
    PolicyFile policy_;
    Listener listener_;
    SignalWatch signals_;
    bool stop_ = false;
    uint64_t next_session_ = 1;
    std::map<uint64_t, std::unique_ptr<ClientSession>> sessions_;
    std::vector<uint64_t> failed_sessions_;
    // The journal's agent lines name their owners: thousands of agents
    // connecting at once (a restart of the server) read the user database
    // once per owner, not once per agent.
    UserNames journal_names_{std::chrono::seconds(5)};
};

// Parses the daemon's options, opens the audit log and runs the daemon.
int run_daemon(const DaemonOptions &opts);

} // namespace cliserver
