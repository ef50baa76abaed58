// example_host_cpp - the C++ twin of example_host.c, written against
// cli_agent.hpp. The service state is one object; each command is a lambda
// that captures it, registered for as long as its cli::command lives.
//
//   status                       counters and uptime
//   echo WORDS...                the words, one space apart
//   dump [-o OFF] [-n LEN] [-a ADDR]   hex dump of the device buffer
//   config [-l] [-g KEY] [-s KEY VALUE]  show or change the configuration
//   wipe                         clears the device buffer after confirmation
//   stream MIB                   sends MIB mebibytes of raw data
//   ticks [-n COUNT] [-i MS]     prints a line every MS milliseconds
//   fail                         throws, to show how an exception ends a command
//
// Usage: example_host_cpp [ID [NAME]]   (defaults: 1 and "demo")
// It runs until SIGINT or SIGTERM.
//
// Threading: the handlers all run on the agent thread, so `service` needs no
// lock; main only waits for a signal.
#include "cli_agent.hpp"

#include <signal.h>

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kDeviceSize = 256;
constexpr std::size_t kStreamChunk = 65536;
constexpr uint32_t kMaxStreamMib = 65536;

struct service {
    std::array<uint8_t, kDeviceSize> device{};
    unsigned long commands_run = 0;
    uint64_t bytes_streamed = 0;
    std::time_t started = std::time(nullptr);
    uint32_t level = 3;
    uint32_t interval_ms = 100;
    uint64_t quota = uint64_t{1} << 30;

    service() {
        for (uint32_t i = 0; i < kDeviceSize; ++i)
            device[i] = static_cast<uint8_t>(i * 7u + 1u);
    }
};

int status(service &s, cli::args) {
    ++s.commands_run;
    // Sent at once, then the rest buffered: both paths in one listing.
    cli::printf("service: up %ld s\n", static_cast<long>(std::time(nullptr) - s.started));
    cli::printf_buffered("commands run:   %lu\n", s.commands_run);
    cli::printf_buffered("bytes streamed: %" PRIu64 "\n", s.bytes_streamed);
    cli::printf_buffered("level:          %u\n", s.level);
    cli::printf_buffered("device buffer:  %u bytes at %p\n", kDeviceSize,
                         static_cast<void *>(s.device.data()));
    return 0;
}

int echo(service &s, cli::args a) {
    ++s.commands_run;
    std::string line;
    for (auto it = a.begin() + 1; it != a.end(); ++it) {
        if (!line.empty()) line += ' ';
        line += *it;
    }
    cli::print_buffered(line + "\n");
    return 0;
}

void usage_dump(std::string_view name) {
    cli::print_buffered("usage: " + std::string(name) +
                        " [-o OFFSET] [-n LENGTH] [-a ADDRESS]\n"
                        "  -o OFFSET   first byte, counted from the start of the buffer\n"
                        "  -n LENGTH   number of bytes (default: to the end)\n"
                        "  -a ADDRESS  first byte as an address inside the buffer (see status)\n");
}

int dump(service &s, cli::args a) {
    ++s.commands_run;
    uint32_t offset = 0, length = kDeviceSize, seen = 0;
    for (const cli::option &o : cli::options(a, "o:n:a:")) {
        std::string arg(o.arg);
        switch (o.opt) {
        case 'o': {
            auto v = cli::param_u32(o.arg);
            if (!v || *v >= kDeviceSize) {
                cli::usage_errorf("bad offset '%s' (0 to %u)", arg.c_str(), kDeviceSize - 1);
                return 1;
            }
            offset = *v;
            break;
        }
        case 'n': {
            auto v = cli::param_u32(o.arg);
            if (!v) {
                cli::usage_errorf("bad length '%s'", arg.c_str());
                return 1;
            }
            length = *v;
            break;
        }
        case 'a': {
            auto p = cli::param_pointer(o.arg);
            auto lo = reinterpret_cast<uintptr_t>(s.device.data());
            if (!p) {
                cli::usage_errorf("bad address '%s'", arg.c_str());
                return 1;
            }
            auto addr = reinterpret_cast<uintptr_t>(*p);
            if (addr < lo || addr >= lo + kDeviceSize) {
                cli::usage_errorf("address %p is outside the buffer", *p);
                return 1;
            }
            offset = static_cast<uint32_t>(addr - lo);
            break;
        }
        case '?':
            cli::usage_error(o.error);
            return 1;
        default:
            cli::usage_errorf("unexpected argument '%s'", arg.c_str());
            return 1;
        }
        cli::set_option(seen, o.opt);
    }
    if (!cli::test_option(seen, 'n') || length > kDeviceSize - offset)
        length = kDeviceSize - offset;
    cli::dump(s.device.data() + offset, length);
    return 0;
}

void usage_config(std::string_view name) {
    cli::print_buffered("usage: " + std::string(name) +
                        " [-l] [-g KEY] [-s KEY VALUE]\n"
                        "  -l            list every key\n"
                        "  -g KEY        show one key\n"
                        "  -s KEY VALUE  set a key; numbers are decimal, 0x hex or 0 octal\n"
                        "keys: level (0-7), interval_ms (1-60000), quota (bytes)\n");
}

bool config_show(const service &s, std::string_view key) {
    if (key == "level")
        cli::printf_buffered("level = %u\n", s.level);
    else if (key == "interval_ms")
        cli::printf_buffered("interval_ms = %u\n", s.interval_ms);
    else if (key == "quota")
        cli::printf_buffered("quota = %" PRIu64 "\n", s.quota);
    else {
        cli::usage_error("unknown key '" + std::string(key) + "'");
        return false;
    }
    return true;
}

bool config_set(service &s, std::string_view key, std::string_view value) {
    std::string k(key), v(value);
    if (key == "quota") {
        auto q = cli::param_u64(value);
        if (!q) {
            cli::usage_errorf("quota must be a number of bytes, not '%s'", v.c_str());
            return false;
        }
        s.quota = *q;
    } else if (key == "level" || key == "interval_ms") {
        bool is_level = key == "level";
        uint32_t max = is_level ? 7u : 60000u;
        auto n = cli::param_u32(value);
        if (!n || *n > max || (!is_level && *n == 0)) {
            cli::usage_errorf("%s must be a number from %u to %u, not '%s'", k.c_str(),
                              is_level ? 0u : 1u, max, v.c_str());
            return false;
        }
        (is_level ? s.level : s.interval_ms) = *n;
    } else {
        cli::usage_error("unknown key '" + k + "'");
        return false;
    }
    return config_show(s, key);
}

int config(service &s, cli::args a) {
    ++s.commands_run;
    uint32_t seen = 0;
    std::optional<std::string_view> get_key, set_key, set_value;
    for (const cli::option &o : cli::options(a, "lg:s:")) {
        if (o.is_error()) {
            cli::usage_error(o.error);
            return 1;
        }
        if (o.is_argument()) { // the value that follows -s KEY
            if (!set_key || set_value) {
                cli::usage_error("unexpected argument '" + std::string(o.arg) + "'");
                return 1;
            }
            set_value = o.arg;
            continue;
        }
        if (o.opt == 'g') get_key = o.arg;
        if (o.opt == 's') set_key = o.arg;
        cli::set_option(seen, o.opt);
    }
    if (set_key) {
        if (!set_value) {
            cli::usage_error("-s " + std::string(*set_key) + " needs a value");
            return 1;
        }
        if (!config_set(s, *set_key, *set_value)) return 1;
    }
    if (get_key && !config_show(s, *get_key)) return 1;
    if (cli::test_option(seen, 'l') || seen == 0) {
        config_show(s, "level");
        config_show(s, "interval_ms");
        config_show(s, "quota");
    }
    return 0;
}

int wipe(service &s, cli::args) {
    ++s.commands_run;
    std::optional<std::string> answer = cli::input("Wipe the device buffer? Type yes to confirm: ");
    if (!answer) return 1;
    if (*answer != "yes") {
        cli::print_buffered("Not wiped.\n");
        return 0;
    }
    s.device.fill(0);
    cli::printf_buffered("Wiped %u bytes.\n", kDeviceSize);
    return 0;
}

int stream(service &s, cli::args a) {
    ++s.commands_run;
    std::optional<uint32_t> mib = a.size() == 2 ? cli::param_u32(a[1]) : std::nullopt;
    if (!mib || *mib > kMaxStreamMib) {
        cli::usage_errorf("usage: stream MIB (0 to %u)", kMaxStreamMib);
        return 1;
    }
    std::vector<std::byte> chunk(kStreamChunk);
    for (std::size_t i = 0; i < kStreamChunk; ++i)
        chunk[i] = static_cast<std::byte>('a' + i % 26u);
    chunk.back() = std::byte{'\n'};
    for (uint64_t left = uint64_t{*mib} << 20; left > 0; left -= kStreamChunk) {
        cli::send(std::span<const std::byte>(chunk));
        s.bytes_streamed += kStreamChunk;
    }
    return 0;
}

int ticks(service &s, cli::args a) {
    ++s.commands_run;
    uint32_t count = 10, interval = s.interval_ms;
    for (const cli::option &o : cli::options(a, "n:i:")) {
        std::optional<uint32_t> v;
        if (!o.is_error()) v = cli::param_u32(o.arg);
        if (!v || (o.opt != 'n' && o.opt != 'i')) {
            cli::usage_error(o.is_error() ? o.error : "bad number");
            return 1;
        }
        (o.opt == 'n' ? count : interval) = *v;
    }
    for (uint32_t i = 1; i <= count; ++i) {
        cli::printf("tick %u/%u\n", i, count); // sent at once
        if (i < count) std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::optional<uint32_t> id = argc > 1 ? cli::param_u32(argv[1]) : 1u;
    const char *name = argc > 2 ? argv[2] : "demo";
    if (argc > 3 || !id || *id == 0) {
        std::fprintf(stderr, "usage: example_host_cpp [ID [NAME]]  (ID: 1 to 4294967295)\n");
        return 1;
    }
    service s;
    auto on = [&s](int (*fn)(service &, cli::args)) {
        return [&s, fn](cli::args a) { return fn(s, a); };
    };
    try {
        std::vector<cli::command> commands;
        commands.emplace_back("status", "counters and uptime", on(status));
        commands.emplace_back("echo", "print the arguments", on(echo));
        commands.emplace_back("dump", "hex dump of the device buffer", on(dump), usage_dump);
        commands.emplace_back("config", "show or change the configuration", on(config),
                              usage_config);
        commands.emplace_back("wipe", "clear the device buffer (asks first)", on(wipe));
        commands.emplace_back("stream", "send MIB mebibytes of raw data", on(stream));
        commands.emplace_back("ticks", "print a line every interval", on(ticks),
                              [] { cli::print_buffered("usage: ticks [-n COUNT] [-i MS]\n"); });
        commands.emplace_back("fail", "throw an exception", [](cli::args) -> int {
            throw std::runtime_error("this command always fails");
        });

        // Block the stop signals before the agent thread exists, so that it
        // inherits the mask and only sigtimedwait below receives them.
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        sigaddset(&stop_signals, SIGINT);
        sigaddset(&stop_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

        cli::agent agent(*id, name);
        std::fprintf(stderr, "example_host_cpp: agent '%s' (id %u) started; stop with Ctrl-C\n",
                     name, *id);
        const timespec tick{1, 0};
        for (;;) {
            int sig = sigtimedwait(&stop_signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) break;
            agent.sync_status();
        }
    } catch (const std::system_error &e) {
        std::fprintf(stderr, "example_host_cpp: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "example_host_cpp: stopped\n");
    return 0;
}
