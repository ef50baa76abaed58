// Accepting connections, with a pause when descriptors run out (listener.h).
#include "core/listener.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

namespace cliserver {

Listener::~Listener() {
    if (resume_) loop_.cancel_timer(resume_);
    if (watched_) loop_.unwatch(fd_.get());
}

void Listener::start(cli_shared::UniqueFd fd, std::function<void()> on_ready) {
    fd_ = std::move(fd);
    const int flags = fcntl(fd_.get(), F_GETFL);
    if (flags >= 0) fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
    fcntl(fd_.get(), F_SETFD, FD_CLOEXEC);
    loop_.watch(fd_.get(), EPOLLIN, [fn = std::move(on_ready)](uint32_t) { fn(); });
    watched_ = true;
}

cli_shared::UniqueFd Listener::accept(const ShortFn &on_short) {
    for (;;) {
        const int fd = accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) return cli_shared::UniqueFd(fd);
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED) continue;
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            if (!paused_ && on_short) on_short(err);
            pause();
        }
        return {};
    }
}

void Listener::pause() {
    if (paused_ || !watched_) return;
    paused_ = true;
    loop_.set_interest(fd_.get(), 0);
    resume_ = loop_.add_timer(EventLoop::clock::now() + kPause, [this] {
        resume_ = 0;
        paused_ = false;
        loop_.set_interest(fd_.get(), EPOLLIN);
    });
}

} // namespace cliserver
