// Fan-out end to end: cli-server in scripting mode against several agents
// at once, most of them played by this process over 127.0.0.1:7002 (one
// thread each, so they answer concurrently), and across "hosts" through a
// stand-in for ssh.
#include "audit_records.h"
#include "daemon_fixture.h"
#include "server_fixture.h"
#include "test_server.h"

#include "cli_common.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

using namespace clitest;
using nlohmann::json;

namespace {

// A fake agent: greeted on construction, then a thread serves each COMMAND
// with `handler` until BYE, end of stream or the handler returns false
// (which closes the connection, as a crashing service would).
class FakeAgent {
  public:
    using Handler = std::function<bool(Conn &, const WireFrame &cmd, uint32_t id)>;

    FakeAgent(std::string name, uint32_t id, Handler handler)
        : name_(std::move(name)), id_(id), handler_(std::move(handler)) {
        conn_ = connect_agent_when_listening();
        auto ack = greet_agent(conn_, name_, id_);
        greeted_ = ack.has_value();
        ack_payload_ = ack.value_or("");
        EXPECT_TRUE(greeted_) << name_;
        if (greeted_) thread_ = std::thread([this] { serve(); });
    }
    ~FakeAgent() { join(); }

    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // The command lines received; read after join().
    const std::vector<std::string> &commands() const { return commands_; }
    const std::string &ack_payload() const { return ack_payload_; }

  private:
    void serve() {
        while (auto f = conn_.read_frame(kTimeout)) {
            if (f->type == CLI_FRAME_BYE) return;
            if (f->type != CLI_FRAME_COMMAND) continue;
            commands_.push_back(f->payload);
            if (!handler_(conn_, *f, id_)) {
                conn_.close();
                return;
            }
        }
    }

    std::string name_;
    uint32_t id_;
    Handler handler_;
    Conn conn_;
    bool greeted_ = false;
    std::string ack_payload_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

bool reply(Conn &c, const WireFrame &cmd, uint32_t id, const std::string &output) {
    if (!output.empty() && !c.send_frame(CLI_FRAME_OUTPUT, cmd.req_id, output, id)) return false;
    return c.send_frame(CLI_FRAME_DONE, cmd.req_id, "", id);
}

// Answers every command with "<line> from <name>\n".
FakeAgent::Handler echoing(const std::string &name) {
    return [name](Conn &c, const WireFrame &cmd, uint32_t id) {
        return reply(c, cmd, id, cmd.payload + " from " + name + "\n");
    };
}

std::unique_ptr<Process> spawn_server(const std::vector<std::string> &args) {
    return std::make_unique<Process>(server_argv(args));
}

RunResult finish(Process &p, ms timeout = kTimeout) {
    RunResult r;
    r.out = read_all(p.out(), timeout).value_or("<no end of output>");
    r.err = read_all(p.err(), timeout).value_or("<no end of output>");
    r.status = p.wait(timeout).value_or(-1);
    return r;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Every line of the output parsed on its own, as a monitoring program would.
std::vector<json> objects_of(const std::string &text) {
    std::vector<json> objects;
    for (const std::string &line : lines_of(text)) {
        json j = json::parse(line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << line.substr(0, 200);
        if (j.is_object()) objects.push_back(std::move(j));
    }
    return objects;
}

std::string base64_decode(const std::string &text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        size_t v = kAlphabet.find(c);
        if (v == std::string::npos) return "<not base64>";
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xff);
        }
    }
    return out;
}

std::string this_host() {
    char buf[HOST_NAME_MAX + 1] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

std::map<std::string, json> by_name(const std::vector<json> &objects) {
    std::map<std::string, json> m;
    for (const json &j : objects)
        m[j.value("name", "?") + "/" + j.value("command", "?")] = j;
    return m;
}

} // namespace

// ---------------------------------------------------------------- selection

TEST(FanoutSelection, PatternsIdsAndAllPickTheirAgents) {
    struct Case {
        std::vector<std::string> select;
        std::set<std::string> expected;
    } cases[] = {
        {{"--agent", "db-*"}, {"db-1", "db-2"}}, {{"--agent", "?eb"}, {"web"}},
        {{"--agent", "db-[2-9]"}, {"db-2"}},     {{"--agent", "13"}, {"web"}}, // an id, exactly
        {{"--all"}, {"db-1", "db-2", "web"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.select;
        for (const char *a : {"--gather", "1", "-c", "who"})
            args.emplace_back(a);
        auto server = spawn_server(args);
        FakeAgent db1("db-1", 11, echoing("db-1"));
        FakeAgent db2("db-2", 12, echoing("db-2"));
        FakeAgent web("web", 13, echoing("web"));
        auto r = finish(*server);
        const std::string what = c.select.back();
        EXPECT_EQ(r.status, 0) << what << ": " << r.err;
        std::set<std::string> ran;
        for (auto *a : {&db1, &db2, &web}) {
            a->join();
            for (const std::string &cmd : a->commands())
                EXPECT_EQ(cmd, "who");
        }
        if (!db1.commands().empty()) ran.insert("db-1");
        if (!db2.commands().empty()) ran.insert("db-2");
        if (!web.commands().empty()) ran.insert("web");
        EXPECT_EQ(ran, c.expected) << what;
        // Labelled output from each selected agent, raw for a plain id.
        for (const std::string &name : c.expected) {
            const std::string line = what == "13" ? "who from web\n" : name + ": who from " + name;
            EXPECT_NE(r.out.find(line), std::string::npos) << what << ":\n" << r.out;
        }
    }
}

TEST(FanoutSelection, NothingMatchedWithinWaitExitsTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--agent", "zz*", "--gather", "0.2", "--wait", "1", "-c", "x"},
         "cli-server: no agent matching 'zz*' connected within 1 s" + standalone_note() + "\n"},
        {{"--agent", "ghost", "--json", "--wait", "1", "-c", "x"},
         "cli-server: agent ghost did not connect within 1 s" + standalone_note() + "\n"},
    };
    for (const Case &c : cases) {
        auto start = std::chrono::steady_clock::now();
        auto server = spawn_server(c.args);
        FakeAgent db1("db-1", 11, echoing("db-1"));
        auto r = finish(*server);
        db1.join();
        EXPECT_EQ(r.status, 2) << c.args[1];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(db1.commands().empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    // No agent at all: the --wait deadline ends it.
    auto r = run_server({"--all", "--gather", "0.1", "--wait", "0", "-c", "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cli-server: no agent connected within 0 s" + standalone_note() + "\n");
}

// ---------------------------------------------------------------- output

TEST(FanoutOutput, LabelsNeverSplitALineUnderConcurrentFloods) {
    constexpr int kLines = 3000;
    // Lines cut into frames at uneven places, so most frames end mid-line.
    auto flooding = [](const std::string &name) {
        return [name](Conn &c, const WireFrame &cmd, uint32_t id) {
            std::string text;
            for (int i = 0; i < kLines; ++i)
                text += name + " " + std::to_string(i) + " " + std::string(i % 97, 'x') + "\n";
            size_t pos = 0, step = 1;
            while (pos < text.size()) {
                step = step * 7 % 1021 + 1;
                if (!c.send_frame(CLI_FRAME_OUTPUT, cmd.req_id, text.substr(pos, step), id))
                    return false;
                pos += step;
            }
            return reply(c, cmd, id, name + " last line without a newline");
        };
    };
    auto server = spawn_server({"--agent", "f*", "--gather", "1", "-c", "flood"});
    FakeAgent a("f1", 1, flooding("f1"));
    FakeAgent b("f2", 2, flooding("f2"));
    FakeAgent c("f3", 3, flooding("f3"));
    auto r = finish(*server, 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> next;
    std::map<std::string, bool> ended;
    for (const std::string &line : lines_of(r.out)) {
        size_t colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << line;
        const std::string label = line.substr(0, colon);
        const std::string body = line.substr(colon + 2);
        ASSERT_FALSE(ended[label]) << line;
        if (body == label + " last line without a newline") {
            ended[label] = true;
            continue;
        }
        const int i = next[label]++;
        ASSERT_EQ(body, label + " " + std::to_string(i) + " " + std::string(i % 97, 'x'));
    }
    for (const char *name : {"f1", "f2", "f3"}) {
        EXPECT_EQ(next[name], kLines) << name;
        EXPECT_TRUE(ended[name]) << name;
    }
}

TEST(FanoutOutput, JsonObjectsCarryEveryByteOfTheOutput) {
    const std::string binary("\xff\xfe\x00\x01 raw \x80\n", 10);
    // 1 MiB of text with a two-byte character cut by a frame boundary.
    std::string big = std::string(65535, 'a') + "\xc3\xa9\n";
    while (big.size() < (1u << 20))
        big += "line " + std::to_string(big.size()) + " \xc3\xa9\n";
    big.resize(1u << 20);
    big.back() = '\n';
    ASSERT_TRUE(std::string_view(big).substr(65535, 2) == "\xc3\xa9");

    auto server = spawn_server({"--all", "--json", "--gather", "1", "-c", "dump", "-c", "echo x"});
    FakeAgent txt("txt", 21, [](Conn &c, const WireFrame &cmd, uint32_t id) {
        return reply(c, cmd, id, cmd.payload == "dump" ? "h\xc3\xa9llo \"w\xc3\xb6rld\"\n" : "x\n");
    });
    FakeAgent bin("bin", 22, [&](Conn &c, const WireFrame &cmd, uint32_t id) {
        return reply(c, cmd, id, cmd.payload == "dump" ? binary : "x\n");
    });
    FakeAgent huge("big", 23, [&](Conn &c, const WireFrame &cmd, uint32_t id) {
        if (cmd.payload != "dump") return reply(c, cmd, id, "x\n");
        for (size_t pos = 0; pos < big.size(); pos += 65536)
            if (!c.send_frame(CLI_FRAME_OUTPUT, cmd.req_id, big.substr(pos, 65536), id))
                return false;
        return reply(c, cmd, id, "");
    });
    auto r = finish(*server, 30s);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto objects = objects_of(r.out);
    ASSERT_EQ(objects.size(), 6u) << r.out.substr(0, 500);

    const passwd *pw = getpwuid(getuid());
    for (const json &j : objects) {
        EXPECT_EQ(j.at("host"), this_host());
        EXPECT_EQ(j.at("status"), "done");
        EXPECT_TRUE(j.at("duration_ms").is_number_unsigned());
        EXPECT_TRUE(j.at("id").is_number_unsigned());
        // The fake agents are this process.
        EXPECT_EQ(j.value("pid", -1), getpid());
        if (pw) {
            EXPECT_EQ(j.value("user", ""), pw->pw_name);
        }
        EXPECT_NE(j.contains("output"), j.contains("output_base64")) << j.dump();
    }
    auto m = by_name(objects);
    EXPECT_EQ(m["txt/dump"].at("output"), "h\xc3\xa9llo \"w\xc3\xb6rld\"\n");
    EXPECT_EQ(m["txt/dump"].at("id"), 21);
    EXPECT_FALSE(m["bin/dump"].contains("output"));
    EXPECT_EQ(base64_decode(m["bin/dump"].value("output_base64", "")), binary);
    EXPECT_EQ(m["big/dump"].value("output", ""), big);
    for (const char *name : {"txt", "bin", "big"})
        EXPECT_EQ(m[std::string(name) + "/echo x"].value("output", ""), "x\n") << name;
}

TEST(FanoutOutput, RawOutputForAPlainNameOrOneAgentWithoutLabels) {
    {
        auto server = spawn_server({"--agent", "solo", "--answer", "n", "-c", "a", "-c", "b"});
        FakeAgent solo("solo", 1, echoing("solo"));
        auto r = finish(*server);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "a from solo\nb from solo\n");
    }
    {
        auto server = spawn_server({"--agent", "s*", "--no-label", "--gather", "1", "-c", "a"});
        FakeAgent solo("solo", 1, echoing("solo"));
        auto r = finish(*server);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "a from solo\n");
    }
    {
        auto server = spawn_server({"--agent", "s*", "--no-label", "--gather", "1", "-c", "a"});
        FakeAgent s1("s1", 1, echoing("s1"));
        FakeAgent s2("s2", 2, echoing("s2"));
        auto r = finish(*server);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "cli-server: --no-label needs exactly one agent; 2 are selected\n");
    }
    {
        // The script from standard input, comments skipped, up to quit.
        SpawnOptions o;
        o.pipe_stdin = true;
        Process server(server_argv({"--agent", "s*", "--gather", "1"}), o);
        server.write_in("a\n  # a comment\n\nb\nquit\nnever\n");
        server.close_in();
        FakeAgent solo("solo", 1, echoing("solo"));
        auto r = finish(server);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "solo: a from solo\nsolo: b from solo\n");
    }
}

// What an agent prints goes to a pipe byte for byte when it is the only
// agent and unlabelled; behind a label, a carriage return or an escape
// sequence would let it draw a line that seems to be another agent's, so
// there every control character is shown as \xNN. JSON escapes them too.
TEST(FanoutOutput, ControlCharactersAreVisibleBehindLabelsAndExactWithout) {
    const std::string hostile = "\x1b]0;title\x07\x1b[2J\rdb: FAKE all good\xc2\x9b"
                                "31m\tok\n";
    auto printing = [hostile](Conn &c, const WireFrame &cmd, uint32_t id) {
        return reply(c, cmd, id, hostile);
    };
    {
        auto server = spawn_server({"--agent", "web", "-c", "go"});
        FakeAgent web("web", 1, printing);
        auto r = finish(*server);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, hostile);
    }
    {
        auto server = spawn_server({"--all", "--gather", "1", "-c", "go"});
        FakeAgent web("web", 1, printing);
        auto r = finish(*server);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out,
                  "web: \\x1b]0;title\\x07\\x1b[2J\\x0ddb: FAKE all good\\xc2\\x9b31m\tok\n");
    }
    {
        auto server = spawn_server({"--all", "--json", "--gather", "1", "-c", "go"});
        FakeAgent web("we\xc2\x85"
                      "b",
                      1, printing);
        auto r = finish(*server);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"name\":\"we\\u0085b\""), std::string::npos) << r.out;
        auto objects = objects_of(r.out);
        ASSERT_EQ(objects.size(), 1u);
        EXPECT_EQ(objects[0].at("output"), hostile); // parsers read the exact text
    }
}

// ---------------------------------------------------------------- prompts

TEST(FanoutPrompts, RefusedUnlessAnAnswerIsGiven) {
    // Asks, then reports the reply it got.
    auto asking = [](Conn &c, const WireFrame &cmd, uint32_t id) {
        if (!c.send_frame(CLI_FRAME_PROMPT, cmd.req_id, "Sure? ", id)) return false;
        auto in = c.read_frame();
        if (!in || in->type != CLI_FRAME_INPUT || in->req_id != cmd.req_id) return false;
        return reply(c, cmd, id, "got [" + in->payload + "]\n");
    };
    struct Case {
        std::vector<std::string> extra;
        const char *status;
        const char *output;
    } cases[] = {
        {{}, "prompt-refused", "Sure? \ngot []\n"},
        {{"--answer", "yes"}, "done", "Sure? \ngot [yes]\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"--all", "--json", "--gather", "1", "-c", "ask"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        auto server = spawn_server(args);
        FakeAgent p1("p1", 1, asking);
        FakeAgent p2("p2", 2, asking);
        auto r = finish(*server);
        const bool refused = c.extra.empty();
        // A refused prompt completes the command, but as a failure.
        EXPECT_EQ(r.status, refused ? 6 : 0) << r.err;
        auto objects = objects_of(r.out);
        ASSERT_EQ(objects.size(), 2u) << r.out;
        for (const json &j : objects) {
            EXPECT_EQ(j.at("status"), c.status);
            EXPECT_EQ(j.at("output"), c.output);
            EXPECT_TRUE(j.at("result").is_null()) << "these agents report no results";
        }
        EXPECT_EQ(r.err.find("answered empty") != std::string::npos, refused) << r.err;
    }
}

// ---------------------------------------------------------------- exit status

// cli-server asks every agent for results in its ACK; an agent that reports
// one (four bytes in DONE) has it in the JSON, one that does not has null,
// and a non-zero result on any agent makes the status 6.
TEST(FanoutExit, ANonZeroResultOnAnyAgentMakesSix) {
    auto ending = [](const std::string &done_payload) {
        return [done_payload](Conn &c, const WireFrame &cmd, uint32_t id) {
            return c.send_frame(CLI_FRAME_DONE, cmd.req_id, done_payload, id);
        };
    };
    struct Case {
        std::string first, second; // the DONE payloads of the two agents
        int status;
        json first_result, second_result;
    } cases[] = {
        {std::string("\0\0\0\3", 4), "", 6, 3, nullptr},
        {std::string("\0\0\0\0", 4), "", 0, 0, nullptr},
        {std::string("\xff\xff\xff\xfe", 4), std::string("\0\0\0\0", 4), 6, -2, 0},
        {"", "", 0, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        auto server = spawn_server({"--all", "--json", "--gather", "1", "-c", "check"});
        FakeAgent a1("a1", 1, ending(c.first));
        FakeAgent a2("a2", 2, ending(c.second));
        auto r = finish(*server);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(clitest::hex(a1.ack_payload()), clitest::hex(clitest::kResultCapability));
        auto results = by_name(objects_of(r.out));
        ASSERT_EQ(results.size(), 2u) << r.out;
        EXPECT_EQ(results["a1/check"].at("result"), c.first_result) << r.out;
        EXPECT_EQ(results["a2/check"].at("result"), c.second_result) << r.out;
        EXPECT_EQ(results["a1/check"].at("status"), "done");
    }
}

TEST(FanoutExit, DisconnectsMakeThreeOrFourAndAnInterruptOneThirty) {
    auto dying = [](Conn &, const WireFrame &, uint32_t) { return false; };
    {
        // Every agent dies in its first command: 3, and its second never runs.
        auto server = spawn_server({"--all", "--json", "--gather", "1", "-c", "die", "-c", "next"});
        FakeAgent d1("d1", 1, dying);
        FakeAgent d2("d2", 2, dying);
        auto r = finish(*server);
        EXPECT_EQ(r.status, 3) << r.err;
        auto m = by_name(objects_of(r.out));
        ASSERT_EQ(m.size(), 4u) << r.out;
        for (const char *name : {"d1", "d2"}) {
            EXPECT_EQ(m[std::string(name) + "/die"].at("status"), "agent-disconnected");
            EXPECT_EQ(m[std::string(name) + "/next"].at("status"), "not-connected");
        }
        EXPECT_NE(r.err.find("d1 (id 1) disconnected in the middle of a command"),
                  std::string::npos)
            << r.err;
    }
    {
        // One completes, one dies: 4.
        auto server = spawn_server({"--all", "--gather", "1", "-c", "die"});
        FakeAgent ok("ok", 1, echoing("ok"));
        FakeAgent d("d", 2, dying);
        auto r = finish(*server);
        EXPECT_EQ(r.status, 4) << r.err;
        EXPECT_EQ(r.out, "ok: die from ok\n");
    }
    {
        // Ctrl-C while an agent holds its command: 130, and the result says so.
        std::promise<void> received;
        auto hanging = [&](Conn &c, const WireFrame &, uint32_t) {
            received.set_value();
            auto f = c.read_frame(); // holds the command until the goodbye
            return f && f->type == CLI_FRAME_BYE;
        };
        auto server = spawn_server({"--all", "--json", "--gather", "1", "-c", "hang"});
        FakeAgent h("h", 1, hanging);
        ASSERT_EQ(received.get_future().wait_for(kTimeout), std::future_status::ready);
        server->kill(SIGINT);
        auto r = finish(*server);
        EXPECT_EQ(r.status, 130) << r.err;
        auto objects = objects_of(r.out);
        ASSERT_EQ(objects.size(), 1u) << r.out;
        EXPECT_EQ(objects[0].at("status"), "interrupted");
    }
}

// --timeout: an agent that never ends its command holds neither the script
// nor the other agents' results, standalone or through a resident server
// (whose audit log records the time-out). Its second command queues behind
// the abandoned first one and runs out of time too.
TEST(FanoutTimeout, ASilentAgentTimesOutAndTheScriptGoesOn) {
    std::atomic<bool> stop_holding{false};
    auto silent = [&](Conn &c, const WireFrame &, uint32_t) {
        while (!stop_holding) // holds the command until the goodbye (or the test's end)
            if (auto f = c.read_frame(200ms); f && f->type == CLI_FRAME_BYE) return false;
        return false;
    };
    for (bool resident : {false, true}) {
        SCOPED_TRACE(resident ? "through a resident server" : "standalone");
        stop_holding = false;
        TempDir dir;
        const std::string log = dir.path() + "/audit.log";
        std::unique_ptr<Daemon> daemon;
        std::vector<std::string> args = {"--all", "--json", "--timeout", "2",
                                         "-c",    "status", "-c",        "again"};
        if (resident) {
            daemon =
                std::make_unique<Daemon>(dir.path(), std::vector<std::string>{"--audit-log", log});
            ASSERT_TRUE(daemon->ready()) << daemon->error();
            args.insert(args.begin(), {"--socket", daemon->socket()});
        } else {
            args.insert(args.begin(), {"--standalone", "--gather", "1"});
        }
        auto server = resident ? nullptr : spawn_server(args);
        FakeAgent ok("ok", 1, echoing("ok"));
        FakeAgent quiet("quiet", 2, silent);
        if (resident) {
            ASSERT_TRUE(daemon->journal_until("quiet (id 2) connected"));
            server = spawn_server(args);
        }
        const auto start = std::chrono::steady_clock::now();
        auto r = finish(*server);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
        EXPECT_EQ(r.status, 4) << r.err;
        auto m = by_name(objects_of(r.out));
        ASSERT_EQ(m.size(), 4u) << r.out;
        EXPECT_EQ(m["ok/status"].at("status"), "done");
        EXPECT_EQ(m["ok/again"].at("status"), "done");
        EXPECT_EQ(m["quiet/status"].at("status"), "timed-out");
        EXPECT_EQ(m["quiet/again"].at("status"), "timed-out");
        EXPECT_GE(m["quiet/status"].value("duration_ms", 0), 2000);
        EXPECT_NE(r.err.find("quiet (id 2): 'status' did not end within 2 s (--timeout)"),
                  std::string::npos)
            << r.err;
        stop_holding = true;
        if (!resident) continue;
        EXPECT_EQ(daemon->stop(), 0);
        // The running command was abandoned as timed out; the queued one
        // was withdrawn before it was sent, so it has no record.
        std::vector<std::string> quiet_records;
        for (const json &j : audit_records(log))
            if (j.value("agent", "") == "quiet")
                quiet_records.push_back(j.value("command", "") + " " + j.value("event", "") + " " +
                                        j.value("outcome", ""));
        EXPECT_EQ(quiet_records, (std::vector<std::string>{"status sent ", "status end timed-out"}))
            << audit_text(log);
    }
}

// ---------------------------------------------------------------- resident server

// A client of the resident server selects among the agents connected now:
// no gather, the same results.
TEST(FanoutResident, SelectsTheAgentsConnectedNowWithoutAGather) {
    Daemon daemon;
    ASSERT_EQ(daemon.error(), "");
    const std::string &sock = daemon.socket();
    FakeAgent db1("db-1", 11, echoing("db-1"));
    FakeAgent db2("db-2", 12, echoing("db-2"));
    FakeAgent web("web", 13, echoing("web"));

    const auto start = std::chrono::steady_clock::now();
    auto r =
        run_server({"--socket", sock, "--agent", "db-*", "--json", "--gather", "5", "-c", "who"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s); // --gather is not waited for
    EXPECT_EQ(r.status, 0) << r.err;
    auto m = by_name(objects_of(r.out));
    ASSERT_EQ(m.size(), 2u) << r.out;
    for (const char *name : {"db-1", "db-2"}) {
        const json &j = m[std::string(name) + "/who"];
        EXPECT_EQ(j.value("output", ""), std::string("who from ") + name + "\n");
        EXPECT_EQ(j.value("pid", -1), getpid());
    }
    EXPECT_EQ(daemon.stop(), 0);
}

// ---------------------------------------------------------------- many machines

// `ssh HOST cli-server --all --json -c ...` for two hosts at once, through a
// stand-in for ssh that gives each host its own network and host name: the
// two streams merge into one, and `host` tells the objects apart.
TEST(FanoutHosts, StreamsOfSeveralHostsMergeThroughSsh) {
    const std::string ssh = CLI_TEST_SOURCE_DIR "/tests/support/fake_ssh.sh";
    if (std::system("unshare -n -u true 2>/dev/null") != 0)
        GTEST_SKIP() << "no network and UTS namespaces here";
    char dir_template[] = "/tmp/fanout-hosts-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    std::ofstream(dir + "/alpha") << EXAMPLE_HOST_PATH " 1 db-1\n" EXAMPLE_HOST_PATH " 2 db-2\n";
    std::ofstream(dir + "/beta") << EXAMPLE_HOST_PATH " 1 db-1\n" EXAMPLE_HOST_PATH " 5 web\n";

    // The gather is longer than the default so that the hosts' agents,
    // which started with the server and retry once a second, are in.
    const std::string remote =
        std::string(CLI_SERVER_PATH) + " --all --json --gather 3 -c status -c \"'echo hi there'\"";
    const std::string script =
        "for h in alpha beta; do \"$0\" $h " + remote + " 2>/dev/null & done; wait";
    SpawnOptions o;
    o.env = {"FAKE_SSH_HOSTS=" + dir};
    Process merged({"/bin/sh", "-c", script, ssh}, o);
    auto r = finish(merged, 20s);
    std::remove((dir + "/alpha").c_str());
    std::remove((dir + "/beta").c_str());
    rmdir(dir.c_str());
    ASSERT_EQ(r.status, 0) << r.err;

    std::map<std::string, std::set<std::string>> seen; // host -> "name/command"
    for (const json &j : objects_of(r.out)) {
        EXPECT_EQ(j.at("status"), "done") << j.dump();
        EXPECT_TRUE(j.at("pid").is_number_integer()) << j.dump();
        const std::string output = j.value("output", "");
        if (j.at("command") == "status") {
            EXPECT_NE(output.find("service: up"), std::string::npos) << output;
        } else {
            EXPECT_EQ(output, "hi there\n");
        }
        seen[j.at("host").get<std::string>()].insert(j.at("name").get<std::string>() + "/" +
                                                     j.at("command").get<std::string>());
    }
    const std::set<std::string> alpha = {"db-1/status", "db-1/echo hi there", "db-2/status",
                                         "db-2/echo hi there"};
    const std::set<std::string> beta = {"db-1/status", "db-1/echo hi there", "web/status",
                                        "web/echo hi there"};
    EXPECT_EQ(seen.size(), 2u) << r.out;
    EXPECT_EQ(seen["alpha"], alpha) << r.out;
    EXPECT_EQ(seen["beta"], beta) << r.out;
}
