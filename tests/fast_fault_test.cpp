// The server dies at awkward moments (in the middle of a frame, while a
// handler writes, while a handler waits for input); the agent must
// reconnect and serve the next command correctly. Host callbacks fail in
// their own ways. A thousand connect/serve/disconnect cycles must leave
// descriptors and resident memory where they were. Linked against the 20 ms
// reconnect copy of the library.
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "agent_fixture.h"
#include "fault_probe.h"
#include "mailbox.h"

using namespace clitest;

namespace {

Mailbox<int> g_prompt_result;

int echo_handler(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        cli_print_buffer("%s%s", argv[i], i + 1 < argc ? " " : "\n");
    return 0;
}

// Far more output than the socket buffers hold, so the agent is blocked in
// a write when the server goes away.
int flood_handler(int, char **) {
    static const std::string block(65535, 'f');
    for (int i = 0; i < 128; ++i)
        cli_print("%s", block.c_str());
    return 0;
}

int ask_handler(int, char **) {
    char reply[32];
    g_prompt_result.put(cli_get_input("? ", reply, sizeof reply));
    return 0;
}

std::string truncated(const std::string &frame, size_t keep) {
    return frame.substr(0, keep);
}

struct Fault {
    const char *name;
    // Acts as the server right before it dies; returns false if the
    // conversation did not reach the point of failure.
    bool (*inject)(Conn &conn, TestServer &server);
    bool prompt_was_waiting;
};

const Fault kFaults[] = {
    {"HalfAHeader",
     [](Conn &c, TestServer &) {
         return c.send_raw(truncated(encode_frame(CLI_FRAME_COMMAND, 1, 0, "echo x"), 11));
     },
     false},
    {"HalfAPayload",
     [](Conn &c, TestServer &) {
         return c.send_raw(truncated(encode_frame(CLI_FRAME_COMMAND, 1, 0, "echo a b c d"), 24));
     },
     false},
    {"WhileTheHandlerWrites",
     [](Conn &c, TestServer &) {
         if (!c.send_frame(CLI_FRAME_COMMAND, 2, "flood")) return false;
         auto first = c.read_frame();
         return first && first->type == CLI_FRAME_OUTPUT;
     },
     false},
    {"WhileAPromptWaits",
     [](Conn &c, TestServer &) {
         if (!c.send_frame(CLI_FRAME_COMMAND, 3, "ask")) return false;
         auto prompt = c.read_frame();
         return prompt && prompt->type == CLI_FRAME_PROMPT;
     },
     true},
    {"InTheMiddleOfTheReply",
     [](Conn &c, TestServer &) {
         if (!c.send_frame(CLI_FRAME_COMMAND, 4, "ask")) return false;
         auto prompt = c.read_frame();
         return prompt && prompt->type == CLI_FRAME_PROMPT &&
                c.send_raw(truncated(encode_frame(CLI_FRAME_INPUT, 4, 0, "yes please"), 25));
     },
     true},
    {"InTheMiddleOfTheAck",
     [](Conn &c, TestServer &server) {
         // A fresh connection whose handshake the server abandons.
         c.close();
         c = server.accept();
         return c.read_frame().has_value() &&
                c.send_raw(encode_frame(CLI_FRAME_ACK, 0, 0, "").substr(0, 7));
     },
     false},
};

void PrintTo(const Fault &fault, std::ostream *os) {
    *os << fault.name;
}

class ServerDies : public AgentTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(ServerDies, AgentReconnectsAndServesTheNextCommand) {
    ASSERT_TRUE(add_command("echo", echo_handler));
    ASSERT_TRUE(add_command("flood", flood_handler));
    ASSERT_TRUE(add_command("ask", ask_handler));
    ASSERT_TRUE(GetParam().inject(conn_, server_));
    conn_.close();

    conn_ = server_.accept();
    ASSERT_TRUE(conn_.valid()) << "no reconnection";
    auto hello = conn_.handshake();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->payload, "test-agent");
    if (GetParam().prompt_was_waiting) {
        EXPECT_EQ(g_prompt_result.take(kReadTimeout), -1);
    }

    auto r = conn_.command("echo served after the fault", 77);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "served after the fault\n");
}

INSTANTIATE_TEST_SUITE_P(Faults, ServerDies, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

int throwing_handler(int argc, char **) {
    cli_print("before\n");
    cli_print_buffer("buffered\n");
    if (argc > 1) cli_show_usage_and_error("bad"); // the usage callback throws
    throw std::runtime_error("handler failed");
}

void throwing_usage(const cli_command *, int) {
    cli_print_buffer("usage line\n");
    throw 42;
}

// Host callbacks that throw lose the rest of their work, not the agent: the
// command still ends with its buffered output and DONE, and the next one runs.
TEST_F(AgentTest, ThrowingHandlerAndUsageCallbackEndOnlyTheirCommand) {
    ASSERT_TRUE(add_command("throws", throwing_handler, "throws", throwing_usage));
    ASSERT_TRUE(add_command("echo", echo_handler));
    auto r = conn_.command("throws", 1);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "before\nbuffered\n");
    r = conn_.command("throws usage", 2);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "before\nbuffered\nbad\nusage line\n");
    r = conn_.command("echo still here", 3);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "still here\n");
}

std::atomic<int> g_naps{0};
std::atomic<int> g_naps_released{0};
// Prints a line, then sleeps until the test releases this nap, writing
// nothing meanwhile.
int print_then_nap(int, char **) {
    cli_print("napping\n");
    int nap = ++g_naps;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_naps_released.load() < nap && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

// A destroy that comes right after the handler's last frame reached the
// server, while the agent thread may still be on its way out of that write,
// still says BYE: no write is blocked, so the destroy waits for it.
TEST(Destroy, SaysByeWhileAHandlerNapsFiftyTimesInARow) {
    cli_command cmd{};
    std::strcpy(cmd.name, "nap");
    cmd.handler = print_then_nap;
    ASSERT_EQ(cli_register_command(&cmd), 0);
    TestServer server;
    ASSERT_TRUE(server.listening());
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(cli_agent_init(60, "napper"), 0);
        Conn conn = server.accept();
        ASSERT_TRUE(conn.valid());
        ASSERT_TRUE(conn.handshake().has_value());
        ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, static_cast<uint32_t>(round) + 1, "nap"));
        auto out = conn.read_frame();
        ASSERT_TRUE(out.has_value());
        ASSERT_EQ(out->type, CLI_FRAME_OUTPUT);
        auto start = std::chrono::steady_clock::now();
        cli_agent_destroy(60);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        auto bye = conn.read_frame();
        g_naps_released = round + 1;
        ASSERT_TRUE(bye.has_value()) << "round " << round;
        ASSERT_EQ(bye->type, CLI_FRAME_BYE) << "round " << round;
        EXPECT_TRUE(conn.wait_closed());
    }
    cli_unregister_command(&cmd);
}

int exiting_handler(int, char **) {
    cli_print("leaving\n");
    pthread_exit(nullptr);
}

// A handler that ends the agent thread (pthread_exit, or a library doing so
// on its behalf) must not leave the record claiming a live thread and a
// connection: the descriptor is closed on the way out, and the agent comes
// back, whether or not the host re-initialises it.
//
// The replacement thread connects on its own (at once or after the pause),
// so the test takes that connection before it destroys the agent: a destroy
// racing the replacement's connect would leave a connection in the backlog
// that the destroy already ended, and the accept after the new init would
// take it instead of the new agent's.
TEST_F(AgentTest, AgentComesBackAfterAHandlerEndsItsThread) {
    ASSERT_TRUE(add_command("exit_thread", exiting_handler));
    ASSERT_TRUE(add_command("echo", echo_handler));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 1, "exit_thread"));
    EXPECT_TRUE(conn_.wait_closed()) << "the connection of the dead thread stayed open";

    conn_ = server_.accept();
    ASSERT_TRUE(conn_.valid()) << "no replacement for the ended agent thread";
    ASSERT_TRUE(conn_.handshake().has_value());
    auto r = conn_.command("echo replaced", 2);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "replaced\n");

    // With the only connection served, the destroy ends it, and whatever
    // connects after the new init is the new agent.
    cli_agent_destroy(kAgentId);
    EXPECT_TRUE(conn_.wait_closed()) << "destroy left the replacement's connection open";
    ASSERT_EQ(cli_agent_init(kAgentId, "test-agent"), 0);
    conn_ = server_.accept();
    ASSERT_TRUE(conn_.valid()) << "no agent thread after a new init";
    ASSERT_TRUE(conn_.handshake().has_value());
    r = conn_.command("echo reinitialised", 3);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "reinitialised\n");
}

// A malformed header that arrives while a handler waits for a reply fails
// only the wait; the connection loop then reads on right after those 20
// bytes, out of step with the server's framing, and runs whatever parses as
// a frame there: here a COMMAND inside what the server sent as the payload
// of an over-long INPUT. Found by the conversation fuzzer (seed
// prompt_reads_on_after_bad_header). The command ends with DONE and the
// connection with it.
TEST_F(AgentTest, MalformedFrameDuringAPromptEndsTheConnection) {
    ASSERT_TRUE(add_command("ask", ask_handler));
    ASSERT_TRUE(add_command("echo", echo_handler));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 1, "ask"));
    auto prompt = conn_.read_frame();
    ASSERT_TRUE(prompt && prompt->type == CLI_FRAME_PROMPT);
    std::string hidden = encode_frame(CLI_FRAME_COMMAND, 2, 0, "echo smuggled");
    std::string over_long = encode_frame(CLI_FRAME_INPUT, 1, 0, "");
    over_long[16] = 0x02; // length field 0x02000000 + hidden bytes
    over_long[19] = static_cast<char>(hidden.size());
    ASSERT_TRUE(conn_.send_raw(over_long + hidden));
    EXPECT_EQ(g_prompt_result.take(kReadTimeout), -1);
    EXPECT_TRUE(conn_.collect(1).done);
    auto next = conn_.read_frame(ms(1000));
    EXPECT_FALSE(next.has_value())
        << "the agent ran a command from inside a malformed frame: " << (next ? next->payload : "");
}

Mailbox<int> g_second_prompt_result;

int ask_twice_handler(int, char **) {
    char reply[32];
    g_prompt_result.put(cli_get_input("? ", reply, sizeof reply));
    g_second_prompt_result.put(cli_get_input("again? ", reply, sizeof reply));
    return 0;
}

// A handler that asks again after a failed wait must not read on either:
// the reply hidden in the bad frame's payload would be taken as genuine.
TEST_F(AgentTest, NoPromptReadsOnAfterABadFrame) {
    ASSERT_TRUE(add_command("ask2", ask_twice_handler));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 1, "ask2"));
    auto prompt = conn_.read_frame();
    ASSERT_TRUE(prompt && prompt->type == CLI_FRAME_PROMPT);
    std::string hidden = encode_frame(CLI_FRAME_INPUT, 1, 0, "forged");
    std::string over_long = encode_frame(CLI_FRAME_INPUT, 1, 0, "");
    over_long[16] = 0x02;
    over_long[19] = static_cast<char>(hidden.size());
    ASSERT_TRUE(conn_.send_raw(over_long + hidden));
    EXPECT_EQ(g_prompt_result.take(kReadTimeout), -1);
    EXPECT_EQ(g_second_prompt_result.take(kReadTimeout), -1);
    auto r = conn_.collect(1);
    EXPECT_TRUE(r.done);
    EXPECT_TRUE(r.frames.empty()) << "a second prompt on a stream out of step";
}

// Brings the current connection down the way cycle n's server does.
void end_cycle(Conn &conn, int n) {
    switch (n % 3) {
    case 0:
        conn.send_frame(CLI_FRAME_BYE, 0);
        break;
    case 1:
        conn.send_raw(encode_frame(CLI_FRAME_COMMAND, 1, 0, "echo never").substr(0, 30));
        break;
    default:
        break; // just close
    }
    conn.close();
}

TEST_F(AgentTest, ThousandCyclesLeaveDescriptorsAndMemoryUnchanged) {
    ASSERT_TRUE(add_command("echo", echo_handler));
    constexpr int kCycles = 1000;
    constexpr int kWarmUp = 50;
    int fds_before = -1;
    long rss_before = -1;
    for (int n = 0; n < kCycles; ++n) {
        auto r = conn_.command("echo cycle " + std::to_string(n), static_cast<uint32_t>(n + 1));
        ASSERT_TRUE(r.done) << "cycle " << n;
        ASSERT_EQ(r.output(), "cycle " + std::to_string(n) + "\n");
        if (n == kWarmUp) {
            fds_before = open_descriptor_count();
            rss_before = resident_bytes();
        }
        end_cycle(conn_, n);
        conn_ = server_.accept();
        ASSERT_TRUE(conn_.valid()) << "no reconnection after cycle " << n;
        ASSERT_TRUE(conn_.handshake().has_value()) << "cycle " << n;
    }
    // Same state as at the first measurement: one handshaken connection.
    auto r = conn_.command("echo last", 1);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(open_descriptor_count(), fds_before);
    if (!CLITEST_SANITIZED) {
        // A thread stack or a buffer lost per cycle would add megabytes.
        EXPECT_LT(resident_bytes() - rss_before, 512 * 1024) << "resident memory grew";
    }
}

} // namespace
