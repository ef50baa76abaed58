// Agent text made safe to show (on a terminal, behind a label, in JSON),
// the exit statuses the manual gives their numbers, and users' names.
#include "core/exit_status.h"
#include "core/text.h"
#include "core/users.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

using namespace cliserver;

// Names that cannot be told apart by eye share one key; invisible, format
// and bidirectional characters are shown as escapes.
TEST(AgentText, LookAlikeNamesShareAKeyAndInvisibleCharactersAreEscaped) {
    const std::string demo = "demo";
    for (const std::string look : {"demo\u200b", "de\u200dmo", "\u202edemo", "Demo", "demo  ",
                                   "d\u0435mo" /* Cyrillic e */, "demo\ufeff", "DEMO\u00a0"})
        EXPECT_EQ(lookalike_key(look), "demo") << printable(look);
    EXPECT_NE(lookalike_key("demo2"), "demo");
    EXPECT_EQ(printable("de\u200bmo"), "de\\u200bmo");
    EXPECT_EQ(printable("\u202eomed"), "\\u202eomed");
    EXPECT_EQ(printable("x\u2066y\u2069"), "x\\u2066y\\u2069");
    EXPECT_EQ(printable("\xf3\xa0\x80\x81tag"), "\\U000e0001tag");
    EXPECT_EQ(printable("caf\u00e9 \u65e5\u672c"),
              "caf\u00e9 \u65e5\u672c");                   // visible letters pass
    EXPECT_EQ(printable_text("a\u200bb\n"), "a\u200bb\n"); // an agent's output as written
    EXPECT_EQ(printable_lines("Pass\u202eword:\nx"), "Pass\\u202eword:\nx");
    // JSON escapes them as JSON does, astral ones as a surrogate pair.
    EXPECT_EQ(json_visible("{\"name\":\"de\u200bmo\u00e9\x7f\xc2\x85\xf3\xa0\x80\x81\"}"),
              "{\"name\":\"de\\u200bmo\u00e9\\u007f\\u0085\\udb40\\udc01\"}");
}

// Agent text on a terminal or behind a label: controls become \xNN, C1
// included in either form, printable UTF-8 passes, and a character split
// between two pieces of a stream is not mistaken for garbage.
TEST(ServerText, ControlCharactersAreMadeVisible) {
    struct Case {
        std::string in, name, text;
    } cases[] = {
        {"plain", "plain", "plain"},
        {"a\tb\n", "a\\x09b\\x0a", "a\tb\n"},
        {"\x1b]0;t\x07", "\\x1b]0;t\\x07", "\\x1b]0;t\\x07"},
        {"\rdb: FAKE", "\\x0ddb: FAKE", "\\x0ddb: FAKE"},
        {"x\x7fy", "x\\x7fy", "x\\x7fy"},
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b2J", "\\xc2\\x9b2J"}, // C1 as UTF-8
        {"\x9b"
         "2J",
         "\\x9b2J", "\\x9b2J"}, // a lone C1 byte
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"\xc0\x80", "\\xc0\\x80", "\\xc0\\x80"},               // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80", "\\xed\\xa0\\x80"}, // a surrogate
        {"\xe2\x82", "\\xe2\\x82", "\\xe2\\x82"},               // cut short at the end
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cliserver::printable(c.in), c.name) << c.in;
        EXPECT_EQ(cliserver::printable_text(c.in), c.text) << c.in;
    }
    cliserver::PrintableStream stream;
    std::string shown = stream.feed("a\xe2\x82");
    shown += stream.feed("\xac\xc2");
    shown += stream.feed("\x9b"
                         "b\xe2");
    shown += stream.flush();
    EXPECT_EQ(shown, "a\xe2\x82\xac\\xc2\\x9bb\\xe2");
}

// The numbers the manual gives each exit status.
TEST(FanoutOptions, ExitStatusesKeepTheirNumbers) {
    EXPECT_EQ(exit_code(ExitStatus::kCompleted), 0);
    EXPECT_EQ(exit_code(ExitStatus::kError), 1);
    EXPECT_EQ(exit_code(ExitStatus::kAgentAbsent), 2);
    EXPECT_EQ(exit_code(ExitStatus::kCommandBroken), 3);
    EXPECT_EQ(exit_code(ExitStatus::kPartlyCompleted), 4);
    EXPECT_EQ(exit_code(ExitStatus::kOutputFailed), 5);
    EXPECT_EQ(exit_code(ExitStatus::kInterrupted), 130);
    EXPECT_EQ(signal_exit_code(15), 143);
}

// Names kept for many lines stay right when they are read again after
// their age and when the bound on users empties the cache.
TEST(UserNames, KeptReadAgainAndBoundedNamesStayRight) {
    using namespace std::chrono_literals;
    UserNames names(5s);
    const auto t0 = UserNames::Clock::now();
    EXPECT_EQ(names.of(0, t0), "root");
    EXPECT_EQ(names.of(0, t0 + 6s), "root"); // past its age: read again
    EXPECT_EQ(names.of(std::optional<uid_t>()), "?");
    constexpr uid_t kNoUser = 3999999000u; // numbers no user database here holds
    for (uid_t u = 0; u <= UserNames::kMaxUsers; ++u)
        ASSERT_EQ(names.of(kNoUser + u, t0), std::to_string(kNoUser + u));
    EXPECT_EQ(names.of(0, t0), "root");
}
