// The operator's console: a terminal on standard input, with the line
// editor and its prompt, completion of command and agent names, colours and
// Ctrl-C. Where each line goes (an agent, or a set of them) and what Ctrl-C
// stops waiting for are the server's commands' (server_commands.h).
//
// Threading: single-threaded, on the event loop's thread; the console owns
// its line editor.
#pragma once

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
    void notice(Notice kind, const std::string &text) override;
    bool shows(Notice) const override { return true; }

    // ServerCommands
    void refuse(const std::string &message) override { notice(Notice::kError, message); }
    void show_prompt(const std::string &text) override;
    void command_broken(const AgentView &a) override;
    void await_target(const std::string &wanted) override;
    void yield_terminal() override;
    void command_finished(bool hidden, const Request &r) override;

    void on_line(std::optional<std::string> line);
    void interrupt();
    void refresh_editor();
    std::string prompt_text();
    std::vector<std::string> complete(std::string_view before);

    std::unique_ptr<LineEditor> editor_;
    std::string prompt_mark_; // "[NAME] " before an agent's prompt lines
};

} // namespace cliserver
