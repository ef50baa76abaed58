// Small text helpers shared by the parts of the server.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cliserver {

// Agent-supplied text shown on a terminal or in a label: every control
// character (C0, DEL, and C1 whether a lone byte or UTF-8 encoded, U+0080
// to U+009F) and every byte that is not UTF-8 is shown as \xNN, so a name
// or a line cannot move the cursor, set the title, clear the screen or
// start a line that looks like another agent's. Invisible, format and
// bidirectional characters (zero-width spaces and joiners, U+200B to
// U+200F, the embeddings, overrides and isolates U+202A to U+202E and U+2066
// to U+2069, U+FEFF, every other format character, spaces other than
// U+0020) are shown as \uXXXX (\UXXXXXXXX past U+FFFF), so a name cannot
// hide a difference, reorder the line or draw a column of its own. Other
// printable UTF-8 passes.
std::string printable(std::string_view s);
// Whether code point cp is one printable() shows as \uXXXX.
bool is_invisible(uint32_t cp);
// A JSON text made safe to show as it is: DEL, the C1 controls and the
// characters printable() escapes become \uXXXX escapes (a surrogate pair
// past U+FFFF), which every parser reads as the same characters. json must
// be valid UTF-8 with its C0 controls escaped already (a serializer's dump).
std::string json_visible(std::string_view json);
// A name as it looks: invisible characters and controls removed, trailing
// white space cut, letters case-folded and the Cyrillic and Greek letters
// that look like Latin ones made Latin; two names with one key cannot be
// told apart by eye.
std::string lookalike_key(std::string_view name);
// Whether s is UTF-8 throughout: no overlong form, surrogate, code point past
// U+10FFFF or character cut short.
bool is_valid_utf8(std::string_view s);
// The same for lines of text: newlines and tabs keep their meaning (an
// agent's output: invisible characters pass, as the agent wrote them).
std::string printable_text(std::string_view s);
// Lines of text the console shows as its own (a prompt): as printable(),
// but newlines and tabs keep their meaning.
std::string printable_lines(std::string_view s);

// printable_text() for a stream that arrives in pieces: a UTF-8 character
// split between two pieces is held back until the rest of it arrives (or
// flush()).
class PrintableStream {
  public:
    std::string feed(std::string_view bytes);
    std::string flush();

  private:
    std::string held_; // at most the first three bytes of one character
};
// Words of a command line, quoted as agents split them.
std::vector<std::string> split_words(const std::string &line);
// Command names from an agent's help listing.
std::vector<std::string> parse_help_listing(const std::string &listing);
std::string format_time(std::chrono::system_clock::time_point t);

} // namespace cliserver
