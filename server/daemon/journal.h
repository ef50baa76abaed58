// The resident server's journal: one line per event on standard error,
// which the service manager files under the priority of the sd-daemon
// prefix it starts with ("<3>" error, "<4>" warning, "<6>" info), so
// `journalctl -p warning` shows what needs a look.
//
// Lines are rate-limited by whose events they tell of, not by their text
// (agents with distinct names would make every line new): the agents of one
// uid share one allowance, connections not yet identified another, the
// clients of one uid a third, so a flood of one user's agents or clients
// costs only that user's lines, and lines about an operator's clients are
// never lost to somebody else's flood. The server's own lines are limited
// by shape (the text with its numbers left out). Each allowance is so many
// lines per kWindow; the others are counted, and once the window has ended
// one line says how many were suppressed and repeats the last of them:
// journal_flush(), which the daemon calls every second, writes it even if
// nothing else happens.
// A line is always one line: a newline or carriage return in it (an agent's
// name, a command) is written as "\n" or "\r".
//
// Threading: the daemon's event-loop thread only (journal() and
// journal_flush() share the process's one Journal without a lock).
#pragma once

#include "core/agent_record.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace cliserver {

enum class Priority { kError, kWarning, kInfo };

// The journal's priority for what operators are told as a notice of this kind.
Priority priority_of(Notice kind);

// Whose events a line tells of: the allowance it draws on.
struct JournalSource {
    enum class Kind : uint8_t { kServer, kAgents, kUnidentified, kClients };
    Kind kind = Kind::kServer;
    uid_t uid = 0;

    // The agents of uid, or connections whose owner is not known yet.
    static JournalSource agents_of(std::optional<uid_t> uid);
    static JournalSource clients_of(uid_t uid);
    // Lines of this source a window lets through.
    unsigned allowance() const;
    // "agents of uid 65534 (nobody)", for the count of suppressed lines.
    std::string describe() const;
};

// One line, with the program's name ("cli-server: ") and its priority prefix.
void journal(Priority priority, const std::string &line, JournalSource source = {});
// Writes the counts of suppressed lines whose window has ended; the daemon
// calls it every second or so.
void journal_flush();

// The rate limiter behind journal(), on its own for the tests: the clock is
// the caller's and sink receives each whole line with its newline.
class Journal {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kBurst = 5;         // lines of one shape of the server's own
    static constexpr unsigned kAgentBurst = 20;   // about the agents of one uid
    static constexpr unsigned kClientBurst = 100; // about the clients of one uid
    static constexpr std::chrono::seconds kWindow{10};
    // Shapes and sources remembered at once; beyond, new ones share one allowance.
    static constexpr size_t kMaxShapes = 512;

    explicit Journal(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}

    void write(Priority priority, std::string_view line, Clock::time_point now,
               JournalSource source = {});
    void flush(Clock::time_point now);

    // The text with each run of digits as '#': what "the same shape" means.
    static std::string shape_of(std::string_view line);
    // "<4>cli-server: text\n", control line breaks escaped.
    static std::string format(Priority priority, std::string_view line);

  private:
    struct Shape {
        Clock::time_point window_start;
        unsigned written = 0;
        uint64_t suppressed = 0;
        Priority priority = Priority::kInfo; // of the last suppressed line
        std::string last;                    // the last suppressed line
        std::optional<JournalSource> source; // none: a shape of the server's own
    };
    static std::string key_of(std::string_view line, JournalSource source);
    void report(const Shape &s);

    std::function<void(std::string_view)> sink_;
    std::unordered_map<std::string, Shape> shapes_;
};

} // namespace cliserver
