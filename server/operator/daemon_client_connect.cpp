// Connecting to the resident server (daemon_client.h): whom the socket
// belongs to is checked before a byte is sent, then HELLO goes out and the
// agents come in up to READY, synchronously and bounded, before the loop
// runs.
//
// Threading: the thread that will run the event loop, before it runs.
#include "operator/daemon_client.h"

#include "core/users.h"
#include "core/socket_path.h"
#include "operator/socket_trust.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cliserver {

namespace op = operator_protocol;

namespace {

// A daemon answers HELLO at once; this bounds a wedged one.
constexpr int kGreetingTimeoutMs = 10'000;

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

} // namespace

// ---------------------------------------------------------------- connecting

bool DaemonClient::connect_socket(std::string *error, ConnectResult *result) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) {
        *error = "socket path " + path_ + " is too long";
        *result = ConnectResult::kFailed;
        return false;
    }
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    const uid_t self = geteuid();
    if (auto why = distrusted_socket_dir(path_, self)) {
        *error = "not trusting the resident server at " + path_ + ": " + *why;
        *result = ConnectResult::kUntrusted;
        return false;
    }
    cli_shared::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        *result = ConnectResult::kFailed;
        return false;
    }
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        // Whoever answers learns nothing from us, not even HELLO, before
        // the kernel has said who it is.
        const auto peer = peer_credentials(fd.get());
        if (peer && trusted_daemon(peer->uid, self, path_)) {
            stream_.reset(std::move(fd));
            return true;
        }
        fd.reset();
        *error = "not trusting the resident server at " + path_ + ": " +
                 (peer ? "it runs as uid " + std::to_string(peer->uid) + " (" +
                             user_name(peer->uid) + "), not as root or uid " + std::to_string(self)
                       : std::string("its credentials cannot be read"));
        *result = ConnectResult::kUntrusted;
        return false;
    }
    const int err = errno;
    fd.reset();
    // No socket: no resident server on this machine, so this process holds
    // the port itself.
    if (err == ENOENT || err == ENOTDIR) {
        *result = ConnectResult::kNoDaemon;
        return false;
    }
    // A socket nobody answers on: the daemon died and is likely being
    // restarted. Taking the agents' port now would keep it from coming back.
    if (err == ECONNREFUSED) {
        *error = "the resident server at " + path_ +
                 " is not running (its socket is stale); start it again, or use --standalone";
        *result = ConnectResult::kFailed;
        return false;
    }
    *error = "cannot reach the resident server at " + path_ + ": " + std::strerror(err);
    if (err == EACCES)
        error->append(" (only its user, root and members of its --group may use it)");
    *result = ConnectResult::kFailed;
    return false;
}

ConnectResult DaemonClient::connect(op::Mode mode, std::string *error) {
    ConnectResult result = ConnectResult::kConnected;
    if (!connect_socket(error, &result)) return result;
    if (!read_greeting(mode, error)) {
        stream_.close();
        return ConnectResult::kFailed;
    }
    fcntl(stream_.fd(), F_SETFL, fcntl(stream_.fd(), F_GETFL) | O_NONBLOCK);
    stream_.watch(loop_, true, [this](uint32_t ev) { on_events(ev); });
    // Whatever came after READY in the same read is handled once the
    // operator listens.
    if (decoder_.buffered() > 0) loop_.add_timer(EventLoop::clock::now(), [this] { on_events(0); });
    return ConnectResult::kConnected;
}

ConnectResult DaemonClient::reconnect(op::Mode mode, std::string *error) {
    if (!lost_) return ConnectResult::kConnected;
    decoder_ = op::Decoder(op::Sender::kDaemon);
    lost_ = false;
    refused_ = false;
    const ConnectResult result = connect(mode, error);
    if (result != ConnectResult::kConnected) lost_ = true;
    return result;
}

// Blocking, before the loop runs: HELLO out, then WELCOME, the agents and READY in.
bool DaemonClient::read_greeting(op::Mode mode, std::string *error) {
    std::string hello;
    op::encode_hello(hello, op::Hello{op::kVersion, mode});
    // A daemon that refuses us says why and closes at once, often before
    // HELLO is out: then the send fails, but the reason waits to be read.
    std::string send_error;
    if (::send(stream_.fd(), hello.data(), hello.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(hello.size()))
        send_error = "cannot talk to the resident server at " + path_ + ": " + std::strerror(errno);
    // The stream ended without a word: a failed send is the better reason.
    auto ended = [&](std::string why) {
        *error = send_error.empty() ? std::move(why) : send_error;
        return false;
    };
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kGreetingTimeoutMs);
    bool welcomed = false;
    for (;;) {
        op::Message m;
        std::string why;
        const op::DecodeResult res = decoder_.next(m, &why);
        if (res == op::DecodeResult::kMalformed) {
            *error = "the resident server at " + path_ + " sent a bad message (" + why + ")";
            return false;
        }
        if (res == op::DecodeResult::kMessage) {
            if (m.type == op::Type::kRefused) {
                *error = m.payload.empty()
                             ? "the resident server refused the connection"
                             : op::refused_reason(welcomed ? op::kVersion : op::kUnknownVersion,
                                                  m.payload);
                return false;
            }
            if (m.type == op::Type::kWelcome) {
                op::Welcome w;
                if (!op::parse_welcome(m, w) || w.version != op::kVersion) {
                    *error = "the resident server at " + path_ + " speaks another protocol version";
                    return false;
                }
                trusted_ = TrustedOwners(std::move(w.trusted_owners));
                welcomed = true;
            } else if (m.type == op::Type::kReady && welcomed) {
                return true;
            } else if (m.type == op::Type::kAgentUp && welcomed) {
                agent_up(m);
            }
            continue;
        }
        pollfd p{stream_.fd(), POLLIN, 0};
        const int left = remaining_ms(deadline);
        const int ready = left > 0 ? poll(&p, 1, left) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0)
            return ended("the resident server at " + path_ + " did not answer within " +
                         std::to_string(kGreetingTimeoutMs / 1000) + " s");
        char buf[16384];
        const ssize_t n = read(stream_.fd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ended("the resident server at " + path_ + " closed the connection");
        decoder_.append(buf, static_cast<size_t>(n));
    }
}

} // namespace cliserver
