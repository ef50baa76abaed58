#include "server_driver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

extern char **environ;

namespace bench {

// A free loopback port now (the server binds it a moment later).
uint16_t free_port() {
    UniqueFd l = listen_loopback(0);
    return local_port(l.get());
}

void wait_for_port(uint16_t port) {
    const uint64_t deadline = now_ns() + 10'000'000'000ull;
    for (;;) {
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            const linger reset{1, 0};
            setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            return;
        }
        if (now_ns() > deadline)
            fail("nothing listened on port " + std::to_string(port) + " within 10 s");
        usleep(5'000);
    }
}

uint64_t process_cpu_ns(pid_t pid) {
    uint64_t total = 0;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &task : std::filesystem::directory_iterator(tasks, ec)) {
        FILE *f = std::fopen((task.path() / "schedstat").c_str(), "r");
        if (!f) continue;
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1) total += ns;
        std::fclose(f);
    }
    return total;
}

uint64_t process_status_kib(pid_t pid, const char *field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(prefix, 0) == 0)
            return std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
    return 0;
}

void raise_descriptor_limit(size_t wanted) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < wanted)
        fail("the descriptor hard limit (" + std::to_string(lim.rlim_max) + ") is below " +
             std::to_string(wanted));
    if (lim.rlim_cur < wanted) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// The daemon binds its socket before it reports ready.
void wait_for_socket(const std::string &path) {
    const uint64_t deadline = now_ns() + 10'000'000'000ull;
    for (;;) {
        UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return;
        if (now_ns() > deadline) fail("the resident server did not open " + path + " in 10 s");
        usleep(10'000);
    }
}

Child::Child(const std::vector<std::string> &argv, bool pipes) {
    int to[2] = {-1, -1}, from[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (pipes) {
        if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) fail("pipe");
        posix_spawn_file_actions_adddup2(&fa, to[0], 0);
        posix_spawn_file_actions_adddup2(&fa, from[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    spawn(argv, fa);
    if (pipes) {
        close(to[0]);
        close(from[1]);
        in = to[1];
        out = from[0];
    }
}

Child::Child(const std::vector<std::string> &argv, int stdio) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, stdio, 0);
    posix_spawn_file_actions_adddup2(&fa, stdio, 1);
    spawn(argv, fa);
}

void Child::spawn(const std::vector<std::string> &argv, posix_spawn_file_actions_t &fa) {
    std::vector<char *> args;
    for (auto &s : argv)
        args.push_back(const_cast<char *>(s.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0)
        fail("starting " + argv[0]);
    posix_spawn_file_actions_destroy(&fa);
}

Child::~Child() {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

int Child::wait_exit(uint64_t *cpu_ns) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0)
        if (errno != EINTR) fail("waiting for a child: " + std::string(std::strerror(errno)));
    if (cpu_ns) *cpu_ns = process_cpu_ns(pid);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Driver::send(const std::string &line) {
    if (!write_all(in_, line.data(), line.size(), Stream::kPipe)) fail("writing to cli-server");
}

void Driver::attach(const std::string &agent) {
    send("attach " + agent + "\necho ready\n");
    read_until_tail("ready\n");
}

std::string Driver::read_until_tail(const std::string &tail) {
    while (buf_.size() < tail.size() ||
           buf_.compare(buf_.size() - tail.size(), tail.size(), tail) != 0)
        fill();
    return std::exchange(buf_, std::string());
}

size_t Driver::listed_agents() {
    send("ls\necho mark\n");
    std::string out = read_until_tail("mark\n");
    size_t lines = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    return out.rfind("no agents connected", 0) == 0 ? 0 : lines - 2; // header, mark
}

void Driver::wait_for_agents(size_t n) {
    const uint64_t deadline = now_ns() + 30'000'000'000ull;
    while (listed_agents() != n)
        if (now_ns() > deadline) fail("cli-server still lists closed agents after 30 s");
}

void Driver::read_lines(size_t lines) {
    size_t seen = 0, scanned = 0;
    while (seen < lines) {
        fill();
        for (; scanned < buf_.size(); ++scanned)
            seen += buf_[scanned] == '\n';
    }
    buf_.clear();
}

uint64_t Driver::round_trip() {
    const uint64_t t0 = now_ns();
    send("echo ping\n");
    read_until_tail("ping\n");
    return now_ns() - t0;
}

void Driver::time_commands(Latency &l, size_t warmup, size_t n) {
    for (size_t i = 0; i < warmup; ++i)
        round_trip();
    for (size_t i = 0; i < n; ++i)
        l.add(round_trip());
}

void Driver::fill() {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) fail("cli-server sent nothing for 30 s");
    char chunk[65536];
    ssize_t r = read(out_, chunk, sizeof chunk);
    if (r <= 0) fail("cli-server closed its output");
    buf_.append(chunk, static_cast<size_t>(r));
}

namespace {
std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string> &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
} // namespace

ResidentSide::ResidentSide(const std::string &server, const std::string &socket_path,
                           const std::vector<std::string> &daemon_extra,
                           const std::vector<std::string> &client_prefix)
    : port(free_port()),
      daemon(joined({server, "--daemon", "--port", std::to_string(port), "--socket", socket_path},
                    daemon_extra),
             false) {
    wait_for_socket(socket_path);
    agent = std::make_unique<EchoAgent>(port, "bench");
    client = std::make_unique<Child>(
        joined(client_prefix, {server, "--socket", socket_path, "--wait", "30"}), true);
    driver = std::make_unique<Driver>(*client);
    driver->attach("bench");
}

} // namespace bench
