// What one client has waiting with the resident server: its commands by
// both ids, forgotten once and for all, and held to the bounds by agent,
// count and bytes.
#include "daemon/tracked_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cliserver;

namespace {

TrackedCommand command(uint64_t client_request, uint64_t agent, size_t line_size = 3) {
    TrackedCommand c;
    c.client_request = client_request;
    c.agent.serial = agent;
    c.agent.name = "host" + std::to_string(agent);
    c.line = std::string(line_size, 'x');
    return c;
}

} // namespace

TEST(TrackedCommands, FoundByEitherIdUntilRemovedOnce) {
    TrackedCommands t;
    ASSERT_TRUE(t.add(100, command(1, 7)));
    ASSERT_TRUE(t.add(101, command(2, 7, 5)));
    EXPECT_FALSE(t.add(100, command(3, 7))) << "a hub id twice";
    EXPECT_FALSE(t.add(102, command(2, 8))) << "a client request twice";
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.bytes(), 8u);
    ASSERT_NE(t.find(101), nullptr);
    EXPECT_EQ(*t.find(101), command(2, 7, 5)) << "kept whole";
    EXPECT_EQ(t.by_client(1), std::optional<RequestId>(100));
    auto gone = t.remove(100);
    ASSERT_TRUE(gone);
    EXPECT_EQ(*gone, command(1, 7));
    EXPECT_FALSE(t.remove(100)) << "removed twice";
    EXPECT_EQ(t.find(100), nullptr);
    EXPECT_FALSE(t.by_client(1));
    EXPECT_FALSE(t.has_client_request(1));
    EXPECT_TRUE(t.add(103, command(1, 7))) << "the client's id is free again";
    EXPECT_EQ(t.bytes(), 8u);
}

TEST(TrackedCommands, ForAgentAndTakeAll) {
    TrackedCommands t;
    ASSERT_TRUE(t.add(10, command(1, 7)));
    ASSERT_TRUE(t.add(11, command(2, 8)));
    ASSERT_TRUE(t.add(12, command(3, 7)));
    EXPECT_EQ(t.for_agent(7), (std::vector<RequestId>{10, 12}));
    EXPECT_TRUE(t.for_agent(9).empty());
    auto all = t.take_all();
    EXPECT_EQ(all.size(), 3u);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.bytes(), 0u);
    EXPECT_TRUE(t.for_agent(7).empty());
    EXPECT_FALSE(t.by_client(2));
    EXPECT_TRUE(t.bounds(command(0, 7).agent, 1u << 20) == std::nullopt) << "counts start again";
}

TEST(TrackedCommands, Bounds) {
    struct Case {
        const char *what;
        unsigned same_agent;   // commands already waiting for agent 7
        unsigned other_agents; // ... for agents of their own
        size_t line_size;      // of the command asked for
        const char *refusal;   // a part of it, or nullptr when it fits
    };
    const Case cases[] = {
        {"nothing waiting", 0, 0, 3, nullptr},
        {"one short of the agent's bound", TrackedCommands::kMaxPerAgent - 1, 0, 3, nullptr},
        {"the agent's bound", TrackedCommands::kMaxPerAgent, 0, 3, "commands waiting for"},
        {"others do not count for the agent", 0, TrackedCommands::kMaxPerAgent, 3, nullptr},
        {"the bytes of all", 1, 1, TrackedCommands::kMaxCommandBytes - 5, "2 commands waiting;"},
        {"the bytes of all, to the byte", 1, 1, TrackedCommands::kMaxCommandBytes - 6, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TrackedCommands t;
        RequestId id = 1;
        for (unsigned i = 0; i < c.same_agent + c.other_agents; ++i, ++id)
            ASSERT_TRUE(t.add(id, command(id, i < c.same_agent ? 7 : 100 + i)));
        const auto why = t.bounds(command(0, 7).agent, c.line_size);
        if (!c.refusal) {
            EXPECT_FALSE(why) << *why;
            continue;
        }
        ASSERT_TRUE(why);
        EXPECT_NE(why->find(c.refusal), std::string::npos) << *why;
        EXPECT_NE(why->find("the connection is closed"), std::string::npos) << *why;
    }
}

TEST(TrackedCommands, CountOfAllBounded) {
    TrackedCommands t;
    for (RequestId id = 1; id <= TrackedCommands::kMaxCommands; ++id)
        ASSERT_TRUE(t.add(id, command(id, id, 0)));
    const auto why = t.bounds(command(0, 1).agent, 0);
    ASSERT_TRUE(why);
    EXPECT_NE(why->find(std::to_string(TrackedCommands::kMaxCommands) + " commands waiting;"),
              std::string::npos)
        << *why;
    ASSERT_TRUE(t.remove(1));
    EXPECT_FALSE(t.bounds(command(0, 1).agent, 0));
}
