// The agent side of the soak: this program re-executed as --agent-process,
// serving the four commands the clients run (echo, ask, blob, slow) through
// the agent library, on the library's own thread.
#include "soak.h"

#include "cli_agent.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cinttypes>
#include <thread>

namespace soak {

namespace {

// The generated output of sk_blob: lines of letters and digits from a
// xorshift generator, so the client can rebuild what it must receive.
struct Gen {
    uint64_t s;
    explicit Gen(uint64_t seed) : s(seed | 1) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    void fill(char *buf, size_t n) {
        static const char alnum[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (size_t i = 0; i < n; ++i) {
            const uint64_t r = next() % 48;
            buf[i] = r == 0 ? '\n' : alnum[r % 36];
        }
    }
};

uint64_t fnv1a(uint64_t h, const char *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 1099511628211ull;
    }
    return h;
}
constexpr uint64_t kFnvInit = 14695981039346656037ull;

std::string sum_line(uint64_t h) {
    char line[32];
    std::snprintf(line, sizeof line, "sum=%016" PRIx64 "\n", h);
    return line;
}

} // namespace

std::string blob_expected(uint64_t seed, size_t len) {
    std::string body(len, '\0');
    Gen g(seed);
    g.fill(body.data(), len);
    return body + sum_line(fnv1a(kFnvInit, body.data(), body.size()));
}

namespace {

int sk_echo(int argc, char **argv) {
    if (argc == 2) cli_print("%s\n", argv[1]);
    return 0;
}

int sk_ask(int argc, char **argv) {
    if (argc != 2) return 0;
    char prompt[128];
    std::snprintf(prompt, sizeof prompt, "%s? ", argv[1]);
    char reply[256];
    if (cli_get_input(prompt, reply, sizeof reply) != 0)
        cli_print("%s!\n", argv[1]);
    else
        cli_print("%s=%s\n", argv[1], reply);
    return 0;
}

int sk_blob(int argc, char **argv) {
    uint64_t seed = 0;
    uint32_t len = 0;
    if (argc != 3 || cli_get_param_u64(argv[1], &seed) != 0 ||
        cli_get_param_u32(argv[2], &len) != 0)
        return 0;
    Gen g(seed);
    uint64_t h = kFnvInit;
    char buf[4096];
    for (uint32_t left = len; left > 0;) {
        const uint32_t n = std::min<uint32_t>(left, sizeof buf);
        g.fill(buf, n);
        h = fnv1a(h, buf, n);
        cli_send_buffer(buf, n);
        left -= n;
    }
    cli_print("%s", sum_line(h).c_str());
    return 0;
}

int sk_slow(int argc, char **argv) {
    uint32_t ms = 0;
    if (argc != 3 || cli_get_param_u32(argv[2], &ms) != 0) return 0;
    cli_print("%s begin\n", argv[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms)); // the workload, not a wait
    cli_print("%s end\n", argv[1]);
    return 0;
}

} // namespace

int run_agent(const char *name, uint32_t id) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const cli_command cmds[] = {
        {"sk_echo", "prints its token", sk_echo, nullptr},
        {"sk_ask", "asks for a reply and prints it", sk_ask, nullptr},
        {"sk_blob", "SEED LEN: generated output and its checksum", sk_blob, nullptr},
        {"sk_slow", "TOKEN MS: begin, a pause, end", sk_slow, nullptr},
    };
    for (const cli_command &c : cmds)
        if (cli_register_command(&c) != 0) return 2;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); // the agent thread inherits the mask
    if (cli_agent_init(id, name) != 0) return 2;
    int sig = 0;
    sigwait(&set, &sig);
    cli_agent_destroy(id);
    return 0;
}

} // namespace soak
