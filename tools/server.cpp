#include "server.h"
#include "server_text.h"

#include "cli_common.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace cliserver {

namespace {

using steady = std::chrono::steady_clock;

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxSendQueue = 1u << 20; // an agent that stops reading is dropped
constexpr size_t kMaxListing = 256 * 1024;

void set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::string history_file() {
    const char *home = std::getenv("HOME");
    if (!home || !*home) return {};
    return std::string(home) + "/.cli_server_history";
}

} // namespace

Server::Server(Options opts) : opts_(std::move(opts)), out_(STDOUT_FILENO) {
    interactive_ = opts_.commands.empty() && isatty(STDIN_FILENO);
    const char *no_color = std::getenv("NO_COLOR");
    color_ = isatty(STDOUT_FILENO) && no_color == nullptr; // set at all, even empty: no colour
    for (auto &c : opts_.commands)
        script_.push_back(c);
    target_ = opts_.agent;
}

Server::~Server() = default;

// ---------------------------------------------------------------- set-up

void Server::raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur >= lim.rlim_max) return;
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
}

bool Server::open_listener() {
    int fd = cli_open_server(opts_.port);
    if (fd < 0) {
        int err = errno;
        std::string why = err == EADDRINUSE ? "the port is already in use (is another cli-server "
                                              "running?)"
                                            : std::strerror(err);
        std::fprintf(stderr, "cli-server: cannot listen on 127.0.0.1:%u: %s\n", opts_.port,
                     why.c_str());
        return false;
    }
    listener_.reset(fd);
    set_nonblocking(fd);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return true;
}

bool Server::open_signalfd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    signal_fd_.reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    return signal_fd_.valid();
}

bool Server::set_up() {
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();
    if (!open_listener()) return false;
    if (!open_signalfd()) {
        std::fprintf(stderr, "cli-server: cannot set up signal handling: %s\n",
                     std::strerror(errno));
        return false;
    }
    if (interactive_) {
        editor_ = std::make_unique<LineEditor>(
            [this](std::optional<std::string> line) { on_line(std::move(line)); },
            [this](std::string_view before) { return complete(before); }, history_file());
        std::string hello = "cli-server " CLI_SERVER_VERSION " listening on 127.0.0.1:" +
                            std::to_string(opts_.port) + "; type help for the commands";
        if (!target_.empty()) hello += "; waiting for " + printable(target_) + " to connect";
        notice(Notice::kInfo, hello);
    } else if (!target_.empty()) {
        wait_deadline_ = steady::now() + std::chrono::seconds(opts_.wait_seconds);
    }
    return true;
}

int Server::run() {
    if (!set_up()) return 1;
    while (!stop_)
        loop_once();
    shut_down();
    return exit_status_;
}

void Server::shut_down() {
    if (editor_) editor_->hide();
    for (auto &[serial, a] : agents_) {
        if (a->closed || !a->greeted) continue;
        send_to(*a, CLI_FRAME_BYE, 0);
    }
    out_.drain();
    editor_.reset(); // writes the history
    agents_.clear();
}

// ---------------------------------------------------------------- event loop

bool Server::wants_stdin() const {
    if (stdin_eof_) return false;
    if (interactive_) return editor_ && editor_->visible();
    const bool line_buffered = stdin_buf_.find('\n') != std::string::npos;
    if (line_buffered) return false;
    if (current_) return current_->sent && current_->prompt_pending;
    return script_.empty() && opts_.commands.empty() && !wait_deadline_;
}

bool Server::agent_readable(const Agent &a) const {
    if (!current_ || current_->agent != a.serial || current_->hidden) return true;
    return !out_.over_high_water(); // backpressure: let the socket fill up instead
}

int Server::poll_timeout_ms() const {
    auto now = steady::now();
    std::optional<steady::time_point> next;
    if (wait_deadline_) next = *wait_deadline_;
    if (accept_paused_until_ > now && (!next || accept_paused_until_ < *next))
        next = accept_paused_until_;
    if (!out_.empty()) return 50; // stdout may drain without telling us (regular files)
    if (!next) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count();
    return left > 0 ? static_cast<int>(left) + 1 : 0;
}

void Server::loop_once() {
    if (interactive_)
        refresh_editor();
    else
        advance_script();
    if (stop_) return;

    std::vector<pollfd> fds;
    std::vector<uint64_t> owners; // agent serial per entry; 0 for our own descriptors
    auto add = [&](int fd, short events, uint64_t owner) {
        fds.push_back({fd, events, 0});
        owners.push_back(owner);
    };
    const size_t kListener = 0, kSignals = 1, kStdin = 2, kStdout = 3;
    add(accept_paused_until_ <= steady::now() ? listener_.get() : -1, POLLIN, 0);
    add(signal_fd_.get(), POLLIN, 0);
    add(wants_stdin() ? STDIN_FILENO : -1, POLLIN, 0);
    add(out_.empty() ? -1 : STDOUT_FILENO, POLLOUT, 0);
    for (auto &[serial, a] : agents_) {
        short ev = 0;
        if (agent_readable(*a)) ev |= POLLIN;
        if (a->sendq_pos < a->sendq.size()) ev |= POLLOUT;
        add(a->fd.get(), ev, serial);
    }

    int n = poll(fds.data(), fds.size(), poll_timeout_ms());
    if (n < 0 && errno != EINTR) {
        fail(1, std::string("poll failed: ") + std::strerror(errno));
        return;
    }
    if (n > 0) {
        if (fds[kSignals].revents) on_signal();
        if (fds[kStdout].revents) out_.write_available();
        if (fds[kListener].revents) accept_agents();
        for (size_t i = kStdout + 1; i < fds.size() && !stop_; ++i) {
            if (!fds[i].revents) continue;
            Agent *a = find_agent(owners[i]);
            if (!a || a->closed) continue;
            if (fds[i].revents & POLLOUT) flush_agent(*a);
            if (!a->closed && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) read_agent(*a);
        }
        if (!stop_ && fds[kStdin].revents) {
            if (interactive_) {
                if (editor_->visible()) editor_->on_readable();
            } else if (!read_stdin()) {
                stdin_eof_ = true;
            }
        }
    }
    if (!out_.empty()) out_.write_available();
    check_deadlines();
    reap_agents();
}

void Server::on_signal() {
    signalfd_siginfo si{};
    while (read(signal_fd_.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGINT) {
            if (interactive_) {
                interrupt();
            } else {
                fail(130, "interrupted");
            }
        } else if (!stop_) {
            if (interactive_) notice(Notice::kInfo, "terminated by signal; saying goodbye");
            stop_ = true;
            exit_status_ = interactive_ ? 0 : 128 + static_cast<int>(si.ssi_signo);
        }
    }
}

void Server::check_deadlines() {
    if (!wait_deadline_ || steady::now() < *wait_deadline_) return;
    wait_deadline_.reset();
    fail(2, "agent " + printable(target_) + " did not connect within " +
                std::to_string(opts_.wait_seconds) + " s");
}

// An operator's line that cannot be carried out: a message at the terminal,
// the end of a script.
void Server::refuse(const std::string &message) {
    if (interactive_)
        notice(Notice::kError, message);
    else
        fail(1, message);
}

void Server::fail(int status, const std::string &message) {
    notice(Notice::kError, message);
    if (!stop_) exit_status_ = status;
    stop_ = true;
}

// ---------------------------------------------------------------- agents

void Server::accept_agents() {
    for (;;) {
        int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: pending connections wait in the backlog.
                if (accept_paused_until_ <= steady::now())
                    notice(Notice::kWarning,
                           "cannot accept more agents: " + std::string(std::strerror(errno)));
                accept_paused_until_ = steady::now() + std::chrono::seconds(1);
            }
            return;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto a = std::make_unique<Agent>();
        a->serial = next_serial_++;
        a->fd.reset(fd);
        a->connected_at = std::chrono::system_clock::now();
        agents_.emplace(a->serial, std::move(a));
    }
}

void Server::read_agent(Agent &a) {
    static char chunk[kReadChunk];
    ssize_t r = read(a.fd.get(), chunk, sizeof chunk);
    if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        drop_agent(a, std::string("connection error: ") + std::strerror(errno));
        return;
    }
    if (r == 0) {
        drop_agent(a,
                   a.decoder.partial() ? "disconnected in the middle of a frame" : "disconnected");
        return;
    }
    a.decoder.append(chunk, static_cast<size_t>(r));
    Frame f;
    std::string error;
    while (!a.closed) {
        DecodeResult res = a.decoder.next(f, &error);
        if (res == DecodeResult::kNeedMore) break;
        if (res == DecodeResult::kMalformed) {
            drop_agent(a, "sent a malformed frame (" + error + "); connection closed",
                       Notice::kWarning);
            break;
        }
        handle_frame(a, f);
    }
}

void Server::flush_agent(Agent &a) {
    while (a.sendq_pos < a.sendq.size()) {
        ssize_t w = send(a.fd.get(), a.sendq.data() + a.sendq_pos, a.sendq.size() - a.sendq_pos,
                         MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            drop_agent(a, std::string("connection error: ") + std::strerror(errno));
            return;
        }
        a.sendq_pos += static_cast<size_t>(w);
    }
    a.sendq.clear();
    a.sendq_pos = 0;
}

void Server::send_to(Agent &a, uint16_t type, uint32_t req_id, std::string_view payload) {
    if (a.closed) return;
    if (a.sendq.size() - a.sendq_pos > kMaxSendQueue) {
        drop_agent(a, "does not read what it is sent; connection closed", Notice::kWarning);
        return;
    }
    a.sendq += encode_frame(type, req_id, 0, payload);
    flush_agent(a);
}

void Server::handle_frame(Agent &a, Frame &f) {
    if (!a.greeted) {
        if (f.type != CLI_FRAME_HELLO) {
            drop_agent(a,
                       "opened with frame type " + std::to_string(f.type) +
                           " instead of HELLO; connection closed",
                       Notice::kWarning);
            return;
        }
        greet(a, f);
        return;
    }
    switch (f.type) {
    case CLI_FRAME_OUTPUT:
        on_output(a, f);
        break;
    case CLI_FRAME_PROMPT:
        on_prompt(a, f);
        break;
    case CLI_FRAME_DONE:
        on_done(a, f);
        break;
    case CLI_FRAME_BYE:
        drop_agent(a, "said goodbye");
        break;
    default:
        break; // a repeated HELLO or a type we never expect: nothing to do
    }
}

void Server::greet(Agent &a, const Frame &f) {
    a.greeted = true;
    a.id = f.agent_id;
    a.name = f.payload.substr(0, 63);
    send_to(a, CLI_FRAME_ACK, 0);
    if (a.closed) return;
    notice(Notice::kInfo, describe(a) + " connected");
    if (!attached_ && !target_.empty()) try_attach_target();
}

void Server::on_output(Agent &a, const Frame &f) {
    if (!current_ || current_->agent != a.serial || current_->req_id != f.req_id || !current_->sent)
        return; // late output of an interrupted command, or nobody asked
    if (current_->hidden || current_->learn) {
        if (current_->listing.size() < kMaxListing) current_->listing += f.payload;
    }
    if (!current_->hidden) emit(f.payload);
}

void Server::on_prompt(Agent &a, const Frame &f) {
    const bool ours = current_ && current_->agent == a.serial && current_->req_id == f.req_id &&
                      current_->sent && !current_->hidden;
    if (!ours) {
        // Nobody will answer: an empty reply lets the interrupted handler
        // finish instead of holding the agent forever.
        if (a.running_req == f.req_id) send_to(a, CLI_FRAME_INPUT, f.req_id);
        return;
    }
    current_->prompt_pending = true;
    if (interactive_) {
        out_.drain();
        std::string text = printable(f.payload);
        size_t nl = f.payload.rfind('\n');
        std::string last_line = nl == std::string::npos ? text : text.substr(nl + 1);
        if (nl != std::string::npos) {
            std::string head = f.payload.substr(0, nl + 1);
            out_.append(head);
            out_.drain();
        }
        editor_->show(last_line.empty() ? "> " : last_line);
    } else {
        std::string text = f.payload;
        if (text.empty() || text.back() != '\n') text += '\n';
        emit(text);
    }
}

void Server::on_done(Agent &a, const Frame &f) {
    if (a.running_req != f.req_id) return;
    a.running_req = 0;
    if (!current_ || current_->agent != a.serial) return;
    if (current_->sent && current_->req_id == f.req_id) {
        finish_request();
    } else if (!current_->sent) {
        dispatch(a); // the interrupted command is over; ours can go now
    }
}

void Server::drop_agent(Agent &a, const std::string &why, Notice kind) {
    if (a.closed) return;
    a.closed = true;
    const std::string who = a.greeted ? describe(a) : "a connection that never said HELLO";
    if (a.greeted) {
        notice(kind, who + " " + why);
    } else if (kind != Notice::kInfo) {
        notice(kind, who + " " + why);
    }
    if (current_ && current_->agent == a.serial) {
        const bool was_running = current_->sent;
        const bool hidden = current_->hidden;
        if (editor_ && current_->holds_prompt) editor_->hide();
        current_.reset();
        if (was_running && !hidden) {
            if (!out_.at_line_start()) emit("\n");
            if (interactive_)
                notice(Notice::kWarning, "the command did not finish");
            else
                fail(3, describe(a) + " disconnected in the middle of a command");
        }
    }
    if (attached_ == a.serial) {
        attached_ = 0;
        if (interactive_ && !target_.empty())
            notice(Notice::kInfo, "will attach again when " + printable(target_) + " reconnects");
    }
}

void Server::reap_agents() {
    for (auto it = agents_.begin(); it != agents_.end();) {
        if (it->second->closed)
            it = agents_.erase(it);
        else
            ++it;
    }
}

Agent *Server::find_agent(uint64_t serial) {
    auto it = agents_.find(serial);
    return it == agents_.end() ? nullptr : it->second.get();
}

Agent *Server::attached_agent() {
    if (!attached_) return nullptr;
    Agent *a = find_agent(attached_);
    return a && !a->closed ? a : nullptr;
}

// Agents whose name is wanted; failing that, whose id is wanted.
std::vector<Agent *> Server::match_agents(const std::string &wanted) {
    std::vector<Agent *> by_name, by_id;
    uint32_t id = 0;
    const bool numeric = cli_parse_u32(wanted.c_str(), &id) == 0;
    for (auto &[serial, a] : agents_) {
        if (a->closed || !a->greeted) continue;
        if (a->name == wanted)
            by_name.push_back(a.get());
        else if (numeric && a->id == id)
            by_id.push_back(a.get());
    }
    return by_name.empty() ? by_id : by_name;
}

void Server::attach_to(Agent &a, bool by_operator) {
    attached_ = a.serial;
    notice(Notice::kInfo, "attached to " + describe(a));
    // Learn the agent's command names for completion while it is idle. An
    // attach the operator typed waits for them, so Tab works right after it;
    // one that happens on its own leaves the prompt alone.
    if (interactive_ && !current_ && a.running_req == 0 && a.commands.empty())
        submit(a, "help", true, true, by_operator);
}

void Server::try_attach_target() {
    auto found = match_agents(target_);
    if (found.size() != 1) return;
    attach_to(*found[0], false);
    if (wait_deadline_) wait_deadline_.reset();
    if (waiting_line_) {
        std::string line = std::move(*waiting_line_);
        waiting_line_.reset();
        run_line(line);
    }
}

} // namespace cliserver
