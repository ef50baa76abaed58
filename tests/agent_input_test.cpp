// Prompting the user from a handler over 127.0.0.1:7002: the prompt frames,
// how a reply is stored, which frames the wait skips, and how
// cli_agent_destroy ends a wait.
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "fault_probe.h"
#include "mailbox.h"

using namespace clitest;

namespace {

class InputTest : public AgentTest {
  protected:
    // Sends a COMMAND and returns the PROMPT frames until `bytes` bytes of
    // prompt text have arrived (one frame for an empty prompt).
    std::vector<WireFrame> start_and_read_prompt(const std::string &line, uint32_t req_id,
                                                 size_t bytes) {
        std::vector<WireFrame> prompts;
        if (!conn_.send_frame(CLI_FRAME_COMMAND, req_id, line)) return prompts;
        size_t got = 0;
        do {
            auto f = conn_.read_frame();
            if (!f) break;
            got += f->payload.size();
            prompts.push_back(std::move(*f));
        } while (got < bytes);
        return prompts;
    }
};

constexpr size_t kBufSize = 64;
constexpr char kUntouched = '#';

struct Reply {
    int rc;
    std::array<char, kBufSize> buf;
};

Mailbox<Reply> g_reply;

uint32_t arg_u32(int argc, char **argv, int index, uint32_t fallback) {
    return index < argc ? static_cast<uint32_t>(std::strtoul(argv[index], nullptr, 0)) : fallback;
}

Reply ask(const char *prompt, uint32_t size) {
    Reply r{};
    r.buf.fill(kUntouched);
    r.rc = cli_get_input(prompt, r.buf.data(), size);
    return r;
}

// "ask SIZE": waits for a reply into a buffer of SIZE bytes.
int ask_with_size(int argc, char **argv) {
    g_reply.put(ask("> ", arg_u32(argc, argv, 1, kBufSize)));
    return 0;
}

const std::string kLongPrompt(70000, 'p');
const char *const kPrompts[] = {nullptr, "Name? ", "", kLongPrompt.c_str()};

// "prompt N": asks with prompt N of kPrompts.
int ask_with_prompt(int argc, char **argv) {
    g_reply.put(ask(kPrompts[arg_u32(argc, argv, 1, 0) % std::size(kPrompts)], kBufSize));
    return 0;
}

int ask_between_output(int, char **) {
    cli_print_buffer("before\n");
    Reply r = ask("? ", kBufSize);
    cli_print_buffer("got [%s]\n", r.buf.data());
    g_reply.put(r);
    return 0;
}

int ask_with_bad_arguments(int, char **) {
    char buf[8] = "keep";
    int no_buffer = cli_get_input("never shown", nullptr, sizeof buf);
    int no_size = cli_get_input("never shown", buf, 0);
    g_reply.put(
        Reply{no_buffer == -1 && no_size == -1 && std::strcmp(buf, "keep") == 0 ? 0 : 1, {}});
    return 0;
}

Mailbox<pid_t> g_handler_tid;

int ask_then_print(int, char **) {
    g_handler_tid.put(gettid());
    Reply r = ask("wait> ", kBufSize);
    cli_print("late print\n");
    cli_print_buffer("late buffer\n");
    g_reply.put(r);
    return 0;
}

int do_nothing(int, char **) {
    return 0;
}

// The stored reply: the text, its terminator, and nothing written after it.
void expect_stored(const Reply &r, const std::string &text) {
    ASSERT_EQ(r.rc, 0);
    ASSERT_LT(text.size(), kBufSize);
    EXPECT_EQ(std::string(r.buf.data(), text.size()), text);
    EXPECT_EQ(r.buf[text.size()], '\0');
    for (size_t i = text.size() + 1; i < kBufSize; ++i)
        ASSERT_EQ(r.buf[i], kUntouched) << "byte " << i << " written";
}

} // namespace

TEST_F(InputTest, ReplyIsStoredUpToTheBufferSize) {
    struct Case {
        uint32_t size;
        std::string reply;
        std::string stored;
    };
    const Case cases[] = {
        {1, "hello", ""},
        {4, "hello", "hel"},
        {6, "hello", "hello"},
        {kBufSize, "", ""},
        {kBufSize, "  two words \n", "  two words \n"},
    };
    ASSERT_TRUE(add_command("ask", ask_with_size));
    uint32_t req_id = 10;
    for (const auto &c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + " reply '" + c.reply + "'");
        ++req_id;
        auto prompts = start_and_read_prompt("ask " + std::to_string(c.size), req_id, 2);
        ASSERT_EQ(prompts.size(), 1u);
        ASSERT_TRUE(conn_.send_frame(CLI_FRAME_INPUT, req_id, c.reply));
        ASSERT_TRUE(conn_.collect(req_id).done);
        auto reply = g_reply.take(kReadTimeout);
        ASSERT_TRUE(reply.has_value());
        expect_stored(*reply, c.stored);
    }
}

TEST_F(InputTest, PromptFrames) {
    ASSERT_TRUE(add_command("prompt", ask_with_prompt));
    const std::string expected[] = {":", "Name? ", "", kLongPrompt};
    for (uint32_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE("prompt " + std::to_string(i));
        uint32_t req_id = 20 + i;
        auto prompts =
            start_and_read_prompt("prompt " + std::to_string(i), req_id, expected[i].size());
        ASSERT_FALSE(prompts.empty());
        std::string joined;
        for (const auto &f : prompts) {
            EXPECT_EQ(f.type, CLI_FRAME_PROMPT);
            EXPECT_EQ(f.req_id, req_id);
            EXPECT_LE(f.payload.size(), 65536u);
            joined += f.payload;
        }
        EXPECT_TRUE(joined == expected[i]) << "prompt of " << joined.size() << " bytes";
        ASSERT_TRUE(conn_.send_frame(CLI_FRAME_INPUT, req_id, "ok"));
        auto rest = conn_.collect(req_id);
        ASSERT_TRUE(rest.done);
        EXPECT_TRUE(rest.frames.empty());
        auto reply = g_reply.take(kReadTimeout);
        ASSERT_TRUE(reply.has_value());
        expect_stored(*reply, "ok");
    }
}

TEST_F(InputTest, EarlierBufferedOutputPrecedesThePrompt) {
    ASSERT_TRUE(add_command("chat", ask_between_output));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 31, "chat"));
    std::vector<std::pair<int, std::string>> seen;
    for (int i = 0; i < 2; ++i) {
        auto f = conn_.read_frame();
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->req_id, 31u);
        seen.emplace_back(f->type, f->payload);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{CLI_FRAME_OUTPUT, "before\n"},
                                                              {CLI_FRAME_PROMPT, "? "}}));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_INPUT, 31, "yes"));
    auto rest = conn_.collect(31);
    ASSERT_TRUE(rest.done);
    EXPECT_EQ(rest.output(), "got [yes]\n");
}

TEST_F(InputTest, WaitSkipsEveryFrameButTheMatchingInput) {
    ASSERT_TRUE(add_command("ask", ask_with_size));
    ASSERT_TRUE(add_command("noop", do_nothing));
    ASSERT_EQ(start_and_read_prompt("ask", 41, 2).size(), 1u);
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_INPUT, 99, "wrong request"));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 42, "ask"));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_INPUT, 41, "right"));

    auto rest = conn_.collect(41);
    ASSERT_TRUE(rest.done);
    EXPECT_TRUE(rest.frames.empty());
    auto reply = g_reply.take(kReadTimeout);
    ASSERT_TRUE(reply.has_value());
    expect_stored(*reply, "right");
    // The COMMAND was consumed by the wait: the connection still
    // serves, and the next command's DONE is the next frame.
    auto next = conn_.command("noop", 43);
    ASSERT_TRUE(next.done);
    EXPECT_TRUE(next.frames.empty()) << "first stray frame type " << next.frames.front().type
                                     << " req_id " << next.frames.front().req_id;
}

// BYE ends the connection during a prompt as it does between commands: the
// wait fails at once instead of waiting for a reply that never comes.
TEST_F(InputTest, AByeDuringTheWaitEndsItAndTheConnection) {
    ASSERT_TRUE(add_command("ask", ask_with_size));
    ASSERT_EQ(start_and_read_prompt("ask", 45, 2).size(), 1u);
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_BYE, 0));
    auto reply = g_reply.take(kReadTimeout);
    ASSERT_TRUE(reply.has_value()) << "cli_get_input still waits after BYE";
    EXPECT_EQ(reply->rc, -1);
    EXPECT_EQ(reply->buf[0], kUntouched);
    int skipped = -1;
    EXPECT_TRUE(conn_.wait_closed(kReadTimeout, &skipped));
    EXPECT_LE(skipped, 1) << "only the command's DONE may follow BYE";
    Conn next = server_.accept(std::chrono::milliseconds(2500));
    ASSERT_TRUE(next.valid()) << "the agent did not come back";
    EXPECT_TRUE(next.handshake().has_value());
}

TEST_F(InputTest, InvalidArgumentsFailWithoutPrompting) {
    ASSERT_TRUE(add_command("bad", ask_with_bad_arguments));
    auto r = conn_.command("bad", 51);
    ASSERT_TRUE(r.done);
    EXPECT_TRUE(r.frames.empty());
    auto reply = g_reply.take(kReadTimeout);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->rc, 0) << "a bad argument was accepted or the buffer changed";
}

TEST_F(InputTest, DestroyEndsAPendingWaitAndLaterOutputIsLost) {
    ASSERT_TRUE(add_command("hold", ask_then_print));
    auto prompts = start_and_read_prompt("hold", 61, 6);
    ASSERT_EQ(prompts.size(), 1u);
    ASSERT_EQ(prompts[0].type, CLI_FRAME_PROMPT);
    auto tid = g_handler_tid.take(kReadTimeout);
    ASSERT_TRUE(tid.has_value());
    ASSERT_TRUE(wait_until_blocked_in_read(*tid, kReadTimeout));

    cli_agent_destroy(kAgentId);
    // No reply ever comes; only the shut-down connection can end the wait.
    auto reply = g_reply.take(std::chrono::seconds(2));
    ASSERT_TRUE(reply.has_value()) << "cli_get_input still waits after cli_agent_destroy";
    EXPECT_EQ(reply->rc, -1);
    EXPECT_EQ(reply->buf[0], kUntouched);

    auto bye = conn_.read_frame();
    ASSERT_TRUE(bye.has_value());
    EXPECT_EQ(bye->type, CLI_FRAME_BYE);
    int skipped = -1;
    EXPECT_TRUE(conn_.wait_closed(kReadTimeout, &skipped));
    EXPECT_EQ(skipped, 0) << "frames after BYE";
}
