// The fan-out's JSON results, without processes.
#include "operator/json_result.h"
#include "core/text.h"
#include "core/users.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using namespace cliserver;

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
