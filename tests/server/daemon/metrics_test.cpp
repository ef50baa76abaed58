// The metrics text for a given state, byte for byte (label escaping, the
// histogram's cumulative buckets), and the atomic write of --metrics-file.
#include "daemon/metrics.h"
#include "daemon/metrics_file.h"
#include "temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace cliserver;

namespace {

using clitest::TempDir;

std::string contents(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t files_in(const std::string &dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

} // namespace

TEST(Metrics, LabelValuesEscapeBackslashQuoteAndNewline) {
    EXPECT_EQ(escape_label_value("plain"), "plain");
    EXPECT_EQ(escape_label_value("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    EXPECT_EQ(escape_label_value("tab\there"), "tab\there");
}

// A bound is inclusive (le): 1 ms is in the first bucket, 1.001 ms in the
// second; beyond 60 s only +Inf holds it.
TEST(Metrics, HistogramBucketsAreCumulativeWithInclusiveBounds) {
    DurationHistogram h;
    for (uint64_t us : {0u, 1000u, 1001u, 750'000u, 61'000'000u})
        h.observe(us);
    MetricsSnapshot s;
    s.durations = h;
    const std::string text = render_metrics(s);
    const std::string want = "cli_server_command_duration_seconds_bucket{le=\"0.001\"} 2\n"
                             "cli_server_command_duration_seconds_bucket{le=\"0.005\"} 3\n"
                             "cli_server_command_duration_seconds_bucket{le=\"0.01\"} 3\n"
                             "cli_server_command_duration_seconds_bucket{le=\"0.05\"} 3\n"
                             "cli_server_command_duration_seconds_bucket{le=\"0.1\"} 3\n"
                             "cli_server_command_duration_seconds_bucket{le=\"0.5\"} 3\n"
                             "cli_server_command_duration_seconds_bucket{le=\"1\"} 4\n"
                             "cli_server_command_duration_seconds_bucket{le=\"5\"} 4\n"
                             "cli_server_command_duration_seconds_bucket{le=\"10\"} 4\n"
                             "cli_server_command_duration_seconds_bucket{le=\"60\"} 4\n"
                             "cli_server_command_duration_seconds_bucket{le=\"+Inf\"} 5\n"
                             "cli_server_command_duration_seconds_sum 61.752001\n"
                             "cli_server_command_duration_seconds_count 5\n";
    EXPECT_NE(text.find(want), std::string::npos) << text;
}

TEST(Metrics, TheTextOfAStateByteForByte) {
    MetricsSnapshot s;
    s.version = "1.2.3";
    s.start_time_seconds = 1796735413;
    s.agents_by_user = {{"root", 2}, {"we\"ird\\na\nme", 1}};
    s.clients_by_user = {{"alice", 1}};
    s.commands_by_outcome = {{"done", 3}, {"interrupted", 0}};
    s.durations.observe(2'000);
    s.queued_commands = 4;
    s.agent_refusals_by_reason = {{"no-hello", 1}};
    s.audit_write_failures = 5;
    s.audit_log_ok = false;
    s.metrics_file_write_failures = 6;
    EXPECT_EQ(render_metrics(s),
              "# HELP cli_server_info The resident cli-server's version.\n"
              "# TYPE cli_server_info gauge\n"
              "cli_server_info{version=\"1.2.3\"} 1\n"
              "# HELP cli_server_start_time_seconds When the resident server started, in "
              "seconds since 1970.\n"
              "# TYPE cli_server_start_time_seconds gauge\n"
              "cli_server_start_time_seconds 1796735413\n"
              "# HELP cli_server_agents Connected agents by the user that owns them.\n"
              "# TYPE cli_server_agents gauge\n"
              "cli_server_agents{user=\"root\"} 2\n"
              "cli_server_agents{user=\"we\\\"ird\\\\na\\nme\"} 1\n"
              "# HELP cli_server_clients Connected operator clients by user.\n"
              "# TYPE cli_server_clients gauge\n"
              "cli_server_clients{user=\"alice\"} 1\n"
              "# HELP cli_server_commands_total Commands by how they ended.\n"
              "# TYPE cli_server_commands_total counter\n"
              "cli_server_commands_total{outcome=\"done\"} 3\n"
              "cli_server_commands_total{outcome=\"interrupted\"} 0\n"
              "# HELP cli_server_command_duration_seconds How long commands took from being "
              "sent to their end.\n"
              "# TYPE cli_server_command_duration_seconds histogram\n"
              "cli_server_command_duration_seconds_bucket{le=\"0.001\"} 0\n"
              "cli_server_command_duration_seconds_bucket{le=\"0.005\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"0.01\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"0.05\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"0.1\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"0.5\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"1\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"5\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"10\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"60\"} 1\n"
              "cli_server_command_duration_seconds_bucket{le=\"+Inf\"} 1\n"
              "cli_server_command_duration_seconds_sum 0.002000\n"
              "cli_server_command_duration_seconds_count 1\n"
              "# HELP cli_server_queued_commands Commands waiting in agents' queues.\n"
              "# TYPE cli_server_queued_commands gauge\n"
              "cli_server_queued_commands 4\n"
              "# HELP cli_server_agent_connections_refused_total Agent connections closed "
              "before or at their HELLO, by reason.\n"
              "# TYPE cli_server_agent_connections_refused_total counter\n"
              "cli_server_agent_connections_refused_total{reason=\"no-hello\"} 1\n"
              "# HELP cli_server_audit_write_failures_total Audit records that could not be "
              "written when they were due.\n"
              "# TYPE cli_server_audit_write_failures_total counter\n"
              "cli_server_audit_write_failures_total 5\n"
              "# HELP cli_server_audit_log_ok 1 while the audit log can be written (or none is "
              "kept), else 0.\n"
              "# TYPE cli_server_audit_log_ok gauge\n"
              "cli_server_audit_log_ok 0\n"
              "# HELP cli_server_metrics_file_write_failures_total Times the --metrics-file "
              "could not be written.\n"
              "# TYPE cli_server_metrics_file_write_failures_total counter\n"
              "cli_server_metrics_file_write_failures_total 6\n");
}

// Under the daemon's umask of 0077 the file is still 0644 for the
// collector; a second write replaces the first; nothing else is left.
TEST(MetricsFile, WritesAReadableFileAndReplacesIt) {
    TempDir dir;
    const std::string path = dir.file("cli-server.prom");
    const mode_t old_mask = umask(077);
    std::string error;
    FileIdentity first, second;
    EXPECT_TRUE(write_file_atomically(path, "a 1\n", &error, &first)) << error;
    EXPECT_TRUE(write_file_atomically(path, "a 2\n", &error, &second)) << error;
    umask(old_mask);
    EXPECT_EQ(contents(path), "a 2\n");
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_ino, second.ino);
    EXPECT_NE(first.ino, second.ino);
    EXPECT_EQ(files_in(dir.path()), 1u);
}

// Whoever may write the directory cannot point the root daemon's write at
// another file: a link at PATH is refused and left as it is.
TEST(MetricsFile, ASymbolicLinkOrADirectoryAtThePathIsRefused) {
    TempDir dir;
    const std::string target = dir.file("victim");
    { std::ofstream(target) << "precious\n"; }
    const std::string path = dir.file("cli-server.prom");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    std::string error;
    EXPECT_FALSE(write_file_atomically(path, "a 1\n", &error));
    EXPECT_EQ(error, path + ": it is a symbolic link");
    EXPECT_EQ(contents(target), "precious\n");
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(files_in(dir.path()), 2u);

    const std::string subdir = dir.file("d.prom");
    ASSERT_EQ(mkdir(subdir.c_str(), 0755), 0);
    EXPECT_FALSE(write_file_atomically(subdir, "a 1\n", &error));
    EXPECT_EQ(error, subdir + ": it is not a regular file");
}

TEST(MetricsFile, AMissingDirectoryIsAnErrorNotACrash) {
    TempDir dir;
    const std::string path = dir.file("nowhere/cli-server.prom");
    std::string error;
    EXPECT_FALSE(write_file_atomically(path, "a 1\n", &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}
