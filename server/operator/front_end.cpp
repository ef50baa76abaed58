// What every front end does alike: the output queue and its failure, the
// watched descriptors, the end of the session; and the scripts' input.
#include "operator/front_end.h"

#include "hub/agent_selection.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cliserver {

FrontEnd::FrontEnd(EventLoop &loop, AgentService &hub)
    : loop_(loop), agents_(hub), out_(STDOUT_FILENO),
      unsolicited_(loop, [this](Notice k, const std::string &t) { notice(k, t); }) {}

FrontEnd::~FrontEnd() = default;

void FrontEnd::start() {
    loop_.watch(STDIN_FILENO, 0, [this](uint32_t) {
        if (!stop_) on_stdin();
    });
    loop_.watch(STDOUT_FILENO, 0, [this](uint32_t) { out_.write_available(); });
    begin();
}

void FrontEnd::before_wait() {
    check_output();
    if (stop_) return;
    advance();
    update_interest();
}

void FrontEnd::after_events() {
    if (!out_.empty()) out_.write_available();
    check_output();
    update_interest();
}

void FrontEnd::drain_and_close() {
    unsolicited_.flush();
    out_.drain();
    check_output();
}

// Interest in standard input and output follows what the operator waits
// for; agents feeding a congested terminal are paused through the hub.
void FrontEnd::update_interest() {
    loop_.set_interest(STDIN_FILENO, wants_stdin() ? uint32_t{EPOLLIN} : 0u);
    loop_.set_interest(STDOUT_FILENO, out_.empty() ? 0u : uint32_t{EPOLLOUT});
    if (out_.take_congestion_edge()) report_congestion();
}

// Output that cannot be written is an error of the whole session (a full
// disk, a reader that went away): said once, on standard error, and the
// exit status is not 0 whatever else went right.
void FrontEnd::check_output() {
    if (!out_.broken() || output_failed_) return;
    output_failed_ = true;
    const std::string line = std::string("cli-server: cannot write standard output: ") +
                             std::strerror(out_.error()) + "\n";
    ssize_t w = write(STDERR_FILENO, line.data(), line.size());
    (void)w;
    if (exit_status_ == exit_code(ExitStatus::kCompleted))
        exit_status_ = exit_code(ExitStatus::kOutputFailed);
    stop_ = true;
    output_failed();
}

void FrontEnd::notice(Notice kind, const std::string &text) {
    if (kind == Notice::kInfo) return; // scripts get command output only
    std::string line = "cli-server: " + text + "\n";
    out_.drain(); // keep messages in order with the output before them
    ssize_t w = write(STDERR_FILENO, line.data(), line.size());
    (void)w;
}

// What a front end would not show anyway does not use up the allowance.
// Errors always show: the resident server's word on the operator's own
// command (the audit log refuses it) or on the session (it shuts down)
// comes the same way.
void FrontEnd::unsolicited_notice(Notice kind, const std::string &text) {
    if (kind == Notice::kError)
        notice(kind, text);
    else if (shows(kind))
        unsolicited_.notice(kind, text);
}

void FrontEnd::fail(ExitStatus status, const std::string &message) {
    notice(Notice::kError, message);
    if (!stop_) exit_status_ = exit_code(status);
    stop_ = true;
}

void FrontEnd::stop_with(int status) {
    stop_ = true;
    exit_status_ = status;
}

void FrontEnd::emit(std::string_view bytes) {
    out_.append(bytes);
    out_.write_available();
    if (out_.take_congestion_edge()) report_congestion();
}

void FrontEnd::agent_lost_notice(const AgentView &a, const std::string &why, Notice kind) {
    const std::string who =
        a.greeted ? describe_owned(a, getuid()) : "a connection that never said HELLO";
    if (a.greeted || kind != Notice::kInfo) notice(kind, who + " " + why);
}

// ---------------------------------------------------------------- StdinLines

bool StdinLines::read() {
    char buf[4096];
    ssize_t r = ::read(STDIN_FILENO, buf, sizeof buf);
    if (r < 0) return errno == EINTR || errno == EAGAIN;
    if (r == 0) return false;
    buf_.append(buf, static_cast<size_t>(r));
    return true;
}

std::optional<std::string> StdinLines::take() {
    size_t nl = buf_.find('\n');
    if (nl == std::string::npos) {
        if (!eof_ || buf_.empty()) return std::nullopt;
        nl = buf_.size(); // last line without a newline
    }
    std::string line = buf_.substr(0, nl);
    buf_.erase(0, std::min(nl + 1, buf_.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

} // namespace cliserver
