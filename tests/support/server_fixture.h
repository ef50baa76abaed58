// Shared helpers of the cli-server end-to-end tests: the test base that
// runs them standalone or through a resident server, cli-server runs, the
// example host, raw agent connections. Single-threaded, like the tests.
#pragma once

#include "daemon_fixture.h"
#include "process.h"
#include "test_server.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clitest {

// Set for the second run of these tests, where every cli-server they start
// is a client of a resident server (server_tests_via_daemon).
inline bool through_daemon() {
    const char *v = std::getenv("CLI_TEST_THROUGH_DAEMON");
    return v && std::string_view(v) == "1";
}

// Every end-to-end test: standalone, nothing to do; through a daemon, each
// test gets a resident server of its own, found by the cli-servers it starts
// through CLI_SERVER_SOCKET, and stopped cleanly at the end.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!through_daemon()) return;
        daemon_ = std::make_unique<Daemon>();
        ASSERT_EQ(daemon_->error(), "");
        if (const char *old = std::getenv("CLI_SERVER_SOCKET")) saved_socket_ = old;
        setenv("CLI_SERVER_SOCKET", daemon_->socket().c_str(), 1);
    }

    void TearDown() override {
        if (!daemon_) return;
        if (saved_socket_)
            setenv("CLI_SERVER_SOCKET", saved_socket_->c_str(), 1);
        else
            unsetenv("CLI_SERVER_SOCKET");
        EXPECT_EQ(daemon_->stop(), 0) << "resident server's journal:\n" << daemon_->journal();
        if (HasFailure()) std::cerr << "resident server's journal:\n" << daemon_->journal();
        daemon_.reset();
    }

    // The test's resident server, or nullptr when it runs standalone.
    Daemon *daemon() const { return daemon_.get(); }

  private:
    std::unique_ptr<Daemon> daemon_;
    std::optional<std::string> saved_socket_;
};

// What a "did not connect" error of a plain cli-server adds when it found
// no resident server and held the port itself (the tests' standalone runs,
// which name a socket nobody serves in CLI_SERVER_SOCKET).
inline std::string standalone_note() {
    const char *socket = std::getenv("CLI_SERVER_SOCKET");
    if (through_daemon() || !socket) return {};
    return std::string(" (ran standalone: no resident server answered on ") + socket + ")";
}

// For tests whose subject only a standalone cli-server has.
#define SKIP_THROUGH_DAEMON(why)                                                                   \
    do {                                                                                           \
        if (::clitest::through_daemon()) GTEST_SKIP() << (why);                                    \
    } while (0)

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::vector<std::string> server_argv(std::vector<std::string> args) {
    args.insert(args.begin(), CLI_SERVER_PATH);
    return args;
}

// A raw connection to the server's agent port, for fake agents; invalid if
// the connect fails.
inline Conn connect_agent() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kAgentPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (fd >= 0) close(fd);
        return Conn();
    }
    return Conn(fd);
}

// A raw agent connection owned by uid, as the server looks owners up (the
// socket's creator): the effective uid is switched around socket() only,
// so this needs root. Invalid when it cannot be done.
inline Conn connect_agent_as(uid_t uid) {
    if (uid == geteuid()) return connect_agent();
    if (seteuid(uid) != 0) return Conn();
    Conn c = connect_agent();
    if (seteuid(0) != 0) std::abort(); // the test cannot go on as somebody else
    return c;
}

// Waits (bounded) for the server under test to listen, then connects.
// Polls: there is nothing else to wait on but the listener's existence.
inline Conn connect_agent_when_listening(ms timeout = kTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        Conn c = connect_agent();
        if (c.valid()) return c;
        poll(nullptr, 0, 10);
    }
    return Conn();
}

// A fake agent's HELLO as `name` with `id`: true when it was sent.
inline bool send_hello(Conn &c, const std::string &name, uint32_t id) {
    return c.valid() && c.send_frame(CLI_FRAME_HELLO, 0, name, id);
}
// The server's answer to a HELLO: the ACK's payload, or nullopt when the
// next frame is not an ACK (or none comes in time).
inline std::optional<std::string> read_ack(Conn &c) {
    auto ack = c.read_frame();
    if (!ack || ack->type != CLI_FRAME_ACK) return std::nullopt;
    return ack->payload;
}
// HELLO and its ACK on c: the ACK's payload, or nullopt when not acknowledged.
inline std::optional<std::string> greet_agent(Conn &c, const std::string &name, uint32_t id) {
    if (!send_hello(c, name, id)) return std::nullopt;
    return read_ack(c);
}

// A raw agent whose HELLO has been acknowledged (uid: whose socket it is).
inline Conn greeted_agent(const std::string &name, uint32_t id, uid_t uid = geteuid()) {
    Conn c = connect_agent_as(uid);
    EXPECT_TRUE(c.valid()) << name;
    EXPECT_TRUE(greet_agent(c, name, id)) << name << " was not acknowledged";
    return c;
}

// cli-server in scripting mode with its script fed through a pipe; returns
// once it listens (an empty ls: no agents yet).
inline std::unique_ptr<Process> start_scripted_server(unsigned long max_files = 0,
                                                      std::vector<std::string> args = {"--wait",
                                                                                       "10"}) {
    SpawnOptions o;
    o.pipe_stdin = true;
    o.max_files = max_files;
    auto p = std::make_unique<Process>(server_argv(std::move(args)), o);
    std::string out;
    p->write_in("ls\n");
    EXPECT_TRUE(read_until(p->out(), "no agents connected\n", &out));
    return p;
}

// The example host, announcing itself as `name` with `id` (o: as whom).
inline std::unique_ptr<Process> start_host(const std::string &id = "7",
                                           const std::string &name = "demo", SpawnOptions o = {}) {
    o.pipe_stdout = false;
    o.pipe_stderr = false;
    return std::make_unique<Process>(std::vector<std::string>{EXAMPLE_HOST_PATH, id, name}, o);
}

// Runs cli-server to completion with `input` on standard input (base: the
// rest of its settings).
inline RunResult run_server(const std::vector<std::string> &args, const std::string &input = {},
                            ms timeout = kTimeout, const SpawnOptions &base = {}) {
    SpawnOptions o = base;
    o.pipe_stdin = true;
    Process p(server_argv(args), o);
    RunResult r;
    p.write_in(input);
    p.close_in();
    auto out = read_all(p.out(), timeout);
    auto err = read_all(p.err(), timeout);
    auto status = p.wait(timeout);
    r.out = out.value_or("<no end of output>");
    r.err = err.value_or("<no end of output>");
    r.status = status.value_or(-1);
    return r;
}

// What a cli-server whose standard output cannot be written (a full disk:
// /dev/full) must say on standard error, and exit 5 with it.
inline constexpr const char *kStdoutFullError =
    "cli-server: cannot write standard output: No space left on device\n";

// Runs cli-server with args, its standard output /dev/full; `started` runs
// once it was started (an agent it waits for connects, say). Its exit
// status and standard error; out is left empty.
inline RunResult run_server_into_full_disk(const std::vector<std::string> &args,
                                           const std::function<void()> &started = {}) {
    RunResult r;
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    EXPECT_GE(full, 0) << "/dev/full";
    if (full < 0) return r;
    SpawnOptions o;
    o.stdout_fd = full;
    Process server(server_argv(args), o);
    close(full);
    if (started) started();
    r.err = read_all(server.err()).value_or("<no end of output>");
    r.status = server.wait().value_or(-1);
    return r;
}

} // namespace clitest
