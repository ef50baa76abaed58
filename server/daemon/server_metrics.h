// What the resident server counts for its metrics (metrics.h has the text):
// sessions tell it as commands end and clients come and go, which costs an
// increment or two; the rest (agents by owner, queued commands, refused
// agent connections, the audit log's state) is read from the hub and the
// audit log when somebody asks for the text: `cli-server --metrics` or the
// --metrics-file every interval.
//
// Threading: single-threaded, on the daemon's event loop.
#pragma once

#include "core/command_outcome.h"
#include "daemon/metrics.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace cliserver {

class AgentHub;
class AuditLog;

// The outcomes counted, each under its own name as the label: a new way
// for a command to end is one more entry here. Every one is shown, at 0
// until it happens, so a rate over it exists from the start.
inline constexpr CommandOutcome kCountedOutcomes[] = {
    CommandOutcome::kDone,
    CommandOutcome::kPromptRefused,
    CommandOutcome::kAgentDisconnected,
    CommandOutcome::kNotConnected,
    CommandOutcome::kInterrupted,
    CommandOutcome::kClientLeft,
    CommandOutcome::kTimedOut,
    CommandOutcome::kDenied,
};

class ServerMetrics {
  public:
    ServerMetrics(const AgentHub &hub, const AuditLog &audit);

    // A command that was sent ended; took: from sending to the end. A
    // command done with a non-zero result is counted as "failed".
    void command_ended(CommandOutcome o, std::chrono::steady_clock::duration took,
                       std::optional<int32_t> result = std::nullopt);
    // A command ended without being sent (withdrawn, or its agent gone).
    void command_unsent(CommandOutcome o) { ++outcomes_[slot(o)]; }
    void client_connected(const std::string &user) { ++clients_[user]; }
    void client_left(const std::string &user);
    void metrics_file_failed() { ++file_failures_; }

    MetricsSnapshot snapshot() const;
    std::string text() const { return render_metrics(snapshot()); }

    // Counts are kept by the outcome's number.
    static constexpr size_t kSlots = 16;

  private:
    static size_t slot(CommandOutcome o) { return static_cast<size_t>(o); }

    const AgentHub &hub_;
    const AuditLog &audit_;
    int64_t started_ = 0;
    std::array<uint64_t, kSlots> outcomes_{};
    uint64_t failed_ = 0; // done, with a non-zero result
    DurationHistogram durations_;
    std::map<std::string, uint64_t> clients_;
    uint64_t file_failures_ = 0;
};

} // namespace cliserver
