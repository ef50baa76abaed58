#include "operator/operator_process.h"

#include "core/process.h"
#include "hub/agent_hub.h"
#include "operator/console.h"
#include "operator/daemon_client.h"
#include "operator/fanout_front.h"
#include "operator/script.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstring>

namespace cliserver {

namespace {

// How a console tries to reach a restarted resident server: once a second
// for half a minute.
constexpr auto kReconnectPause = std::chrono::seconds(1);
constexpr int kReconnectAttempts = 30;

} // namespace

bool runs_console(const OperatorOptions &opts) {
    return opts.commands.empty() && isatty(STDIN_FILENO);
}

std::unique_ptr<FrontEnd> make_front_end(const OperatorOptions &opts, EventLoop &loop,
                                         AgentService &agents) {
    if (runs_console(opts)) return std::make_unique<Console>(opts, loop, agents);
    if (fans_out(opts)) return std::make_unique<FanoutFront>(opts, loop, agents);
    return std::make_unique<Script>(opts, loop, agents);
}

OperatorProcess::OperatorProcess(OperatorOptions opts, EventLoop &loop, AgentService &agents)
    : loop_(loop), front_(make_front_end(opts, loop, agents)), signals_(loop) {}

OperatorProcess::~OperatorProcess() = default;

void OperatorProcess::abandon_session(ExitStatus status, const std::string &message) {
    front_->abort_session(status, message);
}

void OperatorProcess::tell(Notice kind, const std::string &text) {
    front_->tell(kind, text);
}

void OperatorProcess::on_signal(int signo) {
    if (signo == SIGINT)
        front_->on_interrupt_signal();
    else
        front_->on_terminate_signal(signo);
}

int OperatorProcess::run(const Hooks &hooks) {
    const std::string error = signals_.start([this](int signo) { on_signal(signo); });
    if (!error.empty()) {
        std::fprintf(stderr, "cli-server: %s\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    front_->start();
    int override_status = -1;
    while (!front_->stopped()) {
        front_->before_wait();
        if (front_->stopped()) break;
        if (!loop_.run_once()) {
            std::fprintf(stderr, "cli-server: epoll failed: %s\n", std::strerror(errno));
            override_status = exit_code(ExitStatus::kError);
            break;
        }
        front_->after_events();
        if (hooks.after_iteration) hooks.after_iteration();
    }
    front_->finish();
    if (hooks.say_goodbye) hooks.say_goodbye();
    front_->drain_and_close();
    if (hooks.close) hooks.close();
    signals_.stop();
    return override_status >= 0 ? override_status : front_->exit_status();
}

int run_standalone(const OperatorOptions &opts) {
    EventLoop loop;
    if (const std::string error = start_process(loop, {.many_descriptors = true}); !error.empty()) {
        std::fprintf(stderr, "cli-server: %s\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    AgentHub hub(loop, HubOptions{opts.port, {}, false});
    std::string error;
    if (!hub.listen(&error)) {
        std::fprintf(stderr, "cli-server: %s\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    OperatorProcess process(opts, loop, hub);
    return process.run({[&] { hub.reap(); }, [&] { hub.say_goodbye(); }, [&] { hub.close_all(); }});
}

ResidentConnection connect_resident_server(EventLoop &loop,
                                           const std::vector<std::string> &socket_paths,
                                           operator_protocol::Mode mode) {
    ResidentConnection c;
    c.status = exit_code(ExitStatus::kError);
    for (size_t i = 0; i < socket_paths.size(); ++i) {
        const std::string &path = socket_paths[i];
        auto link = std::make_unique<DaemonClient>(loop, path);
        std::string error;
        switch (link->connect(mode, &error)) {
        case ConnectResult::kNoDaemon:
            continue;
        case ConnectResult::kUntrusted:
            // A private default that cannot be trusted (anybody may create
            // /tmp/cli-server-UID first) gives way to the system's socket.
            if (i + 1 < socket_paths.size()) {
                std::fprintf(stderr, "cli-server: %s; trying %s\n", error.c_str(),
                             socket_paths[i + 1].c_str());
                continue;
            }
            std::fprintf(stderr, "cli-server: %s\n", error.c_str());
            return c;
        case ConnectResult::kFailed:
            std::fprintf(stderr, "cli-server: %s\n", error.c_str());
            return c;
        case ConnectResult::kConnected:
            c.link = std::move(link);
            c.path = path;
            return c;
        }
    }
    c.no_daemon = true;
    return c;
}

int run_client(const OperatorOptions &opts, const std::vector<std::string> &socket_paths,
               bool *no_daemon) {
    *no_daemon = false;
    EventLoop loop;
    if (const std::string error = start_process(loop, {}); !error.empty()) {
        std::fprintf(stderr, "cli-server: %s\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    const auto mode = runs_console(opts) ? operator_protocol::Mode::kInteractive
                                         : operator_protocol::Mode::kScripted;
    ResidentConnection c = connect_resident_server(loop, socket_paths, mode);
    if (!c.link) {
        *no_daemon = c.no_daemon;
        return c.no_daemon ? exit_code(ExitStatus::kCompleted) : c.status;
    }
    DaemonClient &link = *c.link;
    const std::string &path = c.path;
    OperatorProcess process(opts, loop, link);
    // A console outlives a restart of the resident server (an upgrade,
    // systemctl restart): it connects again, once a second for a while,
    // and attaches to its agent again when that agent is back.
    const bool reconnects = mode == operator_protocol::Mode::kInteractive;
    if (reconnects) link.report_every_agent_on_loss();
    std::function<void(int)> retry = [&](int attempt) {
        loop.add_timer(EventLoop::clock::now() + kReconnectPause, [&, attempt] {
            std::string error;
            if (link.reconnect(mode, &error) == ConnectResult::kConnected) {
                process.tell(Notice::kInfo, "reconnected to the resident server at " + path);
                return;
            }
            if (attempt < kReconnectAttempts) {
                retry(attempt + 1);
                return;
            }
            process.abandon_session(ExitStatus::kError, "the resident server at " + path +
                                                            " did not come back: " + error);
        });
    };
    link.on_lost([&](const std::string &why) {
        if (reconnects && !link.refused()) {
            process.tell(Notice::kWarning,
                         "lost the resident server at " + path + ": " + why + "; reconnecting");
            retry(1);
            return;
        }
        process.abandon_session(
            ExitStatus::kError,
            link.refused() ? why : "lost the resident server at " + path + ": " + why);
    });
    return process.run({nullptr, nullptr, [&] { link.flush(); }});
}

} // namespace cliserver
