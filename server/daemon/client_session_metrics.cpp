// What one client's session tells the metrics, and the metrics text it
// sends the client that asks (client_session.h).
//
// Threading: single-threaded, on the daemon's event loop, like the session.
#include "daemon/client_session.h"

namespace cliserver {

namespace op = operator_protocol;

// A command never sent has no duration to show.
void ClientSession::count_end(const Tracked &t, CommandOutcome outcome,
                              std::optional<int32_t> result) {
    if (!t.sent) {
        metrics_.command_unsent(outcome);
        return;
    }
    metrics_.command_ended(outcome, std::chrono::steady_clock::now() - t.started, result);
}

// Whoever may use the socket may read them: they name users and count,
// and show no agent's name, command or output.
void ClientSession::send_metrics() {
    std::string out;
    op::encode_metrics_text(out, metrics_.text());
    send(out);
}

} // namespace cliserver
