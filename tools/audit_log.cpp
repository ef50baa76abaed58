#include "audit_log.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace cliserver {

namespace {

constexpr const char *kSyslogIdent = "cli-server";

nlohmann::json optional_number(const auto &value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

} // namespace

const char *outcome_name(AuditOutcome o) {
    switch (o) {
    case AuditOutcome::kDone:
        return "done";
    case AuditOutcome::kAgentDisconnected:
        return "agent-disconnected";
    case AuditOutcome::kClientLeft:
        return "client-left";
    case AuditOutcome::kInterrupted:
        return "interrupted";
    }
    return "?";
}

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
        {"time", rfc3339_utc_ms(r.time)},
        {"client_uid", r.client_uid},
        {"client_user", r.client_user},
        {"client_pid", r.client_pid},
        {"agent", r.agent_name},
        {"agent_id", r.agent_id},
        {"agent_pid", optional_number(r.agent_pid)},
        {"agent_uid", optional_number(r.agent_uid)},
        {"command", r.command},
        {"outcome", outcome_name(r.outcome)},
        {"duration_ms", r.duration_ms},
        {"output_bytes", r.output_bytes},
        {"prompts_answered", r.prompts_answered},
    };
    // Command lines and names are bytes, not always UTF-8: never throw on them.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<AuditLog> AuditLog::open(const AuditOptions &options, std::string *error) {
    AuditLog log;
    if (!options.file.empty()) {
        log.file_.reset(::open(options.file.c_str(),
                               O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
        if (!log.file_.valid()) {
            if (error)
                *error = "cannot open the audit log " + options.file + ": " + std::strerror(errno);
            return std::nullopt;
        }
    }
    if (options.syslog) {
        openlog(kSyslogIdent, LOG_PID | LOG_NDELAY, LOG_AUTHPRIV);
        log.syslog_ = true;
    }
    return log;
}

bool AuditLog::record(const AuditRecord &r) const {
    if (!enabled()) return true;
    const std::string line = audit_json(r);
    if (syslog_) syslog(LOG_AUTHPRIV | LOG_INFO, "%s", line.c_str());
    if (!file_.valid()) return true;
    const std::string with_newline = line + "\n";
    return ::write(file_.get(), with_newline.data(), with_newline.size()) ==
           static_cast<ssize_t>(with_newline.size());
}

} // namespace cliserver
