// Handler output over 127.0.0.1:7002: ordering of buffered and immediate
// output, the per-call length limits, the memory dump, raw bytes, usage
// errors, and the standard-error fallback where no command runs.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "agent_fixture.h"
#include "mailbox.h"

using namespace clitest;

namespace {

using FrameList = std::vector<std::pair<int, std::string>>;

class OutputTest : public AgentTest {
  protected:
    // Runs one command and returns its frames before DONE as (type, payload);
    // every one of them must carry the command's req_id and the agent's id.
    FrameList run(const std::string &line, uint32_t req_id) {
        auto r = conn_.command(line, req_id);
        EXPECT_TRUE(r.done) << "no DONE for " << line;
        FrameList frames;
        for (const auto &f : r.frames) {
            EXPECT_EQ(f.req_id, req_id) << line;
            EXPECT_EQ(f.agent_id, kAgentId) << line;
            frames.emplace_back(f.type, f.payload);
        }
        return frames;
    }
};

// Printable text that does not repeat with any period a cut could hide.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('!' + (i * 7 + i / 94) % 94);
    return s;
}

size_t arg_size(int argc, char **argv, int index) {
    return index < argc ? std::strtoul(argv[index], nullptr, 0) : 0;
}

int print_in_order(int, char **) {
    cli_print_buffer("a");
    cli_print("%s", ""); // empty results never become frames
    cli_print("b");
    cli_print_buffer("%s", "");
    cli_print_buffer("c");
    return 0;
}

// "long print N" or "long buffer N": one formatted result of N characters.
int print_long(int argc, char **argv) {
    std::string text = pattern(arg_size(argc, argv, 2));
    if (argc > 1 && std::strcmp(argv[1], "print") == 0)
        cli_print("%s", text.c_str());
    else
        cli_print_buffer("%s", text.c_str());
    return 0;
}

const unsigned char kDumpBytes[32] = {
    0xde, 0xad, 0xbe, 0xef, 0x7f, 0x80, 0xff, 0x00, 0x41, 0x42, 0x43, 0x0a, 0x20, 0x09, 0x01, 0xfe,
    0x10, 0x11, 0x9a, 0xc3, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b};

int dump_memory(int argc, char **argv) {
    cli_print_memory(nullptr, 16);
    cli_print_memory(kDumpBytes, 0);
    cli_print_memory(kDumpBytes, static_cast<uint32_t>(arg_size(argc, argv, 1)));
    return 0;
}

// Every byte value, repeated up to the requested length.
std::string binary_bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
    return s;
}

int send_binary(int argc, char **argv) {
    std::string data = binary_bytes(arg_size(argc, argv, 1));
    cli_print_buffer("head\n");
    cli_send_buffer(nullptr, 4);
    cli_send_buffer(data.data(), 0);
    cli_send_buffer(data.data(), static_cast<uint32_t>(data.size()));
    cli_print_buffer("tail\n");
    return 0;
}

// Usage errors: argv[1] selects the message; the usage text names the
// command it was given, so a wrong descriptor shows.
std::atomic<int> g_usage_flags{-1};

void print_usage(const cli_command *cmd, int flags) {
    g_usage_flags = flags;
    cli_print("usage: %s <n>\n", cmd->name);
}

// The format attribute stays on the declaration; through this pointer a null
// format can be passed without a warning.
void (*const show_usage_and_error)(const char *, ...) = cli_show_usage_and_error;

struct UsageCase {
    void (*report)();
    bool with_usage;
    std::string expected;
};

const std::string kUsage = "usage: withusage <n>\n";
const std::string kCutMessage = std::string(1023, 'm') + "\n";
const std::string kNewlineAtCut = std::string(1022, 'm') + "\n";

const UsageCase kUsageCases[] = {
    {[] { cli_show_usage_and_error("bad count"); }, true, "bad count\n" + kUsage},
    {[] { cli_show_usage_and_error("bad count\n"); }, true, "bad count\n" + kUsage},
    {[] { cli_show_usage_and_error("bad value '%s' for -%c", "x", 'n'); }, true,
     "bad value 'x' for -n\n" + kUsage},
    {[] { show_usage_and_error(nullptr); }, true, kUsage},
    {[] { cli_show_usage_and_error("%s", ""); }, true, kUsage},
    {[] { cli_show_usage_and_error("%s", std::string(2000, 'm').c_str()); }, true,
     kCutMessage + kUsage},
    // The newline falls beyond the cut, so one is added after it.
    {[] { cli_show_usage_and_error("%s", (std::string(1023, 'm') + "\n").c_str()); }, true,
     kCutMessage + kUsage},
    {[] { cli_show_usage_and_error("%s", kNewlineAtCut.c_str()); }, true, kNewlineAtCut + kUsage},
    {[] { cli_show_usage_and_error("bad count"); }, false, "bad count\n"},
    {[] { cli_show_usage_and_error("bad count\n"); }, false, "bad count\n"},
    {[] { show_usage_and_error(nullptr); }, false, ""},
};

// "withusage N" / "nousage N": reports the usage error of case N.
int usage_error(int argc, char **argv) {
    size_t which = arg_size(argc, argv, 1);
    if (which < std::size(kUsageCases)) kUsageCases[which].report();
    return 0;
}

// Reads everything written to standard error while it exists.
class StderrCapture {
  public:
    StderrCapture() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        read_end_ = fds[0];
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    ~StderrCapture() {
        restore();
        if (read_end_ >= 0) close(read_end_);
    }

    bool active() const { return read_end_ >= 0 && saved_ >= 0; }

    // Puts standard error back and returns what was captured; the pipe then
    // has no writer left, so the read ends at end of stream.
    std::string finish(ms timeout = kReadTimeout) {
        restore();
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        char buf[4096];
        for (;;) {
            auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
            pollfd p{read_end_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                ADD_FAILURE() << "standard error capture timed out";
                return out;
            }
            ssize_t n = read(read_end_, buf, sizeof buf);
            if (n <= 0) return out;
            out.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }

    int read_end_ = -1;
    int saved_ = -1;
};

struct FallbackSeen {
    int input_rc;
    std::string input_buf;
};

// Calls every output function where no command runs on the calling thread.
FallbackSeen use_every_output_function() {
    static const unsigned char bytes[] = {0x01, 0xab, 0xff};
    cli_print("print %d\n", 1);
    cli_print_buffer("buffer %s\n", "two");
    cli_print_memory(bytes, sizeof bytes);
    cli_send_buffer("raw\n", 4);
    cli_show_usage_and_error("usage error %d", 3);
    char buf[8] = "keep";
    int rc = cli_get_input("prompt> ", buf, sizeof buf);
    return {rc, buf};
}

constexpr std::string_view kFallbackText = "print 1\nbuffer two\n00000000: 01 ab ff \n";

Mailbox<FallbackSeen> g_fallback;

int output_from_own_thread(int, char **) {
    std::thread worker([] { g_fallback.put(use_every_output_function()); });
    worker.join();
    cli_print_buffer("handler done\n");
    return 0;
}

int do_nothing(int, char **) {
    return 0;
}

} // namespace

TEST_F(OutputTest, BufferedAndImmediateOutputKeepTheirOrder) {
    ASSERT_TRUE(add_command("order", print_in_order));
    EXPECT_EQ(
        run("order", 41),
        (FrameList{{CLI_FRAME_OUTPUT, "a"}, {CLI_FRAME_OUTPUT, "b"}, {CLI_FRAME_OUTPUT, "c"}}));
}

TEST_F(OutputTest, FormattedResultsAreCutToTheirLimit) {
    struct Case {
        const char *how;
        size_t length;
        size_t kept;
    };
    const Case cases[] = {
        {"print", 65535, 65535}, {"print", 65536, 65535}, {"print", 100000, 65535},
        {"buffer", 8191, 8191},  {"buffer", 8192, 8191},  {"buffer", 20000, 8191},
    };
    ASSERT_TRUE(add_command("long", print_long));
    uint32_t req_id = 100;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.how) + " " + std::to_string(c.length));
        auto frames = run("long " + std::string(c.how) + " " + std::to_string(c.length), ++req_id);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].first, CLI_FRAME_OUTPUT);
        EXPECT_EQ(frames[0].second.size(), c.kept);
        EXPECT_TRUE(frames[0].second == pattern(c.kept)) << "not the first bytes of the result";
    }
}

TEST_F(OutputTest, MemoryDumpText) {
    struct Case {
        uint32_t len;
        std::string text;
    };
    const Case cases[] = {
        {1, "00000000: de \n"},
        {16, "00000000: de ad be ef 7f 80 ff 00 41 42 43 0a 20 09 01 fe \n"},
        {20, "00000000: de ad be ef 7f 80 ff 00 41 42 43 0a 20 09 01 fe \n"
             "00000010: 10 11 9a c3 \n"},
        {32, "00000000: de ad be ef 7f 80 ff 00 41 42 43 0a 20 09 01 fe \n"
             "00000010: 10 11 9a c3 00 01 02 03 04 05 06 07 08 09 0a 0b \n"},
    };
    EXPECT_EQ(cases[1].text.size(), 59u);
    ASSERT_TRUE(add_command("dump", dump_memory));
    uint32_t req_id = 200;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        auto r = conn_.command("dump " + std::to_string(c.len), ++req_id);
        ASSERT_TRUE(r.done);
        EXPECT_EQ(r.output(), c.text);
    }
}

TEST_F(OutputTest, RawBytesArriveUnchangedAfterEarlierBufferedOutput) {
    ASSERT_TRUE(add_command("bin", send_binary));
    uint32_t req_id = 300;
    for (size_t len : {256u, 65536u, 65537u, 150000u}) {
        SCOPED_TRACE(len);
        auto frames = run("bin " + std::to_string(len), ++req_id);
        ASSERT_GE(frames.size(), 3u);
        EXPECT_EQ(frames.front(), (std::pair<int, std::string>{CLI_FRAME_OUTPUT, "head\n"}));
        EXPECT_EQ(frames.back(), (std::pair<int, std::string>{CLI_FRAME_OUTPUT, "tail\n"}));
        std::string joined;
        for (size_t i = 1; i + 1 < frames.size(); ++i) {
            EXPECT_EQ(frames[i].first, CLI_FRAME_OUTPUT);
            EXPECT_GT(frames[i].second.size(), 0u);
            EXPECT_LE(frames[i].second.size(), 65536u);
            joined += frames[i].second;
        }
        EXPECT_EQ(joined.size(), len);
        EXPECT_TRUE(joined == binary_bytes(len)) << "bytes changed or reordered";
    }
}

TEST_F(OutputTest, UsageErrorMessageAndUsageText) {
    ASSERT_TRUE(add_command("withusage", usage_error, "d", print_usage));
    ASSERT_TRUE(add_command("nousage", usage_error));
    for (size_t i = 0; i < std::size(kUsageCases); ++i) {
        const UsageCase &c = kUsageCases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        auto r = conn_.command((c.with_usage ? "withusage " : "nousage ") + std::to_string(i),
                               static_cast<uint32_t>(400 + i));
        ASSERT_TRUE(r.done);
        EXPECT_EQ(r.output(), c.expected);
    }
    EXPECT_EQ(g_usage_flags.load(), 0);
}

TEST_F(OutputTest, NoCommandOnTheCallingThreadMeansStandardError) {
    ASSERT_TRUE(add_command("noop", do_nothing));
    StderrCapture capture;
    ASSERT_TRUE(capture.active());
    FallbackSeen seen = use_every_output_function();
    std::string text = capture.finish();

    EXPECT_EQ(text, kFallbackText);
    EXPECT_EQ(seen.input_rc, -1);
    EXPECT_EQ(seen.input_buf, "keep");
    // Nothing reached the server: the next command's DONE is the first frame.
    EXPECT_EQ(run("noop", 501), FrameList{});
}

TEST_F(OutputTest, ThreadsStartedByAHandlerWriteToStandardError) {
    ASSERT_TRUE(add_command("spawn", output_from_own_thread));
    StderrCapture capture;
    ASSERT_TRUE(capture.active());
    FrameList frames = run("spawn", 502);
    std::string text = capture.finish();

    EXPECT_EQ(frames, (FrameList{{CLI_FRAME_OUTPUT, "handler done\n"}}));
    EXPECT_EQ(text, kFallbackText);
    auto seen = g_fallback.take(kReadTimeout);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->input_rc, -1);
    EXPECT_EQ(seen->input_buf, "keep");
}
