#include "core/event_loop.h"

#include <sys/epoll.h>

#include <cerrno>

namespace cliserver {

namespace {
// Events taken per epoll_wait; more simply wait for the next call.
constexpr int kMaxEvents = 256;
} // namespace

EventLoop::EventLoop() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    event_buf_.resize(sizeof(epoll_event) * kMaxEvents);
}

void EventLoop::watch(int fd, uint32_t events, Handler handler) {
    Watch w;
    w.events = events;
    w.handler = std::move(handler);
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
        w.polled = false;
        if (events) unpolled_.insert(fd);
    }
    watches_[fd] = std::move(w);
}

void EventLoop::set_interest(int fd, uint32_t events) {
    auto it = watches_.find(fd);
    if (it == watches_.end() || it->second.events == events) return;
    it->second.events = events;
    if (!it->second.polled) {
        if (events)
            unpolled_.insert(fd);
        else
            unpolled_.erase(fd);
        return;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev);
}

void EventLoop::unwatch(int fd) {
    auto it = watches_.find(fd);
    if (it == watches_.end()) return;
    if (it->second.polled) epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    unpolled_.erase(fd);
    watches_.erase(it);
}

void EventLoop::forget(int fd) {
    unpolled_.erase(fd);
    watches_.erase(fd);
}

EventLoop::TimerId EventLoop::add_timer(clock::time_point when, std::function<void()> fn) {
    TimerId id = next_timer_++;
    timers_.push({when, id});
    timer_fns_.emplace(id, std::move(fn));
    return id;
}

// Cancelled timers stay in the heap until they come due; they are few.
void EventLoop::cancel_timer(TimerId id) {
    timer_fns_.erase(id);
}

int EventLoop::timeout_ms() {
    while (!timers_.empty() && !timer_fns_.count(timers_.top().id))
        timers_.pop();
    if (timers_.empty()) return -1;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(timers_.top().when - clock::now())
            .count();
    return left > 0 ? static_cast<int>(left) + 1 : 0;
}

void EventLoop::run_due_timers() {
    const auto now = clock::now();
    while (!timers_.empty() && timers_.top().when <= now) {
        TimerId id = timers_.top().id;
        timers_.pop();
        auto it = timer_fns_.find(id);
        if (it == timer_fns_.end()) continue;
        auto fn = std::move(it->second);
        timer_fns_.erase(it);
        fn();
    }
}

// Descriptors epoll refused are ready whenever they are wanted.
void EventLoop::run_unpolled() {
    std::vector<std::pair<int, uint32_t>> ready;
    for (int fd : unpolled_)
        ready.emplace_back(fd, watches_[fd].events);
    for (auto [fd, events] : ready) {
        auto it = watches_.find(fd);
        if (it == watches_.end() || !(it->second.events & events)) continue;
        auto handler = it->second.handler; // may unwatch itself
        handler(it->second.events & events);
    }
}

bool EventLoop::run_once(bool block) {
    int timeout = unpolled_.empty() && block ? timeout_ms() : 0;
    auto *events = reinterpret_cast<epoll_event *>(event_buf_.data());
    int n = epoll_wait(epoll_.get(), events, kMaxEvents, timeout);
    if (n < 0) {
        if (errno != EINTR) return false;
        n = 0;
    }
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        auto it = watches_.find(fd);
        if (it == watches_.end()) continue; // closed by an earlier handler
        // A handler earlier in this batch may have closed fd and a new
        // connection reused the number: only report what is still wanted,
        // plus hang-ups and errors, which are always reported.
        uint32_t got = events[i].events & (it->second.events | EPOLLHUP | EPOLLERR);
        if (!got) continue;
        auto handler = it->second.handler;
        handler(got);
    }
    if (!unpolled_.empty()) run_unpolled();
    run_due_timers();
    return true;
}

} // namespace cliserver
