// Host threads and the agent thread at the same time, so that the thread
// sanitizer sees the real sharing: registrations while help walks the table,
// a destroy while a handler writes, host output while a command runs, and a
// few reconnections of the real library with its one-second pause.
#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "fault_probe.h"
#include "mailbox.h"

using namespace clitest;

namespace {

std::string description_of(const std::string &name) {
    return "about " + name;
}

int noop_handler(int, char **) {
    return 0;
}

cli_command command_named(const std::string &name) {
    cli_command cmd{};
    std::strncpy(cmd.name, name.c_str(), sizeof cmd.name - 1);
    std::strncpy(cmd.desc, description_of(name).c_str(), sizeof cmd.desc - 1);
    cmd.handler = noop_handler;
    return cmd;
}

// Every listed line must pair a name with its own description: a slot torn
// by a concurrent registration would mix them.
void expect_consistent_help(const std::string &out) {
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "<command>        <description>");
    std::getline(lines, line);
    EXPECT_EQ(line, " help            show help information");
    while (std::getline(lines, line)) {
        ASSERT_GT(line.size(), 18u) << line;
        std::string name = line.substr(1, line.find(' ', 1) - 1);
        EXPECT_EQ(line, " " + name + std::string(16 - std::min<size_t>(16, name.size()), ' ') +
                            " " + description_of(name));
    }
}

TEST_F(AgentTest, RegistrationsFromHostThreadsWhileHelpRuns) {
    for (auto name : {"stable1", "stable2"})
        ASSERT_TRUE(register_command(command_named(name)));
    auto churn_name = [](int t, int k) {
        return "churn" + std::to_string(t) + "_" + std::to_string(k);
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> churn;
    // Stops and joins the churn on every way out of the test, a failed
    // assertion too, and leaves none of its names in the table.
    struct ChurnStopper {
        std::atomic<bool> &stop;
        std::vector<std::thread> &threads;
        ~ChurnStopper() {
            stop = true;
            for (auto &t : threads)
                t.join();
        }
    } stopper{stop, churn};
    for (int t = 0; t < 2; ++t)
        churn.emplace_back([t, &stop, churn_name] {
            for (int k = 0; !stop.load(); k = (k + 1) % 8) {
                cli_command cmd = command_named(churn_name(t, k));
                cli_register_command(&cmd);
                if (k % 2 == 1) cli_unregister_command(&cmd);
            }
            for (int k = 0; k < 8; ++k) {
                cli_command cmd = command_named(churn_name(t, k));
                cli_unregister_command(&cmd);
            }
        });
    for (uint32_t i = 1; i <= 40; ++i) {
        auto r = conn_.command("help", i);
        ASSERT_TRUE(r.done);
        expect_consistent_help(r.output());
        EXPECT_NE(r.output().find(" stable2 "), std::string::npos);
    }
}

std::atomic<bool> g_destroyed{false};
Mailbox<bool> g_chatter_started;
Mailbox<int> g_chatter_finished;

// Writes through every output path until the host has stopped the agent,
// and a little more after that; bounded in time in case it never happens.
int chatter_handler(int, char **) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const char raw[] = "raw bytes\n";
    int lines = 0;
    int after = 0;
    while (after < 50 && std::chrono::steady_clock::now() < give_up) {
        cli_print("line %d\n", lines);
        cli_print_buffer("buffered %d\n", lines);
        cli_send_buffer(raw, sizeof raw - 1);
        cli_print_memory(raw, sizeof raw);
        if (++lines == 20) g_chatter_started.put(true);
        if (g_destroyed.load()) ++after;
    }
    g_chatter_finished.put(lines);
    return 0;
}

TEST_F(AgentTest, DestroyFromTheHostWhileAHandlerWrites) {
    ASSERT_TRUE(add_command("chatter", chatter_handler));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 3, "chatter"));
    ASSERT_TRUE(g_chatter_started.take(kReadTimeout));
    // The host stops the agent while this thread keeps reading, so the
    // agent's writes never wait for buffer space.
    std::thread host([] {
        cli_agent_destroy(kAgentId);
        g_destroyed = true;
    });
    std::vector<WireFrame> frames;
    while (auto f = conn_.read_frame())
        frames.push_back(std::move(*f));
    host.join();
    // Whole frames only, OUTPUT of this command and then at most a BYE (the
    // agent gives BYE up rather than block when the socket is full), and no
    // DONE: the command's end has nowhere to go.
    ASSERT_FALSE(frames.empty());
    for (size_t i = 0; i < frames.size(); ++i) {
        const bool last = i + 1 == frames.size();
        if (last && frames[i].type == CLI_FRAME_BYE) break;
        EXPECT_EQ(frames[i].type, CLI_FRAME_OUTPUT) << "frame " << i;
        EXPECT_EQ(frames[i].req_id, 3u);
    }
    int unread_frames = 0;
    EXPECT_TRUE(conn_.wait_closed(ms(1000), &unread_frames));
    EXPECT_EQ(unread_frames, 0) << "the stream held something that is not a frame";
    EXPECT_TRUE(g_chatter_finished.take(kReadTimeout).has_value()) << "the handler did not end";
}

Mailbox<bool> g_quiet_started;
std::atomic<bool> g_hosts_done{false};

// Keeps writing until the host threads are done, so the two overlap.
int quiet_handler(int, char **) {
    g_quiet_started.put(true);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; !g_hosts_done.load() && std::chrono::steady_clock::now() < give_up; ++i)
        cli_print_buffer("agent %d\n", i);
    return 0;
}

// Output functions called on host threads have no command and go to
// standard error, even while a command runs on the agent thread.
TEST_F(AgentTest, HostThreadOutputNeverReachesTheRunningCommand) {
    ASSERT_TRUE(add_command("quiet", quiet_handler));

    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 8, "quiet"));
    ASSERT_TRUE(g_quiet_started.take(kReadTimeout));
    std::vector<std::thread> hosts;
    for (int t = 0; t < 2; ++t)
        hosts.emplace_back([] {
            const char bytes[] = "host";
            // Standard error stays where it is: a sanitizer report must show.
            for (int i = 0; i < 20; ++i) {
                cli_print("host %d\n", i);
                cli_print_buffer("host %d\n", i);
                cli_print_memory(bytes, sizeof bytes);
                cli_send_buffer(bytes, sizeof bytes);
            }
        });
    for (auto &t : hosts)
        t.join();
    g_hosts_done = true;
    auto r = conn_.collect(8);

    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output().find("host"), std::string::npos);
    EXPECT_EQ(r.output().substr(0, 8), "agent 0\n");
}

// The real library, with its real pause: a few server-side disconnections
// cost one second each and leave the descriptors as they were.
TEST_F(AgentTest, ReconnectionsAfterTheRealPauseLeaveDescriptorsUnchanged) {
    const int fds_before = open_descriptor_count();
    for (int cycle = 0; cycle < 3; ++cycle) {
        if (cycle % 2 == 0) conn_.send_frame(CLI_FRAME_BYE, 0);
        conn_.close();
        const auto gone = std::chrono::steady_clock::now();
        conn_ = server_.accept();
        const auto back = std::chrono::steady_clock::now();
        ASSERT_TRUE(conn_.valid()) << "cycle " << cycle;
        ASSERT_TRUE(conn_.handshake().has_value());
        EXPECT_GE(back - gone, ms(900)) << "reconnected before the pause";
        EXPECT_LT(back - gone, ms(3000));
        auto r = conn_.command("help", static_cast<uint32_t>(cycle + 1));
        EXPECT_TRUE(r.done);
    }
    EXPECT_EQ(open_descriptor_count(), fds_before);
}

} // namespace
