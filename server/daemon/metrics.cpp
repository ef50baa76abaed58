// The metrics text (metrics.h): each family's HELP and TYPE lines, then
// its samples.
#include "daemon/metrics.h"

#include <cinttypes>
#include <cstdio>

namespace cliserver {

namespace {

void family(std::string &out, const char *name, const char *type, const char *help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string &out, std::string_view name, uint64_t value) {
    out += name;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

void labelled(std::string &out, std::string_view name, const char *label, std::string_view value,
              const std::string &number) {
    out += name;
    out += '{';
    out += label;
    out += "=\"";
    out += escape_label_value(value);
    out += "\"} ";
    out += number;
    out += '\n';
}

void labelled_counts(std::string &out, const char *name, const char *label,
                     const LabelledCounts &counts) {
    for (const auto &[value, n] : counts)
        labelled(out, name, label, value, std::to_string(n));
}

// Microseconds as seconds, exactly: "1.250000".
std::string seconds_text(uint64_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIu64 ".%06" PRIu64, us / 1'000'000, us % 1'000'000);
    return buf;
}

void histogram(std::string &out, const char *name, const DurationHistogram &h) {
    const std::string bucket = std::string(name) + "_bucket";
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kDurationBucketCount; ++i) {
        cumulative += h.in_bucket[i];
        labelled(out, bucket, "le", kDurationBuckets[i].le, std::to_string(cumulative));
    }
    cumulative += h.in_bucket[kDurationBucketCount];
    labelled(out, bucket, "le", "+Inf", std::to_string(cumulative));
    out += name;
    out += "_sum " + seconds_text(h.sum_us) + '\n';
    sample(out, std::string(name) + "_count", h.count);
}

} // namespace

std::string escape_label_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string render_metrics(const MetricsSnapshot &s) {
    std::string out;
    family(out, "cli_server_info", "gauge", "The resident cli-server's version.");
    labelled(out, "cli_server_info", "version", s.version, "1");
    family(out, "cli_server_start_time_seconds", "gauge",
           "When the resident server started, in seconds since 1970.");
    out += "cli_server_start_time_seconds " + std::to_string(s.start_time_seconds) + '\n';
    family(out, "cli_server_agents", "gauge", "Connected agents by the user that owns them.");
    labelled_counts(out, "cli_server_agents", "user", s.agents_by_user);
    family(out, "cli_server_clients", "gauge", "Connected operator clients by user.");
    labelled_counts(out, "cli_server_clients", "user", s.clients_by_user);
    family(out, "cli_server_commands_total", "counter", "Commands by how they ended.");
    labelled_counts(out, "cli_server_commands_total", "outcome", s.commands_by_outcome);
    family(out, "cli_server_command_duration_seconds", "histogram",
           "How long commands took from being sent to their end.");
    histogram(out, "cli_server_command_duration_seconds", s.durations);
    family(out, "cli_server_queued_commands", "gauge", "Commands waiting in agents' queues.");
    sample(out, "cli_server_queued_commands", s.queued_commands);
    family(out, "cli_server_agent_connections_refused_total", "counter",
           "Agent connections closed before or at their HELLO, by reason.");
    labelled_counts(out, "cli_server_agent_connections_refused_total", "reason",
                    s.agent_refusals_by_reason);
    family(out, "cli_server_audit_write_failures_total", "counter",
           "Audit records that could not be written when they were due.");
    sample(out, "cli_server_audit_write_failures_total", s.audit_write_failures);
    family(out, "cli_server_audit_log_ok", "gauge",
           "1 while the audit log can be written (or none is kept), else 0.");
    sample(out, "cli_server_audit_log_ok", s.audit_log_ok ? 1 : 0);
    family(out, "cli_server_metrics_file_write_failures_total", "counter",
           "Times the --metrics-file could not be written.");
    sample(out, "cli_server_metrics_file_write_failures_total", s.metrics_file_write_failures);
    return out;
}

} // namespace cliserver
