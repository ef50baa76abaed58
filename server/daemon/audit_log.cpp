#include "daemon/audit_log.h"

#include <nlohmann/json.hpp>

#include "daemon/journal.h"
#include "daemon/own_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace cliserver {

namespace {

constexpr const char *kSyslogIdent = "cli-server";

nlohmann::json optional_number(const auto &value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

} // namespace

std::string rfc3339_utc_ms(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const auto secs = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    const auto frac = static_cast<int>(ms - static_cast<int64_t>(secs) * 1000);
    tm utc{};
    gmtime_r(&secs, &utc);
    char buf[40];
    const size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", frac);
    return buf;
}

std::string audit_json(const AuditRecord &r) {
    nlohmann::json j = {
        {"event", r.event == AuditEvent::kSent ? "sent" : "end"},
        {"request", r.request},
        {"time", rfc3339_utc_ms(r.time)},
        {"client_uid", r.client_uid},
        {"client_user", r.client_user},
        {"client_pid", r.client_pid},
        {"agent", r.agent.name},
        {"agent_id", r.agent.id},
        {"agent_pid", optional_number(r.agent.pid)},
        {"agent_uid", optional_number(r.agent.uid)},
        {"command", r.command},
    };
    if (r.rule) j["rule"] = *r.rule;
    if (r.event == AuditEvent::kEnd) {
        j["outcome"] = outcome_name(r.outcome);
        j["result"] = optional_number(r.result);
        j["duration_ms"] = r.duration_ms;
        j["output_bytes"] = r.output_bytes;
        j["prompts_answered"] = r.prompts_answered;
    }
    // Command lines and names are bytes, not always UTF-8: never throw on them.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<AuditLog> AuditLog::open(const AuditOptions &options, std::string *error) {
    AuditLog log;
    log.path_ = options.file;
    std::string why;
    if (!options.file.empty() && !log.open_file(&why)) {
        if (error) *error = "cannot use the audit log " + why;
        return std::nullopt;
    }
    if (options.syslog) {
        openlog(kSyslogIdent, LOG_PID | LOG_NDELAY, LOG_AUTHPRIV);
        log.syslog_ = true;
    }
    return log;
}

// *error: "PATH: reason".
bool AuditLog::open_file(std::string *error) {
    file_.reset();
    // O_NONBLOCK: opening a FIFO nobody reads fails at once (ENXIO)
    // instead of waiting for a reader; a regular file ignores the flag.
    cli_shared::UniqueFd fd(::open(
        path_.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat st {};
    if (!fd.valid()) {
        *error = open_failure(path_, errno);
        return false;
    }
    if (fstat(fd.get(), &st) != 0) {
        *error = path_ + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path_ + ": it is not a regular file";
        return false;
    }
    if (st.st_uid != geteuid()) {
        *error = path_ + ": it belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
                 std::to_string(geteuid()) + " that the server runs as";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error =
            path_ + ": it is writable by group or others (mode " + mode + "); make it 0600 or 0640";
        return false;
    }
    // A second name for it could be a file of somebody else's reading.
    if (st.st_nlink != 1) {
        *error = path_ + ": it has " + std::to_string(st.st_nlink) + " hard links";
        return false;
    }
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags >= 0) fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    file_ = std::move(fd);
    return true;
}

void AuditLog::failed(const std::string &why) {
    const bool was_failing = failing_;
    failing_ = true;
    failure_ = why;
    if (!was_failing)
        journal(Priority::kError, "cannot write the audit log " + why +
                                      "; new commands are refused until it can be written");
}

void AuditLog::note_refused(const std::string &whose) {
    const auto now = std::chrono::steady_clock::now();
    if (refusal_period_open_ && now - refusal_reported_ < kRefusalPeriod) {
        ++refused_unreported_;
        return;
    }
    report_refusals();
    refusal_period_open_ = true;
    refusal_reported_ = now;
    journal(Priority::kError, "refused a command of " + whose +
                                  ": the audit log cannot be written (" + failure_ + ")");
}

void AuditLog::report_refusals() {
    if (!refusal_period_open_ ||
        std::chrono::steady_clock::now() - refusal_reported_ < kRefusalPeriod)
        return;
    refusal_period_open_ = false;
    if (refused_unreported_ == 0) return;
    journal(Priority::kError, std::to_string(refused_unreported_) +
                                  " more commands refused: the audit log cannot be written (" +
                                  failure_ + ")");
    refused_unreported_ = 0;
}

// One write() of the whole line, or nothing left of it in the file.
bool AuditLog::write_line(const std::string &line) {
    if (!file_.valid()) {
        std::string why;
        if (!open_file(&why)) {
            failed(why);
            return false;
        }
    }
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t w = ::write(file_.get(), line.data() + done, line.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        const int err = w < 0 ? errno : EIO;
        if (done > 0) {
            // A line cut short would read as a forged or broken record:
            // the part that made it goes again, if the file is still ours alone.
            struct stat st {};
            const off_t end = lseek(file_.get(), 0, SEEK_CUR);
            if (end >= static_cast<off_t>(done) && fstat(file_.get(), &st) == 0 &&
                st.st_size == end && ftruncate(file_.get(), end - static_cast<off_t>(done)) != 0)
                journal(Priority::kWarning,
                        "the audit log " + path_ +
                            " keeps a record cut short: " + std::strerror(errno));
        }
        failed(path_ + ": " + std::strerror(err));
        return false;
    }
    if (failing_) {
        // Only a record that made it shows that the file takes them again.
        failing_ = false;
        std::string text = "the audit log " + path_ + " can be written again";
        if (lost_ > 0)
            text +=
                "; " + std::to_string(lost_) + " end records that did not fit in memory are lost";
        journal(lost_ > 0 ? Priority::kWarning : Priority::kInfo, text);
        lost_ = 0;
    }
    return true;
}

bool AuditLog::write_kept() {
    while (!kept_.empty()) {
        if (!write_line(kept_.front())) return false;
        kept_bytes_ -= kept_.front().size();
        kept_.pop_front();
    }
    return true;
}

bool AuditLog::writable() {
    if (path_.empty()) return true;
    if (!file_.valid()) {
        std::string why;
        if (!open_file(&why)) {
            failed(why);
            return false;
        }
    }
    return write_kept();
}

bool AuditLog::record(const AuditRecord &r) {
    if (!enabled()) return true;
    const std::string line = audit_json(r);
    if (path_.empty()) {
        syslog(LOG_AUTHPRIV | LOG_INFO, "%s", line.c_str());
        return true;
    }
    if (!writable() || !write_line(line + "\n")) {
        ++write_failures_;
        return false;
    }
    if (syslog_) syslog(LOG_AUTHPRIV | LOG_INFO, "%s", line.c_str());
    return true;
}

void AuditLog::record_or_keep(const AuditRecord &r) {
    if (record(r)) return;
    std::string line = audit_json(r);
    if (syslog_) syslog(LOG_AUTHPRIV | LOG_INFO, "%s", line.c_str());
    line += '\n';
    if (kept_bytes_ + line.size() > kMaxKept) {
        ++lost_;
        return;
    }
    kept_bytes_ += line.size();
    kept_.push_back(std::move(line));
}

void AuditLog::reopen() {
    if (path_.empty()) return;
    std::string why;
    if (!open_file(&why)) {
        failed(why);
        return;
    }
    journal(Priority::kInfo, "reopened the audit log " + path_);
    writable();
}

} // namespace cliserver
