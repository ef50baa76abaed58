#include "daemon/resident_server.h"

#include "core/exit_status.h"
#include "core/users.h"
#include "hub/agent_owner.h"
#include "daemon/journal.h"
#include "daemon/own_file.h"
#include "core/process.h"
#include "core/text.h"
#include "core/socket_path.h"
#include "core/users.h"
#include "daemon/operator_socket.h"

#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cliserver {

ResidentServer::ResidentServer(uint16_t port, std::string socket_path, AgentUsers agent_users,
                               std::optional<gid_t> group, AuditLog audit, BoundsOptions bounds)
    : port_(port), socket_path_(std::move(socket_path)), group_(group),
      hub_(loop_, HubOptions{port_, std::move(agent_users), false}), audit_(std::move(audit)),
      bounds_(bounds), access_(getuid(), group), listener_(loop_), signals_(loop_) {
    hub_.add_observer(this);
}

ResidentServer::~ResidentServer() {
    sessions_.clear();
    hub_.remove_observer(this);
    if (listener_.valid()) remove_operator_socket(socket_path_, listener_.fd());
}

namespace {

constexpr auto kHousekeepingPeriod = std::chrono::seconds(1);

// A rule that names a user or group this machine does not have matches
// nobody: not an error (an account may be retired), but worth a line.
void journal_unknown_names(const std::string &path, const AccessPolicy &policy) {
    for (const PolicyRule &rule : policy.rules()) {
        if (rule.who == PolicyRule::Who::kNobody)
            journal(Priority::kWarning, path + ":" + std::to_string(rule.line) + ": no " +
                                            (rule.who_text[0] == '@' ? "group " : "user ") +
                                            printable(rule.who_text) + ": the rule matches nobody");
        for (const std::string &word : rule.unknown)
            journal(Priority::kWarning,
                    path + ":" + std::to_string(rule.line) + ": " + printable(word) +
                        " names a user that does not exist: it matches no agent");
    }
}

} // namespace

bool ResidentServer::set_up() {
    // A file size limit makes an audit write fail (and commands be
    // refused) rather than kill the daemon.
    std::string error = start_process(loop_, {.many_descriptors = true, .survive_file_size = true});
    if (!error.empty()) {
        journal(Priority::kError, error);
        return false;
    }
    cli_shared::UniqueFd socket =
        listen_operator_socket(socket_path_, SocketAccess{group_}, &error);
    if (!socket.valid()) {
        journal(Priority::kError, error);
        return false;
    }
    listener_.start(std::move(socket), [this] { accept_clients(); });
    if (!hub_.listen(&error)) {
        journal(Priority::kError, error);
        return false;
    }
    error = signals_.start([this](int signo) { on_signal(signo); });
    if (!error.empty()) {
        journal(Priority::kError, error);
        return false;
    }
    housekeeping();
    if (metrics_file_) metrics_file_->start();
    journal(Priority::kInfo, "resident server " CLI_SERVER_VERSION " listening on 127.0.0.1:" +
                                 std::to_string(port_) + " for agents and on " + socket_path_ +
                                 " for operators");
    return true;
}

void ResidentServer::accept_clients() {
    for (;;) {
        cli_shared::UniqueFd fd = listener_.accept([](int err) {
            journal(Priority::kWarning,
                    std::string("cannot accept more clients: ") + std::strerror(err));
        });
        if (!fd.valid()) return;
        admit(std::move(fd));
    }
}

// The file modes keep strangers out; the peer's credentials decide.
void ResidentServer::admit(cli_shared::UniqueFd fd) {
    const auto peer = peer_credentials(fd.get());
    std::optional<std::string> refusal;
    if (!peer)
        refusal = "access denied: the client's credentials cannot be read";
    else
        refusal = access_.refusal(*peer);
    if (!refusal) refusal = bounds_.admit_client(peer->uid);
    if (refusal) {
        journal(Priority::kWarning,
                (peer ? "refused client pid " + std::to_string(peer->pid) + ": "
                      : std::string("refused a client: ")) +
                    *refusal,
                peer ? JournalSource::clients_of(peer->uid) : JournalSource::agents_of({}));
        // Refused before its HELLO is read: in the form every version reads.
        std::string out;
        operator_protocol::encode_refused(
            out, operator_protocol::refused_line(operator_protocol::kUnknownVersion, *refusal));
        (void)::send(fd.get(), out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return;
    }
    const uint64_t id = next_session_++;
    auto session = std::make_unique<ClientSession>(loop_, hub_, audit_, bounds_, metrics_, policy_,
                                                   std::move(fd), *peer,
                                                   [this, id] { failed_sessions_.push_back(id); });
    session->start();
    sessions_.emplace(id, std::move(session));
}

void ResidentServer::reap_sessions() {
    if (failed_sessions_.empty()) return;
    auto failed = std::move(failed_sessions_);
    failed_sessions_.clear();
    for (uint64_t id : failed) {
        auto it = sessions_.find(id);
        if (it == sessions_.end()) continue;
        it->second->finish();
        sessions_.erase(it);
    }
    // A client that left may have had thousands of commands waiting: the
    // heap they took goes back to the system, not only to the allocator.
    malloc_trim(0);
}

void ResidentServer::on_signal(int signo) {
    if (signo == SIGHUP) {
        // Log rotation: a lost terminal is not a stop either.
        audit_.reopen();
        reload_policy();
        return;
    }
    if (!stop_) journal(Priority::kInfo, std::string("stopping on ") + strsignal(signo));
    stop_ = true;
}

// A policy that does not parse now is journalled; the one read before
// stays in force.
void ResidentServer::reload_policy() {
    if (policy_.path().empty()) return;
    std::string error;
    if (!policy_.reload(&error)) {
        journal(Priority::kError, "the access policy was not reloaded, the previous one stays "
                                  "in force: " +
                                      error);
        return;
    }
    journal_unknown_names(policy_.path(), policy_.rules());
    journal(Priority::kInfo, "reloaded the access policy " + policy_.path() + " (" +
                                 std::to_string(policy_.rules().rules().size()) + " rules)");
    for (auto &[id, s] : sessions_)
        s->policy_reloaded();
}

void ResidentServer::shut_down() {
    sd_notify(0, "STOPPING=1");
    if (metrics_file_) metrics_file_->stop();
    for (auto &[id, s] : sessions_)
        s->close_with(Notice::kError, "the resident server is shutting down");
    for (auto &[id, s] : sessions_)
        s->finish();
    sessions_.clear();
    failed_sessions_.clear();
    hub_.say_goodbye();
    hub_.close_all();
}

void ResidentServer::write_metrics_to(const std::string &path, std::chrono::seconds interval) {
    metrics_file_ = std::make_unique<MetricsFile>(loop_, metrics_, path, interval,
                                                  [this] { metrics_.metrics_file_failed(); });
}

int ResidentServer::run() {
    if (!set_up()) return exit_code(ExitStatus::kError);
    sd_notify(0, "READY=1");
    while (!stop_) {
        if (!loop_.run_once()) {
            journal(Priority::kError, std::string("epoll failed: ") + std::strerror(errno));
            shut_down();
            return exit_code(ExitStatus::kError);
        }
        reap_sessions();
        hub_.reap();
    }
    shut_down();
    return exit_code(ExitStatus::kCompleted);
}

// ---------------------------------------------------------------- journal

// Suppressed journal lines are counted out, and a log that could not be
// written is tried again, whether or not anything else happens.
void ResidentServer::housekeeping() {
    journal_flush();
    if (audit_.failing()) audit_.writable();
    audit_.report_refusals();
    loop_.add_timer(EventLoop::clock::now() + kHousekeepingPeriod, [this] { housekeeping(); });
}

void ResidentServer::on_agent_greeted(AgentView &a) {
    journal(Priority::kInfo, describe(a) + " connected (user " + journal_names_.of(a.uid) + ")",
            JournalSource::agents_of(a.uid));
}

// Every connection that goes before HELLO is journalled, with its user and
// process when they are known: a service whose agent never appears (it
// could not check who owns the port, another user's agent was refused)
// shows here. Thousands of them at once are the journal's rate limit's to
// summarise.
void ResidentServer::on_agent_lost(AgentView &a, const std::string &why, Notice kind) {
    if (a.greeted) {
        journal(priority_of(kind), describe(a) + " " + why, JournalSource::agents_of(a.uid));
        return;
    }
    if (a.said_hello) return; // refused by --agent-users, which the hub's notice journals
    std::string from;
    if (a.uid) from += "user " + journal_names_.of(a.uid);
    if (a.pid) from += (from.empty() ? "pid " : ", pid ") + std::to_string(*a.pid);
    journal(priority_of(kind),
            "a connection that never said HELLO " + why +
                (from.empty() ? std::string() : " (from " + from + ")"),
            JournalSource::agents_of(a.uid));
}

void ResidentServer::on_hub_notice(Notice kind, const std::string &text) {
    journal(priority_of(kind), text);
}

void ResidentServer::on_agent_notice(const AgentView &a, Notice kind, const std::string &text) {
    journal(priority_of(kind), text, JournalSource::agents_of(a.uid));
}

int run_daemon(const DaemonOptions &opts) {
    std::string error;
    std::optional<AgentUsers> users = AgentUsers();
    if (!opts.agent_users.empty()) {
        users = AgentUsers::parse(opts.agent_users, &error);
        if (!users) {
            journal(Priority::kError, error);
            return exit_code(ExitStatus::kError);
        }
    }
    std::optional<gid_t> group;
    if (!opts.group.empty()) {
        group = lookup_group(opts.group);
        if (!group) {
            journal(Priority::kError, "--group: no group named '" + opts.group + "'");
            return exit_code(ExitStatus::kError);
        }
    }
    std::optional<AccessPolicy> policy;
    if (!opts.policy.empty()) {
        policy = load_policy(opts.policy, &error);
        if (!policy) {
            journal(Priority::kError, "cannot use the access policy " + error);
            return exit_code(ExitStatus::kError);
        }
        journal_unknown_names(opts.policy, *policy);
    }
    auto audit = AuditLog::open(AuditOptions{opts.audit_log, opts.syslog}, &error);
    if (!audit) {
        journal(Priority::kError, error);
        return exit_code(ExitStatus::kError);
    }
    // Like the audit log's, a link at the path is a mistake or an attack.
    if (!opts.metrics_file.empty()) {
        if (auto why = not_a_regular_file(opts.metrics_file)) {
            journal(Priority::kError, "cannot use the metrics file " + *why);
            return exit_code(ExitStatus::kError);
        }
    }
    ResidentServer server(opts.port, choose_socket_path(opts.socket), std::move(*users), group,
                          std::move(*audit), opts.bounds);
    if (policy) server.enforce(PolicyFile(opts.policy, std::move(*policy)));
    if (!opts.metrics_file.empty())
        server.write_metrics_to(opts.metrics_file, std::chrono::seconds(opts.metrics_interval));
    return server.run();
}

} // namespace cliserver
