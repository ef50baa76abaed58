// What the resident server records in its audit log, end to end: every
// command with its outcome, the log's faults and its reopening (the
// journal's lines are resident_journal_test.cpp's).
#include "audit_records.h"
#include "daemon_clients.h"

#include <gtest/gtest.h>

#include "cli_common.h"
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace clitest;

// One JSON line per command sent, whatever became of it; a prompt's reply
// appears neither in the log nor in the journal.
TEST(ResidentServerAudit, RecordsEveryCommandWithItsOutcomeButNoReply) {
    const std::string secret = "Qx7-Sesame-91";
    ResidentWithAlpha resident({}, ResidentWithAlpha::Audit::on);
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    const std::string log = resident.audit_log();
    auto &alpha = resident.alpha;
    std::vector<pid_t> client_pids;

    { // done
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo hello"});
        client_pids.push_back(c->pid());
        c->close_in();
        EXPECT_EQ(read_all(c->out()), "hello\n");
        EXPECT_EQ(c->wait(), 0);
    }
    { // done, with a prompt answered
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
        client_pids.push_back(c->pid());
        c->write_in(secret + "\n");
        c->close_in();
        EXPECT_EQ(read_all(c->out()), kWipePrompt + "\nNot wiped.\n");
        EXPECT_EQ(c->wait(), 0);
    }
    { // interrupted: ABANDON after SENT; a LIST behind it proves it was handled
        ASSERT_TRUE(abandon_once_sent(d, "alpha", "ticks -n 20 -i 10"));
        client_pids.push_back(getpid());
    }
    { // client-left: killed at the prompt; the next command runs after the record
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "wipe"});
        client_pids.push_back(c->pid());
        std::string out;
        ASSERT_TRUE(read_until(c->out(), kWipePrompt, &out));
        c->kill(SIGKILL);
        c->wait();
        auto next = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo after"});
        client_pids.push_back(next->pid());
        next->close_in();
        EXPECT_EQ(read_all(next->out()), "after\n");
        EXPECT_EQ(next->wait(), 0);
    }
    const pid_t alpha_pid = alpha->pid();
    { // agent-disconnected: the client hears of it after the record
        auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "ticks -n 1000 -i 10"});
        client_pids.push_back(c->pid());
        std::string out;
        ASSERT_TRUE(read_until(c->out(), "tick 2/1000", &out));
        alpha->kill(SIGKILL);
        EXPECT_EQ(c->wait(), 3);
    }
    EXPECT_EQ(d.stop(), 0);

    EXPECT_EQ(mode_of(log).perms, 0600u);
    const std::string text = read_file(log);
    EXPECT_EQ(text.find(secret), std::string::npos) << text;
    EXPECT_EQ(d.journal().find(secret), std::string::npos) << d.journal();

    struct Expected {
        const char *command;
        const char *outcome;
        uint64_t prompts;
    } expected[] = {
        {"echo hello", "done", 0},
        {"wipe", "done", 1},
        {"ticks -n 20 -i 10", "interrupted", 0},
        {"wipe", "client-left", 0},
        {"echo after", "done", 0},
        {"ticks -n 1000 -i 10", "agent-disconnected", 0},
    };
    // Each command: its "sent" record, then its "end" record.
    const auto records = audit_records(log);
    ASSERT_EQ(records.size(), 2 * std::size(expected)) << text;
    ASSERT_EQ(text.back(), '\n');
    const std::regex rfc3339(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    const std::vector<std::string> sent_fields = {
        "agent",       "agent_id", "agent_pid", "agent_uid", "client_pid", "client_uid",
        "client_user", "command",  "event",     "request",   "time"};
    std::vector<std::string> end_fields = sent_fields;
    end_fields.insert(end_fields.end(),
                      {"duration_ms", "outcome", "output_bytes", "prompts_answered", "result"});
    for (size_t i = 0; i < records.size(); ++i) {
        nlohmann::json j = records[i];
        SCOPED_TRACE(j.dump());
        const bool is_end = i % 2 == 1;
        const Expected &want = expected[i / 2];
        ASSERT_TRUE(j.is_object());
        const auto &fields = is_end ? end_fields : sent_fields;
        EXPECT_EQ(j.size(), fields.size());
        for (const auto &f : fields)
            EXPECT_TRUE(j.contains(f)) << f;
        EXPECT_EQ(j.value("event", ""), is_end ? "end" : "sent");
        EXPECT_EQ(j.value("agent", ""), "alpha");
        EXPECT_TRUE(j["agent_id"].is_number_unsigned() && j["agent_id"] == 1);
        EXPECT_TRUE(j["agent_pid"].is_number_integer() && j["agent_pid"] == alpha_pid);
        EXPECT_TRUE(j["agent_uid"].is_number_integer() && j["agent_uid"] == getuid());
        EXPECT_TRUE(j["client_pid"].is_number_integer() && j["client_pid"] == client_pids[i / 2]);
        EXPECT_TRUE(j["client_uid"].is_number_integer() && j["client_uid"] == getuid());
        EXPECT_TRUE(j["client_user"].is_string());
        if (getuid() == 0) {
            EXPECT_EQ(j["client_user"], "root");
        }
        EXPECT_EQ(j.value("command", ""), want.command);
        ASSERT_TRUE(j["time"].is_string());
        EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(), rfc3339));
        if (!is_end) continue;
        nlohmann::json sent = records[i - 1];
        EXPECT_EQ(j["request"], sent["request"]) << "the pair shares its request number";
        EXPECT_EQ(j["time"], sent["time"]);
        EXPECT_EQ(j.value("outcome", ""), want.outcome);
        EXPECT_TRUE(j["duration_ms"].is_number_integer() && j["duration_ms"] >= 0);
        EXPECT_TRUE(j["output_bytes"].is_number_unsigned());
        EXPECT_TRUE(j["prompts_answered"].is_number_unsigned() &&
                    j["prompts_answered"] == want.prompts);
        // The agent's result where it completed (the example host's commands succeed).
        if (std::string(want.outcome) == "done")
            EXPECT_EQ(j["result"], 0);
        else
            EXPECT_TRUE(j["result"].is_null());
    }
    EXPECT_EQ(records[1].at("output_bytes"), 6);
    EXPECT_EQ(records[3].at("output_bytes"), std::string("Not wiped.\n").size());
    EXPECT_EQ(records[9].at("output_bytes"), 6);
    EXPECT_GT(records[11].at("output_bytes"), 0);
}

// A client's --timeout reaches the audit log as its own outcome; a client of
// protocol version 1 is served exactly as before: welcomed in version 1,
// its ABANDON recorded as interrupted, and the later message type, which
// version 1 never had, ends its connection as any unknown type did.
TEST(ResidentServerAudit, ATimedOutAbandonIsRecordedAndVersionOneClientsAreServedAsBefore) {
    ResidentWithAlpha resident({}, ResidentWithAlpha::Audit::on);
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    const std::string log = resident.audit_log();
    struct Case {
        uint16_t version;
        uint8_t abandon;
        const char *outcome; // null: the connection is closed
    } cases[] = {
        {1, wire::kAbandon, "interrupted"},
        {2, wire::kAbandonTimedOut, "timed-out"},
        {2, wire::kAbandon, "interrupted"},
        {1, wire::kAbandonTimedOut, nullptr},
    };
    std::vector<std::string> expected;
    uint64_t request = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + ", type " +
                     std::to_string(c.abandon));
        RawClient raw;
        ASSERT_TRUE(raw.connect(d.socket()));
        ASSERT_TRUE(raw.greet(c.version));
        const std::string line = "ticks -n " + std::to_string(50 + request) + " -i 10";
        ASSERT_TRUE(raw.send(wire::submit(request, raw.serial_of("alpha"), line)));
        ASSERT_TRUE(raw.read_type(wire::kSent));
        ASSERT_TRUE(raw.send(wire::message(c.abandon, wire::be(request, 8))));
        if (c.outcome) {
            ASSERT_TRUE(raw.list()); // behind the abandon: it was handled
            expected.push_back(line + " " + c.outcome);
        } else {
            EXPECT_TRUE(raw.wait_closed(3000ms));
            expected.push_back(line + " client-left");
        }
        ++request;
    }
    EXPECT_EQ(d.stop(), 0);
    std::vector<std::string> ends;
    for (const nlohmann::json &j : audit_records_of(log, "end"))
        ends.push_back(j.value("command", "") + " " + j.value("outcome", ""));
    EXPECT_EQ(ends, expected) << read_file(log);
}

// ---------------------------------------------------------------- the audit log's faults

namespace {

RunResult run_daemon_briefly(const std::vector<std::string> &args) {
    Process p(server_argv(args));
    RunResult r;
    r.out = read_all(p.out(), 5000ms).value_or("<no end of output>");
    r.err = read_all(p.err(), 5000ms).value_or("<no end of output>");
    r.status = p.wait(5000ms).value_or(-1);
    return r;
}

} // namespace

// An audit log anybody may append to would carry forged lines; a FIFO
// would hold the daemon up before its socket exists. Both: exit 1 at once.
TEST(ResidentServerAudit, ALogOthersMayWriteOrAFifoStopsTheDaemonAtOnce) {
    TempDir dir;
    const std::string open_log = dir.path() + "/open.log", fifo = dir.path() + "/fifo.log";
    { std::ofstream(open_log) << ""; }
    ASSERT_EQ(chmod(open_log.c_str(), 0666), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string sock = dir.path() + "/run/cli.sock";
    auto r = run_daemon_briefly({"--daemon", "--socket", sock, "--audit-log", open_log});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<3>cli-server: cannot use the audit log " + open_log +
                         ": it is writable by group or others (mode 0666); make it 0600 or "
                         "0640\n");
    r = run_daemon_briefly({"--daemon", "--socket", sock, "--audit-log", fifo});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "<3>cli-server: cannot use the audit log " + fifo + ": it is not a regular file\n");
    EXPECT_FALSE(std::filesystem::exists(sock));
}

// The record is written when the command goes, so a command still running
// when the daemon dies is on file.
TEST(ResidentServerAudit, ACommandRunningWhenTheDaemonIsKilledIsOnFile) {
    ResidentWithAlpha resident({}, ResidentWithAlpha::Audit::on);
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    const std::string log = resident.audit_log();
    auto c = start_client(d, {"--agent", "alpha", "--wait", "5", "-c", "ticks -n 100 -i 100"});
    std::string out;
    ASSERT_TRUE(read_until(c->out(), "tick 2/100", &out));
    d.stop(SIGKILL);
    c->wait();
    const auto records = audit_records(log);
    ASSERT_EQ(records.size(), 1u) << audit_text(log);
    const nlohmann::json &j = records[0];
    EXPECT_EQ(j.at("event"), "sent");
    EXPECT_EQ(j.at("command"), "ticks -n 100 -i 100");
    EXPECT_EQ(j.at("client_pid"), c->pid());
    EXPECT_EQ(j.at("agent"), "alpha");
}

// A log that cannot grow (here: the daemon's file size limit, as a full
// disk would): no command runs unrecorded, a script is told so and exits 1,
// a console is told and stays; once the file takes records, commands run.
TEST(ResidentServerAudit, AnUnwritableLogRefusesCommandsUntilItCanBeWritten) {
    ResidentWithAlpha resident({}, ResidentWithAlpha::Audit::on,
                               {"/usr/bin/prlimit", "--fsize=100:unlimited"});
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    const std::string log = resident.audit_log();

    const std::string refusal = "cli-server: cannot write the audit log (" + log +
                                ": File too large); the resident server runs no command "
                                "until it can\n";
    auto r = run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo one"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refusal);
    EXPECT_EQ(read_file(log), "") << "a record cut short was left in the file";
    EXPECT_TRUE(d.journal_until("<3>cli-server: cannot write the audit log " + log +
                                ": File too large; new commands are refused"))
        << d.journal();
    // At err, since every command stops; once a minute, however many are refused.
    EXPECT_TRUE(d.journal_until("<3>cli-server: refused a command of client uid 0")) << d.journal();
    // A fan-out is refused alike: the daemon's one line, no agent reported
    // lost on top of it, status 1.
    r = run_client(d, {"--agent", "alph*", "--wait", "5", "-c", "echo one"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refusal);

    // A console (HELLO's mode 0) hears why and may go on.
    RawClient raw;
    ASSERT_TRUE(raw.connect(d.socket()));
    ASSERT_TRUE(raw.send(wire::hello(1, 0)));
    std::vector<Msg> greeting;
    ASSERT_TRUE(raw.read_type(wire::kReady, kTimeout, &greeting));
    uint64_t alpha_serial = 0;
    for (const Msg &m : greeting)
        if (m.type == wire::kAgentUp) alpha_serial = wire::read_be(m.payload, 0, 8);
    ASSERT_NE(alpha_serial, 0u);
    ASSERT_TRUE(raw.send(wire::submit(9, alpha_serial, "echo two")));
    auto notice = raw.read();
    ASSERT_TRUE(notice);
    ASSERT_EQ(notice->type, wire::kNotice);
    EXPECT_EQ(static_cast<uint8_t>(notice->payload[0]), 2); // an error
    EXPECT_EQ(notice->payload.substr(1) + "\n", refusal.substr(std::string("cli-server: ").size()));
    auto done = raw.read();
    ASSERT_TRUE(done);
    EXPECT_EQ(done->type, wire::kDone);
    EXPECT_EQ(wire::read_be(done->payload, 0, 8), 9u);

    // The disk has room again.
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(d.pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0);
    auto text = raw.run(10, alpha_serial, "echo three");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "three\n");
    r = run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo four"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "four\n");
    EXPECT_TRUE(d.journal_until("<6>cli-server: the audit log " + log + " can be written again"))
        << d.journal();
    const std::string journal = d.journal();
    size_t refusals = 0;
    for (size_t at = journal.find("refused a command of"); at != std::string::npos;
         at = journal.find("refused a command of", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, 1u) << journal;
    const auto records = audit_records_when(log, 4);
    ASSERT_TRUE(records) << audit_text(log);
    ASSERT_EQ(records->size(), 4u) << audit_text(log);
    EXPECT_EQ(records->at(0).at("command"), "echo three");
    EXPECT_EQ(records->at(3).at("command"), "echo four");
}

// logrotate moves the log and sends SIGHUP: the records go on in a new file.
TEST(ResidentServerAudit, SighupReopensTheLog) {
    ResidentWithAlpha resident({}, ResidentWithAlpha::Audit::on);
    ASSERT_TRUE(resident.ok()) << resident.why();
    Daemon &d = resident.daemon;
    const std::string log = resident.audit_log();
    EXPECT_EQ(run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo old"}).status, 0);
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    ASSERT_TRUE(d.journal_until("<6>cli-server: reopened the audit log " + log)) << d.journal();
    EXPECT_EQ(run_client(d, {"--agent", "alpha", "--wait", "5", "-c", "echo new"}).status, 0);
    EXPECT_EQ(mode_of(log).perms, 0600u);
    const auto old_records = audit_records(log + ".1");
    const auto new_records = audit_records_when(log, 2);
    ASSERT_EQ(old_records.size(), 2u) << audit_text(log + ".1");
    ASSERT_TRUE(new_records && new_records->size() == 2u) << audit_text(log);
    EXPECT_EQ(old_records[1].at("command"), "echo old");
    EXPECT_EQ(new_records->at(1).at("command"), "echo new");
    EXPECT_EQ(d.stop(), 0) << "SIGHUP is not a stop";
}
