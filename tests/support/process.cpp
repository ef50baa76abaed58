#include "process.h"

#include "deadline_io.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>

extern char **environ;

namespace clitest {

using clock = Clock;

namespace {

std::vector<std::string> merged_environment(const std::vector<std::string> &extra,
                                            const std::vector<std::string> &unset) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool overridden = std::find(unset.begin(), unset.end(), name) != unset.end();
        for (auto &x : extra)
            if (x.compare(0, name.size() + 1, name + "=") == 0) overridden = true;
        if (!overridden) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &v) {
    std::vector<char *> out;
    for (auto &s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

Process::Process(const std::vector<std::string> &argv, const SpawnOptions &opts) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = merged_environment(opts.env, opts.unset_env);
    auto cargs = c_strings(args);
    auto cenv = c_strings(env);

    if (opts.pty) {
        int master = -1;
        pid_ = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            execve(cargs[0], cargs.data(), cenv.data());
            _exit(127);
        }
        in_ = out_ = master;
        return;
    }
    int pin[2] = {-1, -1}, pout[2] = {-1, -1}, perr[2] = {-1, -1};
    if (opts.pipe_stdin && pipe2(pin, O_CLOEXEC) != 0) return;
    if (opts.pipe_stdout && opts.stdout_fd < 0 && pipe2(pout, O_CLOEXEC) != 0) return;
    if (opts.pipe_stderr && pipe2(perr, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        int devnull = open("/dev/null", O_RDWR);
        int errfile = devnull;
        if (!opts.pipe_stderr && !opts.stderr_file.empty())
            errfile = open(opts.stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(opts.pipe_stdin ? pin[0] : devnull, 0);
        dup2(opts.stdout_fd >= 0 ? opts.stdout_fd : opts.pipe_stdout ? pout[1] : devnull, 1);
        dup2(opts.pipe_stderr ? perr[1] : errfile, 2);
        if (opts.stdout_to_stderr) dup2(2, 1);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        rlimit lim{};
        if (opts.max_files && getrlimit(RLIMIT_NOFILE, &lim) == 0) {
            lim.rlim_cur = opts.max_files;
            if (opts.max_files_hard) lim.rlim_max = opts.max_files;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        if (opts.gid &&
            (setgroups(opts.groups.size(), opts.groups.data()) != 0 || setgid(*opts.gid) != 0))
            _exit(126);
        if (opts.uid && setuid(*opts.uid) != 0) _exit(126);
        execve(cargs[0], cargs.data(), cenv.data());
        _exit(127);
    }
    auto keep = [](int p[2], int ours, int &slot) {
        if (p[0] < 0) return;
        close(p[1 - ours]);
        slot = p[ours];
    };
    keep(pin, 1, in_);
    keep(pout, 0, out_);
    keep(perr, 0, err_);
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0 && out_ != in_) close(out_);
    if (err_ >= 0) close(err_);
}

bool Process::write_in(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

void Process::close_in() {
    if (in_ >= 0 && in_ != out_) {
        close(in_);
        in_ = -1;
    }
}

std::optional<int> Process::wait(ms timeout) {
    if (status_) return status_;
    if (pid_ <= 0) return std::nullopt;
    auto deadline = clock::now() + timeout;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            if (pidfd >= 0) close(pidfd);
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (clock::now() >= deadline) break;
        pollfd p{pidfd, POLLIN, 0};
        poll(&p, pidfd >= 0 ? 1 : 0, pidfd >= 0 ? remaining_ms(deadline) : 10);
    }
    if (pidfd >= 0) close(pidfd);
    return std::nullopt;
}

void Process::kill(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

bool read_until(int fd, const std::string &needle, std::string *buffer, ms timeout) {
    auto deadline = clock::now() + timeout;
    while (buffer->find(needle) == std::string::npos) {
        if (!wait_readable(fd, deadline)) return false;
        char chunk[65536];
        ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        buffer->append(chunk, static_cast<size_t>(r));
    }
    return true;
}

std::optional<std::string> read_all(int fd, ms timeout) {
    auto deadline = clock::now() + timeout;
    std::string out;
    for (;;) {
        if (!wait_readable(fd, deadline)) return std::nullopt;
        char chunk[65536];
        ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return out;
        out.append(chunk, static_cast<size_t>(r));
    }
}

bool raise_own_descriptor_limit(unsigned long wanted) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur >= wanted) return true;
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, wanted);
    return setrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur >= wanted;
}

std::string strip_terminal(const std::string &raw) {
    static const std::regex sequences("\x1b\\[[0-9;?]*[A-Za-z]|[\r\x07\x01\x02]");
    return std::regex_replace(raw, sequences, "");
}

} // namespace clitest
