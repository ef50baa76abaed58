// An operator's cli-server on a pseudo-terminal, read as the screen shows it.
#pragma once

#include "server_fixture.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace clitest {

class TerminalSession {
  public:
    explicit TerminalSession(const std::string &home, std::vector<std::string> extra_env = {},
                             std::vector<std::string> args = {}) {
        SpawnOptions o;
        o.pty = true;
        o.env = {"HOME=" + home, "TERM=xterm"};
        o.env.insert(o.env.end(), extra_env.begin(), extra_env.end());
        proc_ = std::make_unique<Process>(server_argv(std::move(args)), o);
    }

    void type(const std::string &keys) { ASSERT_TRUE(proc_->write_in(keys)); }

    // Waits until `needle` shows on the screen (colours and cursor motion
    // removed) after what earlier calls consumed; returns the text up to it.
    std::string expect(const std::string &needle) {
        auto deadline = std::chrono::steady_clock::now() + kTimeout;
        for (;;) {
            std::string text = strip_terminal(raw_);
            size_t at = text.find(needle, seen_);
            if (at != std::string::npos) {
                std::string upto = text.substr(seen_, at + needle.size() - seen_);
                seen_ = at + needle.size();
                return upto;
            }
            if (!read_some(deadline)) {
                ADD_FAILURE() << "waiting for '" << needle << "'; screen so far:\n"
                              << text.substr(seen_);
                return {};
            }
        }
    }

    Process &proc() { return *proc_; }
    const std::string &raw() const { return raw_; }

  private:
    bool read_some(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        pollfd p{proc_->out(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        ssize_t r = read(proc_->out(), chunk, sizeof chunk);
        if (r <= 0) return false;
        raw_.append(chunk, static_cast<size_t>(r));
        return true;
    }

    std::unique_ptr<Process> proc_;
    std::string raw_;
    size_t seen_ = 0;
};

} // namespace clitest
