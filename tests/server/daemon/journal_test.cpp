// The daemon's journal lines: the priority prefixes the service manager
// reads, one line per event whatever the text holds, and the rate limit on
// lines of one shape, on a clock of the test's own.
#include "daemon/journal.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

using namespace cliserver;
using namespace std::chrono;

namespace {

struct Recorder {
    std::vector<std::string> lines;
    Journal journal{[this](std::string_view l) { lines.emplace_back(l); }};
};

const Journal::Clock::time_point t0{};

} // namespace

TEST(Journal, PrioritiesAreTheSdDaemonPrefixes) {
    EXPECT_EQ(Journal::format(Priority::kError, "x"), "<3>cli-server: x\n");
    EXPECT_EQ(Journal::format(Priority::kWarning, "x"), "<4>cli-server: x\n");
    EXPECT_EQ(Journal::format(Priority::kInfo, "x"), "<6>cli-server: x\n");
}

// A name with a newline in it cannot start a forged line of its own.
TEST(Journal, ALineStaysOneLine) {
    EXPECT_EQ(Journal::format(Priority::kInfo, "agent a\n<3>cli-server: fake\r"),
              "<6>cli-server: agent a\\n<3>cli-server: fake\\r\n");
}

TEST(Journal, NumbersDoNotMakeALineDifferent) {
    EXPECT_EQ(Journal::shape_of("refused agent x (id 12): uid 65534"),
              Journal::shape_of("refused agent x (id 7): uid 1"));
    EXPECT_NE(Journal::shape_of("refused agent x"), Journal::shape_of("refused agent y"));
}

// One agent of a refused user retrying every second, and a flood: the
// first few lines, then one line with the count and the last text.
TEST(Journal, RepeatsAreSuppressedAndCounted) {
    Recorder r;
    for (int i = 0; i < 1000; ++i)
        r.journal.write(Priority::kWarning, "bad connection " + std::to_string(i),
                        t0 + milliseconds(i));
    r.journal.write(Priority::kInfo, "something else", t0 + seconds(1));
    ASSERT_EQ(r.lines.size(), Journal::kBurst + 1);
    EXPECT_EQ(r.lines[0], "<4>cli-server: bad connection 0\n");
    EXPECT_EQ(r.lines.back(), "<6>cli-server: something else\n");
    r.journal.flush(t0 + seconds(5));
    EXPECT_EQ(r.lines.size(), Journal::kBurst + 1) << "the window has not ended";
    r.journal.flush(t0 + Journal::kWindow + seconds(1));
    ASSERT_EQ(r.lines.size(), Journal::kBurst + 2);
    EXPECT_EQ(r.lines.back(), "<4>cli-server: 995 similar lines suppressed in 10 s; the last: "
                              "bad connection 999\n");
    // A new window starts afresh.
    r.journal.write(Priority::kWarning, "bad connection 1000", t0 + seconds(30));
    EXPECT_EQ(r.lines.back(), "<4>cli-server: bad connection 1000\n");
}

// The count also comes out when the next line of the shape opens a new
// window, before that line.
TEST(Journal, TheCountPrecedesTheNextWindowsFirstLine) {
    Recorder r;
    for (unsigned i = 0; i < Journal::kBurst + 2; ++i)
        r.journal.write(Priority::kWarning, "again", t0);
    r.journal.write(Priority::kWarning, "again", t0 + Journal::kWindow);
    ASSERT_EQ(r.lines.size(), Journal::kBurst + 2);
    EXPECT_EQ(r.lines[Journal::kBurst],
              "<4>cli-server: 2 similar lines suppressed in 10 s; the last: again\n");
    EXPECT_EQ(r.lines.back(), "<4>cli-server: again\n");
}

// Endless distinct shapes cannot grow the journal's memory: beyond the
// bound they share one allowance.
TEST(Journal, DistinctShapesAreBounded) {
    Recorder r;
    for (size_t i = 0; i < Journal::kMaxShapes * 3; ++i)
        r.journal.write(Priority::kInfo,
                        "shape " + std::string(i % 26 + 1, 'a') + std::string(i / 26, 'b'), t0);
    EXPECT_LE(r.lines.size(), Journal::kMaxShapes + Journal::kBurst);
    EXPECT_GE(r.lines.size(), Journal::kMaxShapes);
}

// Agents with names all different are still one user's: a flood of them
// uses up that user's allowance only. The lines about other users' agents
// and about operators' clients all get through, and once the window is over
// the flush (a timer's, with nothing else happening) says how many of the
// flood's lines were suppressed.
TEST(Journal, AFloodCostsOnlyItsOwnSourcesAllowance) {
    Recorder r;
    const auto nobody_agents = JournalSource::agents_of(65534);
    const auto root_clients = JournalSource::clients_of(0);
    std::vector<std::string> expected;
    for (int i = 0; i < 10000; ++i) {
        std::string name;
        for (int n = i; n > 0 || name.empty(); n /= 26)
            name += static_cast<char>('a' + n % 26);
        r.journal.write(Priority::kWarning, "refused agent " + name, t0 + milliseconds(i),
                        nobody_agents);
        if (i % 1000 == 0) {
            const std::string c = "client uid 0 (root) pid " + std::to_string(i) + " connected";
            r.journal.write(Priority::kInfo, c, t0 + milliseconds(i), root_clients);
            expected.push_back("<6>cli-server: " + c + "\n");
        }
        if (i % 2000 == 0) {
            const std::string a = "refused agent other" + std::to_string(i);
            r.journal.write(Priority::kWarning, a, t0 + milliseconds(i),
                            JournalSource::agents_of(1000));
            expected.push_back("<4>cli-server: " + a + "\n");
        }
        if (i % 3000 == 0) {
            const std::string u = "a connection that never said HELLO closed " + name;
            r.journal.write(Priority::kInfo, u, t0 + milliseconds(i), JournalSource::agents_of({}));
            expected.push_back("<6>cli-server: " + u + "\n");
        }
    }
    for (const std::string &e : expected)
        EXPECT_NE(std::find(r.lines.begin(), r.lines.end(), e), r.lines.end()) << e;
    size_t flood = 0;
    for (const std::string &l : r.lines)
        if (l.rfind("<4>cli-server: refused agent ", 0) == 0 &&
            l.find("other") == std::string::npos)
            ++flood;
    // Two windows of 10 s in the 10 s of the flood at most.
    EXPECT_LE(flood, 2 * Journal::kAgentBurst);
    const size_t before = r.lines.size();
    r.journal.flush(t0 + seconds(30));
    ASSERT_GT(r.lines.size(), before);
    bool summary = false;
    for (size_t i = before; i < r.lines.size(); ++i)
        if (r.lines[i].find(" lines about agents of uid 65534 (") != std::string::npos &&
            r.lines[i].find(" suppressed in 10 s; the last: refused agent ") != std::string::npos)
            summary = true;
    EXPECT_TRUE(summary) << r.lines.back();
}
