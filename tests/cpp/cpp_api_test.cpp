// The C++ interface (cli_agent.hpp) over 127.0.0.1:7002 against the test
// server: callables reach their objects, registration ends with the object,
// an exception ends only its command, long text arrives whole, and commands
// come and go on other threads while commands run.
#include "cli_agent.hpp"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "mailbox.h"

using namespace clitest;

namespace {

using CppApiTest = AgentTest;

struct Account {
    std::string owner;
    long balance = 0;
};

TEST_F(CppApiTest, CapturesReachTheirObjectsAndArgumentsArriveAsViews) {
    Account alice{"alice", 10}, bob{"bob", 0};
    auto deposit = [](Account &acct) {
        return [&acct](cli::args a) {
            for (std::string_view s : a)
                if (s != a.name()) acct.balance += static_cast<long>(cli::param_u32(s).value_or(0));
            cli::printf_buffered("%s has %ld\n", acct.owner.c_str(), acct.balance);
            return 0;
        };
    };
    cli::command a("pay_alice", "alice", deposit(alice));
    cli::command b("pay_bob", "bob", deposit(bob));

    EXPECT_EQ(conn_.command("pay_alice 5 0x10", 1).output(), "alice has 31\n");
    EXPECT_EQ(conn_.command("pay_bob 7", 2).output(), "bob has 7\n");
    EXPECT_EQ(alice.balance, 31);
    EXPECT_EQ(bob.balance, 7);
}

TEST_F(CppApiTest, DestroyingTheObjectUnregistersAndFreesTheName) {
    {
        cli::command scoped("scoped", "for a while", [](cli::args) { cli::print("here\n"); });
        EXPECT_EQ(conn_.command("scoped", 1).output(), "here\n");
        EXPECT_NE(conn_.command("help", 2).output().find("scoped"), std::string::npos);
        EXPECT_FALSE(cli::command::create("scoped", "twice", [](cli::args) {}).has_value());
    }
    EXPECT_EQ(conn_.command("help", 3).output().find("scoped"), std::string::npos);
    EXPECT_NE(conn_.command("scoped", 4).output().find("Unknown command"), std::string::npos);

    auto again = cli::command::create("scoped", "again", [](cli::args) { cli::print("back\n"); });
    ASSERT_TRUE(again.has_value());
    cli::command moved = std::move(*again);
    again.reset();
    EXPECT_EQ(conn_.command("scoped", 5).output(), "back\n");
    EXPECT_THROW(cli::command("bad-name", "", [](cli::args) {}), std::system_error);
    EXPECT_THROW(cli::command("help", "", [](cli::args) {}), std::system_error);
}

TEST_F(CppApiTest, AnExceptionEndsOnlyItsCommandWithOneLine) {
    int runs = 0;
    cli::command thrower("thrower", "throws", [&runs](cli::args a) -> int {
        ++runs;
        cli::print_buffered("partial\n");
        if (a.size() > 1) throw 42;
        throw std::runtime_error("disk on\nfire");
    });
    auto r = conn_.command("thrower", 1);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.output(), "partial\nthrower: disk on fire\n");
    EXPECT_EQ(conn_.command("thrower x", 2).output(), "partial\nthrower: unknown exception\n");

    cli::command usage_throws(
        "usage_throws", "", [](cli::args) { cli::usage_error("wrong"); },
        []() { throw std::logic_error("no usage"); });
    EXPECT_EQ(conn_.command("usage_throws", 3).output(), "wrong\nusage_throws: no usage\n");
    EXPECT_EQ(runs, 2);
}

std::string awkward_text(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i)
        s += (i % 7 == 0) ? std::string(1, '\0') : (i % 5 == 0) ? "%s%n%%" : "text ";
    s.resize(n);
    return s;
}

TEST_F(CppApiTest, LongTextWithPercentAndNulArrivesWholeAndInOrder) {
    const std::string direct = awkward_text(200000);
    const std::string buffered = awkward_text(30000) + "|";
    cli::command longtext("longtext", "", [&](cli::args) {
        cli::print_buffered(buffered);
        cli::print(direct);
        cli::print_buffered("tail\n");
        cli::printf("%s=%zu\n", "size", direct.size());
        cli::send(std::string_view("raw\0bytes", 9));
    });
    auto r = conn_.command("longtext", 1);
    ASSERT_TRUE(r.done);
    std::string expected = buffered + direct + "tail\nsize=200000\n" + std::string("raw\0bytes", 9);
    ASSERT_EQ(r.output().size(), expected.size());
    EXPECT_TRUE(r.output() == expected);
}

TEST_F(CppApiTest, UsageErrorDumpOptionsAndParameters) {
    std::vector<std::string> seen;
    cli::command opts(
        "opts", "",
        [&seen](cli::args a) {
            for (const cli::option &o : cli::options(a, "ab:")) {
                if (o.is_error()) {
                    cli::usage_error(o.error);
                    return 1;
                }
                seen.push_back(o.is_argument() ? "arg " + std::string(o.arg)
                                               : std::string(1, static_cast<char>(o.opt)) + " " +
                                                     std::string(o.arg));
            }
            const unsigned char bytes[20] = {0xde, 0xad, 0xbe, 0xef};
            cli::dump(bytes, sizeof bytes);
            return 0;
        },
        [](std::string_view name) {
            cli::printf_buffered("usage: %s [-a] [-b X]\n", name.data());
        });

    std::string out = conn_.command("opts -a -b 80 word -b90", 1).output();
    EXPECT_EQ(seen, (std::vector<std::string>{"a ", "b 80", "arg word", "b 90"}));
    EXPECT_EQ(out, "00000000: de ad be ef 00 00 00 00 00 00 00 00 00 00 00 00 \n"
                   "00000010: 00 00 00 00 \n");
    EXPECT_EQ(conn_.command("opts -x", 2).output(),
              "invalid option -- 'x'\nusage: opts [-a] [-b X]\n");

    EXPECT_EQ(cli::param_u64("0x10"), 16u);
    EXPECT_EQ(cli::param_u64("12k"), std::nullopt);
    EXPECT_EQ(cli::param_u32("0x100000000"), std::nullopt);
    EXPECT_EQ(cli::param_pointer("0x1000"), reinterpret_cast<void *>(0x1000));
}

TEST_F(CppApiTest, InputReturnsTheReplyOrNothing) {
    Mailbox<std::optional<std::string>> reply;
    cli::command ask("ask", "", [&reply](cli::args) { reply.put(cli::input("Name? ")); });
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 9, "ask"));
    auto prompt = conn_.read_frame();
    ASSERT_TRUE(prompt.has_value());
    EXPECT_EQ(prompt->type, CLI_FRAME_PROMPT);
    EXPECT_EQ(prompt->payload, "Name? ");
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_INPUT, 9, "Ada Lovelace"));
    EXPECT_TRUE(conn_.collect(9).done);
    auto got = reply.take(kReadTimeout);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, std::optional<std::string>("Ada Lovelace"));
    EXPECT_EQ(cli::input("outside a command"), std::nullopt);
}

// A command that removes itself while it runs keeps its callable, and what
// the callable owns, alive until it returns.
TEST_F(CppApiTest, ACommandUnregisteredWhileRunningFinishesWithItsCallable) {
    std::optional<cli::command> self;
    auto owned = std::make_shared<std::string>("still here");
    self.emplace("selfremove", "", [&self, owned](cli::args) {
        self.reset();
        cli::printf("%s\n", owned->c_str());
    });
    std::weak_ptr<std::string> watch = owned;
    owned.reset();
    EXPECT_EQ(conn_.command("selfremove", 1).output(), "still here\n");
    EXPECT_TRUE(watch.expired());
    EXPECT_NE(conn_.command("selfremove", 2).output().find("Unknown command"), std::string::npos);
}

TEST_F(CppApiTest, RegistrationOnOtherThreadsWhileCommandsRun) {
    constexpr int kRounds = 20000; // a bound; the churn normally ends when the commands are done
    std::atomic<long> calls{0};
    std::atomic<bool> stop{false};
    cli::command steady("steady", "", [&calls](cli::args) {
        cli::print_buffered("ok\n");
        return static_cast<int>(++calls % 2);
    });
    std::vector<std::thread> churn;
    for (int t = 0; t < 2; ++t) {
        churn.emplace_back([t, &stop] {
            std::string name = "churn" + std::to_string(t);
            for (int i = 0; i < kRounds && !stop; ++i) {
                auto c = cli::command::create(name, "comes and goes", [i](cli::args) {
                    cli::printf_buffered("round %d\n", i);
                });
                if (!c) ADD_FAILURE() << "could not register " << name;
                std::this_thread::yield();
            }
        });
    }
    for (uint32_t i = 1; i <= 100; ++i) {
        auto r = conn_.command(i % 3 == 0 ? "churn0" : "steady", i);
        ASSERT_TRUE(r.done) << i;
        std::string out = r.output();
        if (i % 3 != 0)
            EXPECT_EQ(out, "ok\n");
        else
            EXPECT_TRUE(out.rfind("round ", 0) == 0 || out.find("Unknown command") == 0 ||
                        out == "churn0: command was removed\n")
                << out;
    }
    stop = true;
    for (auto &t : churn)
        t.join();
    EXPECT_GE(calls.load(), 66);
}

// cli::agent owns the agent: its destructor says goodbye, a moved-from
// object does nothing.
TEST(CppAgent, ConnectsAndDisconnectsWithTheObject) {
    TestServer server;
    ASSERT_TRUE(server.listening());
    {
        cli::agent outer(0x51, "raii-agent");
        Conn conn = server.accept();
        ASSERT_TRUE(conn.valid());
        auto hello = conn.handshake();
        ASSERT_TRUE(hello.has_value());
        EXPECT_EQ(hello->agent_id, 0x51u);
        {
            cli::agent moved = std::move(outer);
            EXPECT_EQ(outer.id(), 0u);
            EXPECT_EQ(moved.id(), 0x51u);
        }
        EXPECT_TRUE(conn.wait_closed());
    }
    EXPECT_THROW(cli::agent(0, "zero id"), std::system_error);
    EXPECT_FALSE(cli::agent::start(0, "zero id").has_value());
}

} // namespace
