#include "daemon_clients.h"

#include "deadline_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace clitest {

using clock = Clock;

// ---------------------------------------------------------------- ResidentWithAlpha

std::unique_ptr<Process> start_connected_host(Daemon &d, const std::string &id,
                                              const std::string &name) {
    auto host = start_host(id, name);
    if (!d.journal_until(name + " (id " + id + ") connected")) return nullptr;
    return host;
}

namespace {

std::vector<std::string> with_audit_log(std::vector<std::string> extra,
                                        ResidentWithAlpha::Audit audit, const TempDir &dir) {
    if (audit == ResidentWithAlpha::Audit::on)
        extra.insert(extra.begin(), {"--audit-log", dir.file("audit.log")});
    return extra;
}

} // namespace

ResidentWithAlpha::ResidentWithAlpha(std::vector<std::string> extra, Audit audit,
                                     std::vector<std::string> launcher)
    : daemon(dir.path(), with_audit_log(std::move(extra), audit, dir), std::move(launcher)) {
    if (!daemon.ready()) return;
    alpha = start_connected_host(daemon, "1", "alpha");
    ok_ = alpha != nullptr;
}

std::string ResidentWithAlpha::why() const {
    if (!daemon.ready()) return daemon.error();
    return "alpha did not connect; the journal:\n" + daemon.journal();
}

// ---------------------------------------------------------------- the wire

namespace wire {

std::string be(uint64_t v, int bytes) {
    std::string out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xff));
    return out;
}

uint64_t read_be(const std::string &s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<unsigned char>(s.at(at + static_cast<size_t>(i)));
    return v;
}

std::string message(uint8_t type, const std::string &payload) {
    return std::string(1, static_cast<char>(type)) + be(payload.size(), 4) + payload;
}

std::string hello(uint16_t version, uint8_t mode) {
    return message(kHello, be(version, 2) + be(mode, 1));
}

std::string submit(uint64_t request, uint64_t agent, const std::string &line) {
    return message(kSubmit, be(request, 8) + be(agent, 8) + be(0, 1) + line);
}

} // namespace wire

// ---------------------------------------------------------------- RawClient

RawClient::~RawClient() {
    close();
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::connect(const std::string &path) {
    close();
    fd_ = connect_unix(path);
    return fd_ >= 0;
}

bool RawClient::send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

std::optional<Msg> RawClient::read(ms timeout) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
        if (buf_.size() >= 5) {
            const size_t len = wire::read_be(buf_, 1, 4);
            if (buf_.size() >= 5 + len) {
                Msg m{static_cast<uint8_t>(buf_[0]), buf_.substr(5, len)};
                buf_.erase(0, 5 + len);
                return m;
            }
        }
        pollfd p{fd_, POLLIN, 0};
        const int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return std::nullopt;
        char chunk[65536];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        buf_.append(chunk, static_cast<size_t>(n));
    }
}

std::optional<Msg> RawClient::read_type(uint8_t type, ms timeout, std::vector<Msg> *skipped) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
        auto m = read(ms(remaining_ms(deadline)));
        if (!m || m->type == type) return m;
        if (skipped) skipped->push_back(std::move(*m));
    }
}

std::optional<std::string> RawClient::run(uint64_t request, uint64_t agent, const std::string &line,
                                          ms timeout) {
    if (!send(wire::submit(request, agent, line))) return std::nullopt;
    std::vector<Msg> before;
    if (!read_type(wire::kDone, timeout, &before)) return std::nullopt;
    std::string text;
    for (const Msg &m : before)
        if (m.type == wire::kOutput) text += m.payload.substr(8);
    return text;
}

bool RawClient::wait_closed(ms timeout) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        char chunk[65536];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
    }
}

bool RawClient::greet(uint16_t version) {
    if (!send(wire::hello(version))) return false;
    auto welcome = read();
    // WELCOME starts with the version; from version 2 the trusted owners follow.
    if (!welcome || welcome->type != wire::kWelcome || welcome->payload.size() < 2 ||
        wire::read_be(welcome->payload, 0, 2) != version)
        return false;
    for (;;) {
        auto m = read();
        if (!m) return false;
        if (m->type == wire::kReady) return true;
        if (m->type == wire::kAgentUp && m->payload.size() >= 36)
            agents_[m->payload.substr(36)] = wire::read_be(m->payload, 0, 8);
    }
}

uint64_t RawClient::serial_of(const std::string &name) const {
    auto it = agents_.find(name);
    return it == agents_.end() ? 0 : it->second;
}

std::optional<std::vector<RawRow>> RawClient::list(ms timeout) {
    if (!send(wire::message(wire::kList, ""))) return std::nullopt;
    const auto deadline = clock::now() + timeout;
    std::vector<RawRow> rows;
    for (;;) {
        auto m = read(ms(remaining_ms(deadline)));
        if (!m) return std::nullopt;
        if (m->type == wire::kRowsEnd) return rows;
        if (m->type == wire::kAgentUp && m->payload.size() >= 36)
            agents_[m->payload.substr(36)] = wire::read_be(m->payload, 0, 8);
        // serial, id, connected, pid, uid, queued, flags, runner uid, runner pid, name
        if (m->type != wire::kRow || m->payload.size() < 57) continue;
        const std::string &p = m->payload;
        RawRow r;
        r.serial = wire::read_be(p, 0, 8);
        r.id = static_cast<uint32_t>(wire::read_be(p, 8, 4));
        r.pid = static_cast<int64_t>(wire::read_be(p, 20, 8));
        r.uid = static_cast<int64_t>(wire::read_be(p, 28, 8));
        r.queued = static_cast<uint32_t>(wire::read_be(p, 36, 4));
        r.busy = (p[40] & 1) != 0;
        r.runner_uid = static_cast<int64_t>(wire::read_be(p, 41, 8));
        r.runner_pid = static_cast<int64_t>(wire::read_be(p, 49, 8));
        r.name = p.substr(57);
        rows.push_back(std::move(r));
    }
}

bool RawClient::wait_row(const std::string &name, const std::function<bool(const RawRow &)> &pred,
                         ms timeout) {
    const auto deadline = clock::now() + timeout;
    while (clock::now() < deadline) {
        auto rows = list(ms(remaining_ms(deadline)));
        if (!rows) return false;
        for (const RawRow &r : *rows)
            if (r.name == name && pred(r)) return true;
        // The state changes in another process: look again shortly.
        poll(nullptr, 0, 5);
    }
    return false;
}

bool abandon_once_sent(const Daemon &d, const std::string &agent, const std::string &line) {
    constexpr uint64_t kRequest = 5;
    RawClient raw;
    return raw.connect(d.socket()) && raw.greet() &&
           raw.send(wire::submit(kRequest, raw.serial_of(agent), line)) &&
           raw.read_type(wire::kSent) &&
           raw.send(wire::message(wire::kAbandon, wire::be(kRequest, 8))) && raw.list();
}

Mode mode_of(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return {};
    return Mode{st.st_mode & 07777, st.st_uid, st.st_gid, S_ISSOCK(st.st_mode)};
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

} // namespace clitest
