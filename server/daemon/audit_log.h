// The audit trail: JSON lines for every command the server sends to an
// agent, appended to --audit-log FILE and/or sent to syslog (--syslog:
// ident "cli-server", facility LOG_AUTHPRIV).
//
// Each command gets two records: "sent", written just before the command
// goes to its agent (who: client uid, user name, pid; where: agent name, id,
// the agent process's pid and uid, null when unknown; what: the command
// line), so a command that never ends, or is running when the daemon is
// killed, still leaves its trace; and "end" (the same fields and how it
// ended: done, agent-disconnected, client-left, interrupted; how long it
// took, how much output it produced, how many prompts were answered).
// Both carry the time it was sent and the daemon's request number, which
// pair them. Replies typed at a prompt have no field here: they may be
// passwords, so they cannot reach the log by any path.
//
// The file is opened with O_NOFOLLOW and O_NONBLOCK (a FIFO cannot hold
// the daemon up) and must then be a regular file with one link, owned by
// the daemon's user and writable by nobody else: a log others can append
// to, or one that leads elsewhere, would be worse than none. A missing file
// is created 0600.
//
// Writing never fails silently. A "sent" record is written or the command
// is not sent (record() returns false). An "end" record that cannot be
// written is kept, up to kMaxKept bytes, and written when the log can be
// written again. A record is whole or absent: what a short write left is
// cut off again. The daemon refuses a command whose "sent" record fails,
// and, while writable() says no (the file cannot be opened, or what is kept
// cannot be written: each call tries again), every new one; the journal
// says when failing starts and when a record makes it again. reopen() (SIGHUP) closes and opens the
// path again, for rotation.
//
// Threading: single-threaded, on the daemon's event loop. Each record is
// one write() on an O_APPEND descriptor, so lines of several processes never
// interleave. The write is to a local file and blocks only as long as the
// file system does.
#pragma once

#include "core/agent_record.h"
#include "unique_fd.h"

#include "core/command_outcome.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace cliserver {

enum class AuditEvent { kSent, kEnd };

struct AuditRecord {
    AuditEvent event = AuditEvent::kEnd;
    uint64_t request = 0;                       // the daemon's number for the command
    std::chrono::system_clock::time_point time; // when the command was sent
    uid_t client_uid = 0;
    std::string client_user;
    pid_t client_pid = 0;
    AgentRecord agent; // its connection time is not logged
    std::string command;
    std::optional<unsigned> rule; // the access policy's rule that allowed it
    // The end record's:
    CommandOutcome outcome = CommandOutcome::kDone; // never prompt-refused or not-connected
    std::optional<int32_t> result;                  // the agent's, when done and reported
    int64_t duration_ms = 0;
    uint64_t output_bytes = 0;
    unsigned prompts_answered = 0;

    bool operator==(const AuditRecord &) const = default;
};

struct AuditOptions {
    std::string file; // --audit-log; empty for none
    bool syslog = false;
};

class AuditLog {
  public:
    static constexpr size_t kMaxKept = 1u << 20;

    // Logs nothing: neither option given.
    AuditLog() = default;
    // Opens the file (creating it with mode 0600) and/or syslog. On failure
    // returns nullopt with *error naming the file and the reason.
    static std::optional<AuditLog> open(const AuditOptions &options, std::string *error);

    bool enabled() const { return !path_.empty() || syslog_; }
    // Writes r now, after what is kept; false when the file cannot be
    // written (r is not kept: the caller withholds what it records).
    bool record(const AuditRecord &r);
    // Writes r now, or keeps it for when the file can be written again.
    void record_or_keep(const AuditRecord &r);
    // False when the file cannot be opened or what is kept cannot be
    // written now (both are tried); true says the next record may succeed.
    bool writable();
    // True since a write failed, until a record is written again.
    bool failing() const { return failing_; }
    // Why, in a few words ("/var/log/x: No space left on device").
    const std::string &failure() const { return failure_; }
    // Closes the file and opens the path again.
    void reopen();
    // A command was refused because the log cannot be written (whose:
    // "client ... for AGENT"). The journal hears of it at err, at most once
    // per kRefusalPeriod; report_refusals(), called every second, counts
    // out the rest of a period even if no command comes after them.
    static constexpr std::chrono::seconds kRefusalPeriod{60};
    void note_refused(const std::string &whose);
    void report_refusals();
    const std::string &path() const { return path_; }
    // Records that could not be written when they were due (kept or not).
    uint64_t write_failures() const { return write_failures_; }

  private:
    bool open_file(std::string *error);
    bool write_line(const std::string &line);
    bool write_kept();
    void failed(const std::string &why);

    std::string path_;
    cli_shared::UniqueFd file_;
    bool syslog_ = false;
    bool failing_ = false;
    std::string failure_;
    std::deque<std::string> kept_;
    size_t kept_bytes_ = 0;
    uint64_t lost_ = 0; // end records beyond kMaxKept
    std::chrono::steady_clock::time_point refusal_reported_{};
    bool refusal_period_open_ = false;
    uint64_t refused_unreported_ = 0;
    uint64_t write_failures_ = 0;
};

// The JSON object of one record, without the newline.
std::string audit_json(const AuditRecord &r);
// "2026-12-08T13:10:13.042Z"
std::string rfc3339_utc_ms(std::chrono::system_clock::time_point t);

} // namespace cliserver
