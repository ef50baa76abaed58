// How agents are chosen: each word of --agent read as an id, a name, a
// pattern or a pid, narrowed by owner, and the index that answers it.
#include "hub/agent_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace cliserver;

// An all-digit word is an id, never a name (an agent may call itself "7");
// @USER keeps to that owner; the answer is in connection order whatever
// the index's.
TEST(AgentIndex, AnAllDigitWordIsAlwaysTheIdAndOwnersNarrowInConnectionOrder) {
    std::vector<AgentView> agents(4);
    const struct {
        uint64_t serial;
        uint32_t id;
        const char *name;
        uid_t uid;
    } rows[] = {{9, 7, "db", 0}, {3, 7, "web", 1}, {5, 12, "db", 1}, {6, 4, "7", 0}};
    AgentIndex index;
    for (size_t i = 0; i < agents.size(); ++i) {
        agents[i].serial = rows[i].serial;
        agents[i].id = rows[i].id;
        agents[i].name = rows[i].name;
        agents[i].uid = rows[i].uid;
        index.add(agents[i]);
    }
    auto serials = [&](const std::string &wanted) {
        std::vector<uint64_t> s;
        auto sel = parse_selector(wanted, nullptr);
        EXPECT_TRUE(sel) << wanted;
        if (!sel) return s;
        for (const AgentView *a : index.match(*sel))
            s.push_back(a->serial);
        return s;
    };
    EXPECT_EQ(serials("db"), (std::vector<uint64_t>{5, 9}));
    EXPECT_EQ(serials("7"), (std::vector<uint64_t>{3, 9})); // the id, not the agent named 7
    EXPECT_EQ(serials("12"), (std::vector<uint64_t>{5}));
    EXPECT_EQ(serials("db@root"), (std::vector<uint64_t>{9}));
    EXPECT_EQ(serials("db@1"), (std::vector<uint64_t>{5}));
    EXPECT_EQ(serials("7@1"), (std::vector<uint64_t>{3}));
    EXPECT_TRUE(serials("nobody").empty());
    EXPECT_TRUE(index.name_shared_across_owners(agents[0]));
    EXPECT_FALSE(index.name_shared_across_owners(agents[1]));
    index.remove(agents[3]);
    EXPECT_EQ(serials("7"), (std::vector<uint64_t>{3, 9}));
    index.remove(agents[2]);
    EXPECT_FALSE(index.name_shared_across_owners(agents[0]));
    EXPECT_EQ(serials("db"), (std::vector<uint64_t>{9})); // the other "db" keeps its entry
}

// How each word is read: never as a name when it could be more.
TEST(AgentSelector, WordsWithAtOrPidPrefixAreSelectors) {
    using K = AgentSelector::Kind;
    const struct {
        const char *word;
        bool ok;
        K kind;
        const char *text;
        std::optional<uid_t> owner;
    } cases[] = {
        {"demo", true, K::kName, "demo", std::nullopt},
        {"1", true, K::kId, "1", std::nullopt},
        {"db-*", true, K::kPattern, "db-*", std::nullopt},
        {"demo@root", true, K::kName, "demo", 0},
        {"demo@0", true, K::kName, "demo", 0},
        {"db-*@65534", true, K::kPattern, "db-*", 65534},
        {"1@root", true, K::kId, "1", 0},
        {"demo@root@root", true, K::kName, "demo@root", 0}, // an agent named demo@root
        {"pid:1234", true, K::kPid, "", std::nullopt},
        {"pid:x@root", true, K::kName, "pid:x", 0},
        {"demo@no-such-user-here", false, K::kName, "", std::nullopt},
        {"demo@", false, K::kName, "", std::nullopt},
        {"@root", false, K::kName, "", std::nullopt},
        {"pid:", false, K::kName, "", std::nullopt},
        {"pid:12a", false, K::kName, "", std::nullopt},
        {"pid:0", false, K::kName, "", std::nullopt},
    };
    for (const auto &c : cases) {
        std::string error;
        auto sel = parse_selector(c.word, &error);
        ASSERT_EQ(sel.has_value(), c.ok) << c.word << ": " << error;
        if (!sel) {
            EXPECT_NE(error, "") << c.word;
            continue;
        }
        EXPECT_EQ(sel->kind, c.kind) << c.word;
        if (c.kind != K::kPid) {
            EXPECT_EQ(sel->text, c.text) << c.word;
        }
        EXPECT_EQ(sel->owner, c.owner) << c.word;
        EXPECT_EQ(sel->names_owner(), c.owner.has_value() || c.kind == K::kPid) << c.word;
    }
    EXPECT_EQ(parse_selector("pid:1234", nullptr)->pid, 1234);
}
