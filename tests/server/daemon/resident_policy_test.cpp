// Who may run what through the resident server: clients as throwaway users
// (uids and groups with no entry in the databases) admitted by --group, an
// access policy that allows some of their commands, and agents that show
// whether a refused command ever reached them.
#include "audit_records.h"
#include "daemon_clients.h"

#include <gtest/gtest.h>

#include "cli_common.h"
#include <nlohmann/json.hpp>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace clitest;

namespace {

// The group that admits the clients (their primary group), and a group
// they hold only as a supplementary one, known to no group database.
constexpr const char *kAdmitted = "daemon";
constexpr gid_t kTeam = 4242;
constexpr uid_t kMember = 4301;  // of kTeam
constexpr uid_t kMonitor = 4302; // named by uid

std::optional<gid_t> admitted_gid() {
    group *g = getgrnam(kAdmitted);
    if (getuid() != 0 || !g) return std::nullopt;
    return g->gr_gid;
}

// A client of these tests: one of the throwaway users.
SpawnOptions as_client(uid_t uid, gid_t primary, std::vector<gid_t> groups = {}) {
    return as_user(uid, primary, std::move(groups));
}

void write_policy(const std::string &path, const std::string &text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::trunc) << text;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// The daemon of a test: --group admits the clients, the policy file is ours.
struct PolicedDaemon {
    TempDir dir;
    std::string policy = dir.path() + "/policy";
    std::string log = dir.path() + "/audit.log";
    std::unique_ptr<Daemon> d;

    explicit PolicedDaemon(const std::string &rules) {
        write_policy(policy, rules);
        d = std::make_unique<Daemon>(
            dir.path(),
            std::vector<std::string>{"--group", kAdmitted, "--policy", policy, "--audit-log", log});
        EXPECT_EQ(chmod(dir.path().c_str(), 0711), 0);
    }
};

const std::string kRules = "# WHO  AGENTS  COMMANDS\n"
                           "@4242  db-1    *\n"       // 2
                           "@4242  db-2    status\n"  // 3
                           "4302   *       status\n"; // 4

// A raw agent answers the one command it is sent, and returns its line.
std::string answer_one(clitest::Conn &agent, uint32_t id) {
    auto cmd = agent.read_frame();
    if (!cmd || cmd->type != CLI_FRAME_COMMAND) return "<no command>";
    EXPECT_TRUE(agent.send_frame(CLI_FRAME_DONE, cmd->req_id, "", id));
    return cmd->payload;
}

} // namespace

// A member of the team may run status on db-2 but not wipe: the agent never
// sees wipe, the client is told in one line, the script goes on and ends
// 3; a monitoring user named by uid may run status, not wipe (whose prompt
// never appears). The audit log records the refusals and the rule that
// allowed each command that ran.
TEST(ResidentServerPolicy, ACommandNoRuleAllowsNeverReachesItsAgent) {
    const auto gid = admitted_gid();
    if (!gid) GTEST_SKIP() << "clients as other users need root and group " << kAdmitted;
    PolicedDaemon p(kRules);
    ASSERT_TRUE(p.d->ready()) << p.d->error();
    auto db1 = start_host("1", "db-1");
    clitest::Conn db2 = greeted_agent("db-2", 2);
    ASSERT_TRUE(p.d->journal_until("db-1 (id 1) connected"));

    auto member =
        start_client(*p.d, {"--agent", "db-2", "--wait", "5", "-c", "wipe", "-c", "status"},
                     as_client(kMember, *gid, {*gid, kTeam}));
    member->close_in();
    EXPECT_EQ(answer_one(db2, 2), "status") << "the first command db-2 sees";
    EXPECT_EQ(read_all(member->err()),
              "cli-server: denied: \"wipe\" on db-2 (id 2) for 4301: no rule "
              "of the access policy allows it; not sent\n");
    EXPECT_EQ(member->wait(), 3);

    auto refused = run_client(*p.d, {"--agent", "db-1", "--wait", "5", "-c", "wipe"}, "yes\n",
                              as_client(kMonitor, *gid));
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.out, "") << "no prompt";
    EXPECT_NE(refused.err.find("denied: \"wipe\" on db-1 (id 1) for 4302"), std::string::npos)
        << refused.err;
    auto allowed = run_client(*p.d, {"--agent", "db-1", "--wait", "5", "-c", "status"}, "",
                              as_client(kMonitor, *gid));
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    auto metrics = run_client(*p.d, {"--metrics"});
    EXPECT_NE(metrics.out.find("cli_server_commands_total{outcome=\"denied\"} 2\n"),
              std::string::npos)
        << metrics.out;

    EXPECT_EQ(p.d->stop(), 0);
    int denied = 0;
    for (const nlohmann::json &r : audit_records(p.log)) {
        if (r["command"] == "wipe") {
            EXPECT_EQ(r["event"], "end") << r.dump() << ": no sent record";
            EXPECT_EQ(r["outcome"], "denied") << r.dump();
            EXPECT_FALSE(r.contains("rule")) << r.dump();
            ++denied;
        } else {
            EXPECT_EQ(r["rule"], r["client_uid"] == kMember ? 3 : 4) << r.dump();
        }
    }
    EXPECT_EQ(denied, 2);
}

// ls shows a client only the agents some rule lets it use; it cannot
// attach to another (to it, none of that name is connected). Root sees all.
TEST(ResidentServerPolicy, ClientsSeeOnlyTheAgentsTheirRulesCover) {
    const auto gid = admitted_gid();
    if (!gid) GTEST_SKIP() << "clients as other users need root and group " << kAdmitted;
    PolicedDaemon p(kRules);
    ASSERT_TRUE(p.d->ready()) << p.d->error();
    clitest::Conn db1 = greeted_agent("db-1", 1);
    clitest::Conn web = greeted_agent("web-1", 3);
    ASSERT_TRUE(p.d->journal_until("web-1 (id 3) connected"));

    auto ls = run_client(*p.d, {"-c", "ls"}, "", as_client(kMember, *gid, {*gid, kTeam}));
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find("db-1"), std::string::npos) << ls.out;
    EXPECT_EQ(ls.out.find("web-1"), std::string::npos) << ls.out;
    auto attach = run_client(*p.d, {"--agent", "web-1", "--wait", "1", "-c", "status"}, "",
                             as_client(kMember, *gid, {*gid, kTeam}));
    EXPECT_EQ(attach.status, 2) << attach.err;
    auto outsider = run_client(*p.d, {"-c", "ls"}, "", as_client(kMember, *gid));
    EXPECT_EQ(outsider.out.find("db-1"), std::string::npos)
        << "without the supplementary group: " << outsider.out;
    auto root = run_client(*p.d, {"-c", "ls"});
    EXPECT_NE(root.out.find("web-1"), std::string::npos) << root.out;
    EXPECT_EQ(p.d->stop(), 0);
}

// A fan-out over agents that allow and deny: each line's JSON status says
// which, and the exit status counts the denied agent as not completed.
TEST(ResidentServerPolicy, AFanOutReportsEachAgentsVerdict) {
    const auto gid = admitted_gid();
    if (!gid) GTEST_SKIP() << "clients as other users need root and group " << kAdmitted;
    PolicedDaemon p(kRules);
    ASSERT_TRUE(p.d->ready()) << p.d->error();
    auto db1 = start_host("1", "db-1");
    clitest::Conn db2 = greeted_agent("db-2", 2);
    ASSERT_TRUE(p.d->journal_until("db-1 (id 1) connected"));

    auto c = start_client(*p.d, {"--agent", "db-*", "--json", "-c", "status", "-c", "echo hi"},
                          as_client(kMember, *gid, {*gid, kTeam}));
    c->close_in();
    EXPECT_EQ(answer_one(db2, 2), "status");
    const std::string out = read_all(c->out()).value_or("");
    EXPECT_EQ(c->wait(), 4);
    std::map<std::string, std::string> status;
    for (const std::string &line : lines_of(out)) {
        auto j = nlohmann::json::parse(line);
        status[j["name"].get<std::string>() + " " + j["command"].get<std::string>()] = j["status"];
    }
    EXPECT_EQ(status["db-1 status"], "done") << out;
    EXPECT_EQ(status["db-1 echo hi"], "done") << out;
    EXPECT_EQ(status["db-2 status"], "done") << out;
    EXPECT_EQ(status["db-2 echo hi"], "denied") << out;
    EXPECT_EQ(p.d->stop(), 0);
}

// SIGHUP reads the policy again: a widened rule applies to the next
// command; a file that no longer parses is journalled and the policy in
// force stays.
TEST(ResidentServerPolicy, AReloadWidensARuleAndABrokenOneChangesNothing) {
    const auto gid = admitted_gid();
    if (!gid) GTEST_SKIP() << "clients as other users need root and group " << kAdmitted;
    PolicedDaemon p("@4242 db-1 status\n");
    ASSERT_TRUE(p.d->ready()) << p.d->error();
    auto db1 = start_host("1", "db-1");
    ASSERT_TRUE(p.d->journal_until("db-1 (id 1) connected"));
    const auto member = as_client(kMember, *gid, {*gid, kTeam});
    const std::vector<std::string> echo = {"--agent", "db-1", "--wait", "5", "-c", "echo hi"};

    EXPECT_EQ(run_client(*p.d, echo, "", member).status, 3);
    write_policy(p.policy, "@4242 db-1 status echo\nno-such-user-zq * *\n");
    ASSERT_EQ(kill(p.d->pid(), SIGHUP), 0);
    ASSERT_TRUE(p.d->journal_until("<4>cli-server: " + p.policy +
                                   ":2: no user no-such-user-zq: the rule matches nobody"))
        << p.d->journal();
    ASSERT_TRUE(p.d->journal_until("reloaded the access policy " + p.policy + " (2 rules)"));
    auto widened = run_client(*p.d, echo, "", member);
    EXPECT_EQ(widened.status, 0) << widened.err;
    EXPECT_EQ(widened.out, "hi\n");

    write_policy(p.policy, "@4242 db-1\n");
    ASSERT_EQ(kill(p.d->pid(), SIGHUP), 0);
    ASSERT_TRUE(p.d->journal_until("<3>cli-server: the access policy was not reloaded, the "
                                   "previous one stays in force: " +
                                   p.policy + ":1: expected three fields, WHO AGENTS COMMANDS"))
        << p.d->journal();
    EXPECT_EQ(run_client(*p.d, echo, "", member).status, 0);
    EXPECT_EQ(p.d->stop(), 0);
}

// A policy that does not parse, that others may change, or that is a
// symbolic link stops the daemon at start-up with one line, before its
// socket exists.
TEST(ResidentServerPolicy, ABrokenOrUnsafePolicyStopsTheDaemonAtStart) {
    if (getuid() != 0) GTEST_SKIP() << "a file of another user needs root";
    TempDir dir;
    const std::string bad = dir.path() + "/bad", open = dir.path() + "/open",
                      foreign = dir.path() + "/foreign", link = dir.path() + "/link";
    write_policy(bad, "# fine\n* * status\n@4242 db-1,,db-2 status\n");
    write_policy(open, "* * status\n", 0666);
    write_policy(foreign, "* * status\n");
    ASSERT_EQ(chown(foreign.c_str(), kNobody, 0), 0);
    ASSERT_EQ(symlink(bad.c_str(), link.c_str()), 0);
    const std::string sock = dir.path() + "/run/cli.sock";
    const std::vector<std::pair<std::string, std::string>> table = {
        {bad, bad + ":3: AGENTS '" + "db-1,,db-2" + "': an empty selector between commas"},
        {open, open + ": it is writable by group or others (mode 0666); make it 0644 or 0600"},
        {foreign, foreign + ": it belongs to uid 65534, neither root nor the server's own user"},
        {link, link + ": it is a symbolic link"},
    };
    for (const auto &[file, why] : table) {
        Process p(server_argv({"--daemon", "--socket", sock, "--policy", file}));
        EXPECT_EQ(read_all(p.err(), 5000ms),
                  "<3>cli-server: cannot use the access policy " + why + "\n");
        EXPECT_EQ(p.wait(5000ms), 1);
        EXPECT_FALSE(std::filesystem::exists(sock));
    }
    // The same file through --check-policy: the first error, exit 1.
    auto check = run_server({"--check-policy", bad});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.err, "cli-server: " + table[0].second + "\n");
}

namespace {

// A raw client whose connection carries uid, gid and groups: the test takes
// them on only around connect(), which is when the kernel records the
// credentials the daemon reads.
bool connect_as(RawClient &c, const std::string &path, uid_t uid, gid_t gid,
                const std::vector<gid_t> &groups) {
    std::vector<gid_t> own(static_cast<size_t>(getgroups(0, nullptr)));
    if (getgroups(static_cast<int>(own.size()), own.data()) < 0) return false;
    if (setgroups(groups.size(), groups.data()) != 0 || setegid(gid) != 0 || seteuid(uid) != 0)
        return false;
    const bool ok = c.connect(path);
    if (seteuid(0) != 0 || setegid(0) != 0 || setgroups(own.size(), own.data()) != 0)
        std::abort(); // the test cannot go on as somebody else
    return ok;
}

constexpr uint8_t kDenied = 0x9c;

} // namespace

// A client of protocol version 1 knows no DENIED: it hears the line as an
// error notice and its command ends with DONE; clients of versions 2 and 3
// get DENIED, the same line without the program's name. None is told of an
// agent it may not use.
TEST(ResidentServerPolicy, EachProtocolVersionHearsADenialItsOwnWay) {
    const auto gid = admitted_gid();
    if (!gid) GTEST_SKIP() << "clients as other users need root and group " << kAdmitted;
    PolicedDaemon p(kRules);
    ASSERT_TRUE(p.d->ready()) << p.d->error();
    clitest::Conn db2 = greeted_agent("db-2", 2);
    clitest::Conn web = greeted_agent("web-1", 3);
    ASSERT_TRUE(p.d->journal_until("web-1 (id 3) connected"));
    const std::string why = "denied: \"wipe\" on db-2 (id 2) for 4301: no rule of the access "
                            "policy allows it; not sent";

    RawClient v1, v2;
    ASSERT_TRUE(connect_as(v1, p.d->socket(), kMember, *gid, {*gid, kTeam}));
    ASSERT_TRUE(v1.greet(1));
    EXPECT_EQ(v1.serial_of("web-1"), 0u) << "an agent no rule covers is not announced";
    ASSERT_NE(v1.serial_of("db-2"), 0u);
    ASSERT_TRUE(v1.send(wire::submit(1, v1.serial_of("db-2"), "wipe")));
    auto notice = v1.read();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->type, wire::kNotice);
    EXPECT_EQ(notice->payload, std::string(1, '\x02') + why);
    auto done = v1.read();
    ASSERT_TRUE(done);
    EXPECT_EQ(done->type, wire::kDone);
    EXPECT_EQ(done->payload, wire::be(1, 8));

    ASSERT_TRUE(connect_as(v2, p.d->socket(), kMember, *gid, {*gid, kTeam}));
    ASSERT_TRUE(v2.greet(2));
    ASSERT_TRUE(v2.send(wire::submit(7, v2.serial_of("db-2"), "wipe") +
                        wire::submit(8, v2.serial_of("db-2"), "status")));
    auto denied = v2.read();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->type, kDenied);
    EXPECT_EQ(denied->payload, wire::be(7, 8) + why);
    EXPECT_EQ(answer_one(db2, 2), "status");
    EXPECT_TRUE(v2.read_type(wire::kDone));

    RawClient v3;
    ASSERT_TRUE(connect_as(v3, p.d->socket(), kMember, *gid, {*gid, kTeam}));
    ASSERT_TRUE(v3.greet(3));
    ASSERT_TRUE(v3.send(wire::submit(9, v3.serial_of("db-2"), "wipe")));
    denied = v3.read();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->type, kDenied);
    EXPECT_EQ(denied->payload, wire::be(9, 8) + why);
    EXPECT_EQ(p.d->stop(), 0);
}

// --check-policy reads the packaged file (comments only) and the example of
// the manual; a user and groups this machine does not have match nobody.
TEST(ResidentServerPolicy, CheckPolicyReadsThePackagedFileAndTheExample) {
    TempDir dir;
    const std::string example = dir.path() + "/example";
    write_policy(example, "# WHO          AGENTS            COMMANDS\n"
                          "@dba           *@postgres        *\n"
                          "@monitoring    *                 help status show*\n"
                          "alice          db-1,db-2         status show*\n");
    auto shipped = run_server({"--check-policy", CLI_TEST_SOURCE_DIR "/contrib/policy/policy"});
    EXPECT_EQ(shipped.status, 0) << shipped.err;
    EXPECT_NE(shipped.out.find(": 0 rule(s)"), std::string::npos) << shipped.out;
    auto r = run_server({"--check-policy", example});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out).size(), 4u) << r.out;
    EXPECT_NE(r.out.find("line 4: "), std::string::npos) << r.out;
    auto as =
        run_server({"--check-policy", example, "--as", "root", "--agent", "db-1", "-c", "wipe"});
    EXPECT_EQ(as.status, 0) << as.out;
    EXPECT_NE(as.out.find("allowed: \"wipe\" on db-1 for root: root is not subject"),
              std::string::npos)
        << as.out;
    auto nobody = run_server({"--check-policy", example, "--as", "nobody", "--agent", "db-1", "-c",
                              "status", "-c", "show x"});
    EXPECT_EQ(nobody.status, 3) << nobody.out;
    EXPECT_NE(nobody.out.find("group database"), std::string::npos) << nobody.out;
    EXPECT_NE(nobody.out.find("denied: \"status\" on db-1 for nobody: no rule allows it"),
              std::string::npos)
        << nobody.out;
}

// A client connected before a reload: its next command is decided by the
// new rules, whether they narrow what it was allowed or widen it, and an
// agent the new rules let it use is announced to it.
TEST(ResidentServerPolicy, AReloadDecidesTheNextCommandOfAClientAlreadyConnected) {
    const auto gid = admitted_gid();
    if (!gid) GTEST_SKIP() << "clients as other users need root and group " << kAdmitted;
    PolicedDaemon p("@4242 db-1 status\n");
    ASSERT_TRUE(p.d->ready()) << p.d->error();
    clitest::Conn db1 = greeted_agent("db-1", 1);
    clitest::Conn web = greeted_agent("web-1", 3);
    ASSERT_TRUE(p.d->journal_until("web-1 (id 3) connected"));
    RawClient c;
    ASSERT_TRUE(connect_as(c, p.d->socket(), kMember, *gid, {*gid, kTeam}));
    ASSERT_TRUE(c.greet(2));
    const uint64_t db1_serial = c.serial_of("db-1");
    ASSERT_NE(db1_serial, 0u);
    EXPECT_EQ(c.serial_of("web-1"), 0u);
    ASSERT_TRUE(c.send(wire::submit(1, db1_serial, "status")));
    EXPECT_EQ(answer_one(db1, 1), "status");
    ASSERT_TRUE(c.read_type(wire::kDone));

    write_policy(p.policy, "@4242 web-1 *\n@4242 db-1 echo\n");
    ASSERT_EQ(kill(p.d->pid(), SIGHUP), 0);
    auto up = c.read_type(wire::kAgentUp);
    ASSERT_TRUE(up) << "web-1, now covered";
    EXPECT_EQ(up->payload.substr(36), "web-1");
    ASSERT_TRUE(
        c.send(wire::submit(2, db1_serial, "status") + wire::submit(3, db1_serial, "echo hi")));
    auto denied = c.read_type(kDenied);
    ASSERT_TRUE(denied) << "status, allowed before the reload";
    EXPECT_EQ(wire::read_be(denied->payload, 0, 8), 2u);
    EXPECT_EQ(answer_one(db1, 1), "echo hi");
    auto done = c.read_type(wire::kDone);
    ASSERT_TRUE(done);
    EXPECT_EQ(wire::read_be(done->payload, 0, 8), 3u);
    EXPECT_EQ(p.d->stop(), 0);
}
