// The fan-out's command line and its JSON results, without processes.
#include "operator/json_result.h"
#include "cli/options.h"
#include "core/exit_status.h"
#include "core/text.h"
#include "core/users.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using namespace cliserver;

namespace {

bool parse(std::vector<std::string> args, Options &opts, std::string &error) {
    args.insert(args.begin(), "cli-server");
    std::vector<char *> argv;
    for (auto &s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(args.size()), argv.data(), opts, &error);
}

} // namespace

TEST(FanoutOptions, SelectionGatherAndOutputModes) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--all", "--json", "--gather", "0.25", "--answer", "", "-c", "x"}, o, error))
        << error;
    EXPECT_TRUE(o.all && o.json);
    EXPECT_EQ(o.gather_ms, 250u);
    EXPECT_EQ(o.answer, std::optional<std::string>(""));
    EXPECT_TRUE(fans_out(o));
    EXPECT_EQ(o.timeout_seconds, 0u) << "no limit unless asked";

    Options bounded;
    ASSERT_TRUE(parse({"--timeout", "3", "-c", "x"}, bounded, error)) << error;
    EXPECT_EQ(bounded.timeout_seconds, 3u);
    Options daemon;
    ASSERT_TRUE(parse({"--daemon", "--max-clients", "8", "--max-clients-total", "40",
                       "--max-queued", "2", "--max-queued-total", "10"},
                      daemon, error))
        << error;
    EXPECT_EQ(daemon.daemon_options().bounds.clients_per_user, 8u);
    EXPECT_EQ(daemon.daemon_options().bounds.clients_total, 40u);
    EXPECT_EQ(daemon.daemon_options().bounds.queued_per_user, size_t{2} << 20);
    EXPECT_EQ(daemon.daemon_options().bounds.queued_total, size_t{10} << 20);

    // A plain name keeps the one-agent behaviour; a pattern fans out.
    Options plain;
    ASSERT_TRUE(parse({"--agent", "db-1", "--no-label"}, plain, error));
    EXPECT_EQ(plain.gather_ms, 1500u);
    EXPECT_FALSE(fans_out(plain));
    for (const char *pattern : {"db-*", "db-?", "db-[12]"})
        EXPECT_TRUE(is_agent_pattern(pattern)) << pattern;

    struct Refused {
        std::vector<std::string> args;
        const char *error;
    } refused[] = {
        {{"--gather", "1.2345"}, "invalid --gather"},
        {{"--gather", "-1"}, "invalid --gather"},
        {{"--gather", "3601"}, "invalid --gather"},
        {{"--gather", "."}, "invalid --gather"},
        {{"--all", "--agent", "db"}, "exclude each other"},
        {{"--json", "--no-label"}, "--no-label"},
        {{"--timeout", "0"}, "invalid --timeout"},
        {{"--timeout", "86401"}, "invalid --timeout"},
        {{"--max-clients", "4"}, "need --daemon"},
        {{"--daemon", "--max-queued", "0"}, "invalid --max-queued"},
        {{"--daemon", "--max-clients-total", "x"}, "invalid --max-clients-total"},
    };
    for (auto &r : refused) {
        Options x;
        EXPECT_FALSE(parse(r.args, x, error)) << r.args[0];
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }
}

TEST(FanoutJson, Utf8CheckAndBase64) {
    for (const char *ok : {"", "plain", "h\xc3\xa9", "\xe2\x82\xac", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(is_valid_utf8(ok)) << ok;
    // Overlong, surrogate, past U+10FFFF, stray continuation, cut short.
    for (const char *bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80",
                            "h\xc3", "\xe2\x82"})
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    EXPECT_FALSE(is_valid_utf8(std::string("a\0\xff", 3)));

    // RFC 4648's test vectors.
    const char *vectors[][2] = {{"", ""},
                                {"f", "Zg=="},
                                {"fo", "Zm8="},
                                {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="},
                                {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (auto &v : vectors)
        EXPECT_EQ(base64_encode(v[0]), v[1]) << v[0];
}

TEST(FanoutJson, OneObjectPerLineWithUnknownsLeftOut) {
    CommandResult r;
    r.host = "h1";
    r.name = "bad\xffname";
    r.id = 7;
    r.command = "status";
    r.status = CommandOutcome::kNotConnected;
    const std::string line = result_json_line(r);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j["name"], "bad\xef\xbf\xbdname"); // U+FFFD: the line stays valid JSON
    EXPECT_FALSE(j.contains("pid"));
    EXPECT_FALSE(j.contains("user"));
    EXPECT_EQ(j["output"], "");

    r.pid = 42;
    r.output = std::string("\x00\xff", 2);
    j = nlohmann::json::parse(result_json_line(r));
    EXPECT_EQ(j["pid"], 42);
    EXPECT_EQ(j["output_base64"], "AP8=");
    EXPECT_FALSE(j.contains("output"));
}

// Agent text on a terminal or behind a label: controls become \xNN, C1
// included in either form, printable UTF-8 passes, and a character split
// between two pieces of a stream is not mistaken for garbage.
TEST(ServerText, ControlCharactersAreMadeVisible) {
    struct Case {
        std::string in, name, text;
    } cases[] = {
        {"plain", "plain", "plain"},
        {"a\tb\n", "a\\x09b\\x0a", "a\tb\n"},
        {"\x1b]0;t\x07", "\\x1b]0;t\\x07", "\\x1b]0;t\\x07"},
        {"\rdb: FAKE", "\\x0ddb: FAKE", "\\x0ddb: FAKE"},
        {"x\x7fy", "x\\x7fy", "x\\x7fy"},
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b2J", "\\xc2\\x9b2J"}, // C1 as UTF-8
        {"\x9b"
         "2J",
         "\\x9b2J", "\\x9b2J"}, // a lone C1 byte
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"\xc0\x80", "\\xc0\\x80", "\\xc0\\x80"},               // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80", "\\xed\\xa0\\x80"}, // a surrogate
        {"\xe2\x82", "\\xe2\\x82", "\\xe2\\x82"},               // cut short at the end
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cliserver::printable(c.in), c.name) << c.in;
        EXPECT_EQ(cliserver::printable_text(c.in), c.text) << c.in;
    }
    cliserver::PrintableStream stream;
    std::string shown = stream.feed("a\xe2\x82");
    shown += stream.feed("\xac\xc2");
    shown += stream.feed("\x9b"
                         "b\xe2");
    shown += stream.flush();
    EXPECT_EQ(shown, "a\xe2\x82\xac\\xc2\\x9bb\\xe2");
}

// The words monitoring parses: every outcome a fan-out reports, and which
// of them count as the command having completed.
TEST(FanoutJson, StatusWordsOfEveryOutcome) {
    const struct {
        CommandOutcome outcome;
        const char *word;
        bool completed;
    } cases[] = {
        {CommandOutcome::kDone, "done", true},
        {CommandOutcome::kPromptRefused, "prompt-refused", true},
        {CommandOutcome::kAgentDisconnected, "agent-disconnected", false},
        {CommandOutcome::kNotConnected, "not-connected", false},
        {CommandOutcome::kInterrupted, "interrupted", false},
        {CommandOutcome::kTimedOut, "timed-out", false},
    };
    for (const auto &c : cases) {
        CommandResult r;
        r.status = c.outcome;
        EXPECT_EQ(nlohmann::json::parse(result_json_line(r))["status"], c.word);
        EXPECT_EQ(outcome_completed(c.outcome), c.completed) << c.word;
    }
    EXPECT_STREQ(outcome_name(CommandOutcome::kClientLeft), "client-left");
}

// The numbers the manual gives each exit status.
TEST(FanoutOptions, ExitStatusesKeepTheirNumbers) {
    EXPECT_EQ(exit_code(ExitStatus::kCompleted), 0);
    EXPECT_EQ(exit_code(ExitStatus::kError), 1);
    EXPECT_EQ(exit_code(ExitStatus::kAgentAbsent), 2);
    EXPECT_EQ(exit_code(ExitStatus::kCommandBroken), 3);
    EXPECT_EQ(exit_code(ExitStatus::kPartlyCompleted), 4);
    EXPECT_EQ(exit_code(ExitStatus::kOutputFailed), 5);
    EXPECT_EQ(exit_code(ExitStatus::kInterrupted), 130);
    EXPECT_EQ(signal_exit_code(15), 143);
}

TEST(FanoutJson, ControlCharactersAreEscapedInTheLine) {
    cliserver::CommandResult r;
    r.name = "we\xc2\x85"
             "b";
    r.output = "\x1b[2J\x7f\xc2\x9b";
    const std::string line = cliserver::result_json_line(r);
    EXPECT_NE(line.find("\"name\":\"we\\u0085b\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"output\":\"\\u001b[2J\\u007f\\u009b\""), std::string::npos) << line;
    EXPECT_EQ(nlohmann::json::parse(line).at("output"), r.output);
}

// The line is the serializer's compact dump of the same object, made
// visible: byte for byte, for every kind of text a field can hold.
TEST(FanoutJson, LineIsTheSerializersDumpByteForByte) {
    auto reference = [](const CommandResult &r) {
        nlohmann::ordered_json j;
        j["host"] = r.host;
        j["name"] = r.name;
        j["id"] = r.id;
        if (r.pid) j["pid"] = *r.pid;
        if (r.uid) j["user"] = uid_text(r.uid);
        j["command"] = r.command;
        j["status"] = outcome_name(r.status);
        if (r.result)
            j["result"] = *r.result;
        else
            j["result"] = nullptr;
        j["duration_ms"] = r.duration_ms;
        if (is_valid_utf8(r.output))
            j["output"] = r.output;
        else
            j["output_base64"] = base64_encode(r.output);
        if (r.truncated) j["truncated"] = true;
        return json_visible(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) +
               "\n";
    };
    const std::vector<std::string> texts = {
        "",
        "plain words",
        std::string("nul\0byte", 8),
        "quote\" back\\slash /slash",
        "\b\f\n\r\t\x01\x1f\x7f",
        "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
        "c1 \xc2\x85\xc2\x9b zero\xe2\x80\x8bwidth \xe2\x80\xae"
        "bidi \xef\xbb\xbf \xf3\xa0\x80\x81",
        "bad \xff byte",
        "cut \xe2\x82",
        "overlong \xc0\xaf surrogate \xed\xa0\x80 \x7f after",
        "\xc3\xa9\xff\xc3\xa9\x1b[2J",
    };
    CommandResult r;
    for (const std::string &t : texts) {
        r.host = t;
        r.name = t;
        r.command = t;
        r.output = t;
        r.pid.reset();
        r.uid.reset();
        r.result.reset();
        r.truncated = false;
        EXPECT_EQ(result_json_line(r), reference(r)) << t;
        r.pid = -7;
        r.uid = 0;
        r.result = -2147483647 - 1;
        r.id = 4294967295u;
        r.duration_ms = 18446744073709551615ull;
        r.truncated = true;
        r.status = CommandOutcome::kTimedOut;
        EXPECT_EQ(result_json_line(r), reference(r)) << t;
    }
}
