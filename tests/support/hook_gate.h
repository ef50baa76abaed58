// Holds the agent thread of the hooked library copy (cli_agent_hooked) at
// one of its hook points: every arrival there is counted and waits until the
// test lets it pass, so a test can act at a moment that is otherwise far too
// short to reach. Every wait has a time-out; the destructor uninstalls the
// hook and lets every waiting arrival go.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "test_hooks.h"

namespace clitest {

class HookGate {
  public:
    using point = cli_internal::hook_point;

    // Holds no point: the gate only counts and answers.
    HookGate() : HookGate(-1) {}
    explicit HookGate(point held) : HookGate(static_cast<int>(held)) {}
    ~HookGate() {
        cli_internal::g_test_hook.store(nullptr);
        std::lock_guard lk(m_);
        open_ = true;
        cv_.notify_all();
        current_ = nullptr;
    }
    HookGate(const HookGate &) = delete;
    HookGate &operator=(const HookGate &) = delete;

    // True once the agent thread reached point at least n times.
    bool wait_arrivals(point p, int n,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lk(m_);
        return cv_.wait_for(lk, timeout, [&] { return count(p) >= n; });
    }
    // Lets one more arrival at the held point pass.
    void release_one() {
        std::lock_guard lk(m_);
        ++released_;
        cv_.notify_all();
    }
    int arrivals(point p) {
        std::lock_guard lk(m_);
        return count(p);
    }
    // The hook's answers at p, one per arrival from now on; 0 after them.
    void answer(point p, std::deque<int> replies) {
        std::lock_guard lk(m_);
        replies_[static_cast<int>(p)] = std::move(replies);
    }

  private:
    explicit HookGate(int held) : held_(held) {
        std::lock_guard lk(m_);
        current_ = this;
        cli_internal::g_test_hook.store(&HookGate::on_hook);
    }

    int &count(point p) { return counts_[static_cast<int>(p)]; }

    static int on_hook(point p) {
        std::unique_lock lk(m_);
        HookGate *g = current_;
        if (g == nullptr) return 0;
        int arrival = ++g->count(p);
        cv_.notify_all();
        auto &replies = g->replies_[static_cast<int>(p)];
        int reply = 0;
        if (!replies.empty()) {
            reply = replies.front();
            replies.pop_front();
        }
        if (static_cast<int>(p) != g->held_) return reply;
        cv_.wait_for(lk, std::chrono::seconds(10),
                     [&] { return current_ != g || g->open_ || g->released_ >= arrival; });
        return reply;
    }

    static inline std::mutex m_;
    static inline HookGate *current_ = nullptr;
    // Static, like the mutex: an arrival still waking up after the gate is
    // gone touches neither.
    static inline std::condition_variable cv_;
    int held_;
    int counts_[cli_internal::hook_point_count] = {};
    std::deque<int> replies_[cli_internal::hook_point_count];
    int released_ = 0;
    bool open_ = false;
};

} // namespace clitest
