// The audit trail: one JSON object per line for every command the server
// sends to an agent, appended to --audit-log FILE and/or sent to syslog
// (--syslog: ident "cli-server", facility LOG_AUTHPRIV).
//
// A record carries who (client uid, user name, pid), where (agent name, id,
// the agent process's pid and uid, null when unknown), what (the command
// line), how it ended (done, agent-disconnected, client-left, interrupted),
// how long it took and how much output it produced, and how many prompts
// were answered. Replies typed at a prompt have no field here: they may be
// passwords, so they cannot reach the log by any path.
//
// Threading: after open() an AuditLog is immutable; record() may be called
// from any thread. Each record is one write() on an O_APPEND descriptor, so
// lines from several threads or processes never interleave. The write is to
// a local file and blocks only as long as the file system does.
#pragma once

#include "unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace cliserver {

enum class AuditOutcome { kDone, kAgentDisconnected, kClientLeft, kInterrupted };

struct AuditRecord {
    std::chrono::system_clock::time_point time; // when the command was sent
    uid_t client_uid = 0;
    std::string client_user;
    pid_t client_pid = 0;
    std::string agent_name;
    uint32_t agent_id = 0;
    std::optional<pid_t> agent_pid;
    std::optional<uid_t> agent_uid;
    std::string command;
    AuditOutcome outcome = AuditOutcome::kDone;
    int64_t duration_ms = 0;
    uint64_t output_bytes = 0;
    unsigned prompts_answered = 0;
};

struct AuditOptions {
    std::string file; // --audit-log; empty for none
    bool syslog = false;
};

class AuditLog {
  public:
    // Logs nothing: neither option given.
    AuditLog() = default;
    // Opens (creating with mode 0600) the file and/or syslog. On failure
    // returns nullopt with *error naming the file and the reason.
    static std::optional<AuditLog> open(const AuditOptions &options, std::string *error);

    bool enabled() const { return file_.valid() || syslog_; }
    // False when the file write failed; syslog cannot report failure.
    bool record(const AuditRecord &r) const;

  private:
    UniqueFd file_;
    bool syslog_ = false;
};

// The JSON object of one record, without the newline.
std::string audit_json(const AuditRecord &r);
// "2026-12-08T13:10:13.042Z"
std::string rfc3339_utc_ms(std::chrono::system_clock::time_point t);
const char *outcome_name(AuditOutcome o);

} // namespace cliserver
