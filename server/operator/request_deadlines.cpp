#include "operator/request_deadlines.h"

namespace cliserver {

RequestDeadlines::RequestDeadlines(EventLoop &loop, uint32_t seconds, Expired expired)
    : loop_(loop), seconds_(seconds), expired_(std::move(expired)) {}

RequestDeadlines::~RequestDeadlines() {
    for (const auto &[id, timer] : timers_)
        loop_.cancel_timer(timer);
}

void RequestDeadlines::arm(RequestId id) {
    if (!limited() || timers_.count(id)) return;
    const auto when = EventLoop::clock::now() + std::chrono::seconds(seconds_);
    timers_[id] = loop_.add_timer(when, [this, id] {
        timers_.erase(id);
        expired_(id);
    });
}

void RequestDeadlines::disarm(RequestId id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    loop_.cancel_timer(it->second);
    timers_.erase(it);
}

} // namespace cliserver
