#include "daemon/journal.h"

#include "core/text.h"
#include "core/users.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cctype>

namespace cliserver {

JournalSource JournalSource::agents_of(std::optional<uid_t> uid) {
    if (!uid) return {Kind::kUnidentified, 0};
    return {Kind::kAgents, *uid};
}

JournalSource JournalSource::clients_of(uid_t uid) {
    return {Kind::kClients, uid};
}

unsigned JournalSource::allowance() const {
    switch (kind) {
    case Kind::kServer:
        return Journal::kBurst;
    case Kind::kAgents:
    case Kind::kUnidentified:
        return Journal::kAgentBurst;
    case Kind::kClients:
        return Journal::kClientBurst;
    }
    return Journal::kBurst;
}

std::string JournalSource::describe() const {
    const std::string user = "uid " + std::to_string(uid) + " (" + printable(user_name(uid)) + ")";
    switch (kind) {
    case Kind::kAgents:
        return "agents of " + user;
    case Kind::kUnidentified:
        return "agent connections of unknown owners";
    case Kind::kClients:
        return "clients of " + user;
    case Kind::kServer:
        break;
    }
    return "the server";
}

Priority priority_of(Notice kind) {
    return kind == Notice::kError     ? Priority::kError
           : kind == Notice::kWarning ? Priority::kWarning
                                      : Priority::kInfo;
}

namespace {

// The shapes that no longer fit share this one.
const std::string kOverflowShape = "\x01";

const char *prefix_of(Priority p) {
    switch (p) {
    case Priority::kError:
        return SD_ERR;
    case Priority::kWarning:
        return SD_WARNING;
    case Priority::kInfo:
        return SD_INFO;
    }
    return SD_INFO;
}

void write_stderr(std::string_view text) {
    // One write per line, so lines of a daemon never interleave with each
    // other; a journal that cannot be written has nowhere to say so.
    ssize_t w = ::write(STDERR_FILENO, text.data(), text.size());
    (void)w;
}

Journal &process_journal() {
    static Journal j(write_stderr);
    return j;
}

} // namespace

std::string Journal::shape_of(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (char c : line) {
        const bool digit = std::isdigit(static_cast<unsigned char>(c));
        if (!digit)
            out += c;
        else if (out.empty() || out.back() != '#')
            out += '#';
    }
    return out;
}

std::string Journal::format(Priority priority, std::string_view line) {
    std::string out = prefix_of(priority);
    out += "cli-server: ";
    for (char c : line) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    out += '\n';
    return out;
}

void Journal::report(const Shape &s) {
    if (s.suppressed == 0) return;
    // "995 similar lines suppressed ...", "40 lines about agents of uid 65534 (nobody) ..."
    const std::string lines = s.source ? " line" : " similar line";
    sink_(format(s.priority, std::to_string(s.suppressed) + lines + (s.suppressed == 1 ? "" : "s") +
                                 (s.source ? " about " + s.source->describe() : std::string()) +
                                 " suppressed in " + std::to_string(kWindow.count()) +
                                 " s; the last: " + s.last));
}

// The server's own lines by shape; the others by their source alone.
std::string Journal::key_of(std::string_view line, JournalSource source) {
    if (source.kind == JournalSource::Kind::kServer) return shape_of(line);
    return std::string(1, '\x02') + static_cast<char>(source.kind) + std::to_string(source.uid);
}

void Journal::write(Priority priority, std::string_view line, Clock::time_point now,
                    JournalSource source) {
    std::string key = key_of(line, source);
    auto it = shapes_.find(key);
    if (it == shapes_.end()) {
        if (shapes_.size() >= kMaxShapes) flush(now);
        if (shapes_.size() >= kMaxShapes) {
            key = kOverflowShape;
            source = {};
        }
        it = shapes_.try_emplace(std::move(key)).first;
        it->second.window_start = now;
    }
    Shape &s = it->second;
    if (now - s.window_start >= kWindow) {
        report(s);
        s = Shape{};
        s.window_start = now;
    }
    if (source.kind != JournalSource::Kind::kServer) s.source = source;
    if (s.written < source.allowance()) {
        ++s.written;
        sink_(format(priority, line));
        return;
    }
    ++s.suppressed;
    // The most severe of what was held back decides the summary's priority.
    if (s.suppressed == 1 || priority < s.priority) s.priority = priority;
    s.last.assign(line);
}

void Journal::flush(Clock::time_point now) {
    for (auto it = shapes_.begin(); it != shapes_.end();) {
        if (now - it->second.window_start < kWindow) {
            ++it;
            continue;
        }
        report(it->second);
        it = shapes_.erase(it);
    }
}

void journal(Priority priority, const std::string &line, JournalSource source) {
    process_journal().write(priority, line, Journal::Clock::now(), source);
}

void journal_flush() {
    process_journal().flush(Journal::Clock::now());
}

} // namespace cliserver
