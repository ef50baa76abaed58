// --timeout: each command a script submits gets at most that long, counted
// from the moment it is submitted, so time spent queued behind another
// client's command (or behind an abandoned one of its own, which the agent
// is still finishing: the agents' wire has no cancel) counts too.
//
// RequestDeadlines holds one timer per request of one front end; when a
// deadline passes, the front end is called back with the request, and
// time_out() on the agents' service withdraws it or abandons it there.
//
// Threading: single-threaded, on the event loop's thread. The timers are
// cancelled when the object goes, so a callback never outlives its owner.
#pragma once

#include "core/event_loop.h"
#include "hub/agent_service.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace cliserver {

class RequestDeadlines {
  public:
    using Expired = std::function<void(RequestId)>;

    // seconds: 0 for no limit (arm() then does nothing).
    RequestDeadlines(EventLoop &loop, uint32_t seconds, Expired expired);
    ~RequestDeadlines();
    RequestDeadlines(const RequestDeadlines &) = delete;
    RequestDeadlines &operator=(const RequestDeadlines &) = delete;

    bool limited() const { return seconds_ > 0; }
    uint32_t seconds() const { return seconds_; }
    // Starts the request's deadline now.
    void arm(RequestId id);
    // The request ended in time (or otherwise): its deadline is forgotten.
    void disarm(RequestId id);
    bool armed(RequestId id) const { return timers_.count(id) != 0; }

  private:
    EventLoop &loop_;
    uint32_t seconds_;
    Expired expired_;
    std::unordered_map<RequestId, EventLoop::TimerId> timers_;
};

} // namespace cliserver
