// Line editing, history and Tab completion on the terminal through libedit's
// readline-compatible callback interface, so that one poll loop can serve
// standard input and the agent sockets together. libedit keeps global
// state: there is at most one LineEditor.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cliserver {

class LineEditor {
  public:
    // Called with the line the user entered, or nullopt at end of input.
    using LineHandler = std::function<void(std::optional<std::string>)>;
    // Given the text left of the word being completed, lists candidates.
    using Completer = std::function<std::vector<std::string>(std::string_view before)>;

    LineEditor(LineHandler on_line, Completer complete, std::string history_path);
    ~LineEditor();
    LineEditor(const LineEditor &) = delete;
    LineEditor &operator=(const LineEditor &) = delete;

    // Shows prompt and starts editing a line. The prompt may hold colour
    // sequences wrapped in \001 ... \002.
    void show(const std::string &prompt);
    // Stops editing and gives the terminal back its normal mode.
    void hide();
    // Changes the prompt of the line being edited, keeping what was typed.
    void set_prompt(const std::string &prompt);
    const std::string &prompt() const { return prompt_; }
    bool visible() const { return visible_; }

    // Standard input is readable: feed libedit one character.
    void on_readable();
    // Drops the line being edited and starts over (Ctrl-C at the prompt).
    void abandon_line();
    // Writes text above the line being edited, then redraws it.
    void print_above(std::string_view text);
    void remember(const std::string &line);

  private:
    static void line_callback(char *line);
    static char **attempt_completion(const char *text, int start, int end);
    static char *next_match(const char *text, int state);

    LineHandler on_line_;
    Completer complete_;
    std::string history_path_;
    std::string prompt_;
    bool visible_ = false;
    bool have_line_ = false;
    std::optional<std::string> line_;
    std::vector<std::string> matches_;
    size_t next_match_ = 0; // the next of matches_ libedit asks for
};

} // namespace cliserver
