// A server on the agent port that watches connections instead of serving
// commands: it accepts every agent connection on its own thread, answers
// HELLO with ACK, and records how many connections were open at the same
// time. A connection counts as open from its accept until end-of-stream.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_server.h"

namespace clitest {

class WatchServer {
  public:
    WatchServer() {
        listener_ = Conn(listen_loopback(kAgentPort));
        if (!listener_.valid() || pipe2(wake_, O_CLOEXEC) != 0) return;
        thread_ = std::thread([this] { run(); });
    }
    ~WatchServer() {
        if (thread_.joinable()) {
            (void)!write(wake_[1], "x", 1);
            thread_.join();
        }
        for (int fd : wake_)
            if (fd >= 0) ::close(fd);
    }
    WatchServer(const WatchServer &) = delete;
    WatchServer &operator=(const WatchServer &) = delete;

    bool listening() const { return thread_.joinable(); }

    int max_open() {
        std::lock_guard<std::mutex> guard(mutex_);
        return max_open_;
    }
    int accepted() {
        std::lock_guard<std::mutex> guard(mutex_);
        return accepted_;
    }

    // Waits until an open connection has announced name in its HELLO.
    bool wait_for_open(const std::string &name, ms timeout = kReadTimeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::any_of(open_.begin(), open_.end(),
                               [&](const Open &o) { return o.name == name; });
        });
    }

    // Waits until more than n connections have been accepted in all.
    bool wait_for_accepted(int n, ms timeout = kReadTimeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return accepted_ > n; });
    }

    // Waits until no connection is open.
    bool wait_for_none(ms timeout = kReadTimeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return open_.empty(); });
    }

  private:
    struct Open {
        Conn conn;
        std::string name;
    };

    // Reads whatever is waiting; true once the peer has closed.
    static bool drained_to_end(int fd) {
        char buf[4096];
        for (;;) {
            ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0) continue;
            if (r == 0) return true;
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        }
    }

    void reap_closed() {
        std::lock_guard<std::mutex> guard(mutex_);
        auto gone = std::remove_if(open_.begin(), open_.end(),
                                   [](const Open &o) { return drained_to_end(o.conn.fd()); });
        if (gone != open_.end()) {
            open_.erase(gone, open_.end());
            changed_.notify_all();
        }
    }

    void accept_one() {
        Conn conn(accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn.valid()) return;
        int one = 1;
        setsockopt(conn.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The agent closes a connection before it opens the next, so by the
        // time a new one is accepted the old one's end has arrived.
        reap_closed();
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ++accepted_;
            max_open_ = std::max(max_open_, static_cast<int>(open_.size()) + 1);
        }
        changed_.notify_all();
        auto hello = conn.handshake();
        std::lock_guard<std::mutex> guard(mutex_);
        if (hello) {
            open_.push_back({std::move(conn), hello->payload});
            changed_.notify_all();
        }
    }

    void run() {
        for (;;) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_.fd(), POLLIN, 0}};
            {
                std::lock_guard<std::mutex> guard(mutex_);
                for (const auto &o : open_)
                    fds.push_back({o.conn.fd(), POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
            if (fds[0].revents != 0) return;
            reap_closed();
            if (fds[1].revents != 0) accept_one();
        }
    }

    Conn listener_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Open> open_;
    int max_open_ = 0;
    int accepted_ = 0;
};

} // namespace clitest
