// The command table and command execution, driven over 127.0.0.1:7002.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent_fixture.h"

using namespace clitest;

namespace {

std::vector<std::string> g_seen_args;
std::atomic<int> g_calls{0};

int record_args(int argc, char **argv) {
    g_seen_args.assign(argv, argv + argc);
    ++g_calls;
    return 0;
}

int print_first(int, char **) {
    cli_print_buffer("first\n");
    return 0;
}

int print_second(int, char **) {
    cli_print_buffer("second\n");
    return 0;
}

int print_200k(int, char **) {
    std::string chunk(1024, 'o');
    for (int i = 0; i < 200; ++i)
        cli_print_buffer("%s", chunk.c_str());
    return 0;
}

cli_command make_command(const std::string &name, cli_cmd_handler h = record_args,
                         const std::string &desc = "d") {
    cli_command c{};
    std::memcpy(c.name, name.data(), std::min(name.size(), sizeof c.name));
    std::memcpy(c.desc, desc.data(), std::min(desc.size(), sizeof c.desc));
    c.handler = h;
    return c;
}

std::vector<size_t> output_sizes(const Conn::Result &r) {
    std::vector<size_t> sizes;
    for (const auto &f : r.frames) {
        EXPECT_EQ(f.type, CLI_FRAME_OUTPUT);
        sizes.push_back(f.payload.size());
    }
    return sizes;
}

const char kHelpHeader[] = "<command>        <description>\n"
                           " help            show help information\n";

} // namespace

TEST(CommandTable, NameRules) {
    struct Case {
        std::string name;
        bool accepted;
    };
    const Case cases[] = {
        {"ab", true},
        {"with_under", true},
        {"Help", true},
        {"x9_Z", true},
        {std::string(19, 'n'), true},
        {"a", false},
        {std::string(20, 'n'), false},
        {"has-hyphen", false},
        {"sp ace", false},
        {"", false},
        {"help", false},
        {"ls", false},
        {"quit", false},
        {"exit", false},
        {"attach", false},
        {"caf\xc3\xa9", false},
    };
    for (const auto &c : cases) {
        cli_command cmd = make_command(c.name);
        EXPECT_EQ(cli_register_command(&cmd), c.accepted ? 0 : -1) << "'" << c.name << "'";
        cli_unregister_command(&cmd);
    }
    cli_command no_handler = make_command("nohandler", nullptr);
    EXPECT_EQ(cli_register_command(&no_handler), -1);
    EXPECT_EQ(cli_register_command(nullptr), -1);
    cli_unregister_command(nullptr);
}

// A host that sets a single-byte locale makes isalnum() accept letters
// above 0x7f; command names stay ASCII, as the server expects them.
TEST(CommandTable, NamesAreAsciiWhateverLocaleTheHostSets) {
    const std::string dir = std::string(CLI_TEST_BINARY_DIR) + "/tests/latin1-locale";
    const std::string make = "mkdir -p '" + dir + "' && localedef -i fr_FR -f ISO-8859-1 '" + dir +
                             "/fr_FR.ISO-8859-1' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "localedef cannot build a Latin-1 locale";
    setenv("LOCPATH", dir.c_str(), 1);
    if (std::setlocale(LC_CTYPE, "fr_FR.ISO-8859-1") == nullptr)
        GTEST_SKIP() << "the Latin-1 locale does not load";
    ASSERT_NE(std::isalnum(0xE9), 0) << "the locale does not take 0xe9 for a letter";
    cli_command c = make_command("caf\xe9");
    EXPECT_EQ(cli_register_command(&c), -1) << "a name with a byte above 0x7f was accepted";
    cli_unregister_command(&c);
    std::setlocale(LC_CTYPE, "C");
    unsetenv("LOCPATH");
}

TEST_F(AgentTest, HelloCarriesNameAndId) {
    EXPECT_EQ(hello_.req_id, 0u);
    EXPECT_EQ(hello_.agent_id, kAgentId);
    EXPECT_EQ(hello_.payload, "test-agent");
}

TEST_F(AgentTest, HelpWithoutCommandsListsOnlyTheHeader) {
    auto r = conn_.command("help", 42);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), kHelpHeader);
    for (const auto &f : r.frames) {
        EXPECT_EQ(f.req_id, 42u);
        EXPECT_EQ(f.agent_id, kAgentId);
    }
}

TEST_F(AgentTest, HelpListsSlotsInOrderAndReusesFreedSlots) {
    cli_command first = make_command("first", print_first, "the first one");
    cli_command second = make_command("second", print_second, std::string(64, 'D'));
    cli_command third = make_command("third_command_name", record_args, "long name");
    ASSERT_TRUE(register_command(first));
    ASSERT_TRUE(register_command(second));
    ASSERT_TRUE(register_command(third));
    EXPECT_EQ(conn_.command("help extra args").output(),
              std::string(kHelpHeader) + " first            the first one\n" +
                  " second           " + std::string(63, 'D') + "\n" +
                  " third_command_name long name\n");

    cli_unregister_command(&first);
    cli_command fourth = make_command("fourth", record_args, "reused");
    ASSERT_TRUE(register_command(fourth));
    auto out = conn_.command("help").output();
    EXPECT_LT(out.find("fourth"), out.find("second")) << out;
    EXPECT_EQ(out.find("first"), std::string::npos);
}

TEST_F(AgentTest, DuplicateNameKeepsTheFirstHandler) {
    cli_command a = make_command("dup", print_first);
    cli_command b = make_command("dup", print_second);
    ASSERT_TRUE(register_command(a));
    EXPECT_FALSE(register_command(b));
    EXPECT_EQ(conn_.command("dup").output(), "first\n");
}

TEST_F(AgentTest, FullTableRefusesThe257thAndReusesAFreedSlot) {
    for (int i = 0; i < 256; ++i) {
        cli_command c = make_command("cmd" + std::to_string(i));
        ASSERT_TRUE(register_command(c)) << i;
    }
    cli_command extra = make_command("extra");
    EXPECT_FALSE(register_command(extra));
    cli_command victim = make_command("cmd100");
    cli_unregister_command(&victim);
    EXPECT_TRUE(register_command(extra));
    auto out = conn_.command("help").output();
    EXPECT_LT(out.find(" cmd99 "), out.find(" extra "));
    EXPECT_LT(out.find(" extra "), out.find(" cmd101 "));
}

TEST_F(AgentTest, HandlerGetsTheSplitArguments) {
    cli_command c = make_command("args");
    ASSERT_TRUE(register_command(c));
    auto r = conn_.command(R"(args one "two three" four\ five)");
    ASSERT_TRUE(r.done);
    EXPECT_TRUE(r.frames.empty());
    EXPECT_EQ(g_seen_args, (std::vector<std::string>{"args", "one", "two three", "four five"}));
}

TEST_F(AgentTest, UnknownCommandsAndReservedWords) {
    for (std::string name : {"nosuch", "ls", "quit", "exit", "attach", "HELP"}) {
        auto r = conn_.command(name + " arg");
        ASSERT_TRUE(r.done) << name;
        EXPECT_EQ(r.output(), "Unknown command: " + name + "\nTry `help`.\n");
    }
    std::string long_name(200, 'q');
    std::string expected = ("Unknown command: " + long_name).substr(0, 127);
    EXPECT_EQ(conn_.command(long_name).output(), expected);
}

TEST_F(AgentTest, EmptyAndOverlongArgumentListsProduceOnlyDone) {
    g_calls = 0; // other tests of this process may have run the handler
    cli_command c = make_command("args");
    ASSERT_TRUE(register_command(c));
    std::string words = "args";
    for (int i = 0; i < 128; ++i)
        words += " w";
    for (const std::string &line : {std::string(), std::string(" \t "), words}) {
        auto r = conn_.command(line);
        EXPECT_TRUE(r.done);
        EXPECT_TRUE(r.frames.empty());
    }
    EXPECT_EQ(g_calls.load(), 0);
}

TEST_F(AgentTest, CommandLineIsCutAt4095Bytes) {
    cli_command c = make_command("args");
    ASSERT_TRUE(register_command(c));
    std::string line = "args " + std::string(5000, 'x');
    ASSERT_TRUE(conn_.command(line).done);
    ASSERT_EQ(g_seen_args.size(), 2u);
    EXPECT_EQ(g_seen_args[1].size(), 4095u - 5u);
}

TEST_F(AgentTest, LargeBufferedOutputIsSentInFullFrames) {
    cli_command c = make_command("big", print_200k);
    ASSERT_TRUE(register_command(c));
    auto r = conn_.command("big", 9);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(output_sizes(r), (std::vector<size_t>{65536, 65536, 65536, 8192}));
    EXPECT_EQ(r.output(), std::string(200 * 1024, 'o'));
}

TEST_F(AgentTest, OtherFrameTypesAreDroppedWithoutReply) {
    const uint16_t ignored[] = {
        CLI_FRAME_ACK, CLI_FRAME_OUTPUT, CLI_FRAME_INPUT, CLI_FRAME_HELLO, 0, 77};
    for (uint16_t type : ignored)
        ASSERT_TRUE(conn_.send_frame(type, 5, "ignored"));
    auto r = conn_.command("help", 6);
    ASSERT_TRUE(r.done);
    for (const auto &f : r.frames)
        EXPECT_EQ(f.req_id, 6u);
}

TEST_F(AgentTest, CommandsRunOneAfterAnotherInArrivalOrder) {
    cli_command c = make_command("first", print_first);
    ASSERT_TRUE(register_command(c));
    for (uint32_t id = 100; id < 105; ++id)
        ASSERT_TRUE(conn_.send_frame(CLI_FRAME_COMMAND, id, "first"));
    for (uint32_t id = 100; id < 105; ++id) {
        auto r = conn_.collect(id);
        ASSERT_TRUE(r.done) << id;
        ASSERT_EQ(r.frames.size(), 1u);
        EXPECT_EQ(r.frames[0].req_id, id);
    }
}

// ---------------------------------------------------------------- results

namespace {

int return_three(int, char **) {
    cli_print_buffer("three\n");
    return 3;
}

int return_minus_one(int, char **) {
    return -1;
}

int throw_from_handler(int, char **) {
    throw std::runtime_error("broken");
}

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// Lines and the result each ends with, for a server that asked for results.
struct ResultCase {
    std::string line;
    int32_t result;
};

std::vector<ResultCase> result_cases() {
    std::string words = "three";
    for (int i = 0; i < 128; ++i)
        words += " w";
    return {{"three", 3}, {"minus_one", -1}, {"throws", 1},   {"help", 0},
            {"", 0},      {" \t ", 0},       {"nosuch", 127}, {words, 2}};
}

class AgentResults : public AgentTest {
  protected:
    void register_result_commands() {
        ASSERT_TRUE(add_command("three", return_three));
        ASSERT_TRUE(add_command("minus_one", return_minus_one));
        ASSERT_TRUE(add_command("throws", throw_from_handler));
    }
};

class AgentAskingForResults : public AgentResults {
  protected:
    AgentAskingForResults() { ack_payload_ = kResultCapability; }
};

// Any ACK but the exact capability: the frames every server saw before.
class AgentWithOtherAck : public AgentResults, public ::testing::WithParamInterface<std::string> {
  protected:
    AgentWithOtherAck() { ack_payload_ = GetParam(); }
};

} // namespace

TEST_F(AgentAskingForResults, DoneCarriesEachCommandsResult) {
    register_result_commands();
    uint32_t req = 1;
    for (const ResultCase &c : result_cases()) {
        auto r = conn_.command(c.line, ++req);
        ASSERT_TRUE(r.done) << c.line;
        EXPECT_EQ(hex(r.done_payload), hex(be32(static_cast<uint32_t>(c.result))))
            << "'" << c.line.substr(0, 20) << "'";
    }
    EXPECT_EQ(conn_.command("three", ++req).output(), "three\n");
}

TEST_P(AgentWithOtherAck, DoneStaysEmpty) {
    register_result_commands();
    uint32_t req = 1;
    for (const ResultCase &c : result_cases()) {
        auto r = conn_.command(c.line, ++req);
        ASSERT_TRUE(r.done) << c.line;
        EXPECT_EQ(r.done_payload, "") << "'" << c.line.substr(0, 20) << "': a 20-byte DONE";
    }
}

INSTANTIATE_TEST_SUITE_P(AcksThatDoNotAsk, AgentWithOtherAck,
                         ::testing::Values(std::string(), std::string("RESULT\x00\x02", 8),
                                           std::string("RESULT"),
                                           std::string("RESULT\x00\x01\x00", 9),
                                           std::string("result\x00\x01", 8),
                                           std::string("hello, agent")));
