#include "operator/metrics_client.h"

#include "core/exit_status.h"
#include "core/process.h"
#include "core/text.h"
#include "operator/daemon_client.h"
#include "operator/operator_process.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>

namespace cliserver {

namespace op = operator_protocol;

namespace {

// The text is a few kilobytes for a server with many users; this bounds a
// daemon that would send without end.
constexpr size_t kMaxMetricsText = 4u << 20;
constexpr auto kAnswerTimeout = std::chrono::seconds(10);

std::string join(const std::vector<std::string> &words, const char *between) {
    std::string out;
    for (const std::string &w : words)
        out += (out.empty() ? "" : between) + w;
    return out;
}

int no_resident_server(const std::string &why) {
    std::fprintf(stderr, "cli-server: --metrics: %s\n", why.c_str());
    return exit_code(ExitStatus::kError);
}

} // namespace

void DaemonClient::request_metrics(std::function<void(std::string)> done) {
    if (lost_) return;
    metrics_waiter_ = std::move(done);
    metrics_text_.clear();
    send([](std::string &out) { op::encode_metrics_request(out); });
}

void DaemonClient::metrics_text(const op::Message &m) {
    if (metrics_text_.size() + m.payload.size() > kMaxMetricsText) {
        lose("it sent more than " + std::to_string(kMaxMetricsText) + " bytes of metrics");
        return;
    }
    metrics_text_ += m.payload;
}

void DaemonClient::metrics_end() {
    auto done = std::move(metrics_waiter_);
    metrics_waiter_ = nullptr;
    std::string text;
    text.swap(metrics_text_);
    if (done) done(std::move(text));
}

int print_metrics(const std::vector<std::string> &socket_paths, bool standalone) {
    if (standalone) return no_resident_server("there is no resident server with --standalone");
    EventLoop loop;
    if (const std::string error = start_process(loop, {}); !error.empty()) {
        std::fprintf(stderr, "cli-server: %s\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    ResidentConnection c = connect_resident_server(loop, socket_paths, op::Mode::kScripted);
    if (!c.link) {
        if (c.no_daemon)
            return no_resident_server("there is no resident server (no socket at " +
                                      join(socket_paths, " or ") + ")");
        return c.status;
    }
    std::optional<std::string> text;
    std::string lost;
    c.link->on_lost([&](const std::string &why) { lost = why; });
    c.link->request_metrics([&](std::string t) { text = std::move(t); });
    loop.add_timer(EventLoop::clock::now() + kAnswerTimeout,
                   [&] { lost = "it did not answer within 10 s"; });
    while (!text && lost.empty())
        if (!loop.run_once()) lost = "epoll failed";
    if (!text) {
        std::fprintf(stderr, "cli-server: --metrics: lost the resident server at %s: %s\n",
                     c.path.c_str(), lost.c_str());
        return exit_code(ExitStatus::kError);
    }
    // The daemon is trusted, but a terminal still gets only visible text.
    const std::string out = isatty(STDOUT_FILENO) ? printable_text(*text) : *text;
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        return exit_code(ExitStatus::kOutputFailed);
    return exit_code(ExitStatus::kCompleted);
}

} // namespace cliserver
