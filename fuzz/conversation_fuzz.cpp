// Plays arbitrary bytes as the CLI server's side of one connection to a live
// agent in this process. Every input is one connection: the agent connects,
// says HELLO, gets ACK, then the input, then end-of-stream. An input that
// starts with 'R' (never the first byte of a frame) gets an ACK asking for
// results, and the rest is played; any other input an ACK without payload,
// as servers that predate results send it. The harness
// answers nothing more and reads until the agent closes. The agent must not
// crash, must finish within a bound, and every frame it writes must be well
// formed and match, command for command, a model of how the agent reads.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "cli_agent.h"
#include "wire_model.h"

using namespace fuzzmodel;
using steady = std::chrono::steady_clock;

namespace {

constexpr uint32_t kAgentId = 0xF0221u;
constexpr char kAgentName[] = "fuzz-agent";
constexpr uint16_t kPort = 7002;
// Generous for the largest input the corpus uses; a live agent needs a few
// milliseconds.
constexpr auto kBound = std::chrono::seconds(10);
// The ACK payload that asks for results, from the wire description.
const std::string kResultCapability("RESULT\x00\x01", 8);

// Output the handlers may still produce for the current input, so that an
// input of many heavy commands cannot look like a hang.
std::atomic<int64_t> g_budget{0};

bool spend(int64_t n) {
    return g_budget.fetch_sub(n) >= n;
}

// ---------------------------------------------------------------------------
// Handlers of the host under test

void show_usage(const cli_command *cmd, int flags) {
    check(flags == 0, "usage called with flags");
    cli_print_buffer("usage: %s [args...]\n", cmd->name);
}

int cmd_echo(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        cli_print_buffer("%s%c", argv[i], i + 1 < argc ? ' ' : '\n');
    cli_print("%d args\n", argc);
    return 0;
}

uint8_t *pattern() {
    static uint8_t bytes[48 * 1024];
    static bool filled = [] {
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<uint8_t>(i * 31 + 7);
        return true;
    }();
    (void)filled;
    return bytes;
}

// dump [count] [text]: count pattern bytes in hexadecimal, then the text
// dumped and sent raw.
int cmd_dump(int argc, char **argv) {
    uint32_t n = 0;
    if (argc > 1 && cli_get_param_u32(argv[1], &n) != 0) {
        cli_show_usage_and_error("bad count: %s", argv[1]);
        return 1;
    }
    n = std::min<uint32_t>(n, 48 * 1024);
    if (spend(int64_t{n} * 4)) cli_print_memory(pattern(), n);
    if (argc > 2) {
        auto len = static_cast<uint32_t>(std::strlen(argv[2]));
        cli_print_memory(argv[2], len);
        cli_send_buffer(argv[2], len);
    }
    return 0;
}

// ask [prompt] [size]: prompts once and prints the reply.
int cmd_ask(int argc, char **argv) {
    char reply[512];
    uint32_t size = sizeof reply;
    if (argc > 2 && cli_get_param_u32(argv[2], &size) != 0) size = sizeof reply;
    size = std::min<uint32_t>(size, sizeof reply);
    int rc = cli_get_input(argc > 1 ? argv[1] : nullptr, reply, size);
    if (size == 0) {
        check(rc == -1, "cli_get_input accepted a zero size");
        return 1;
    }
    if (rc != 0) {
        cli_print("no reply\n");
        return 1;
    }
    size_t len = strnlen(reply, size);
    check(len < size, "reply not terminated inside the buffer");
    cli_print_buffer("reply %zu: ", len);
    cli_print("%s\n", reply);
    return 0;
}

// opts [-a] [-v] [-b u64] [-p pointer] [-n u32] [args...]
int cmd_opts(int argc, char **argv) {
    cli_option_state st{};
    uint32_t seen = 0;
    for (int calls = 0; calls <= argc; ++calls) {
        int opt = cli_get_option(argc, argv, "ab:p:n:v", &st);
        if (opt == -1) break;
        cli_set_option(&seen, opt);
        if (opt == '?') {
            cli_show_usage_and_error("%s", st.errmsg);
        } else if (opt == 1) {
            cli_print_buffer("arg %s\n", st.optarg != nullptr ? st.optarg : "(null)");
        } else if (opt == 'b') {
            uint64_t v = 0;
            if (cli_get_param_u64(st.optarg, &v) == 0)
                cli_print_buffer("b=%llu\n", (unsigned long long)v);
        } else if (opt == 'p') {
            void *p = nullptr;
            if (cli_get_param_pointer(st.optarg, &p) == 0) cli_print_buffer("p=%p\n", p);
        } else if (opt == 'n') {
            uint32_t v = 0;
            if (cli_get_param_u32(st.optarg, &v) == 0) cli_print_buffer("n=%u\n", v);
        }
    }
    cli_print("seen %08x a=%d v=%d\n", seen, cli_test_option(seen, 'a'),
              cli_test_option(seen, 'v'));
    return 0;
}

// fill [rounds]: rounds of 8191 buffered bytes, across the print buffer's
// 512 KiB boundary, then one text longer than an immediate print keeps.
int cmd_fill(int argc, char **argv) {
    static const std::string chunk(8191, 'f');
    static const std::string shout(70000, 's');
    uint32_t rounds = 0;
    if (argc > 1) (void)cli_get_param_u32(argv[1], &rounds);
    for (uint32_t i = 0; i < std::min<uint32_t>(rounds, 80) && spend(8191); ++i)
        cli_print_buffer("%s", chunk.c_str());
    if (argc > 2 && spend(65535)) cli_print("%s", shout.c_str());
    return 0;
}

void register_command(const char *name, cli_cmd_handler handler) {
    cli_command cmd{};
    std::strncpy(cmd.name, name, sizeof cmd.name - 1);
    std::strncpy(cmd.desc, "fuzz handler", sizeof cmd.desc - 1);
    cmd.handler = handler;
    cmd.usage = show_usage;
    check(cli_register_command(&cmd) == 0, "registration failed");
}

// ---------------------------------------------------------------------------
// The server's side

int g_listener = -1;

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

int remaining_ms(steady::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

bool wait_for(int fd, short events, steady::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc > 0) return true;
        if (rc == 0 || errno != EINTR) return false;
    }
}

// Frames the agent wrote, checked as they arrive.
class AgentStream {
  public:
    // Appends bytes and decodes every whole frame; a malformed header fails.
    void feed(const char *bytes, size_t n) {
        rx_.append(bytes, n);
        Frame f;
        size_t used = 0;
        for (;;) {
            auto rc =
                decode_one(reinterpret_cast<const uint8_t *>(rx_.data()), rx_.size(), &f, &used);
            check(rc != Decode::malformed, "the agent wrote a malformed frame");
            if (rc == Decode::need_more) return;
            check(f.agent_id == kAgentId, "frame with a foreign agent_id");
            frames_.push_back(f);
            rx_.erase(0, used);
        }
    }
    bool partial() const { return !rx_.empty(); }
    std::vector<Frame> &frames() { return frames_; }

  private:
    std::string rx_;
    std::vector<Frame> frames_;
};

// Whether the "ask" handler will wait for a reply to this command line: it
// reads from the connection unless its buffer size is 0.
bool waits_for_reply(const std::string &payload) {
    std::string line = payload.substr(0, 4095);
    line.resize(std::strlen(line.c_str()));
    cli_args args;
    if (cli_split_args(line.data(), &args) != 0 || args.argc == 0) return false;
    if (std::strcmp(args.argv[0], "ask") != 0) return false;
    uint32_t size = 512;
    if (args.argc > 2 && cli_get_param_u32(args.argv[2], &size) != 0) size = 512;
    return size != 0;
}

// The req_id of every command the agent runs for this input, in order. The
// agent reads frame after frame and stops at a BYE, at a malformed frame or
// at the end. While a handler waits for a reply it reads on its own: frames
// other than the matching INPUT are dropped, and a malformed header ends the
// wait and, once that command is done, the connection: nothing after it is
// run.
std::vector<uint32_t> model_commands(const uint8_t *data, size_t size) {
    std::vector<uint32_t> run;
    Frame f;
    size_t used = 0;
    size_t pos = 0;
    for (;;) {
        if (decode_one(data + pos, size - pos, &f, &used) != Decode::ok) return run;
        pos += used;
        if (f.type == CLI_FRAME_BYE) return run;
        if (f.type != CLI_FRAME_COMMAND) continue;
        run.push_back(f.req_id);
        if (!waits_for_reply(f.payload)) continue;
        const uint32_t waiting = f.req_id;
        for (;;) {
            Decode rc = decode_one(data + pos, size - pos, &f, &used);
            if (rc == Decode::need_more) return run;
            if (rc == Decode::malformed) return run;
            pos += used;
            if (f.type == CLI_FRAME_INPUT && f.req_id == waiting) break;
        }
    }
}

// The agent's frames must be exactly the commands of the model, each as
// OUTPUT and PROMPT frames of its own req_id closed by one DONE. A stream cut
// by a reset may end early.
void check_replies(const std::vector<uint32_t> &run, const std::vector<Frame> &got, bool cut,
                   bool results) {
    size_t done = 0;
    bool open = false;
    for (const Frame &f : got) {
        check(f.type == CLI_FRAME_OUTPUT || f.type == CLI_FRAME_PROMPT || f.type == CLI_FRAME_DONE,
              "unexpected frame type from the agent");
        check(done < run.size(), "a frame after the last command");
        check(f.req_id == run[done], "frame for another command than the one running");
        if (f.type == CLI_FRAME_OUTPUT) check(!f.payload.empty(), "empty OUTPUT frame");
        if (f.type == CLI_FRAME_DONE) {
            // A result (four bytes) only for a server that asked for them.
            check(f.payload.size() == (results ? 4u : 0u), "DONE of the wrong size");
            ++done;
        }
        open = f.type != CLI_FRAME_DONE;
    }
    check(cut || (!open && done == run.size()), "a command without its DONE");
}

// Reads the HELLO of a new connection; false for another process's agent
// (on a shared machine a test elsewhere may be looking for its server).
bool read_hello(int fd, steady::time_point deadline) {
    AgentStream hello;
    char buf[256];
    while (hello.frames().empty()) {
        check(wait_for(fd, POLLIN, deadline), "no HELLO within the bound");
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        hello.feed(buf, static_cast<size_t>(n));
    }
    const Frame &f = hello.frames().front();
    if (f.agent_id != kAgentId && f.payload != kAgentName) return false;
    check(f.type == CLI_FRAME_HELLO && f.req_id == 0 && f.payload == kAgentName, "bad HELLO");
    check(hello.frames().size() == 1 && !hello.partial(), "bytes after HELLO before ACK");
    return true;
}

// Accepts the agent's next connection and completes its handshake.
int accept_agent(steady::time_point deadline, bool results) {
    for (;;) {
        check(wait_for(g_listener, POLLIN, deadline),
              "the agent did not reconnect within the bound");
        int fd = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (read_hello(fd, deadline)) {
            std::string ack = encode(CLI_FRAME_ACK, 0, 0, results ? kResultCapability : "");
            check(send(fd, ack.data(), ack.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(ack.size()),
                  "ACK not sent");
            return fd;
        }
        close(fd);
    }
}

// Writes the input while reading what the agent answers, so neither side
// can block the other; ends the stream once the input is written and reads
// until the agent closes. True when the connection ended with a reset: an
// agent that abandons a connection with input still unread makes its kernel
// send RST and drop output not yet transmitted, so the tail may be cut.
bool play(int fd, const uint8_t *data, size_t size, AgentStream &stream,
          steady::time_point deadline) {
    check(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0, "O_NONBLOCK");
    bool writing = true;
    if (size == 0) {
        shutdown(fd, SHUT_WR);
        writing = false;
    }
    static char buf[1 << 16];
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc < 0 && errno == EINTR) continue;
        check(rc > 0, "the agent did not finish within the bound");
        if (writing && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
            }
            if (size == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                shutdown(fd, SHUT_WR);
                writing = false;
            }
        }
        if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0) return false;
            if (n < 0 && errno == ECONNRESET) return true;
            if (n > 0) stream.feed(buf, static_cast<size_t>(n));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Another test run may hold the port for a while; wait for it, boundedly.
    for (int attempt = 0; attempt < 240 && g_listener < 0; ++attempt) {
        g_listener = cli_open_server(kPort);
        if (g_listener < 0) cli_sleep_ms(500);
    }
    check(g_listener >= 0, "port 7002 stayed busy for two minutes");
    register_command("echo", cmd_echo);
    register_command("dump", cmd_dump);
    register_command("ask", cmd_ask);
    register_command("opts", cmd_opts);
    register_command("fill", cmd_fill);
    check(cli_agent_init(kAgentId, kAgentName) == 0, "cli_agent_init failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto deadline = steady::now() + kBound;
    g_budget.store(4 << 20);
    const bool results = size > 0 && data[0] == 'R';
    if (results) {
        ++data;
        --size;
    }
    Socket conn(accept_agent(deadline, results));

    AgentStream stream;
    bool cut = play(conn.get(), data, size, stream, deadline);
    check(cut || !stream.partial(), "the agent closed in the middle of a frame");
    check_replies(model_commands(data, size), stream.frames(), cut, results);
    return 0;
}
