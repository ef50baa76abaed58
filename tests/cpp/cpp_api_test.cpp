// The C++ interface (cli_agent.hpp) over 127.0.0.1:7002 against the test
// server: callables reach their objects, registration ends with the object
// and waits for its runs, an exception ends only its command, long text
// arrives whole, refusals name their cause, the process has one cli::agent,
// and commands come and go on other threads while commands run.
#include "cli_agent.hpp"

#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <future>
#include <map>
#include <span>
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
    try {
        cli::agent zero(0, "zero id");
        ADD_FAILURE() << "an agent with id 0 was made";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code(), cli::errc::agent_id_zero) << e.what();
    }
    EXPECT_FALSE(cli::agent::start(0, "zero id").has_value());
}

// A handler that, once released, works on an object the test owns for a
// while: a destructor that returns before the run ends lets the test free
// the object under it.
struct SlowRun {
    Mailbox<bool> started;
    Mailbox<bool> release;
    std::atomic<bool> finished{false};

    auto handler(std::map<std::string, std::string> *store) {
        return [this, store](cli::args) {
            started.put(true);
            if (!release.take(kReadTimeout)) return 1;
            for (int i = 0; i < 20000; ++i)
                (*store)["k" + std::to_string(i % 97)] += 'x';
            finished = true;
            return 0;
        };
    }
};

TEST_F(CppApiTest, DestroyingACommandWaitsForItsRunInProgress) {
    SlowRun slow;
    auto store = std::make_unique<std::map<std::string, std::string>>();
    std::optional<cli::command> cmd;
    cmd.emplace("slow", "", slow.handler(store.get()));
    ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, 1, "slow"));
    ASSERT_TRUE(slow.started.take(kReadTimeout).has_value());
    slow.release.put(true);
    cmd.reset();
    EXPECT_TRUE(slow.finished.load());
    store.reset();
    EXPECT_TRUE(conn_.collect(1).done);
}

// Inside a command neither destructor may wait (for itself): a handler that
// stops the agent and then removes its own command returns.
TEST(CppAgent, StoppingTheAgentFromInsideACommandDoesNotWaitForItself) {
    TestServer server;
    ASSERT_TRUE(server.listening());
    Mailbox<bool> returned;
    std::optional<cli::agent> owner;
    std::optional<cli::command> self;
    owner.emplace(0x52, "self-stop");
    self.emplace("selfstop", "", [&](cli::args) {
        owner.reset();
        self.reset();
        returned.put(true);
    });
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());
    ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 1, "selfstop"));
    EXPECT_TRUE(returned.take(kReadTimeout).has_value());
    EXPECT_TRUE(conn.wait_closed());
}

// The shape of the guide's example: the store outlives the command, the command outlives
// the agent. Shutdown overlapping a command must not leave the command
// reading a dead store.
TEST(CppAgent, DestroyingTheAgentWaitsForTheCommandRunning) {
    TestServer server;
    ASSERT_TRUE(server.listening());
    SlowRun slow;
    auto store = std::make_unique<std::map<std::string, std::string>>();
    {
        cli::command get("get", "", slow.handler(store.get()));
        std::optional<cli::agent> agent;
        agent.emplace(0x53, "shutdown");
        Conn conn = server.accept();
        ASSERT_TRUE(conn.valid());
        ASSERT_TRUE(conn.handshake().has_value());
        ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 1, "get"));
        ASSERT_TRUE(slow.started.take(kReadTimeout).has_value());
        slow.release.put(true);
        agent.reset();
        EXPECT_TRUE(slow.finished.load());
    }
    store.reset();
}

// fork() copies only the forking thread: the child's destructors do not wait
// for the parent's run in progress.
TEST(CppAgent, AChildForkedDuringARunDoesNotWaitForIt) {
    TestServer server;
    ASSERT_TRUE(server.listening());
    SlowRun slow;
    auto store = std::make_unique<std::map<std::string, std::string>>();
    std::optional<cli::command> cmd;
    cmd.emplace("busy", "", slow.handler(store.get()));
    std::optional<cli::agent> agent;
    agent.emplace(0x54, "forks");
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());
    ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 1, "busy"));
    ASSERT_TRUE(slow.started.take(kReadTimeout).has_value());

    int done[2];
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(done[0]);
        cmd.reset();
        agent.reset();
        char ok = 'y';
        _exit(write(done[1], &ok, 1) == 1 ? 0 : 1);
    }
    close(done[1]);
    pollfd p{done[0], POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(kReadTimeout.count()));
    char got = 0;
    bool child_returned = ready == 1 && read(done[0], &got, 1) == 1 && got == 'y';
    close(done[0]);
    if (!child_returned) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(child_returned) << "the child waited for the parent's run";

    slow.release.put(true);
    EXPECT_TRUE(conn.collect(1).done);
}

TEST_F(CppApiTest, StoredOptionsKeepTheirOwnMessages) {
    std::vector<cli::option> kept;
    std::vector<std::string> messages_in_loop;
    cli::command opts("keepopts", "", [&](cli::args a) {
        // The option string is a temporary that ends before the loop body.
        for (const cli::option &o :
             cli::options(a, std::string("abcdefghijklmnopqrstu:").c_str())) {
            kept.push_back(o);
            messages_in_loop.push_back(kept.front().error);
        }
        const char *no_options = nullptr; // as for the C parser: nothing to parse
        for (const cli::option &o : cli::options(a, no_options))
            kept.push_back(o);
    });
    ASSERT_TRUE(conn_.command("keepopts -x -u 5 -y", 1).done);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].error, "invalid option -- 'x'");
    EXPECT_EQ(kept[1].opt, 'u');
    EXPECT_TRUE(kept[1].error.empty());
    EXPECT_EQ(kept[2].error, "invalid option -- 'y'");
    EXPECT_EQ(kept[2].optopt, 'y');
    EXPECT_EQ(messages_in_loop, std::vector<std::string>(3, "invalid option -- 'x'"));
}

TEST_F(CppApiTest, TextAfterAFlagInTheSameWordIsAnError) {
    std::vector<std::string> seen;
    cli::command grouped("grouped", "", [&seen](cli::args a) {
        for (const cli::option &o : cli::options(a, "vo:"))
            seen.push_back(
                o.is_error()
                    ? "error " + o.error + " optopt " + std::string(1, static_cast<char>(o.optopt))
                    : std::string(1, static_cast<char>(o.opt)) + " " + std::string(o.arg));
    });
    ASSERT_TRUE(conn_.command("grouped -vo5 -v5 -v -o7 -ov", 1).done);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "error option -- 'v' takes no argument, not 'o5' (options are not grouped) "
                        "optopt v",
                        "error option -- 'v' takes no argument, not '5' (options are not grouped) "
                        "optopt v",
                        "v ", "o 7", "o v"}));
}

// Every refusal of a registration names its cause.
TEST_F(CppApiTest, RegistrationErrorsNameTheirCause) {
    const std::string longest(19, 'n');
    auto handler = [](cli::args) {};
    struct Case {
        std::string name;
        cli::errc want;
    };
    const Case cases[] = {
        {"", cli::errc::name_length},
        {"x", cli::errc::name_length},
        {longest + "n", cli::errc::name_length},
        {"bad-name", cli::errc::name_character},
        {"has space", cli::errc::name_character},
        {"caf\xc3\xa9", cli::errc::name_character},
        {std::string("nu\0l", 4), cli::errc::name_character},
        {"\x1b]2;owned\a", cli::errc::name_character},
        {"help", cli::errc::name_reserved},
        {"ls", cli::errc::name_reserved},
        {"quit", cli::errc::name_reserved},
        {"exit", cli::errc::name_reserved},
        {"attach", cli::errc::name_reserved},
    };
    for (const Case &c : cases) {
        std::error_code ec;
        EXPECT_FALSE(cli::command::create(c.name, "", handler, ec).has_value()) << c.name;
        EXPECT_EQ(ec, c.want) << c.name << ": " << ec.message();
        try {
            cli::command refused(c.name, "", handler);
            ADD_FAILURE() << c.name << " was registered";
        } catch (const std::system_error &e) {
            EXPECT_EQ(e.code(), c.want) << c.name;
            EXPECT_NE(std::string(e.what()).find(cli::make_error_code(c.want).message()),
                      std::string::npos)
                << e.what();
            const std::string what = e.what();
            EXPECT_TRUE(std::none_of(what.begin(), what.end(), [](char ch) {
                return static_cast<unsigned char>(ch) < 0x20;
            })) << "a control byte of the name reached what()";
        }
    }

    cli::command taken("taken", "", handler);
    std::error_code ec;
    EXPECT_FALSE(cli::command::create(
                     "taken", "", handler, [] {}, ec)
                     .has_value());
    EXPECT_EQ(ec, cli::errc::name_taken);
    ASSERT_TRUE(add_command("c_side", [](int, char **) { return 0; }));
    EXPECT_FALSE(cli::command::create("c_side", "", handler, ec).has_value());
    EXPECT_EQ(ec, cli::errc::register_failed);
    EXPECT_FALSE(cli::command::create("no_fn", "", std::function<void(cli::args)>(), ec));
    EXPECT_EQ(ec, cli::errc::no_handler);
    EXPECT_FALSE(cli::command::create("no_ptr", "", static_cast<int (*)(cli::args)>(nullptr), ec));
    EXPECT_EQ(ec, cli::errc::no_handler);
    EXPECT_TRUE(cli::command::create("Help", "", handler, ec).has_value());
    EXPECT_FALSE(ec);
    EXPECT_TRUE(cli::command::create(longest, "", handler, ec).has_value());
}

TEST_F(CppApiTest, AFullTableIsReportedAsSuch) {
    std::vector<cli::command> all;
    std::error_code ec;
    for (int i = 0; i < 257; ++i) {
        auto c = cli::command::create(
            "n" + std::to_string(i), "", [](cli::args) {}, ec);
        if (!c) break;
        all.push_back(std::move(*c));
    }
    EXPECT_EQ(all.size(), 256u);
    EXPECT_EQ(ec, cli::errc::table_full) << ec.message();
    all.pop_back();
    EXPECT_TRUE(cli::command::create(
                    "again", "", [](cli::args) {}, ec)
                    .has_value());
}

TEST_F(CppApiTest, MoveOnlyCallablesAreAccepted) {
    auto owned = std::make_unique<std::string>("owned");
    cli::command mover(
        "mover", "",
        [p = std::move(owned)](cli::args) mutable {
            *p += "!";
            cli::print_buffered(*p + "\n");
        },
        [u = std::make_unique<int>(7)](std::string_view) {
            cli::printf_buffered("usage %d\n", *u);
        });
    EXPECT_EQ(conn_.command("mover", 1).output(), "owned!\n");
    EXPECT_EQ(conn_.command("mover", 2).output(), "owned!!\n");
}

TEST_F(CppApiTest, SendAndDumpTakeAnyContiguousBytes) {
    cli::command bytes("bytes", "", [](cli::args) {
        const std::vector<std::uint8_t> v{'v', 0, '1'};
        const std::array<std::uint8_t, 2> arr{'a', 'r'};
        const unsigned char raw[2] = {'u', 'c'};
        cli::send(v);
        cli::send(std::span<const std::uint8_t>(v).subspan(2));
        cli::send(std::string_view("sv"));
        cli::send("lit"); // the terminator is not sent
        cli::send(arr);
        cli::send(raw);
        cli::send(std::as_bytes(std::span(raw)));
        cli::print_buffered("\n");
        cli::dump(v);
        cli::dump(std::span<const std::uint8_t>(v));
    });
    EXPECT_EQ(conn_.command("bytes", 1).output(), std::string("v\0"
                                                              "11svlitarucuc\n",
                                                              16) +
                                                      "00000000: 76 00 31 \n"
                                                      "00000000: 76 00 31 \n");
}

// Text holding NUL bytes goes down in one raw call, not one frame per piece,
// and keeps its place among the buffered text.
TEST_F(CppApiTest, TextWithNulBytesIsSentAsRawBytesInOrder) {
    std::string pairs;
    for (int i = 0; i < 131072; ++i)
        pairs += std::string("a\0", 2);
    cli::command nul("nul", "", [&](cli::args) {
        cli::print_buffered("before|");
        cli::print_buffered(pairs);
        cli::print_buffered("|middle|");
        cli::print(pairs);
        cli::print_buffered("|after");
    });
    auto r = conn_.command("nul", 1);
    ASSERT_TRUE(r.done);
    EXPECT_TRUE(r.output() == "before|" + pairs + "|middle|" + pairs + "|after");
    EXPECT_LE(r.frames.size(), 12u);
}

TEST_F(CppApiTest, ConstArgsStillReadTheirWords) {
    cli::command words("words", "", [](const cli::args a) {
        const char *const *argv = a.argv();
        cli::printf_buffered("%d %s %s\n", a.argc(), argv[0], argv[1]);
    });
    EXPECT_EQ(conn_.command("words one", 1).output(), "2 words one\n");
}

// The process has one agent and one cli::agent owns it: a second object
// fails and leaves the first alone; moves transfer it.
TEST(CppAgent, OneAgentPerProcess) {
    TestServer server;
    ASSERT_TRUE(server.listening());
    cli::agent first(4, "first");
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    auto hello = conn.handshake();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(hello->agent_id, 4u);

    for (uint32_t id : {4u, 5u}) {
        try {
            cli::agent second(id, "second");
            ADD_FAILURE() << "a second agent with id " << id << " was made";
        } catch (const std::system_error &e) {
            EXPECT_EQ(e.code(), cli::errc::agent_exists) << e.what();
            EXPECT_EQ(&e.code().category(), &cli::error_category());
        }
    }
    std::error_code ec;
    EXPECT_FALSE(cli::agent::start(5, "second", ec).has_value());
    EXPECT_EQ(ec, cli::errc::agent_exists);
    EXPECT_THROW(first = cli::agent(4, "again"), std::system_error);
    EXPECT_EQ(first.id(), 4u);
    EXPECT_TRUE(conn.command("help", 1).done) << "the first agent was stopped";

    cli::agent moved = std::move(first);
    EXPECT_EQ(first.id(), 0u);
    { cli::agent gone = std::move(first); }
    EXPECT_TRUE(conn.command("help", 2).done) << "a moved-from agent stopped the agent";
    moved.stop();
    EXPECT_TRUE(conn.wait_closed());

    auto next = cli::agent::start(6, "next", ec);
    ASSERT_TRUE(next.has_value()) << ec.message();
    EXPECT_EQ(next->id(), 6u);
    Conn conn6 = server.accept();
    ASSERT_TRUE(conn6.valid());
    auto hello6 = conn6.handshake();
    ASSERT_TRUE(hello6.has_value());
    EXPECT_EQ(hello6->agent_id, 6u);
    EXPECT_EQ(hello6->payload, "next");

    EXPECT_FALSE(cli::agent::start(0, "zero", ec).has_value());
    EXPECT_EQ(ec, cli::errc::agent_id_zero);
}

// The usual shutdown of a host with an event loop: the loop's thread stops
// the agent, or removes a command, while a handler waits in a hand-off to
// that very loop. The wait is closed first, so the handler returns at once
// (not after its minute-long time-out) and the stop does not stall; the
// hand-off takes calls again afterwards.
bool handoff_queued(const cli::loop &loop) {
    pollfd p{loop.fd(), POLLIN, 0};
    return poll(&p, 1, static_cast<int>(kReadTimeout.count())) == 1;
}

TEST(CppLoopShutdown, StoppingTheAgentOnTheLoopThreadClosesAWaitingHandOff) {
    for (bool remove_command : {false, true}) {
        SCOPED_TRACE(remove_command ? "command removed" : "agent stopped");
        TestServer server;
        ASSERT_TRUE(server.listening());
        cli::loop loop; // this thread is the loop's
        int owned = 0;  // loop-owned
        Mailbox<cli::loop_status> status;
        std::optional<cli::command> cmd;
        cmd.emplace("peek", "", [&](cli::args) {
            status.put(loop.call([&] { return owned; }, std::chrono::minutes(1)).status());
        });
        std::optional<cli::agent> agent;
        agent.emplace(0x55, "loop-host");
        Conn conn = server.accept();
        ASSERT_TRUE(conn.valid());
        ASSERT_TRUE(conn.handshake().has_value());
        ASSERT_TRUE(conn.send_frame(CLI_FRAME_COMMAND, 1, "peek"));
        ASSERT_TRUE(handoff_queued(loop));

        const auto start = std::chrono::steady_clock::now();
        if (remove_command)
            cmd.reset();
        else
            agent.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(status.take(kReadTimeout), cli::loop_status::closed);

        loop.dispatch();
        auto later = std::async(std::launch::async,
                                [&] { return loop.call([&] { return ++owned; }, kReadTimeout); });
        ASSERT_TRUE(handoff_queued(loop));
        loop.dispatch();
        EXPECT_EQ(later.get().value(), 1) << "the hand-off stayed closed";
        owned = 0;
    }
}

} // namespace
