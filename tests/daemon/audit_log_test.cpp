// The audit log as its readers see it: a file of JSON lines, parsed back
// with the same JSON library, checked field by field.
#include "audit_log.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

using namespace cliserver;
using namespace std::chrono;

namespace {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/cli-audit-test-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const char *name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::vector<std::string> lines_of(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string contents(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

AuditRecord sample() {
    AuditRecord r;
    r.time = system_clock::time_point(milliseconds(1796735413042)); // 2026-12-08T13:10:13.042Z
    r.client_uid = 1000;
    r.client_user = "alice";
    r.client_pid = 4242;
    r.agent_name = "db";
    r.agent_id = 7;
    r.agent_pid = 999;
    r.agent_uid = 33;
    r.command = "config -s key \"quoted\"\tvalue";
    r.outcome = AuditOutcome::kDone;
    r.duration_ms = 12;
    r.output_bytes = 345;
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
    TempDir tmp;
    const std::string path = tmp.file("audit.log");
    std::string err;
    auto log = AuditLog::open({path, false}, &err);
    ASSERT_TRUE(log) << err;
    AuditRecord r = sample();
    ASSERT_TRUE(log->record(r));
    r.outcome = AuditOutcome::kAgentDisconnected;
    r.agent_pid.reset();
    r.agent_uid.reset();
    ASSERT_TRUE(log->record(r));
    r.outcome = AuditOutcome::kClientLeft;
    ASSERT_TRUE(log->record(r));
    r.outcome = AuditOutcome::kInterrupted;
    r.command = std::string("bad \xff\xfe utf8\n", 13);
    ASSERT_TRUE(log->record(r));

    const auto lines = lines_of(path);
    ASSERT_EQ(lines.size(), 4u);
    std::vector<nlohmann::json> parsed;
    for (const auto &line : lines)
        parsed.push_back(nlohmann::json::parse(line)); // throws, failing the test, if invalid
    const auto &j = parsed[0];
    EXPECT_EQ(j.size(), 13u);
    EXPECT_EQ(j["time"], "2026-12-08T13:10:13.042Z");
    EXPECT_EQ(j["client_uid"], 1000);
    EXPECT_EQ(j["client_user"], "alice");
    EXPECT_EQ(j["client_pid"], 4242);
    EXPECT_EQ(j["agent"], "db");
    EXPECT_EQ(j["agent_id"], 7);
    EXPECT_EQ(j["agent_pid"], 999);
    EXPECT_EQ(j["agent_uid"], 33);
    EXPECT_EQ(j["command"], "config -s key \"quoted\"\tvalue");
    EXPECT_EQ(j["outcome"], "done");
    EXPECT_EQ(j["duration_ms"], 12);
    EXPECT_EQ(j["output_bytes"], 345);
    EXPECT_EQ(j["prompts_answered"], 0);
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
    const auto lines = lines_of(path);
    ASSERT_EQ(lines.size(), 401u);
    for (const auto &line : lines)
        EXPECT_EQ(nlohmann::json::parse(line)["client_user"], "alice");
}

TEST(AuditLog, PromptRepliesNeverAppearOnlyThatOneWasAnswered) {
    TempDir tmp;
    const std::string path = tmp.file("audit.log");
    std::string err;
    auto log = AuditLog::open({path, false}, &err);
    ASSERT_TRUE(log) << err;
    // A command that asked twice and was answered with a password; the
    // record can only say how many prompts there were.
    AuditRecord r = sample();
    r.command = "login admin";
    r.prompts_answered = 2;
    ASSERT_TRUE(log->record(r));
    const std::string text = contents(path);
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(lines_of(path).at(0))["prompts_answered"], 2);
}

TEST(AuditLog, AnUnwritablePathIsAClearError) {
    std::string err;
    EXPECT_FALSE(AuditLog::open({"/nonexistent-dir/audit.log", false}, &err));
    EXPECT_NE(err.find("/nonexistent-dir/audit.log"), std::string::npos) << err;
    const AuditLog none;
    EXPECT_FALSE(none.enabled());
    EXPECT_TRUE(none.record(sample()));
}
