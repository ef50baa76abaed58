// The audit trail of one client's commands (client_session.h): the "sent"
// record before a command goes to its agent, the end record however it
// ends, and the refusal of commands while the audit log cannot be written.
//
// Threading: single-threaded, on the daemon's event loop, like the session.
#include "daemon/client_session.h"

#include "core/text.h"
#include "daemon/journal.h"

namespace cliserver {

namespace op = operator_protocol;

// The "sent" record is on disk before the agent sees the command, or the
// command does not go.
bool ClientSession::on_sending(const Request &r) {
    Tracked *found = commands_.find(r.id);
    if (!found) return true;
    Tracked &t = *found;
    t.sent_at = std::chrono::system_clock::now();
    t.started = std::chrono::steady_clock::now();
    if (!audit_.enabled() || audit_.record(audit_record(r.id, t, AuditEvent::kSent))) {
        t.sent = true; // from now on it has an end to record, whatever happens next
        return true;
    }
    const uint64_t client_request = t.client_request;
    const std::string agent = printable(t.agent.name);
    (void)untrack(r.id);
    refuse_command(client_request, agent);
    return false;
}

// No command runs unrecorded: a script ends (exit 1), a person at a console
// sees the line and may try again.
void ClientSession::refuse_command(uint64_t client_request, const std::string &agent) {
    const std::string why = "cannot write the audit log (" + audit_.failure() +
                            "); the resident server runs no command until it can";
    audit_.note_refused(who() + " for " + agent);
    std::string out;
    if (scripted_) {
        // Bare to every version: this refusal never named the program.
        op::encode_refused(out, why);
        send(out);
        fail("refused a command: the audit log cannot be written");
        return;
    }
    op::encode_notice(out, op::NoticeText{Notice::kError, why});
    op::encode_done(out, client_request);
    send(out);
}

AuditRecord ClientSession::audit_record(RequestId id, const Tracked &t, AuditEvent event) const {
    AuditRecord rec;
    rec.event = event;
    rec.request = id;
    rec.time = t.sent_at;
    rec.client_uid = peer_.uid;
    rec.client_user = client_user_;
    rec.client_pid = peer_.pid;
    rec.agent = t.agent;
    rec.command = t.line;
    rec.rule = t.rule;
    return rec;
}

void ClientSession::audit(RequestId id, const Tracked &t, CommandOutcome outcome,
                          std::optional<int32_t> result) {
    if (!audit_.enabled()) return;
    AuditRecord rec = audit_record(id, t, AuditEvent::kEnd);
    rec.outcome = outcome;
    rec.result = result;
    rec.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - t.started)
                          .count();
    rec.output_bytes = t.output_bytes;
    rec.prompts_answered = t.prompts_answered;
    audit_.record_or_keep(rec);
}

} // namespace cliserver
