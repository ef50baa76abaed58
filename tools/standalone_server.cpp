#include "standalone_server.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cliserver {

void raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur >= lim.rlim_max) return;
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
}

StandaloneServer::StandaloneServer(Options opts)
    : hub_(loop_, opts.port), operator_(opts, loop_, hub_) {
    hub_.add_client(&operator_);
    hub_.set_owner_lookup(opts.json); // the JSON results name each agent's pid and user
}

StandaloneServer::~StandaloneServer() {
    hub_.remove_client(&operator_);
}

bool StandaloneServer::open_signalfd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    signal_fd_.reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signal_fd_.valid()) return false;
    loop_.watch(signal_fd_.get(), EPOLLIN, [this](uint32_t) { on_signal(); });
    return true;
}

bool StandaloneServer::set_up() {
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();
    if (!loop_.valid()) {
        std::fprintf(stderr, "cli-server: cannot create the event loop: %s\n",
                     std::strerror(errno));
        return false;
    }
    if (!hub_.listen()) return false;
    if (!open_signalfd()) {
        std::fprintf(stderr, "cli-server: cannot set up signal handling: %s\n",
                     std::strerror(errno));
        return false;
    }
    operator_.start();
    return true;
}

void StandaloneServer::on_signal() {
    signalfd_siginfo si{};
    while (read(signal_fd_.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGINT)
            operator_.on_interrupt_signal();
        else
            operator_.on_terminate_signal(static_cast<int>(si.ssi_signo));
    }
}

int StandaloneServer::run() {
    if (!set_up()) return 1;
    while (!operator_.stopped()) {
        operator_.before_wait();
        if (operator_.stopped()) break;
        if (!loop_.run_once()) {
            std::fprintf(stderr, "cli-server: epoll failed: %s\n", std::strerror(errno));
            exit_status_override_ = 1;
            break;
        }
        operator_.after_events();
        hub_.reap();
    }
    shut_down();
    return exit_status_override_ >= 0 ? exit_status_override_ : operator_.exit_status();
}

void StandaloneServer::shut_down() {
    operator_.finish();
    hub_.say_goodbye();
    operator_.drain_and_close();
    hub_.close_all();
}

} // namespace cliserver
