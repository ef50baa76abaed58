// The peer most users would pick instead: libcli, a telnet CLI library,
// served on a pinned thread and driven by a minimal telnet client.
//
// libcli exports cli_print, cli_register_command and cli_unregister_command,
// the same names as the agent library, so it is never linked: it is loaded
// at run time with its own symbol scope and called through pointers.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace bench {

struct LibcliApi;

// Loads libcli once; null (with the reason in *why) when it is not there.
const LibcliApi *load_libcli(std::string *why);
const char *libcli_soname(const LibcliApi *api);

// One telnet session: a libcli server thread on the serving CPU and the
// benchmark's client on this thread.
class LibcliSession {
  public:
    // nodelay: whether libcli's socket gets TCP_NODELAY. The client always
    // writes each request line in one write.
    LibcliSession(const LibcliApi *api, bool nodelay);
    ~LibcliSession();
    LibcliSession(const LibcliSession &) = delete;
    LibcliSession &operator=(const LibcliSession &) = delete;

    // Types one command line and waits for the next prompt; nanoseconds.
    // Bytes received before the prompt are counted into *bytes when given.
    uint64_t run(const std::string &line, uint64_t *bytes = nullptr);

    static std::string print_command(uint64_t mib);
    ThreadCpuClock cpu_clock() { return ThreadCpuClock::of(thread_.native_handle()); }

  private:
    void serve(bool nodelay);
    uint64_t read_until_prompt();

    const LibcliApi *api_;
    UniqueFd listen_;
    UniqueFd client_;
    std::thread thread_;
    std::vector<char> buf_;
    std::string tail_;
};

} // namespace bench
