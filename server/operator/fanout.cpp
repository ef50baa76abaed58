#include "operator/fanout.h"
#include "core/text.h"
#include "core/users.h"

#include "protocol.h"

#include <unistd.h>

#include <algorithm>

namespace cliserver {

namespace {

// A line longer than this is cut into labelled pieces rather than held
// without bound; JSON keeps at most kMaxCollected bytes of one command.
constexpr size_t kMaxLine = 1u << 20;
constexpr size_t kMaxCollected = 16u << 20;

uint64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    auto d = std::chrono::steady_clock::now() - since;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

} // namespace

// ---------------------------------------------------------------- FanoutRun

FanoutRun::FanoutRun(AgentService &hub, EventLoop &loop, OutputQueue &out, NoticeFn notice,
                     FanoutSettings settings)
    : agents_(hub), loop_(loop), out_(out), notice_(std::move(notice)),
      settings_(std::move(settings)),
      deadlines_(loop, settings_.timeout_seconds, [this](RequestId id) { time_out(id); }),
      terminal_(isatty(out_.fd()) == 1) {
    agents_.add_client(this);
}

FanoutRun::~FanoutRun() {
    agents_.remove_client(this);
}

void FanoutRun::start(const std::vector<AgentView *> &agents, std::vector<std::string> lines,
                      const std::vector<AgentRow> &rows) {
    lines_ = std::move(lines);
    slots_.clear();
    by_request_.clear();
    by_serial_.clear();
    slots_.reserve(agents.size()); // growing it moves every slot, again and again
    by_serial_.reserve(agents.size());
    by_request_.reserve(agents.size());
    UserNames users; // read from the user database once per user, not per result
    for (AgentView *a : agents) {
        by_serial_[a->serial] = slots_.size();
        Slot &s = slots_.emplace_back(); // filled in place
        s.serial = a->serial;
        s.id = a->id;
        s.name = a->name;
        s.pid = a->pid;
        s.uid = a->uid;
        auto row =
            std::lower_bound(rows.begin(), rows.end(), a->serial,
                             [](const AgentRow &r, uint64_t serial) { return r.serial < serial; });
        if (row != rows.end() && row->serial == a->serial) {
            if (row->pid) s.pid = row->pid;
            if (row->uid) s.uid = row->uid;
        }
        if (settings_.json && s.uid) s.user = users.of(*s.uid);
    }
    if (!settings_.json) label_slots();
    unfinished_ = slots_.size();
    SubmitBatch batch(agents_);
    for (Slot &s : slots_)
        submit_next(s);
}

// Agents that share a name are told apart by their id.
void FanoutRun::label_slots() {
    std::unordered_map<std::string_view, int> name_count; // views of the slots' names
    name_count.reserve(slots_.size());
    for (const Slot &s : slots_)
        ++name_count[s.name];
    for (Slot &s : slots_) {
        s.label = printable(s.name.empty() ? "(unnamed)" : s.name);
        if (name_count[s.name] > 1) s.label += "#" + std::to_string(s.id);
    }
}

void FanoutRun::submit_next(Slot &s) {
    if (s.finished) return;
    if (s.next >= lines_.size()) {
        s.finished = true;
        --unfinished_;
        return;
    }
    AgentView *a = agents_.find(s.serial);
    if (!a || a->closed) {
        finish_rest(s, CommandOutcome::kNotConnected);
        return;
    }
    s.current = agents_.new_request_id();
    s.started = std::chrono::steady_clock::now();
    s.refused = false;
    s.truncated = false;
    s.pending.clear();
    by_request_[s.current] = static_cast<size_t>(&s - slots_.data());
    deadlines_.arm(s.current);
    if (!agents_.submit(this, *a, s.current, lines_[s.next], false)) {
        deadlines_.disarm(s.current);
        by_request_.erase(s.current);
        s.current = 0;
        finish_rest(s, CommandOutcome::kNotConnected);
    }
}

// The command is withdrawn from its agent's queue or abandoned there (what
// it prints from now on is dropped), and the agent's next line follows: it
// queues behind the abandoned one and has its own deadline.
void FanoutRun::time_out(RequestId id) {
    Slot *s = slot_of(id);
    if (!s) return;
    agents_.time_out(id);
    if (!settings_.json && !s->pending.empty()) emit_lines(*s, true);
    notice_(Notice::kError, who(*s) + ": '" + printable(lines_[s->next]) + "' did not end within " +
                                std::to_string(deadlines_.seconds()) + " s (--timeout)");
    finish_line(*s, CommandOutcome::kTimedOut);
    submit_next(*s);
}

// Queued only: the front end writes the queue once after every wake-up of
// the loop, so the results of a thousand agents that end in one wake-up
// leave in a few large writes rather than a poll and a write each.
void FanoutRun::append(std::string_view bytes) {
    out_.append(bytes);
}

// The hub decides whether to read an agent whenever it touches it (a
// command sent, a frame written), so an agent can be paused by congestion
// that is gone again before the end of the wake-up; the queue keeps that
// crossing too, and its report resumes the agent.
void FanoutRun::report_congestion() {
    agents_.congestion_changed(this);
}

FanoutRun::Slot *FanoutRun::slot_of(RequestId id) {
    auto it = by_request_.find(id);
    return it == by_request_.end() ? nullptr : &slots_[it->second];
}

// Complete lines go out whole, each with its label, so the output of
// several agents interleaves only between lines.
void FanoutRun::emit_lines(Slot &s, bool flush) {
    if (settings_.json) return;
    if (!settings_.label) {
        if (!terminal_) {
            append(s.pending);
        } else {
            append(s.shown.feed(s.pending));
            if (flush) append(s.shown.flush());
        }
        s.pending.clear();
        return;
    }
    // A labelled line is the agent's text after a name it did not choose:
    // a carriage return or an escape sequence in it must not put another
    // agent's name at the start of the line.
    std::string text;
    size_t pos = 0;
    for (;;) {
        size_t nl = s.pending.find('\n', pos);
        if (nl == std::string::npos) break;
        text += s.label;
        text += ": ";
        text += printable_text(std::string_view(s.pending).substr(pos, nl - pos));
        text += '\n';
        pos = nl + 1;
    }
    s.pending.erase(0, pos);
    if (!s.pending.empty() && (flush || s.pending.size() >= kMaxLine)) {
        text += s.label + ": " + printable_text(s.pending) + "\n";
        s.pending.clear();
    }
    if (!text.empty()) append(text);
}

// The result of the agent's current line, as far as the slot knows it.
CommandResult FanoutRun::result_of(const Slot &s, CommandOutcome status) const {
    CommandResult r;
    r.host = settings_.host;
    r.name = s.name;
    r.id = s.id;
    r.pid = s.pid;
    r.uid = s.uid;
    r.user = s.user;
    r.command = lines_[s.next];
    r.status = status;
    return r;
}

void FanoutRun::finish_line(Slot &s, CommandOutcome status, std::optional<int32_t> result) {
    if (!s.current) return;
    deadlines_.disarm(s.current);
    by_request_.erase(s.current);
    s.current = 0;
    if (!outcome_completed(status)) s.failed = true;
    if (outcome_failed(status, result)) s.had_failure = true;
    if (settings_.json) {
        CommandResult r = result_of(s, status);
        r.result = result;
        r.duration_ms = elapsed_ms(s.started);
        r.output = std::move(s.pending);
        r.truncated = s.truncated;
        append(result_json_line(r));
    } else {
        emit_lines(s, true);
    }
    s.pending.clear();
    ++s.next;
}

// Every line not yet run on the agent ends with `status` unseen.
void FanoutRun::finish_rest(Slot &s, CommandOutcome status) {
    if (s.finished) return;
    if (s.current) finish_line(s, status);
    if (s.next < lines_.size()) s.failed = true;
    for (; s.next < lines_.size(); ++s.next) {
        if (settings_.json) append(result_json_line(result_of(s, status)));
    }
    s.finished = true;
    --unfinished_;
}

void FanoutRun::interrupt() {
    for (Slot &s : slots_) {
        if (s.finished) continue;
        if (s.current) agents_.abandon(s.current);
        finish_rest(s, CommandOutcome::kInterrupted);
    }
}

ScriptTally FanoutRun::tally() const {
    ScriptTally t;
    t.agents = slots_.size();
    for (const Slot &s : slots_) {
        if (!s.finished || s.failed) continue;
        ++t.completed;
        if (s.had_failure) ++t.failed;
    }
    return t;
}

void FanoutRun::on_agent_greeted(AgentView &a) {
    if (on_greeted) on_greeted(a);
}

void FanoutRun::on_agent_lost(AgentView &a, const std::string &, Notice) {
    auto it = by_serial_.find(a.serial);
    if (it == by_serial_.end()) return;
    Slot &s = slots_[it->second];
    if (s.finished) return;
    if (s.current) {
        if (!settings_.json && !s.pending.empty()) emit_lines(s, true);
        notice_(Notice::kError, who(s) + " disconnected in the middle of a command");
        finish_line(s, CommandOutcome::kAgentDisconnected);
    }
    if (s.next < lines_.size())
        notice_(Notice::kWarning, who(s) + " is gone; " + std::to_string(lines_.size() - s.next) +
                                      " command(s) not run on it");
    finish_rest(s, CommandOutcome::kNotConnected);
}

void FanoutRun::on_output(const Request &r, std::string_view bytes) {
    Slot *s = slot_of(r.id);
    if (!s) return;
    if (settings_.json) {
        const size_t room = kMaxCollected - std::min(kMaxCollected, s->pending.size());
        if (bytes.size() > room) s->truncated = true;
        s->pending.append(bytes.substr(0, room));
        return;
    }
    s->pending.append(bytes);
    emit_lines(*s, false);
}

bool FanoutRun::on_prompt(const Request &r, const std::string &text) {
    Slot *s = slot_of(r.id);
    if (!s) return false;
    // The prompt is part of what the command printed, as in a plain script.
    std::string shown = text;
    if (shown.empty() || shown.back() != '\n') shown += '\n';
    on_output(r, shown);
    if (!settings_.answer) {
        s->refused = true;
        notice_(Notice::kWarning, who(*s) + " asked \"" + printable(text) +
                                      "\"; answered empty (--answer gives a reply)");
        return false; // the hub answers empty
    }
    // The hub takes the reply once this callback has returned.
    const RequestId id = r.id;
    std::string reply = *settings_.answer;
    loop_.add_timer(EventLoop::clock::now(), [this, id, reply] { agents_.answer(id, reply); });
    return true;
}

void FanoutRun::on_done(const Request &r) {
    Slot *s = slot_of(r.id);
    if (!s) return;
    if (r.denied) notice_(Notice::kError, *r.denied);
    finish_line(*s, r.denied ? CommandOutcome::kDenied : s->outcome(), r.result);
    submit_next(*s);
}

} // namespace cliserver
