#include "server.h"

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

constexpr size_t kMaxCommandLine = 4095; // what an agent executes of a line
constexpr size_t kMaxReply = CLI_FRAME_MAX_DATA;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxSendQueue = 1u << 20; // an agent that stops reading is dropped
constexpr size_t kMaxListing = 256 * 1024;
const char *const kServerCommands[] = {"help", "ls", "attach", "quit", "exit"};

// Agent-supplied text shown on the terminal: control bytes become '?', so
// a name or prompt cannot move the cursor or change colours.
std::string printable(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

std::vector<std::string> split_words(const std::string &line) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    cli_args args{};
    cli_split_args(buf.data(), &args);
    std::vector<std::string> words;
    for (int i = 0; i < args.argc; ++i)
        words.emplace_back(args.argv[i]);
    return words;
}

// Command names from an agent's help listing: every line that starts with a
// space names one command in its first word.
std::vector<std::string> parse_help_listing(const std::string &listing) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < listing.size()) {
        size_t end = listing.find('\n', pos);
        if (end == std::string::npos) end = listing.size();
        std::string_view line(listing.data() + pos, end - pos);
        if (!line.empty() && line[0] == ' ') {
            size_t b = line.find_first_not_of(' ');
            size_t e = line.find(' ', b);
            if (b != std::string_view::npos) {
                std::string name(line.substr(b, e == std::string_view::npos ? e : e - b));
                if (name != "help") names.push_back(std::move(name));
            }
        }
        pos = end + 1;
    }
    return names;
}

std::string format_time(std::chrono::system_clock::time_point t) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string describe(const Agent &a) {
    return printable(a.name.empty() ? "(unnamed)" : a.name) + " (id " + std::to_string(a.id) + ")";
}

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
    color_ = isatty(STDOUT_FILENO) && !(no_color && *no_color);
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

// Agents whose name is spec; failing that, whose id is spec.
std::vector<Agent *> Server::match_agents(const std::string &spec) {
    std::vector<Agent *> by_name, by_id;
    uint32_t id = 0;
    const bool numeric = cli_parse_u32(spec.c_str(), &id) == 0;
    for (auto &[serial, a] : agents_) {
        if (a->closed || !a->greeted) continue;
        if (a->name == spec)
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

// ---------------------------------------------------------------- operator

void Server::on_line(std::optional<std::string> line) {
    if (!line) {
        if (current_ && current_->prompt_pending) {
            answer_prompt("");
            return;
        }
        if (interactive_) emit("\n");
        cmd_quit();
        return;
    }
    if (current_ && current_->prompt_pending) {
        answer_prompt(*line);
        return;
    }
    if (editor_) editor_->remember(*line);
    run_line(*line);
}

void Server::answer_prompt(const std::string &reply) {
    if (reply.size() > kMaxReply) {
        refuse("reply of " + std::to_string(reply.size()) +
               " bytes is too long (at most 65536); not sent");
        if (editor_) editor_->show("> ");
        return;
    }
    Agent *a = find_agent(current_->agent);
    current_->prompt_pending = false;
    if (a) send_to(*a, CLI_FRAME_INPUT, current_->req_id, reply);
}

void Server::run_line(const std::string &line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    if (run_server_command(line)) return;
    send_to_attached(line, false);
}

// Server commands are exactly the names an agent can never register.
bool Server::run_server_command(const std::string &line) {
    auto words = split_words(line);
    if (words.empty()) return false;
    const std::string &cmd = words[0];
    if (cmd == "help")
        cmd_help();
    else if (cmd == "ls")
        cmd_ls();
    else if (cmd == "attach")
        cmd_attach(words);
    else if (cmd == "quit" || cmd == "exit")
        cmd_quit();
    else
        return false;
    return true;
}

void Server::cmd_help() {
    std::string text =
        paint("1", "Server commands:") +
        "\n"
        "  help              this list; while attached, the agent's help follows\n"
        "  ls                connected agents\n"
        "  attach NAME|ID    send command lines to that agent; bare attach detaches\n"
        "  quit, exit        say goodbye to every agent and leave\n"
        "Any other line goes to the attached agent.\n";
    emit(text);
    if (Agent *a = attached_agent()) {
        emit(paint("1", "Commands of " + describe(*a) + ":") + "\n");
        send_to_attached("help", true);
    }
}

void Server::cmd_ls() {
    size_t shown = 0;
    std::string text;
    char line[256];
    for (auto &[serial, a] : agents_) {
        if (a->closed || !a->greeted) continue;
        if (shown++ == 0) {
            std::snprintf(line, sizeof line, "  %-10s %-24s %-19s  %s", "ID", "NAME", "CONNECTED",
                          "STATE");
            text += paint("1", line) + "\n";
        }
        const char *state = a->running_req ? "busy" : "idle";
        std::snprintf(line, sizeof line, "%c %-10u %-24s %-19s  %s%s",
                      serial == attached_ ? '*' : ' ', a->id, printable(a->name).c_str(),
                      format_time(a->connected_at).c_str(), state,
                      serial == attached_ ? " (attached)" : "");
        text += line;
        text += '\n';
    }
    if (shown == 0) text = "no agents connected\n";
    emit(text);
}

void Server::cmd_attach(const std::vector<std::string> &args) {
    if (args.size() == 1) {
        if (Agent *a = attached_agent()) notice(Notice::kInfo, "detached from " + describe(*a));
        attached_ = 0;
        target_.clear();
        return;
    }
    if (args.size() > 2) {
        refuse("usage: attach NAME|ID");
        return;
    }
    const std::string &spec = args[1];
    auto found = match_agents(spec);
    if (found.size() > 1) {
        std::string ids;
        for (Agent *a : found)
            ids += (ids.empty() ? "" : ", ") + std::to_string(a->id);
        refuse("several agents match '" + printable(spec) + "' (ids " + ids + "); attach by id");
        return;
    }
    target_ = spec;
    if (found.size() == 1) {
        attach_to(*found[0], true);
        return;
    }
    attached_ = 0;
    if (interactive_) {
        notice(Notice::kWarning, "no agent '" + printable(spec) +
                                     "' is connected (ls lists them); attaching when it connects");
    } else {
        wait_deadline_ = steady::now() + std::chrono::seconds(opts_.wait_seconds);
    }
}

void Server::cmd_quit() {
    stop_ = true;
}

void Server::send_to_attached(const std::string &line, bool learn) {
    if (line.size() > kMaxCommandLine) {
        refuse("line of " + std::to_string(line.size()) +
               " bytes is too long: agents take at most 4095; not sent");
        return;
    }
    Agent *a = attached_agent();
    if (a) {
        submit(*a, line, false, learn);
        return;
    }
    if (!interactive_ && !target_.empty()) {
        // The agent may be between connections: give it --wait seconds.
        waiting_line_ = line;
        if (!wait_deadline_)
            wait_deadline_ = steady::now() + std::chrono::seconds(opts_.wait_seconds);
        return;
    }
    if (!target_.empty())
        refuse(printable(target_) + " is not connected; the line was not sent");
    else
        refuse("no agent attached: attach NAME|ID first (ls lists the agents)");
}

void Server::submit(Agent &a, const std::string &line, bool hidden, bool learn, bool holds_prompt) {
    current_ = Request{};
    current_->agent = a.serial;
    current_->line = line;
    current_->hidden = hidden;
    current_->learn = learn;
    current_->holds_prompt = holds_prompt;
    if (editor_ && holds_prompt) editor_->hide();
    if (a.running_req != 0) {
        if (!a.running_hidden)
            notice(Notice::kInfo, describe(a) +
                                      " is still finishing an interrupted command; yours runs next "
                                      "(Ctrl-C cancels)");
        return;
    }
    dispatch(a);
}

void Server::dispatch(Agent &a) {
    if (++next_req_id_ == 0) next_req_id_ = 1;
    current_->req_id = next_req_id_;
    current_->sent = true;
    a.running_req = current_->req_id;
    a.running_hidden = current_->hidden;
    send_to(a, CLI_FRAME_COMMAND, current_->req_id, current_->line);
}

void Server::finish_request() {
    Request done = std::move(*current_);
    current_.reset();
    if (done.learn) {
        if (Agent *a = find_agent(done.agent)) a->commands = parse_help_listing(done.listing);
    }
    if (interactive_ && !done.hidden && !out_.at_line_start()) emit("\n");
}

void Server::interrupt() {
    if (!current_ || !current_->holds_prompt) {
        if (editor_) editor_->abandon_line();
        return;
    }
    Request r = std::move(*current_);
    current_.reset();
    if (editor_) editor_->hide();
    Agent *a = find_agent(r.agent);
    if (r.sent && r.prompt_pending && a) send_to(*a, CLI_FRAME_INPUT, r.req_id);
    out_.discard();
    if (r.hidden) return;
    std::string who = a ? describe(*a) : std::string("the agent");
    emit("\n"); // the terminal has echoed ^C already
    if (r.sent)
        notice(Notice::kInfo, "stopped waiting; " + who +
                                  " finishes the command on its own and its output is discarded");
    else
        notice(Notice::kInfo, "cancelled; the command was not sent");
}

// ---------------------------------------------------------------- scripting mode

bool Server::read_stdin() {
    char buf[4096];
    ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
    if (r < 0) return errno == EINTR || errno == EAGAIN;
    if (r == 0) return false;
    stdin_buf_.append(buf, static_cast<size_t>(r));
    return true;
}

std::optional<std::string> Server::take_stdin_line() {
    size_t nl = stdin_buf_.find('\n');
    if (nl == std::string::npos) {
        if (!stdin_eof_ || stdin_buf_.empty()) return std::nullopt;
        nl = stdin_buf_.size(); // last line without a newline
    }
    std::string line = stdin_buf_.substr(0, nl);
    stdin_buf_.erase(0, std::min(nl + 1, stdin_buf_.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Feeds the next line to whatever waits for one: a prompt or the next command.
void Server::advance_script() {
    while (!stop_) {
        if (wait_deadline_ && !waiting_line_ && attached_agent()) wait_deadline_.reset();
        if (wait_deadline_) return;
        if (current_) {
            if (!current_->prompt_pending) return;
            auto reply = take_stdin_line();
            if (!reply) {
                if (!stdin_eof_) return;
                notice(Notice::kWarning, "no reply left on standard input; answering the "
                                         "prompt with an empty line");
                reply = std::string();
            }
            answer_prompt(*reply);
            continue;
        }
        std::optional<std::string> line;
        if (!opts_.commands.empty()) {
            if (script_.empty()) {
                stop_ = true;
                return;
            }
            line = std::move(script_.front());
            script_.pop_front();
        } else {
            line = take_stdin_line();
            if (!line) {
                if (stdin_eof_) stop_ = true;
                return;
            }
            size_t first = line->find_first_not_of(" \t");
            if (first != std::string::npos && (*line)[first] == '#') continue; // comment
        }
        run_line(*line);
    }
}

// ---------------------------------------------------------------- terminal

std::string Server::paint(const char *sgr, const std::string &text) const {
    if (!color_) return text;
    return std::string("\033[") + sgr + "m" + text + "\033[0m";
}

std::string Server::prompt_text() const {
    auto wrap = [this](const char *sgr, const std::string &text) {
        if (!color_) return text;
        return std::string("\001\033[") + sgr + "m\002" + text + "\001\033[0m\002";
    };
    auto it = agents_.find(attached_);
    if (attached_ && it != agents_.end() && !it->second->closed)
        return wrap("1;36", printable(it->second->name)) + "> ";
    if (!target_.empty()) return wrap("2", "(" + printable(target_) + ")") + "> ";
    return wrap("1", "cli") + "> ";
}

void Server::refresh_editor() {
    if (!editor_ || stop_) return;
    if (current_ && current_->holds_prompt) return; // the command or its prompt owns the terminal
    if (editor_->visible()) {
        if (!current_ || !current_->prompt_pending) editor_->set_prompt(prompt_text());
        return;
    }
    out_.drain();
    if (!out_.at_line_start()) {
        out_.append("\n");
        out_.drain();
    }
    editor_->show(prompt_text());
}

std::vector<std::string> Server::complete(std::string_view before) const {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < before.size()) {
        size_t b = before.find_first_not_of(" \t", pos);
        if (b == std::string_view::npos) break;
        size_t e = before.find_first_of(" \t", b);
        if (e == std::string_view::npos) e = before.size();
        words.emplace_back(before.substr(b, e - b));
        pos = e;
    }
    std::vector<std::string> out;
    if (words.empty()) {
        out.assign(std::begin(kServerCommands), std::end(kServerCommands));
        auto it = agents_.find(attached_);
        if (attached_ && it != agents_.end())
            out.insert(out.end(), it->second->commands.begin(), it->second->commands.end());
    } else if (words.size() == 1 && words[0] == "attach") {
        for (auto &[serial, a] : agents_)
            if (a->greeted && !a->closed && !a->name.empty()) out.push_back(a->name);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void Server::emit(std::string_view bytes) {
    out_.append(bytes);
    out_.write_available();
}

void Server::notice(Notice kind, const std::string &text) {
    if (!interactive_) {
        if (kind == Notice::kInfo) return; // scripts get command output only
        std::string line = "cli-server: " + text + "\n";
        out_.drain(); // keep messages in order with the output before them
        ssize_t w = write(STDERR_FILENO, line.data(), line.size());
        (void)w;
        return;
    }
    const char *sgr = kind == Notice::kError ? "31" : kind == Notice::kWarning ? "33" : "2";
    std::string line = paint(sgr, (kind == Notice::kError ? "error: " : "* ") + text) + "\n";
    if (editor_ && editor_->visible()) {
        out_.drain();
        editor_->print_above(line);
    } else {
        if (!out_.at_line_start()) line.insert(0, "\n");
        emit(line);
    }
}

} // namespace cliserver
