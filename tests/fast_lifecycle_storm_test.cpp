// Lifecycle calls racing each other: init and destroy from several host
// threads, and destroy followed by init from inside a handler. At no time may
// two agent connections be open, and no descriptor may be closed twice.
// Linked against the 20 ms reconnect copy so that many cycles fit.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "fault_probe.h"
#include "mailbox.h"
#include "watch_server.h"

using namespace clitest;

namespace {

constexpr uint32_t kId = 7;

TEST(LifecycleStorm, InitAndDestroyFromSeveralThreadsKeepOneConnection) {
    WatchServer server;
    ASSERT_TRUE(server.listening()) << "port 7002 is busy";
    ASSERT_EQ(cli_agent_init(kId, "before"), 0);
    ASSERT_TRUE(server.wait_for_open("before"));
    const int fds_before = open_descriptor_count();

    std::atomic<int> running_threads{4};
    std::vector<std::thread> storm;
    // Two threads cycle as fast as they can.
    for (int t = 0; t < 2; ++t)
        storm.emplace_back([&running_threads] {
            for (int i = 0; i < 400; ++i) {
                cli_agent_init(kId, "storm");
                cli_agent_destroy(kId);
            }
            --running_threads;
        });
    // One waits for each connection before tearing it down, so that the
    // storm also hits established connections.
    storm.emplace_back([&server, &running_threads] {
        for (int i = 0; i < 30; ++i) {
            int seen = server.accepted();
            cli_agent_init(kId, "storm");
            server.wait_for_accepted(seen, ms(500));
            cli_agent_destroy(kId);
        }
        --running_threads;
    });
    // One destroys with a foreign id, which must change nothing.
    storm.emplace_back([&running_threads] {
        for (int i = 0; i < 400; ++i) {
            cli_agent_destroy(kId + 1);
            cli_agent_init(kId, "storm");
        }
        --running_threads;
    });
    Sentinels sentinels;
    while (running_threads.load() > 0 && sentinels.size() < 300)
        sentinels.plant();
    for (auto &t : storm)
        t.join();

    cli_agent_destroy(kId);
    ASSERT_EQ(cli_agent_init(kId, "after"), 0);
    ASSERT_TRUE(server.wait_for_open("after")) << "the agent did not come back";
    EXPECT_GT(server.accepted(), 2);
    EXPECT_EQ(server.max_open(), 1) << "two agent connections were open at once";
    EXPECT_EQ(sentinels.damaged(), 0) << "a descriptor was closed that the agent did not own";
    EXPECT_EQ(open_descriptor_count(), fds_before + static_cast<int>(sentinels.size()));
    cli_agent_destroy(kId);
}

// "rebirth NAME": stops the agent from its own thread and starts it again
// under a new name; the output after the stop has nowhere to go.
int rebirth_handler(int argc, char **argv) {
    cli_agent_destroy(kId);
    cli_agent_init(kId, argc > 1 ? argv[1] : "reborn");
    cli_print("lost\n");
    return 0;
}

TEST(LifecycleStorm, DestroyAndInitFromAHandlerReconnectOnceEachTime) {
    TestServer server;
    ASSERT_TRUE(server.listening()) << "port 7002 is busy";
    cli_command cmd{};
    std::strcpy(cmd.name, "rebirth");
    cmd.handler = rebirth_handler;
    ASSERT_EQ(cli_register_command(&cmd), 0);
    ASSERT_EQ(cli_agent_init(kId, "gen0"), 0);
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());
    const int fds_before = open_descriptor_count();

    Sentinels sentinels;
    for (int gen = 1; gen <= 20; ++gen) {
        const std::string name = "gen" + std::to_string(gen);
        ASSERT_TRUE(
            conn.send_frame(CLI_FRAME_COMMAND, static_cast<uint32_t>(gen), "rebirth " + name));
        auto bye = conn.read_frame();
        ASSERT_TRUE(bye.has_value()) << name;
        EXPECT_EQ(bye->type, CLI_FRAME_BYE) << "nothing but BYE may follow a destroy";
        int after_bye = 0;
        EXPECT_TRUE(conn.wait_closed(kReadTimeout, &after_bye));
        EXPECT_EQ(after_bye, 0);
        conn.close();
        sentinels.plant();

        conn = server.accept();
        ASSERT_TRUE(conn.valid()) << "no reconnection as " << name;
        auto hello = conn.handshake();
        ASSERT_TRUE(hello.has_value());
        EXPECT_EQ(hello->payload, name);
        // A second agent thread would knock within its 20 ms pause.
        EXPECT_FALSE(server.accept(ms(60)).valid()) << "a second connection after " << name;
    }
    auto r = conn.command("help", 99);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(sentinels.damaged(), 0);
    EXPECT_EQ(open_descriptor_count(), fds_before + static_cast<int>(sentinels.size()));
    cli_agent_destroy(kId);
}

Mailbox<int> g_wait_result;

int wait_handler(int, char **) {
    char reply[8];
    g_wait_result.put(cli_get_input("wait> ", reply, sizeof reply));
    return 0;
}

// A host thread stops the agent while its handler blocks in a read, then
// starts it again: the read ends, and the same thread serves the new start.
TEST(LifecycleStorm, DestroyDuringAPromptThenInitFromTheHost) {
    TestServer server;
    ASSERT_TRUE(server.listening()) << "port 7002 is busy";
    cli_command cmd{};
    std::strcpy(cmd.name, "wait");
    cmd.handler = wait_handler;
    ASSERT_EQ(cli_register_command(&cmd), 0);
    ASSERT_EQ(cli_agent_init(kId, "first"), 0);
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());

    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 5, "wait"));
        auto prompt = conn.read_frame();
        ASSERT_TRUE(prompt.has_value());
        ASSERT_EQ(prompt->type, CLI_FRAME_PROMPT);
        std::thread host([] {
            cli_agent_destroy(kId);
            cli_agent_init(kId, "again");
        });
        EXPECT_EQ(g_wait_result.take(kReadTimeout), -1);
        host.join();
        EXPECT_TRUE(conn.wait_closed());
        conn = server.accept();
        ASSERT_TRUE(conn.valid());
        auto hello = conn.handshake();
        ASSERT_TRUE(hello.has_value());
        EXPECT_EQ(hello->payload, "again");
        EXPECT_FALSE(server.accept(ms(60)).valid()) << "a second connection in round " << round;
    }
    cli_agent_destroy(kId);
}

} // namespace
