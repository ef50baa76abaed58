// The agent refuses a server owned by another unprivileged user: it must
// not even learn the agent's name, in whatever state the server's end of
// the connection is and whatever the host's sandbox hides from the agent.
// Linked with the hooked copy of the library, which can hold the agent
// thread just before it asks who owns the server.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "agent_fixture.h"
#include "hook_gate.h"

using namespace clitest;

namespace {

constexpr uid_t kNobody = 65534;

// Runs a server as another user in a child process. It reports, through the
// pipe, 'L' once it listens, then 'H' if a HELLO arrived or 'N' if the agent
// connected but sent nothing, or 'A' if no agent connected at all.
[[noreturn]] void squatter_as(uid_t uid, int report) {
    if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(2);
    char result = 'A';
    {
        TestServer server;
        if (!server.listening()) _exit(3);
        (void)!write(report, "L", 1);
        Conn conn = server.accept(std::chrono::milliseconds(5000));
        if (conn.valid()) result = conn.read_frame(std::chrono::milliseconds(1500)) ? 'H' : 'N';
    }
    (void)!write(report, &result, 1);
    _exit(0);
}

[[noreturn]] void squatter(int report) {
    squatter_as(kNobody, report);
}

// A user with no name, mapped into no namespace the tests make.
constexpr uid_t kStranger = 4321;

[[noreturn]] void stranger_squatter(int report) {
    squatter_as(kStranger, report);
}

// A squatter that gets its command in before the agent looks: it accepts,
// queues ACK and a COMMAND and closes at once, then reports 'C'. Its end of
// the connection is then in FIN_WAIT2 or TIME_WAIT, which the kernel
// reports as root's.
[[noreturn]] void hit_and_run_squatter(int report) {
    if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0)
        _exit(2);
    TestServer server;
    if (!server.listening()) _exit(3);
    (void)!write(report, "L", 1);
    Conn conn = server.accept(std::chrono::milliseconds(5000));
    if (!conn.valid()) _exit(4);
    if (!conn.send_frame(CLI_FRAME_ACK, 0) || !conn.send_frame(CLI_FRAME_COMMAND, 1, "probe"))
        _exit(5);
    conn.close();
    server.close();
    (void)!write(report, "C", 1);
    _exit(0);
}

std::atomic<int> g_probes{0};
int probe_handler(int, char **) {
    ++g_probes;
    return 0;
}

pid_t fork_squatter(void (*body)(int), int *report) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(pipefd[0]);
        body(pipefd[1]);
        _exit(0);
    }
    close(pipefd[1]);
    *report = pipefd[0];
    return child;
}

// Waits until the server's end of a connection on port 7002 has become
// the kernel's TIME_WAIT record (state FIN_WAIT2 or TIME_WAIT, shown with
// uid 0): the moment the agent's peer ACKs the server's FIN, which a
// delayed ACK puts off for a few tens of milliseconds.
bool wait_for_timewait_server_end(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream tcp("/proc/net/tcp");
        std::string line;
        while (std::getline(tcp, line)) {
            std::istringstream fields(line);
            std::string sl, local, remote, state, queues, timer, retransmits, uid;
            fields >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid;
            if (local == "0100007F:1B5A" && (state == "05" || state == "06") && uid == "0")
                return true;
        }
        std::this_thread::yield();
    }
    return false;
}

char read_report(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c = '?';
    if (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) != 1) c = '?';
    return c;
}

} // namespace

TEST(AgentTrust, RefusesAServerOfAnotherUserAndFindsTheRealOneAfterwards) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a server as another user";
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipefd[0]);
        squatter(pipefd[1]);
    }
    close(pipefd[1]);
    ASSERT_EQ(read_report(pipefd[0]), 'L');
    ASSERT_EQ(cli_agent_init(21, "secret-name"), 0);
    EXPECT_EQ(read_report(pipefd[0]), 'N') << "the agent talked to a foreign server";
    close(pipefd[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    TestServer server;
    ASSERT_TRUE(server.listening());
    auto start = std::chrono::steady_clock::now();
    Conn conn = server.accept(std::chrono::milliseconds(2500));
    ASSERT_TRUE(conn.valid());
    auto hello = conn.read_frame();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->payload, "secret-name");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    cli_agent_destroy(21);
}

TEST(AgentTrust, AServerEndClosedBeforeTheLookupIsNotTrusted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a server as another user";
    cli_command probe{};
    std::strcpy(probe.name, "probe");
    probe.handler = probe_handler;
    ASSERT_EQ(cli_register_command(&probe), 0);
    HookGate gate(HookGate::point::before_owner_lookup);
    int report = -1;
    pid_t child = fork_squatter(hit_and_run_squatter, &report);
    ASSERT_GT(child, 0);
    ASSERT_EQ(read_report(report), 'L');
    ASSERT_EQ(cli_agent_init(22, "timewait"), 0);
    ASSERT_TRUE(gate.wait_arrivals(HookGate::point::before_owner_lookup, 1));
    EXPECT_EQ(read_report(report), 'C');
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(report);
    ASSERT_TRUE(wait_for_timewait_server_end(std::chrono::seconds(5)));
    gate.release_one();
    // The next attempt starts only once this connection has ended, after
    // whatever it ran.
    ASSERT_TRUE(gate.wait_arrivals(HookGate::point::connection_socket_opened, 2));
    EXPECT_EQ(g_probes.load(), 0) << "the command of a closed foreign server ran in the host";
    cli_agent_destroy(22);
    cli_unregister_command(&probe);
}

namespace {

// The sandbox of a hardened service: socket(AF_NETLINK, ...) refused as
// RestrictAddressFamilies= refuses it, and /proc mounted with subset=pid as
// ProcSubset=pid does, so /proc/net is not there.
bool enter_sandbox() {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "subset=pid") != 0)
        return false;
    if (access("/proc/net/tcp", F_OK) == 0) return false;
#if defined(__x86_64__)
    constexpr uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) return false;
    return socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, 0) < 0 && errno == EAFNOSUPPORT;
}

} // namespace

// ThreadSanitizer cannot follow a process that starts threads after forking
// a multi-threaded one, as the sandboxed host does.
#if defined(__SANITIZE_THREAD__)
constexpr bool kForkedHostUnsupported = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kForkedHostUnsupported = true;
#else
constexpr bool kForkedHostUnsupported = false;
#endif
#else
constexpr bool kForkedHostUnsupported = false;
#endif

// Where the agent cannot learn who owns the server, it talks to nobody.
TEST(AgentTrust, ASandboxThatHidesTheOwnerFailsClosed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a server as another user";
    if (kForkedHostUnsupported)
        GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    int report = -1;
    pid_t squatter_pid = fork_squatter(squatter, &report);
    ASSERT_GT(squatter_pid, 0);
    ASSERT_EQ(read_report(report), 'L');
    int sandbox_report[2];
    ASSERT_EQ(pipe(sandbox_report), 0);
    pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        alarm(20);
        char ok = enter_sandbox() ? 'S' : 'F';
        (void)!write(sandbox_report[1], &ok, 1);
        if (ok == 'S') cli_agent_init(23, "sandboxed");
        for (;;)
            pause();
    }
    close(sandbox_report[1]);
    char sandboxed = read_report(sandbox_report[0]);
    close(sandbox_report[0]);
    if (sandboxed != 'S') {
        kill(host, SIGKILL);
        kill(squatter_pid, SIGKILL);
        waitpid(host, nullptr, 0);
        waitpid(squatter_pid, nullptr, 0);
        GTEST_SKIP() << "cannot build the sandbox here (mount namespace, proc subset, seccomp)";
    }
    EXPECT_EQ(read_report(report), 'N') << "the agent talked to a server it could not check";
    close(report);
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    int status = 0;
    ASSERT_EQ(waitpid(squatter_pid, &status, 0), squatter_pid);
}

namespace {

// A user namespace in which this process is uid 65534 and no other user is
// mapped, as `unshare --user --map-user=65534` or PrivateUsers= with
// User=nobody make: every other owner shows as the overflow uid, 65534 too.
bool enter_user_namespace_as_overflow_uid() {
    if (unshare(CLONE_NEWUSER) != 0) return false;
    std::ofstream map("/proc/self/uid_map");
    map << "65534 0 1\n";
    map.close();
    return map.good() && geteuid() == 65534;
}

} // namespace

// There, the overflow uid is nobody in particular: a server of another user
// shows as 65534 like the agent itself, and is not trusted.
TEST(AgentTrust, TheOverflowUidInAUserNamespaceIsNoOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a server as another user";
    if (kForkedHostUnsupported)
        GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    int report = -1;
    pid_t squatter_pid = fork_squatter(stranger_squatter, &report);
    ASSERT_GT(squatter_pid, 0);
    ASSERT_EQ(read_report(report), 'L');
    int entered[2];
    ASSERT_EQ(pipe(entered), 0);
    pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        alarm(20);
        char ok = enter_user_namespace_as_overflow_uid() ? 'U' : 'F';
        (void)!write(entered[1], &ok, 1);
        if (ok == 'U') cli_agent_init(24, "namespaced");
        for (;;)
            pause();
    }
    close(entered[1]);
    char in_namespace = read_report(entered[0]);
    close(entered[0]);
    if (in_namespace != 'U') {
        kill(host, SIGKILL);
        kill(squatter_pid, SIGKILL);
        waitpid(host, nullptr, 0);
        waitpid(squatter_pid, nullptr, 0);
        GTEST_SKIP() << "cannot make a user namespace here (unshare(CLONE_NEWUSER) refused)";
    }
    EXPECT_EQ(read_report(report), 'N') << "the agent talked to a server of an unmapped user";
    close(report);
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    int status = 0;
    ASSERT_EQ(waitpid(squatter_pid, &status, 0), squatter_pid);
}
