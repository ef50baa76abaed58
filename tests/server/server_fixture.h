// Shared helpers of the cli-server end-to-end tests.
#pragma once

#include "process.h"
#include "test_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace servertest {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::vector<std::string> server_argv(std::vector<std::string> args) {
    args.insert(args.begin(), CLI_SERVER_PATH);
    return args;
}

// A raw connection to the server's agent port, for fake agents; invalid if
// the connect fails.
inline clitest::Conn connect_agent() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(clitest::kAgentPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (fd >= 0) close(fd);
        return clitest::Conn();
    }
    return clitest::Conn(fd);
}

// The example host, announcing itself as `name` with `id`.
inline std::unique_ptr<Process> start_host(const std::string &id = "7",
                                           const std::string &name = "demo") {
    SpawnOptions o;
    o.pipe_stdout = false;
    o.pipe_stderr = false;
    return std::make_unique<Process>(std::vector<std::string>{EXAMPLE_HOST_PATH, id, name}, o);
}

// Runs cli-server to completion with `input` on standard input.
inline RunResult run_server(const std::vector<std::string> &args, const std::string &input = {},
                            ms timeout = kTimeout) {
    SpawnOptions o;
    o.pipe_stdin = true;
    Process p(server_argv(args), o);
    RunResult r;
    p.write_in(input);
    p.close_in();
    auto out = read_all(p.out(), timeout);
    auto err = read_all(p.err(), timeout);
    auto status = p.wait(timeout);
    r.out = out.value_or("<no end of output>");
    r.err = err.value_or("<no end of output>");
    r.status = status.value_or(-1);
    return r;
}

} // namespace servertest
