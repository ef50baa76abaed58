#include "operator/line_editor.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cliserver {

namespace {
LineEditor *g_editor = nullptr;
constexpr int kHistoryLines = 1000;

void write_all(int fd, std::string_view s) {
    while (!s.empty()) {
        ssize_t w = ::write(fd, s.data(), s.size());
        if (w <= 0) return;
        s.remove_prefix(static_cast<size_t>(w));
    }
}
} // namespace

LineEditor::LineEditor(LineHandler on_line, Completer complete, std::string history_path)
    : on_line_(std::move(on_line)), complete_(std::move(complete)),
      history_path_(std::move(history_path)) {
    g_editor = this;
    rl_readline_name = "cli-server";
    rl_catch_signals = 0;
    rl_attempted_completion_function = attempt_completion;
    using_history();
    stifle_history(kHistoryLines);
    if (!history_path_.empty()) read_history(history_path_.c_str());
}

LineEditor::~LineEditor() {
    hide();
    if (!history_path_.empty()) write_history(history_path_.c_str());
    g_editor = nullptr;
}

void LineEditor::show(const std::string &prompt) {
    if (visible_) hide();
    prompt_ = prompt;
    std::fflush(stdout);
    rl_callback_handler_install(prompt_.c_str(), line_callback);
    visible_ = true;
}

void LineEditor::set_prompt(const std::string &prompt) {
    if (!visible_ || prompt == prompt_) return;
    prompt_ = prompt;
    rl_set_prompt(prompt_.c_str());
    std::fflush(stdout);
    write_all(STDOUT_FILENO, "\r\033[K");
    rl_forced_update_display();
    std::fflush(stdout);
}

void LineEditor::hide() {
    if (!visible_) return;
    rl_callback_handler_remove();
    std::fflush(stdout);
    visible_ = false;
}

// libedit does not restart its line state reliably when the handler stays
// installed across lines, so the callback takes the handler down and the
// line is delivered after rl_callback_read_char has returned.
void LineEditor::line_callback(char *line) {
    LineEditor *self = g_editor;
    if (!self) {
        std::free(line);
        return;
    }
    self->hide();
    self->have_line_ = true;
    self->line_ = line ? std::optional<std::string>(line) : std::nullopt;
    std::free(line);
}

void LineEditor::on_readable() {
    if (!visible_) return;
    rl_callback_read_char();
    std::fflush(stdout);
    if (have_line_) {
        have_line_ = false;
        auto line = std::move(line_);
        line_.reset();
        on_line_(std::move(line));
    }
}

void LineEditor::abandon_line() {
    if (!visible_) return;
    rl_replace_line("", 0);
    std::fflush(stdout);
    write_all(STDOUT_FILENO, "\r\n"); // the terminal has echoed ^C already
    rl_forced_update_display();
    std::fflush(stdout);
}

void LineEditor::print_above(std::string_view text) {
    std::fflush(stdout);
    if (!visible_) {
        write_all(STDOUT_FILENO, text);
        return;
    }
    write_all(STDOUT_FILENO, "\r\033[K");
    write_all(STDOUT_FILENO, text);
    rl_forced_update_display();
    std::fflush(stdout);
}

void LineEditor::remember(const std::string &line) {
    if (line.empty()) return;
    const HIST_ENTRY *last =
        history_length > 0 ? history_get(history_base + history_length - 1) : nullptr;
    if (last && last->line && line == last->line) return;
    add_history(line.c_str());
}

char **LineEditor::attempt_completion(const char *text, int start, int) {
    rl_attempted_completion_over = 1; // never fall back to file names
    LineEditor *self = g_editor;
    if (!self || !self->complete_) return nullptr;
    std::string_view before(rl_line_buffer, static_cast<size_t>(start));
    self->matches_.clear();
    const size_t n = std::strlen(text);
    for (auto &c : self->complete_(before))
        if (c.compare(0, n, text) == 0) self->matches_.push_back(c);
    if (self->matches_.empty()) return nullptr;
    return rl_completion_matches(text, next_match);
}

char *LineEditor::next_match(const char *, int state) {
    if (!g_editor) return nullptr;
    size_t &index = g_editor->next_match_;
    if (state == 0) index = 0;
    if (index >= g_editor->matches_.size()) return nullptr;
    return strdup(g_editor->matches_[index++].c_str());
}

} // namespace cliserver
