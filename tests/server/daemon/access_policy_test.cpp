// The access policy's rules on their own: every way a file can be wrong
// names its line, and each decision of the table below is the one the
// resident server makes for a command.
#include "daemon/access_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cliserver;

namespace {

struct BadFile {
    std::string text;
    unsigned line;
    std::string what; // a part of the message
};

AgentView agent(const std::string &name, std::optional<uid_t> owner, uint32_t id = 1) {
    AgentView a;
    a.name = name;
    a.uid = owner;
    a.id = id;
    a.greeted = true;
    return a;
}

PeerCred client(uid_t uid, gid_t gid, std::vector<gid_t> groups = {}) {
    PeerCred p;
    p.pid = 1;
    p.uid = uid;
    p.gid = gid;
    p.groups = std::move(groups);
    return p;
}

// Numeric users and groups: no entry in the databases is needed.
const std::string kPolicy = "# WHO  AGENTS  COMMANDS\n"
                            "@4242  *@0  *\n"                        // 2
                            "\n"                                     // 3
                            "@4243\t*\thelp status show*\n"          // 4
                            "4244   db-1,db-2  status show*  # ok\n" // 5
                            "4244   db-?  show\n"                    // 6
                            "no-such-user-zq  *  *\n"                // 7
                            "4245   db-1@no-such-user-zq  *\n"       // 8
                            "*      pub-[0-9]  echo\n";              // 9

struct Case {
    const char *what;
    PeerCred who;
    AgentView on;
    std::string line;
    std::optional<unsigned> rule;
};

} // namespace

TEST(AccessPolicy, EachErrorNamesItsLine) {
    const std::vector<BadFile> table = {
        {"alice\n", 1, "expected three fields, WHO AGENTS COMMANDS"},
        {"# a comment\n\n*   db-1   # no commands\n", 3, "expected three fields"},
        {"* db-1,,db-2 status\n", 1, "an empty selector between commas"},
        {"* pid:12 status\n", 1, "pid:N is not a selector for a policy"},
        {"* * ok\n@ * status\n", 2, "name the group after @"},
        {"* db@ status\n", 1, "no user ''"},
        {"* @root status\n", 1, "name the agent before @"},
        {"* * sta\x01tus\n", 1, "a control character"},
        {std::string("* * st\0tus\n", 10), 1, "a NUL byte"},
        {"* * " + std::string(5000, 'x') + "\n", 1, "longer than 4096 bytes"},
        {std::string(AccessPolicy::kMaxBytes + 1, '#'), 0, "larger than"},
    };
    for (const BadFile &bad : table) {
        PolicyError e;
        EXPECT_FALSE(AccessPolicy::parse(bad.text, &e)) << bad.what;
        EXPECT_EQ(e.line, bad.line) << bad.what;
        EXPECT_NE(e.what.find(bad.what), std::string::npos) << e.what;
    }
    EXPECT_EQ(policy_error_text("/etc/p", PolicyError{3, "x"}), "/etc/p:3: x");
    EXPECT_EQ(policy_error_text("/etc/p", PolicyError{0, "x"}), "/etc/p: x");
}

TEST(AccessPolicy, TheFirstRuleOfClientAgentAndFirstWordDecides) {
    PolicyError e;
    auto policy = AccessPolicy::parse(kPolicy, &e);
    ASSERT_TRUE(policy) << e.line << ": " << e.what;
    EXPECT_EQ(policy->rules().size(), 7u);
    const std::vector<Case> table = {
        {"a supplementary group", client(5000, 100, {4242}), agent("x", 0), "wipe all", 2},
        {"of another owner", client(5000, 100, {4242}), agent("x", 1000), "wipe", std::nullopt},
        {"the primary group", client(5000, 4243), agent("y", 1000), "show cfg", 4},
        {"a command not listed", client(5000, 4243), agent("y", 1000), "wipe", std::nullopt},
        {"a pattern's prefix only", client(5000, 4243), agent("y", 1000), "shower", 4},
        {"by uid", client(4244, 100), agent("db-2", 1000), "status -v", 5},
        {"quoted", client(4244, 100), agent("db-2", 1000), "  'status' -v", 5},
        {"a backslash", client(4244, 100), agent("db-2", 1000), "stat\\us", 5},
        {"a tab and a vertical tab", client(4244, 100), agent("db-1", 1000), "\t\vstatus\f", 5},
        {"quotes joining words", client(4244, 100), agent("db-1", 1000), "\"status x\"",
         std::nullopt},
        {"a later rule", client(4244, 100), agent("db-3", 1000), "show", 6},
        {"no rule", client(4244, 100), agent("db-3", 1000), "status", std::nullopt},
        {"a NUL byte", client(4244, 100), agent("db-1", 1000), std::string("status\0x", 8),
         std::nullopt},
        {"an owner that does not exist", client(4245, 100), agent("db-1", 1000), "status",
         std::nullopt},
        {"anyone", client(4246, 100), agent("pub-7", std::nullopt), "echo hi", 9},
        {"anyone, another command", client(4246, 100), agent("pub-7", 0), "wipe", std::nullopt},
        {"an empty line", client(5000, 100, {4242}), agent("x", 0), "", 2},
    };
    for (const Case &c : table)
        EXPECT_EQ(policy->allows(c.who, c.on, c.line), c.rule) << c.what;
    EXPECT_TRUE(policy->covers(client(4244, 100), agent("db-9", 0)));
    EXPECT_FALSE(policy->covers(client(4244, 100), agent("web-1", 0)));
    EXPECT_FALSE(policy->covers(client(4245, 100), agent("db-1", 1000)))
        << "a rule whose only agent names a user that does not exist covers none";
}

TEST(AccessPolicy, RulesAreDescribedAsUnderstood) {
    PolicyError e;
    auto policy = AccessPolicy::parse(kPolicy, &e);
    ASSERT_TRUE(policy);
    EXPECT_EQ(describe_rule(policy->rules()[2]),
              "line 5: user 4244 (uid 4244); agents db-1, db-2; commands status show*");
    EXPECT_EQ(describe_rule(policy->rules()[4]),
              "line 7: no-such-user-zq (no such user now: matches nobody); agents every agent; "
              "commands every command");
    EXPECT_EQ(first_word("  \"a b\" c"), "a b");
    EXPECT_EQ(first_word(""), "");
    EXPECT_EQ(first_word(std::string("a\0b", 3)), std::nullopt);
}
