#include "bench_libcli.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

// libcli's own types stay opaque here; only pointers to them are passed.
struct libcli_def;
struct libcli_command;
using libcli_callback = int (*)(libcli_def *, const char *, char **, int);

constexpr int kLibcliOk = 0;
constexpr int kPrivilegeUnprivileged = 0;
constexpr int kModeExec = 0;
constexpr const char *kHostname = "bench";
constexpr size_t kReadBuffer = 256 * 1024;
// libcli ends every printed line with CR LF, so 4094 characters make the
// same 4096 bytes per line on the wire as the agent's 4 KiB lines.
constexpr size_t kLineChars = 4094;

} // namespace

struct LibcliApi {
    std::string soname;
    libcli_def *(*init)() = nullptr;
    int (*done)(libcli_def *) = nullptr;
    libcli_command *(*register_command)(libcli_def *, libcli_command *, const char *,
                                        libcli_callback, int, int, const char *) = nullptr;
    int (*loop)(libcli_def *, int) = nullptr;
    void (*set_hostname)(libcli_def *, const char *) = nullptr;
    void (*print)(libcli_def *, const char *, ...) = nullptr;
};

namespace {

LibcliApi g_api;
std::array<char, kLineChars + 1> g_line;

template <class F> bool resolve(void *handle, const char *name, F &fn) {
    void *sym = dlsym(handle, name);
    if (sym == nullptr) return false;
    fn = reinterpret_cast<F>(sym);
    return true;
}

int cb_noop(libcli_def *, const char *, char **, int) {
    return kLibcliOk;
}

int cb_line(libcli_def *cli, const char *, char **, int) {
    g_api.print(cli, "hello, world");
    return kLibcliOk;
}

int cb_print(libcli_def *cli, const char *, char **argv, int argc) {
    uint64_t mib = argc > 0 ? std::strtoull(argv[0], nullptr, 10) : 1;
    uint64_t lines = mib * ((1u << 20) / (kLineChars + 2));
    for (uint64_t i = 0; i < lines; ++i)
        g_api.print(cli, "%s", g_line.data());
    return kLibcliOk;
}

} // namespace

const LibcliApi *load_libcli(std::string *why) {
    static bool tried = false;
    static const LibcliApi *loaded = nullptr;
    if (tried) {
        if (loaded == nullptr && why != nullptr) *why = "libcli could not be loaded";
        return loaded;
    }
    tried = true;
    for (const char *soname : {"libcli.so.1.10", "libcli.so"}) {
        void *h = dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
        if (h == nullptr) continue;
        g_api.soname = soname;
        if (resolve(h, "cli_init", g_api.init) && resolve(h, "cli_done", g_api.done) &&
            resolve(h, "cli_register_command", g_api.register_command) &&
            resolve(h, "cli_loop", g_api.loop) &&
            resolve(h, "cli_set_hostname", g_api.set_hostname) &&
            resolve(h, "cli_print", g_api.print)) {
            std::fill(g_line.begin(), g_line.end() - 1, 'y');
            g_line.back() = '\0';
            loaded = &g_api;
            return loaded;
        }
        if (why != nullptr) *why = std::string(soname) + " lacks a needed symbol";
        return nullptr;
    }
    if (why != nullptr) *why = dlerror();
    return nullptr;
}

const char *libcli_soname(const LibcliApi *api) {
    return api->soname.c_str();
}

std::string LibcliSession::print_command(uint64_t mib) {
    return "prnb " + std::to_string(mib);
}

LibcliSession::LibcliSession(const LibcliApi *api, bool nodelay)
    : api_(api), listen_(listen_loopback(0)), buf_(kReadBuffer) {
    thread_ = std::thread([this, nodelay] { serve(nodelay); });
    client_ = connect_loopback(local_port(listen_.get()));
    set_nodelay(client_.get(), true);
    set_read_timeout(client_.get(), std::chrono::seconds(10));
    // libcli greets with its telnet option requests and the first prompt.
    (void)read_until_prompt();
}

LibcliSession::~LibcliSession() {
    // Closing the client ends cli_loop on the serving thread.
    client_.reset();
    thread_.join();
}

void LibcliSession::serve(bool nodelay) {
    (void)pin_current_thread(kServingCpu);
    (void)pthread_setname_np(pthread_self(), "libcli");
    UniqueFd conn = accept_one(listen_.get());
    if (!conn.valid()) fail("accepting the libcli client");
    set_nodelay(conn.get(), nodelay);
    libcli_def *cli = api_->init();
    if (cli == nullptr) fail("libcli cli_init");
    api_->set_hostname(cli, kHostname);
    api_->register_command(cli, nullptr, "noop", cb_noop, kPrivilegeUnprivileged, kModeExec,
                           "benchmark");
    api_->register_command(cli, nullptr, "line", cb_line, kPrivilegeUnprivileged, kModeExec,
                           "benchmark");
    api_->register_command(cli, nullptr, "prnb", cb_print, kPrivilegeUnprivileged, kModeExec,
                           "benchmark");
    // libcli closes the socket itself when its loop ends.
    (void)api_->loop(cli, conn.release());
    api_->done(cli);
}

uint64_t LibcliSession::run(const std::string &line, uint64_t *bytes) {
    std::string typed = line + "\r\n";
    uint64_t t0 = now_ns();
    if (!write_all(client_.get(), typed.data(), typed.size())) fail("typing a libcli command");
    uint64_t got = read_until_prompt();
    uint64_t t = now_ns() - t0;
    if (bytes != nullptr) *bytes = got;
    return t;
}

uint64_t LibcliSession::read_until_prompt() {
    static const std::string prompt = std::string(kHostname) + "> ";
    uint64_t total = 0;
    for (;;) {
        ssize_t r = ::read(client_.get(), buf_.data(), buf_.size());
        if (r <= 0) fail("reading from libcli");
        total += static_cast<uint64_t>(r);
        tail_.append(buf_.data() + std::max<ssize_t>(0, r - 32), buf_.data() + r);
        if (tail_.size() > 64) tail_.erase(0, tail_.size() - 64);
        if (tail_.size() >= prompt.size() &&
            tail_.compare(tail_.size() - prompt.size(), prompt.size(), prompt) == 0) {
            tail_.clear();
            return total;
        }
    }
}

} // namespace bench
