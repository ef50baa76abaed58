// The frame transport and argument splitting, over socket pairs and
// ephemeral loopback ports (never the agent port).
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli_common.h"
#include "test_server.h"

using namespace clitest;

namespace {

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void close_writer() {
        close(fd[0]);
        fd[0] = -1;
    }
};

// Reads whatever is waiting on fd (up to n bytes) within a time-out.
std::string read_available(int fd, size_t n, int timeout_ms = 2000) {
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) break;
        char buf[65536];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

bool nothing_waiting(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 50) == 0;
}

std::unique_ptr<cli_frame> make_frame() {
    return std::make_unique<cli_frame>();
}

int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

} // namespace

TEST(FrameFormat, ExampleFramesAreByteExact) {
    SocketPair sp;
    ASSERT_EQ(cli_send_text(sp.fd[0], CLI_FRAME_HELLO, 0, 7, "db"), 0);
    EXPECT_EQ(hex(read_available(sp.fd[1], 22)),
              "51 45 4c 4d 00 01 00 02 00 00 00 00 00 00 00 07 00 00 00 02 64 62");
    ASSERT_EQ(cli_send_frame(sp.fd[0], CLI_FRAME_DONE, 5, 7, nullptr, 0), 0);
    EXPECT_EQ(hex(read_available(sp.fd[1], 20)),
              "51 45 4c 4d 00 01 00 06 00 00 00 05 00 00 00 07 00 00 00 00");
    EXPECT_TRUE(nothing_waiting(sp.fd[1]));
}

TEST(FrameFormat, LengthLimitIsInclusive) {
    SocketPair sp;
    std::string big(65536, 'x');
    big.back() = 'y';
    std::thread writer([&] {
        EXPECT_EQ(cli_send_frame(sp.fd[0], CLI_FRAME_OUTPUT, 1, 2,
                                 reinterpret_cast<const uint8_t *>(big.data()), 65536),
                  0);
    });
    auto f = make_frame();
    ASSERT_EQ(cli_recv_frame(sp.fd[1], f.get()), 0);
    writer.join();
    EXPECT_EQ(f->len, 65536u);
    EXPECT_EQ(f->data[65535], 'y');
    EXPECT_EQ(f->data[65536], 0);

    std::string over(65537, 'x');
    EXPECT_EQ(cli_send_frame(sp.fd[0], CLI_FRAME_OUTPUT, 1, 2,
                             reinterpret_cast<const uint8_t *>(over.data()), 65537),
              -1);
    EXPECT_TRUE(nothing_waiting(sp.fd[1]));
}

TEST(FrameFormat, MissingPayloadIsRefusedBeforeWriting) {
    SocketPair sp;
    EXPECT_EQ(cli_send_frame(sp.fd[0], CLI_FRAME_OUTPUT, 1, 2, nullptr, 10), -1);
    EXPECT_TRUE(nothing_waiting(sp.fd[1]));
}

TEST(FrameFormat, TextIsCutAtTheFrameLimit) {
    SocketPair sp;
    EXPECT_EQ(cli_send_text(sp.fd[0], CLI_FRAME_PROMPT, 3, 4, nullptr), 0);
    EXPECT_EQ(hex(read_available(sp.fd[1], 20)),
              "51 45 4c 4d 00 01 00 07 00 00 00 03 00 00 00 04 00 00 00 00");

    std::string text(70000, 'a');
    text[65535] = 'z';
    std::thread writer([&] { EXPECT_EQ(cli_send_text(sp.fd[0], 5, 1, 1, text.c_str()), 0); });
    auto f = make_frame();
    ASSERT_EQ(cli_recv_frame(sp.fd[1], f.get()), 0);
    writer.join();
    EXPECT_EQ(f->len, 65536u);
    EXPECT_EQ(f->data[65535], 'z');
    EXPECT_TRUE(nothing_waiting(sp.fd[1]));
}

TEST(FrameFormat, ReceivedPayloadIsTerminated) {
    SocketPair sp;
    auto f = make_frame();
    std::memset(f.get(), 0x55, sizeof(cli_frame));
    ASSERT_TRUE(write(sp.fd[0], encode_frame(8, 9, 10, "").data(), 20) == 20);
    ASSERT_EQ(cli_recv_frame(sp.fd[1], f.get()), 0);
    EXPECT_EQ(f->type, 8);
    EXPECT_EQ(f->req_id, 9u);
    EXPECT_EQ(f->agent_id, 10u);
    EXPECT_EQ(f->len, 0u);
    EXPECT_EQ(f->data[0], 0);

    std::string frame = encode_frame(4, 1, 0, "abc");
    ASSERT_TRUE(write(sp.fd[0], frame.data(), frame.size()) == ssize_t(frame.size()));
    ASSERT_EQ(cli_recv_frame(sp.fd[1], f.get()), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(f->data), "abc");
}

TEST(FrameFormat, MalformedHeadersAreRejected) {
    std::string bad_magic = encode_frame(4, 1, 0, "");
    bad_magic[0] = 'X';
    std::string bad_version = encode_frame(4, 1, 0, "");
    bad_version[5] = 2;
    std::string too_long = encode_frame(4, 1, 0, "");
    too_long[17] = 1; // length 65537
    too_long[19] = 1;
    std::string truncated = encode_frame(4, 1, 0, "hello").substr(0, 23);
    for (const auto &bytes : {bad_magic, bad_version, too_long, truncated}) {
        SocketPair sp;
        ASSERT_TRUE(write(sp.fd[0], bytes.data(), bytes.size()) == ssize_t(bytes.size()));
        sp.close_writer();
        auto f = make_frame();
        EXPECT_EQ(cli_recv_frame(sp.fd[1], f.get()), -1) << hex(bytes);
    }
    EXPECT_EQ(cli_recv_frame(0, nullptr), -1);
}

TEST(Loopback, BusyPortAndRefusedConnectionLeakNothing) {
    int listener = cli_open_server(0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    uint16_t port = ntohs(addr.sin_port);

    int before = open_descriptors();
    EXPECT_EQ(cli_open_server(port), -1);
    EXPECT_EQ(open_descriptors(), before);

    int conn = cli_connect_server(port);
    EXPECT_GE(conn, 0);
    close(conn);
    close(listener);

    before = open_descriptors();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cli_connect_server(port), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(open_descriptors(), before);
}

namespace {
void on_usr1(int) {}
} // namespace

TEST(Sleep, ResumesAfterASignalForTheRemainingTimeOnly) {
    struct sigaction sa {};
    sa.sa_handler = on_usr1; // no SA_RESTART: nanosleep returns EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    std::atomic<bool> done{false};
    auto start = std::chrono::steady_clock::now();
    std::thread sleeper([&] {
        cli_sleep_ms(300);
        done = true;
    });
    pthread_t handle = sleeper.native_handle();
    // Interrupt it a few times; each interruption must not restart the
    // whole pause nor end it early.
    for (int i = 0; i < 5 && !done; ++i) {
        pthread_kill(handle, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    sleeper.join();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_LT(elapsed, std::chrono::milliseconds(600));
}

namespace {
std::vector<std::string> split(const std::string &line, int *rc = nullptr) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    cli_args args{};
    int r = cli_split_args(buf.data(), &args);
    if (rc != nullptr) *rc = r;
    std::vector<std::string> out;
    for (int i = 0; i < args.argc; ++i) {
        // Every argument must point into the line that was split.
        EXPECT_GE(args.argv[i], buf.data());
        EXPECT_LT(args.argv[i], buf.data() + buf.size());
        out.emplace_back(args.argv[i]);
    }
    return out;
}
using Args = std::vector<std::string>;
} // namespace

TEST(SplitArgs, QuotesEscapesAndWhiteSpace) {
    struct Case {
        std::string line;
        Args expected;
    };
    const Case cases[] = {
        {"", {}},
        {" \t\r\n\v\f ", {}},
        {"  set   level\t 3  ", {"set", "level", "3"}},
        {R"(say "hello   world")", {"say", "hello   world"}},
        {R"(ab"c d"e)", {"abc de"}},
        {R"("a"'b' c)", {"ab", "c"}},
        {R"("")", {""}},
        {R"(x "" y)", {"x", "", "y"}},
        {R"(a\ b)", {"a b"}},
        {R"("say \"hi\"")", {R"(say "hi")"}},
        {R"(a\\b)", {R"(a\b)"}},
        {R"('a\'b')", {"a'b"}},
        {R"(a\nb)", {"anb"}},
        {R"(end\)", {R"(end\)"}},
        {R"("open quote runs on)", {"open quote runs on"}},
        {R"('it''s')", {"its"}},
    };
    for (const auto &c : cases) {
        int rc = -2;
        EXPECT_EQ(split(c.line, &rc), c.expected) << "line: " << c.line;
        EXPECT_EQ(rc, 0) << "line: " << c.line;
    }
}

TEST(SplitArgs, ArgumentLimit) {
    std::string words;
    for (int i = 0; i < 128; ++i)
        words += "w" + std::to_string(i) + " ";
    int rc = -2;
    EXPECT_EQ(split(words + "   ", &rc).size(), 128u);
    EXPECT_EQ(rc, 0);

    auto args = split(words + "extra", &rc);
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(args.size(), 128u);
    EXPECT_EQ(args.back(), "w127");

    cli_args a{};
    char line[] = "x";
    EXPECT_EQ(cli_split_args(nullptr, &a), -1);
    EXPECT_EQ(cli_split_args(line, nullptr), -1);
}

TEST(Exports, OnlyTheCInterfaceIsExported) {
    std::string cmd = "nm -D --defined-only '" CLI_AGENT_LIBRARY_PATH "'";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        char addr[64], kind[8], name[256];
        if (std::sscanf(line, "%63s %7s %255s", addr, kind, name) != 3) continue;
        std::string n = name;
        if (n == "CLI_AGENT_1") continue; // the symbol version node
        names.insert(n.substr(0, n.find('@')));
    }
    ASSERT_EQ(pclose(p), 0);
    const std::set<std::string> expected = {"cli_open_server",        "cli_connect_server",
                                            "cli_send_frame",         "cli_send_text",
                                            "cli_recv_frame",         "cli_sleep_ms",
                                            "cli_split_args",         "cli_lower",
                                            "cli_parse_u32",          "cli_parse_port_arg",
                                            "cli_agent_init",         "cli_agent_destroy",
                                            "cli_agent_sync_status",  "cli_register_command",
                                            "cli_unregister_command", "cli_print",
                                            "cli_print_buffer",       "cli_send_buffer",
                                            "cli_print_memory",       "cli_show_usage_and_error",
                                            "cli_get_input",          "cli_get_option",
                                            "cli_set_option",         "cli_test_option",
                                            "cli_get_param_u64",      "cli_get_param_u32",
                                            "cli_get_param_pointer"};
    EXPECT_EQ(names, expected);
}
