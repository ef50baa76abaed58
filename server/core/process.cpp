// Start-up of a cli-server process: signals and the descriptor limit
// (process.h).
#include "core/process.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cliserver {

void raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur >= lim.rlim_max) return;
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
}

cli_shared::UniqueFd open_signal_fd(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals)
        sigaddset(&set, s);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return {};
    return cli_shared::UniqueFd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

std::string start_process(const EventLoop &loop, ProcessStart start) {
    signal(SIGPIPE, SIG_IGN);
    if (start.survive_file_size) signal(SIGXFSZ, SIG_IGN);
    if (start.many_descriptors) raise_descriptor_limit();
    if (!loop.valid()) return std::string("cannot create the event loop: ") + std::strerror(errno);
    return {};
}

std::string SignalWatch::start(std::function<void(int signo)> on_signal) {
    fd_ = open_signal_fd({SIGINT, SIGTERM, SIGHUP});
    if (!fd_.valid()) return std::string("cannot set up signal handling: ") + std::strerror(errno);
    on_signal_ = std::move(on_signal);
    loop_.watch(fd_.get(), EPOLLIN, [this](uint32_t) { drain(); });
    return {};
}

void SignalWatch::stop() {
    if (!fd_.valid()) return;
    loop_.unwatch(fd_.get());
    fd_.reset();
}

void SignalWatch::drain() {
    signalfd_siginfo si{};
    while (fd_.valid() && read(fd_.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si))
        on_signal_(static_cast<int>(si.ssi_signo));
}

} // namespace cliserver
