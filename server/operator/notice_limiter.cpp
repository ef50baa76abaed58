#include "operator/notice_limiter.h"

namespace cliserver {

NoticeLimiter::NoticeLimiter(EventLoop &loop, Show show) : loop_(loop), show_(std::move(show)) {}

NoticeLimiter::~NoticeLimiter() {
    if (timer_) loop_.cancel_timer(timer_);
}

void NoticeLimiter::notice(Notice kind, const std::string &text) {
    const auto now = EventLoop::clock::now();
    if (shown_ == 0 || now - window_start_ >= kWindow) {
        window_start_ = now;
        shown_ = 0;
    }
    if (shown_ < kShown && held_ == 0) {
        ++shown_;
        show_(kind, text);
        return;
    }
    if (held_ == 0 || kind > held_kind_) held_kind_ = kind;
    ++held_;
    if (timer_) return;
    // A second gathers a burst into one line, and keeps a second between
    // lines however long the flood goes on.
    timer_ = loop_.add_timer(now + kSummaryPeriod, [this] {
        timer_ = 0;
        summarise();
    });
}

void NoticeLimiter::summarise() {
    if (held_ == 0) return;
    const size_t n = held_;
    held_ = 0;
    show_(held_kind_, std::to_string(n) + " more notice" + (n == 1 ? "" : "s") +
                          " about other agents not shown (at most " + std::to_string(kShown) +
                          " a minute)");
}

void NoticeLimiter::flush() {
    if (timer_) loop_.cancel_timer(timer_);
    timer_ = 0;
    summarise();
}

} // namespace cliserver
