// The resident server end to end: cli-server --daemon on a socket of the
// test's own, the example host, and cli-server clients as real processes.
#include "server_fixture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace servertest;

namespace {

// The daemon on a socket in a fresh directory, ready once its socket answers.
class Daemon {
  public:
    Daemon() {
        char dir[] = "/tmp/cli-daemon-test.XXXXXX";
        if (mkdtemp(dir)) dir_ = dir;
        socket_ = dir_ + "/cli.sock";
        SpawnOptions o;
        o.pipe_stdout = false;
        o.pipe_stderr = false;
        process_ = std::make_unique<Process>(server_argv({"--daemon", "--socket", socket_}), o);
    }
    ~Daemon() {
        process_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    bool ready() const {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_.c_str());
            const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
            close(fd);
            if (ok) return true;
            std::this_thread::sleep_for(10ms); // poll-connecting against a deadline
        }
        return false;
    }
    const std::string &socket_path() const { return socket_; }
    Process &process() { return *process_; }

  private:
    std::string dir_;
    std::string socket_;
    std::unique_ptr<Process> process_;
};

} // namespace

// A client killed while its command runs leaves the agent busy with an
// abandoned command; ls then shows the agent busy with nobody's command and
// the daemon carries on.
TEST(Daemon, ListsAnAgentStillRunningTheCommandOfAKilledClient) {
    Daemon daemon;
    ASSERT_TRUE(daemon.ready());
    auto host = start_host();
    Process client(server_argv({"--socket", daemon.socket_path(), "--agent", "demo", "--wait", "10",
                                "-c", "ticks -n 1000 -i 20"}));
    std::string out;
    ASSERT_TRUE(read_until(client.out(), "tick 2/1000", &out));
    const std::string killed = "pid " + std::to_string(client.pid()) + ")";
    client.kill(SIGKILL);
    ASSERT_TRUE(client.wait().has_value());

    // Until the daemon has noticed, ls may still name the killed client.
    RunResult ls;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    do {
        ls = run_server({"--socket", daemon.socket_path(), "-c", "ls"});
        ASSERT_EQ(ls.status, 0) << ls.err;
    } while (ls.out.find(killed) != std::string::npos &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(ls.out.find(killed), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("busy"), std::string::npos) << ls.out;

    auto r = run_server({"--socket", daemon.socket_path(), "-c", "ls"});
    EXPECT_EQ(r.status, 0) << r.err;
    daemon.process().kill(SIGTERM);
    EXPECT_EQ(daemon.process().wait(), 0);
}
