#include "core/process.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>

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

} // namespace cliserver
