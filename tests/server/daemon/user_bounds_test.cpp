// The resident server's bounds by user: each user's own, the total of all
// but root and the server's user, and what a client or command gives back.
#include "daemon/user_bounds.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace cliserver;

namespace {

constexpr uid_t kAlice = 61001, kBob = 61002;

BoundsOptions small() {
    BoundsOptions o;
    o.clients_per_user = 2;
    o.clients_total = 3;
    o.queued_per_user = 10000;
    o.queued_total = 15000;
    return o;
}

} // namespace

TEST(UserBounds, ClientsPerUserAndInAllButRootsOwnOutsideTheTotal) {
    if (getuid() == kAlice || getuid() == kBob) GTEST_SKIP() << "the test's users are the server's";
    UserBounds b(small());
    EXPECT_FALSE(b.admit_client(kAlice));
    EXPECT_FALSE(b.admit_client(kAlice));
    auto refused = b.admit_client(kAlice);
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("already has 2 clients"), std::string::npos) << *refused;
    EXPECT_NE(refused->find("--max-clients)"), std::string::npos) << *refused;
    EXPECT_FALSE(b.admit_client(kBob));
    refused = b.admit_client(kBob); // the total of 3
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("--max-clients-total"), std::string::npos) << *refused;
    // Root is bounded, but not locked out by the others.
    EXPECT_FALSE(b.admit_client(0));
    EXPECT_FALSE(b.admit_client(0));
    EXPECT_TRUE(b.admit_client(0));
    // A place given back is free again.
    b.release_client(kAlice);
    EXPECT_FALSE(b.admit_client(kBob));
}

TEST(UserBounds, QueuedBytesPerUserAndInAllAndGivenBack) {
    UserBounds b(small());
    EXPECT_EQ(UserBounds::cost(100), 100 + UserBounds::kCommandCost);
    EXPECT_FALSE(b.charge(kAlice, 9000));
    auto refused = b.charge(kAlice, 2000);
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("(--max-queued)"), std::string::npos) << *refused;
    EXPECT_FALSE(b.charge(kBob, 6000));
    refused = b.charge(kBob, 1000); // 16000 over the total of 15000
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("--max-queued-total"), std::string::npos) << *refused;
    EXPECT_FALSE(b.charge(0, 10000)); // root's own
    b.refund(kAlice, 9000);
    EXPECT_FALSE(b.charge(kBob, 4000));
}
