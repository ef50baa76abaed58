// The resident server's journal: one line per event on standard error,
// which the service manager files under the priority of the sd-daemon
// prefix it starts with ("<3>" error, "<4>" warning, "<6>" info), so
// `journalctl -p warning` shows what needs a look.
//
// Repetition is rate-limited: lines of the same shape (the same text once
// its numbers are left out, e.g. one refused agent retrying every second, or
// thousands of connections that never say HELLO) are written at most
// kBurst times per kWindow; the others are counted, and when the window
// ends one line says how many were suppressed and repeats the last of them.
// A line is always one line: a newline or carriage return in it (an agent's
// name, a command) is written as "\n" or "\r".
//
// Threading: the daemon's event-loop thread only (journal() and
// journal_flush() share the process's one Journal without a lock).
#pragma once

#include "core/agent_record.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace cliserver {

enum class Priority { kError, kWarning, kInfo };

// The journal's priority for what operators are told as a notice of this kind.
Priority priority_of(Notice kind);

// One line, with the program's name ("cli-server: ") and its priority prefix.
void journal(Priority priority, const std::string &line);
// Writes the counts of suppressed lines whose window has ended; the daemon
// calls it every second or so.
void journal_flush();

// The rate limiter behind journal(), on its own for the tests: the clock is
// the caller's and sink receives each whole line with its newline.
class Journal {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kBurst = 5;
    static constexpr std::chrono::seconds kWindow{10};
    // Shapes remembered at once; beyond, new shapes share one allowance.
    static constexpr size_t kMaxShapes = 512;

    explicit Journal(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}

    void write(Priority priority, std::string_view line, Clock::time_point now);
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
    };
    void report(const Shape &s);

    std::function<void(std::string_view)> sink_;
    std::unordered_map<std::string, Shape> shapes_;
};

} // namespace cliserver
