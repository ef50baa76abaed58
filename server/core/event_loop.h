// The one event loop of cli-server: readiness through epoll, so a wake-up
// visits only the descriptors that are ready, and timers in a binary heap,
// so no wake-up scans every connection for deadlines. Interest is changed
// only when it differs from what the kernel already has.
//
// Descriptors epoll cannot watch (regular files, /dev/null) are treated as
// always ready: while such a descriptor is wanted the loop does not sleep.
//
// Threading: single-threaded. Every call, and every handler, runs on the
// thread that calls run_once().
#pragma once

#include "unique_fd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace cliserver {

class EventLoop {
  public:
    using clock = std::chrono::steady_clock;
    // Receives EPOLLIN / EPOLLOUT / EPOLLHUP / EPOLLERR bits.
    using Handler = std::function<void(uint32_t events)>;
    using TimerId = uint64_t;

    EventLoop();
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    bool valid() const { return epoll_.valid(); }

    // Starts watching fd with the given interest (EPOLLIN and/or EPOLLOUT,
    // possibly none). The handler stays until unwatch().
    void watch(int fd, uint32_t events, Handler handler);
    // Changes the interest; a no-op when it is unchanged.
    void set_interest(int fd, uint32_t events);
    void unwatch(int fd);
    // For a descriptor about to be closed, and never duplicated: closing it
    // takes it out of the epoll set, so the loop only drops its handler,
    // without a system call (thousands of agents at exit).
    void forget(int fd);

    // Runs fn once at `when` (or at the first wake-up after it).
    TimerId add_timer(clock::time_point when, std::function<void()> fn);
    void cancel_timer(TimerId id);

    // Waits for readiness or the next timer (not at all when block is
    // false) and runs the handlers of what is ready, then the due timers.
    // Returns false when epoll itself failed.
    bool run_once(bool block = true);

  private:
    struct Watch {
        uint32_t events = 0;
        bool polled = true; // false: epoll refused it, so it counts as always ready
        Handler handler;
    };
    struct Timer {
        clock::time_point when;
        TimerId id;
        bool operator>(const Timer &o) const { return when > o.when; }
    };

    int timeout_ms();
    void run_due_timers();
    void run_unpolled();

    cli_shared::UniqueFd epoll_;
    std::unordered_map<int, Watch> watches_;
    std::unordered_set<int> unpolled_; // watched, not epoll-able, with some interest
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
    std::unordered_map<TimerId, std::function<void()>> timer_fns_; // pending only
    TimerId next_timer_ = 1;
    std::vector<uint8_t> event_buf_;
};

} // namespace cliserver
