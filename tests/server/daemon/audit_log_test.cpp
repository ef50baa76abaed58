// The audit log as its readers see it: a file of JSON lines, parsed back
// with a JSON library of the test's own (tests/support/audit_records.h).
#include "daemon/audit_log.h"
#include "audit_records.h"
#include "temp_dir.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <vector>

using namespace cliserver;
using namespace std::chrono;

namespace {

using clitest::TempDir;

using clitest::audit_records;
using clitest::audit_text;

// A log of the test's own, opened in a temporary directory: check ok()
// first, then write through log.
struct OpenedLog {
    TempDir tmp;
    std::string path = tmp.file("audit.log");
    std::string error;
    std::optional<AuditLog> log = AuditLog::open({path, false}, &error);

    bool ok() const { return log.has_value(); }
};

AuditRecord sample() {
    AuditRecord r;
    r.time = system_clock::time_point(milliseconds(1796735413042)); // 2026-12-08T13:10:13.042Z
    r.client_uid = 1000;
    r.client_user = "alice";
    r.client_pid = 4242;
    r.agent.name = "db";
    r.agent.id = 7;
    r.agent.pid = 999;
    r.agent.uid = 33;
    r.command = "config -s key \"quoted\"\tvalue";
    r.outcome = CommandOutcome::kDone;
    r.duration_ms = 12;
    r.output_bytes = 345;
    r.request = 77;
    return r;
}

} // namespace

TEST(AuditLog, TimeIsRfc3339UtcWithMilliseconds) {
    EXPECT_EQ(rfc3339_utc_ms(system_clock::time_point(milliseconds(1796735413042))),
              "2026-12-08T13:10:13.042Z");
    EXPECT_EQ(rfc3339_utc_ms(system_clock::time_point(milliseconds(5))),
              "1970-01-01T00:00:00.005Z");
}

TEST(AuditLog, OneJsonObjectPerCommandWithEveryField) {
    OpenedLog f;
    ASSERT_TRUE(f.ok()) << f.error;
    auto &log = f.log;
    AuditRecord r = sample();
    r.result = 3;
    ASSERT_TRUE(log->record(r));
    r.result.reset();
    r.outcome = CommandOutcome::kAgentDisconnected;
    r.agent.pid.reset();
    r.agent.uid.reset();
    ASSERT_TRUE(log->record(r));
    r.outcome = CommandOutcome::kClientLeft;
    ASSERT_TRUE(log->record(r));
    r.outcome = CommandOutcome::kInterrupted;
    r.command = std::string("bad \xff\xfe utf8\n", 13);
    ASSERT_TRUE(log->record(r));

    const auto parsed = audit_records(f.path);
    ASSERT_EQ(parsed.size(), 4u) << audit_text(f.path);
    const nlohmann::json whole = {{"event", "end"},
                                  {"request", 77},
                                  {"time", "2026-12-08T13:10:13.042Z"},
                                  {"client_uid", 1000},
                                  {"client_user", "alice"},
                                  {"client_pid", 4242},
                                  {"agent", "db"},
                                  {"agent_id", 7},
                                  {"agent_pid", 999},
                                  {"agent_uid", 33},
                                  {"command", "config -s key \"quoted\"\tvalue"},
                                  {"outcome", "done"},
                                  {"result", 3},
                                  {"duration_ms", 12},
                                  {"output_bytes", 345},
                                  {"prompts_answered", 0}};
    EXPECT_EQ(parsed[0], whole);
    EXPECT_TRUE(parsed[1]["result"].is_null()) << "an agent that reports no result";
    EXPECT_EQ(parsed[1]["outcome"], "agent-disconnected");
    EXPECT_TRUE(parsed[1]["agent_pid"].is_null());
    EXPECT_TRUE(parsed[1]["agent_uid"].is_null());
    EXPECT_EQ(parsed[2]["outcome"], "client-left");
    EXPECT_EQ(parsed[3]["outcome"], "interrupted");
    EXPECT_TRUE(parsed[3]["command"].is_string());
}

TEST(AuditLog, CreatedPrivateAndAppendedAcrossOpensAndProcesses) {
    TempDir tmp;
    const std::string path = tmp.file("audit.log");
    std::string err;
    {
        auto log = AuditLog::open({path, false}, &err);
        ASSERT_TRUE(log) << err;
        ASSERT_TRUE(log->record(sample()));
    }
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Two writers at once (a restarted daemon next to a dying one): every
    // line stays whole.
    auto log = AuditLog::open({path, false}, &err);
    ASSERT_TRUE(log) << err;
    AuditRecord big = sample();
    big.command.assign(3000, 'c');
    const pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < 200; ++i)
            log->record(big);
        _exit(0);
    }
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(log->record(big));
    int status = 0;
    waitpid(child, &status, 0);
    const auto records = audit_records(path);
    ASSERT_EQ(records.size(), 401u);
    for (const auto &r : records)
        EXPECT_EQ(r["client_user"], "alice");
}

TEST(AuditLog, PromptRepliesNeverAppearOnlyThatOneWasAnswered) {
    OpenedLog f;
    ASSERT_TRUE(f.ok()) << f.error;
    auto &log = f.log;
    // A command that asked twice and was answered with a password; the
    // record can only say how many prompts there were.
    AuditRecord r = sample();
    r.command = "login admin";
    r.prompts_answered = 2;
    ASSERT_TRUE(log->record(r));
    EXPECT_EQ(audit_text(f.path).find("hunter2"), std::string::npos);
    EXPECT_EQ(audit_records(f.path).at(0)["prompts_answered"], 2);
}

TEST(AuditLog, AnUnwritablePathIsAClearError) {
    std::string err;
    EXPECT_FALSE(AuditLog::open({"/nonexistent-dir/audit.log", false}, &err));
    EXPECT_NE(err.find("/nonexistent-dir/audit.log"), std::string::npos) << err;
    AuditLog none;
    EXPECT_FALSE(none.enabled());
    EXPECT_TRUE(none.record(sample()));
}

// The record written before the command goes: who, where, what, and no
// outcome yet.
TEST(AuditLog, TheSentRecordHasNoOutcome) {
    OpenedLog f;
    ASSERT_TRUE(f.ok()) << f.error;
    auto &log = f.log;
    AuditRecord r = sample();
    r.event = AuditEvent::kSent;
    ASSERT_TRUE(log->record(r));
    const auto j = audit_records(f.path).at(0);
    EXPECT_EQ(j.size(), 11u) << j.dump();
    EXPECT_EQ(j["event"], "sent");
    EXPECT_EQ(j["request"], 77);
    EXPECT_EQ(j["command"], r.command);
    EXPECT_FALSE(j.contains("outcome"));
    EXPECT_FALSE(j.contains("duration_ms"));
}

// Forged lines, a redirected log and a hung start-up, each refused at open.
TEST(AuditLog, RefusesAFileOthersCouldWriteOrThatLeadsElsewhere) {
    TempDir tmp;
    std::string err;
    const std::string open_log = tmp.file("open.log");
    { std::ofstream(open_log) << ""; }
    ASSERT_EQ(chmod(open_log.c_str(), 0666), 0);
    EXPECT_FALSE(AuditLog::open({open_log, false}, &err));
    EXPECT_NE(err.find(open_log + ": it is writable by group or others (mode 0666)"),
              std::string::npos)
        << err;
    ASSERT_EQ(chmod(open_log.c_str(), 0620), 0);
    EXPECT_FALSE(AuditLog::open({open_log, false}, &err));
    ASSERT_EQ(chmod(open_log.c_str(), 0640), 0);
    EXPECT_TRUE(AuditLog::open({open_log, false}, &err)) << err;

    const std::string link = tmp.file("link.log");
    ASSERT_EQ(symlink(open_log.c_str(), link.c_str()), 0);
    EXPECT_FALSE(AuditLog::open({link, false}, &err));
    EXPECT_NE(err.find("symbolic link"), std::string::npos) << err;
    const std::string dangling = tmp.file("dangling.log");
    ASSERT_EQ(symlink(tmp.file("nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(AuditLog::open({dangling, false}, &err));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("nowhere")));

    const std::string second_name = tmp.file("hardlink.log");
    ASSERT_EQ(::link(open_log.c_str(), second_name.c_str()), 0);
    EXPECT_FALSE(AuditLog::open({second_name, false}, &err));
    EXPECT_NE(err.find("hard links"), std::string::npos) << err;

    // Nobody reads the FIFO: the open must fail at once, not wait.
    const std::string fifo = tmp.file("fifo.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto start = steady_clock::now();
    EXPECT_FALSE(AuditLog::open({fifo, false}, &err));
    EXPECT_LT(steady_clock::now() - start, seconds(2));
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;

    if (geteuid() != 0) return;
    const std::string theirs = tmp.file("theirs.log");
    { std::ofstream(theirs) << ""; }
    ASSERT_EQ(chmod(theirs.c_str(), 0600), 0);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(AuditLog::open({theirs, false}, &err));
    EXPECT_NE(err.find("belongs to uid 65534"), std::string::npos) << err;
}

namespace {

// Runs body in a child whose files may not grow beyond limit bytes (soft
// limit; the hard one stays, so the child may lift it again); the child's
// exit status is what body returns.
int with_file_size_limit(rlim_t limit, const std::function<int(rlimit)> &body) {
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = limit;
        if (setrlimit(RLIMIT_FSIZE, &small) != 0) _exit(100);
        _exit(body(old));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// A full log: the record that cannot be written is refused whole (nothing
// of it stays in the file); an end record is kept and written, in order,
// once the file takes writes again.
TEST(AuditLog, AFailedWriteIsReportedLeavesNoPartAndKeepsEndRecords) {
    TempDir tmp;
    const std::string path = tmp.file("audit.log");
    {
        std::ofstream out(path);
        out << std::string(1000, 'x') << "\n";
    }
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const int status = with_file_size_limit(1100, [&](rlimit old) {
        std::string err;
        auto log = AuditLog::open({path, false}, &err);
        if (!log) return 1;
        AuditRecord sent = sample();
        sent.event = AuditEvent::kSent;
        if (log->record(sent)) return 2; // partly fits: must fail
        if (!log->failing()) return 3;
        if (log->failure().find("File too large") == std::string::npos) return 4;
        AuditRecord end = sample();
        end.command = "kept";
        log->record_or_keep(end);
        if (setrlimit(RLIMIT_FSIZE, &old) != 0) return 5;
        if (!log->writable() || log->failing()) return 6;
        if (!log->record(sent)) return 7;
        return 0;
    });
    ASSERT_EQ(status, 0);
    const auto records = audit_records(path);
    ASSERT_EQ(records.size(), 3u) << audit_text(path);
    EXPECT_EQ(audit_text(path).substr(0, 1001), std::string(1000, 'x') + "\n");
    EXPECT_EQ(records[1]["command"], "kept");
    EXPECT_EQ(records[2]["event"], "sent");
}

// Rotation: after reopen() the records go to a new file at the same path.
TEST(AuditLog, ReopenFollowsARotatedLog) {
    OpenedLog f;
    ASSERT_TRUE(f.ok()) << f.error;
    auto &log = f.log;
    ASSERT_TRUE(log->record(sample()));
    const std::string &path = f.path;
    ASSERT_EQ(rename(path.c_str(), f.tmp.file("audit.log.1").c_str()), 0);
    log->reopen();
    EXPECT_FALSE(log->failing());
    ASSERT_TRUE(log->record(sample()));
    EXPECT_EQ(audit_records(path).size(), 1u);
    EXPECT_EQ(audit_records(f.tmp.file("audit.log.1")).size(), 1u);
    // A rotation that left a file the log may not use: refused until fixed.
    ASSERT_EQ(rename(path.c_str(), f.tmp.file("audit.log.2").c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    log->reopen();
    EXPECT_TRUE(log->failing());
    EXPECT_FALSE(log->writable());
    EXPECT_FALSE(log->record(sample()));
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(log->writable()) << "the file is created again when it is tried next";
    ASSERT_TRUE(log->record(sample()));
    EXPECT_EQ(audit_records(path).size(), 1u);
}
