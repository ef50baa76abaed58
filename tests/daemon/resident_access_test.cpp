// Who may use the resident server and what it records: the socket's modes,
// refused and admitted clients of other users, --agent-users and the audit
// log.
#include "daemon_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

using namespace daemontest;

namespace {

const std::string kWipePrompt = "Wipe the device buffer? Type yes to confirm: ";
// A system group nobody is not a member of, so admitting nobody under it
// can only come from the client's primary gid.
constexpr const char *kGroup = "daemon";

struct Mode {
    mode_t perms = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool socket = false;
};

Mode mode_of(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return {};
    return Mode{st.st_mode & 07777, st.st_uid, st.st_gid, S_ISSOCK(st.st_mode)};
}

std::string dir_of(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}

std::optional<gid_t> group_id(const char *name) {
    group *g = getgrnam(name);
    if (!g) return std::nullopt;
    return g->gr_gid;
}

SpawnOptions as_user(uid_t uid, gid_t gid) {
    SpawnOptions o;
    o.uid = uid;
    o.gid = gid;
    return o;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(ResidentServerAccess, TheSocketIsPrivateOrSharedWithTheGroup) {
    {
        TempDir dir;
        Daemon d(dir.path());
        ASSERT_TRUE(d.ready());
        Mode sock = mode_of(d.socket()), parent = mode_of(dir_of(d.socket()));
        EXPECT_TRUE(sock.socket);
        EXPECT_EQ(sock.perms, 0600u);
        EXPECT_EQ(parent.perms, 0700u);
        EXPECT_EQ(sock.uid, getuid());
        EXPECT_EQ(parent.uid, getuid());
        EXPECT_EQ(d.stop(), 0);
    }
    const auto gid = group_id(kGroup);
    if (getuid() != 0 || !gid) GTEST_SKIP() << "giving the socket to a group needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--group", kGroup});
    ASSERT_TRUE(d.ready());
    Mode sock = mode_of(d.socket()), parent = mode_of(dir_of(d.socket()));
    EXPECT_EQ(sock.perms, 0660u);
    EXPECT_EQ(parent.perms, 0750u);
    EXPECT_EQ(sock.gid, *gid);
    EXPECT_EQ(parent.gid, *gid);
}

// Modes opened wide on purpose: the peer check alone turns nobody away.
TEST(ResidentServerAccess, AnotherUsersClientIsRefusedInOneLine) {
    if (getuid() != 0) GTEST_SKIP() << "running a client as nobody needs root";
    TempDir dir;
    Daemon d(dir.path());
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
    ASSERT_EQ(chmod(dir_of(d.socket()).c_str(), 0755), 0);
    ASSERT_EQ(chmod(d.socket().c_str(), 0666), 0);

    auto r = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, kNobody));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("cli-server: access denied for uid 65534 (nobody): ", 0), 0u) << r.err;
    EXPECT_TRUE(d.journal_until("access denied for uid 65534")) << d.journal();
}

TEST(ResidentServerAccess, AClientWithTheGroupAsPrimaryGidIsAdmitted) {
    const auto gid = group_id(kGroup);
    if (getuid() != 0 || !gid) GTEST_SKIP() << "running a client as nobody needs root";
    TempDir dir;
    Daemon d(dir.path(), {"--group", kGroup});
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);

    auto admitted = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, *gid));
    EXPECT_EQ(admitted.status, 0) << admitted.err;
    EXPECT_EQ(admitted.out, "no agents connected\n");
    EXPECT_EQ(admitted.err, "");

    // The same user without the group does not even reach the socket.
    auto outsider = run_client(d, {"-c", "ls"}, {}, as_user(kNobody, kNobody));
    EXPECT_EQ(outsider.status, 1);
    EXPECT_EQ(outsider.out, "");
    EXPECT_EQ(std::count(outsider.err.begin(), outsider.err.end(), '\n'), 1) << outsider.err;
}

// --agent-users root: root's agents are served, nobody's is turned away
// before its ACK and named in the journal with its user; ls shows each agent's pid and user.
TEST(ResidentServerAccess, AgentUsersAdmitsOnlyTheListedUsersAgents) {
    TempDir dir;
    Daemon d(dir.path(), {"--agent-users", "root"});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected (user root)")) << d.journal();
    std::unique_ptr<Process> stranger;
    if (getuid() == 0) {
        stranger = start_host_as(kNobody, kNobody, "2", "stranger");
        EXPECT_TRUE(d.journal_until("refused agent stranger (id 2): it belongs to uid 65534 "
                                    "(nobody), not to a user of --agent-users"))
            << d.journal();
    }

    auto ls = run_client(d, {"-c", "ls"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    auto rows = lines_of(ls.out);
    ASSERT_EQ(rows.size(), 2u) << ls.out; // the heading and alpha
    std::istringstream row(rows[1]);
    std::string id, name, date, time, pid, user, queue, state;
    row >> id >> name >> date >> time >> pid >> user >> queue >> state;
    EXPECT_EQ(id, "1");
    EXPECT_EQ(name, "alpha");
    EXPECT_EQ(pid, std::to_string(alpha->pid()));
    EXPECT_EQ(user, "root");
    EXPECT_EQ(queue, "0");
    EXPECT_EQ(state, "idle");
    EXPECT_EQ(d.journal().find("stranger (id 2) connected"), std::string::npos) << d.journal();
    // The refusal is journalled once, as such, not also as a silent connection.
    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(d.journal().find("never said HELLO"), std::string::npos) << d.journal();
}

// One JSON line per command sent, whatever became of it; a prompt's reply
// appears neither in the log nor in the journal.
TEST(ResidentServerAudit, RecordsEveryCommandWithItsOutcomeButNoReply) {
    const std::string secret = "Qx7-Sesame-91";
    TempDir dir;
    const std::string log = dir.path() + "/audit.log";
    Daemon d(dir.path(), {"--audit-log", log});
    ASSERT_TRUE(d.ready());
    auto alpha = start_host("1", "alpha");
    ASSERT_TRUE(d.journal_until("alpha (id 1) connected"));
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
        RawClient raw;
        ASSERT_TRUE(raw.connect(d.socket()));
        ASSERT_TRUE(raw.greet());
        ASSERT_TRUE(raw.send(wire::submit(5, raw.serial_of("alpha"), "ticks -n 20 -i 10")));
        ASSERT_TRUE(raw.read_type(wire::kSent));
        ASSERT_TRUE(raw.send(wire::message(wire::kAbandon, wire::be(5, 8))));
        ASSERT_TRUE(raw.list());
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
    auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), std::size(expected)) << text;
    ASSERT_EQ(text.back(), '\n');
    const std::regex rfc3339(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    const auto fields = {"agent",       "agent_id",   "agent_pid",    "agent_uid",
                         "client_pid",  "client_uid", "client_user",  "command",
                         "duration_ms", "outcome",    "output_bytes", "prompts_answered",
                         "time"};
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        nlohmann::json j = nlohmann::json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(j.is_object());
        EXPECT_EQ(j.size(), fields.size());
        for (const char *f : fields)
            EXPECT_TRUE(j.contains(f)) << f;
        EXPECT_EQ(j.value("agent", ""), "alpha");
        EXPECT_TRUE(j["agent_id"].is_number_unsigned() && j["agent_id"] == 1);
        EXPECT_TRUE(j["agent_pid"].is_number_integer() && j["agent_pid"] == alpha_pid);
        EXPECT_TRUE(j["agent_uid"].is_number_integer() && j["agent_uid"] == getuid());
        EXPECT_TRUE(j["client_pid"].is_number_integer() && j["client_pid"] == client_pids[i]);
        EXPECT_TRUE(j["client_uid"].is_number_integer() && j["client_uid"] == getuid());
        EXPECT_TRUE(j["client_user"].is_string());
        if (getuid() == 0) {
            EXPECT_EQ(j["client_user"], "root");
        }
        EXPECT_EQ(j.value("command", ""), expected[i].command);
        EXPECT_EQ(j.value("outcome", ""), expected[i].outcome);
        EXPECT_TRUE(j["duration_ms"].is_number_integer() && j["duration_ms"] >= 0);
        EXPECT_TRUE(j["output_bytes"].is_number_unsigned());
        EXPECT_TRUE(j["prompts_answered"].is_number_unsigned() &&
                    j["prompts_answered"] == expected[i].prompts);
        ASSERT_TRUE(j["time"].is_string());
        EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(), rfc3339));
    }
    EXPECT_EQ(nlohmann::json::parse(lines[0])["output_bytes"], 6);
    EXPECT_EQ(nlohmann::json::parse(lines[1])["output_bytes"], std::string("Not wiped.\n").size());
    EXPECT_EQ(nlohmann::json::parse(lines[4])["output_bytes"], 6);
    EXPECT_GT(nlohmann::json::parse(lines[5])["output_bytes"], 0);
}
