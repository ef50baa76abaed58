// Notices the operator did not ask for: agents of other users refused,
// other agents connecting, the agents' service's warnings. Whoever can
// connect agents can make them by the thousand, so they must not bury a
// script's own messages or scroll the console away.
//
// The first kShown of each kWindow are shown as they come; the rest are
// counted, and one line at a time, at most one per kSummaryPeriod, says how
// many were held back (so does flush(), at the end of the session).
//
// Threading: single-threaded, on the event loop's thread; its timer is
// cancelled when it goes.
#pragma once

#include "core/agent_record.h"
#include "core/event_loop.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace cliserver {

class NoticeLimiter {
  public:
    static constexpr size_t kShown = 3;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::chrono::seconds kSummaryPeriod{1};
    using Show = std::function<void(Notice, const std::string &)>;

    NoticeLimiter(EventLoop &loop, Show show);
    ~NoticeLimiter();
    NoticeLimiter(const NoticeLimiter &) = delete;
    NoticeLimiter &operator=(const NoticeLimiter &) = delete;

    void notice(Notice kind, const std::string &text);
    // Says now how many are held back, if any.
    void flush();

  private:
    void summarise();

    EventLoop &loop_;
    Show show_;
    EventLoop::clock::time_point window_start_{};
    size_t shown_ = 0;
    size_t held_ = 0;
    Notice held_kind_ = Notice::kInfo; // the most severe held back
    EventLoop::TimerId timer_ = 0;
};

} // namespace cliserver
