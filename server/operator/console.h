// The operator's console: a terminal on standard input, with the line
// editor and its prompt, completion of command and agent names, colours,
// Ctrl-C that stops waiting, and `attach PATTERN` (each line on a set of
// agents, through a FanoutRun of its own).
//
// Threading: single-threaded, on the event loop's thread; the console owns
// its line editor and its set's FanoutRun.
#pragma once

#include "operator/fanout.h"
#include "operator/line_editor.h"
#include "operator/operator_options.h"
#include "operator/server_commands.h"

#include <memory>
#include <string>
#include <vector>

namespace cliserver {

class Console final : public ServerCommands {
  public:
    Console(const OperatorOptions &opts, EventLoop &loop, AgentService &hub);
    ~Console() override;

    void on_interrupt_signal() override;
    void on_terminate_signal(int signo) override;
    void finish() override;
    void drain_and_close() override;

  private:
    // FrontEnd
    void begin() override;
    void advance() override;
    void on_stdin() override;
    bool wants_stdin() const override { return editor_ && editor_->visible(); }
    void report_congestion() override;
    void notice(Notice kind, const std::string &text) override;
    bool shows(Notice) const override { return true; }

    // ServerCommands
    void refuse(const std::string &message) override { notice(Notice::kError, message); }
    void show_prompt(const std::string &text) override;
    void command_broken(const AgentView &a) override;
    void await_target(const std::string &wanted) override;
    void yield_terminal() override;
    void attached(AgentView &a, bool by_operator) override;
    void attached_agent_lost() override;
    void command_finished(bool hidden, std::optional<int32_t> result) override;
    void reply_refused() override;
    void attach_set(const std::string &wanted) override;
    void leave_set(bool say) override;
    bool send_to_set(const std::string &line) override;

    void on_line(std::optional<std::string> line);
    void interrupt();
    bool set_running() const { return set_run_.running(); }
    void refresh_editor();
    std::string prompt_text();
    std::vector<std::string> complete(std::string_view before);

    std::unique_ptr<LineEditor> editor_;
    // Attached to every agent matching set_pattern_ (when not empty); each
    // line runs on those connected at the time.
    FanoutRun set_run_;
    std::string set_pattern_;
    std::optional<AgentSelector> set_sel_; // set_pattern_, parsed
    std::string prompt_mark_;              // "[NAME] " before an agent's prompt lines
    Selection select_set();
    const char *selector_option() const override { return "attach"; }
};

} // namespace cliserver
