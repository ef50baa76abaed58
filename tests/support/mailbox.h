// One-slot hand-over from a command handler (on the agent thread) to the
// test body: the handler puts what it saw, the test waits for it with a
// time-out, so a handler that never gets there fails the test instead of
// hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace clitest {

template <class T> class Mailbox {
  public:
    // Notifies under the lock: once take() has the value, put() no longer
    // touches the mailbox, so a mailbox with static storage may be destroyed
    // at exit while the detached agent thread is still returning from here.
    void put(T value) {
        std::lock_guard<std::mutex> guard(mutex_);
        value_ = std::move(value);
        ready_.notify_all();
    }

    // The value put since the last take, or nullopt if none arrives in time.
    std::optional<T> take(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return value_.has_value(); }))
            return std::nullopt;
        return std::exchange(value_, std::nullopt);
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::optional<T> value_;
};

} // namespace clitest
