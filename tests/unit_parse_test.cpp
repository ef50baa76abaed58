// The option parser, the option set, and the number, port and lower-case
// utilities; no sockets.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli_agent.h"

namespace {

// A mutable argv as handlers receive it; a null entry stays null.
class Argv {
  public:
    explicit Argv(const std::vector<const char *> &args) {
        storage_.reserve(args.size());
        for (const char *a : args) {
            if (a == nullptr) {
                ptrs_.push_back(nullptr);
                continue;
            }
            storage_.emplace_back(a);
            ptrs_.push_back(storage_.back().data());
        }
        ptrs_.push_back(nullptr); // keeps data() valid for an empty list
    }
    int argc() const { return static_cast<int>(ptrs_.size()) - 1; }
    char **argv() { return ptrs_.data(); }

  private:
    std::vector<std::string> storage_;
    std::vector<char *> ptrs_;
};

struct OptionStep {
    int ret;
    const char *optarg;
    int32_t optind;
    unsigned char optopt = 0;
    const char *errmsg = "";
};

struct OptionCase {
    const char *name;
    const char *optstring;
    std::vector<const char *> args;
    int32_t start_optind;
    std::vector<OptionStep> steps; // the last one returns -1
};

const int kColon = ':';
const int kE9 = 0xE9;

const OptionCase kOptionCases[] = {
    {"SeparateArgument", "ab:v", {"cmd", "-b", "80"}, 0, {{'b', "80", 3}, {-1, nullptr, 3}}},
    {"AttachedArgument", "ab:v", {"cmd", "-b80"}, 0, {{'b', "80", 2}, {-1, nullptr, 2}}},
    {"ArgumentStartingWithHyphen",
     "ab:v",
     {"cmd", "-b", "-x"},
     0,
     {{'b', "-x", 3}, {-1, nullptr, 3}}},
    {"EmptyWordAsArgument", "ab:v", {"cmd", "-b", ""}, 0, {{'b', "", 3}, {-1, nullptr, 3}}},
    {"MissingArgument",
     "ab:v",
     {"cmd", "-v", "-b"},
     0,
     {{'v', nullptr, 2},
      {'?', nullptr, 3, 'b', "option requires an argument -- 'b'"},
      {-1, nullptr, 3}}},
    {"InvalidOptionThenParsingGoesOn",
     "ab:v",
     {"cmd", "-x", "-a"},
     0,
     {{'?', nullptr, 2, 'x', "invalid option -- 'x'"}, {'a', nullptr, 3}, {-1, nullptr, 3}}},
    {"FlagsDoNotGroup",
     "ab:v",
     {"cmd", "-ab", "80"},
     0,
     {{'a', nullptr, 2}, {1, "80", 3}, {-1, nullptr, 3}}},
    {"OperandsAndOptionsInAnyOrder",
     "ab:v",
     {"cmd", "in", "-v", "out", "-b", "9", "last"},
     0,
     {{1, "in", 2},
      {'v', nullptr, 3},
      {1, "out", 4},
      {'b', "9", 6},
      {1, "last", 7},
      {-1, nullptr, 7}}},
    {"LoneHyphenIsAnOperand",
     "ab:v",
     {"cmd", "-", "-a"},
     0,
     {{1, "-", 2}, {'a', nullptr, 3}, {-1, nullptr, 3}}},
    {"NullEntryIsAnOperand",
     "ab:v",
     {"cmd", nullptr, "-v"},
     0,
     {{1, nullptr, 2}, {'v', nullptr, 3}, {-1, nullptr, 3}}},
    {"DoubleHyphenIsNotAnEndMarker",
     "ab:v",
     {"cmd", "--", "-a"},
     0,
     {{'?', nullptr, 2, '-', "invalid option -- '-'"}, {'a', nullptr, 3}, {-1, nullptr, 3}}},
    {"DoubleHyphenListed", "a-", {"cmd", "--"}, 0, {{'-', nullptr, 2}, {-1, nullptr, 2}}},
    {"ColonListedAsFlag", "ab:v", {"cmd", "-:"}, 0, {{kColon, nullptr, 2}, {-1, nullptr, 2}}},
    {"ColonTakingArgument", "a::", {"cmd", "-:", "x"}, 0, {{kColon, "x", 3}, {-1, nullptr, 3}}},
    {"ColonNotListed",
     "ab",
     {"cmd", "-:"},
     0,
     {{'?', nullptr, 2, ':', "invalid option -- ':'"}, {-1, nullptr, 2}}},
    {"LeadingColonChangesNothing",
     ":b:",
     {"cmd", "-b"},
     0,
     {{'?', nullptr, 2, 'b', "option requires an argument -- 'b'"}, {-1, nullptr, 2}}},
    {"QuestionMarkListed", "a?", {"cmd", "-?"}, 0, {{'?', nullptr, 2}, {-1, nullptr, 2}}},
    {"HighByteOption", "a\xe9", {"cmd", "-\xe9"}, 0, {{kE9, nullptr, 2}, {-1, nullptr, 2}}},
    {"HighByteInvalid",
     "ab:v",
     {"cmd", "-\xe9"},
     0,
     {{'?', nullptr, 2, 0xE9, "invalid option -- '\xe9'"}, {-1, nullptr, 2}}},
    {"OnlyTheCommandName", "ab:v", {"cmd"}, 0, {{-1, nullptr, 1}}},
    {"ZeroArgc", "ab:v", {}, 0, {{-1, nullptr, 1}}},
    {"NegativeOptindStartsAtTheFirstArgument",
     "ab:v",
     {"cmd", "-a"},
     -4,
     {{'a', nullptr, 2}, {-1, nullptr, 2}}},
    {"ResumesAtAGivenOptind",
     "ab:v",
     {"cmd", "-a", "-v"},
     2,
     {{'v', nullptr, 3}, {-1, nullptr, 3}}},
    {"OptindPastTheEnd", "ab:v", {"cmd", "-a"}, 5, {{-1, nullptr, 5}}},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const OptionCase &c, std::ostream *os) {
    *os << c.name;
}

class OptionParser : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionParser, Steps) {
    const OptionCase &c = GetParam();
    Argv args(c.args);
    cli_option_state st{};
    st.optind = c.start_optind;
    // Left-overs of an earlier call must not survive the next one.
    st.optopt = 'Q';
    std::strcpy(st.errmsg, "stale");
    st.optarg = args.argv()[0];

    int32_t last_optind = 0;
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const OptionStep &s = c.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(cli_get_option(args.argc(), args.argv(), c.optstring, &st), s.ret);
        EXPECT_STREQ(st.optarg, s.optarg);
        EXPECT_EQ(st.optind, s.optind);
        EXPECT_EQ(st.optopt, s.optopt);
        EXPECT_STREQ(st.errmsg, s.errmsg);
        last_optind = s.optind;
    }
    for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(cli_get_option(args.argc(), args.argv(), c.optstring, &st), -1);
        EXPECT_EQ(st.optind, last_optind);
        EXPECT_EQ(st.optarg, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OptionParser, ::testing::ValuesIn(kOptionCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(OptionParserArgs, OptargPointsIntoArgv) {
    Argv args({"cmd", "-b80", "-b", "90", "word"});
    cli_option_state st{};
    char **argv = args.argv();
    ASSERT_EQ(cli_get_option(args.argc(), argv, "b:", &st), 'b');
    EXPECT_EQ(st.optarg, argv[1] + 2);
    ASSERT_EQ(cli_get_option(args.argc(), argv, "b:", &st), 'b');
    EXPECT_EQ(st.optarg, argv[3]);
    ASSERT_EQ(cli_get_option(args.argc(), argv, "b:", &st), 1);
    EXPECT_EQ(st.optarg, argv[4]);
}

TEST(OptionParserArgs, NullArgumentsChangeNothing) {
    Argv args({"cmd", "-a"});
    cli_option_state st{};
    st.optind = 1;
    st.optopt = 'k';
    std::strcpy(st.errmsg, "kept");
    st.optarg = args.argv()[0];

    EXPECT_EQ(cli_get_option(args.argc(), nullptr, "a", &st), -1);
    EXPECT_EQ(cli_get_option(args.argc(), args.argv(), nullptr, &st), -1);
    EXPECT_EQ(cli_get_option(args.argc(), args.argv(), "a", nullptr), -1);
    EXPECT_EQ(st.optind, 1);
    EXPECT_EQ(st.optopt, 'k');
    EXPECT_STREQ(st.errmsg, "kept");
    EXPECT_EQ(st.optarg, args.argv()[0]);
}

TEST(OptionSet, OnlyLowerCaseLettersAreRecorded) {
    struct Case {
        int32_t opt;
        uint32_t bit; // 0: ignored
    };
    const Case cases[] = {
        {'a', 1u << 0}, {'m', 1u << 12}, {'z', 1u << 25}, {'A', 0},       {'Z', 0},
        {'0', 0},       {'9', 0},        {'`', 0},        {'{', 0},       {'?', 0},
        {0, 0},         {-1, 0},         {255, 0},        {'a' + 256, 0}, {'z' + 256, 0},
        {'a' - 256, 0}, {INT32_MIN, 0},  {INT32_MAX, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.opt);
        uint32_t mask = 0;
        cli_set_option(&mask, c.opt);
        EXPECT_EQ(mask, c.bit);
        EXPECT_EQ(cli_test_option(mask, c.opt), c.bit != 0);
        EXPECT_EQ(cli_test_option(0xFFFFFFFFu, c.opt), c.bit != 0);
        EXPECT_FALSE(cli_test_option(~c.bit, c.opt));
    }
    cli_set_option(nullptr, 'a');
}

TEST(OptionSet, LettersAccumulateAndHighBitsMeanNothing) {
    uint32_t mask = 0;
    cli_set_option(&mask, 'a');
    cli_set_option(&mask, 'z');
    cli_set_option(&mask, 'a');
    EXPECT_EQ(mask, (1u << 0) | (1u << 25));
    EXPECT_TRUE(cli_test_option(mask, 'a'));
    EXPECT_TRUE(cli_test_option(mask, 'z'));
    EXPECT_FALSE(cli_test_option(mask, 'b'));
    for (int32_t opt = -600; opt <= 600; ++opt)
        ASSERT_FALSE(cli_test_option(0xFC000000u, opt)) << opt;
}

constexpr uint64_t kU64Max = UINT64_MAX;

struct NumberCase {
    const char *text;
    std::optional<uint64_t> u64;
    std::optional<uint32_t> u32;
};

const NumberCase kNumberCases[] = {
    {"0", 0, 0},
    {"42", 42, 42},
    {"0x10", 16, 16},
    {"0X1f", 31, 31},
    {"017", 15, 15},
    {"010", 8, 8},
    {"+7", 7, 7},
    {"-0", 0, 0},
    {"-1", kU64Max, std::nullopt},
    {"-0x10", kU64Max - 15, std::nullopt},
    {" 42", 42, 42},
    {"\t\n 0x2a", 42, 42},
    {"4294967295", 4294967295u, 4294967295u},
    {"0xffffffff", 4294967295u, 4294967295u},
    {"4294967296", 4294967296u, std::nullopt},
    {"0x100000000", 4294967296u, std::nullopt},
    {"18446744073709551615", kU64Max, std::nullopt},
    {"0xffffffffffffffff", kU64Max, std::nullopt},
    {"18446744073709551616", std::nullopt, std::nullopt},
    {"0x10000000000000000", std::nullopt, std::nullopt},
    {"42 ", std::nullopt, std::nullopt},
    {"42\n", std::nullopt, std::nullopt},
    {"12k", std::nullopt, std::nullopt},
    {"k12", std::nullopt, std::nullopt},
    {"1 2", std::nullopt, std::nullopt},
    {"1.5", std::nullopt, std::nullopt},
    {"08", std::nullopt, std::nullopt},
    {"0x", std::nullopt, std::nullopt},
    {"", std::nullopt, std::nullopt},
    {" ", std::nullopt, std::nullopt},
    {"-", std::nullopt, std::nullopt},
};

constexpr uint64_t kSentinel = 0xA5A5A5A5A5A5A5A5u;

// Checks one parser against the expected value; a failure must leave *out
// as it was.
template <class T, class Parse>
void expect_parse(const char *what, Parse parse, const char *text, std::optional<T> expected) {
    SCOPED_TRACE(what);
    T out = static_cast<T>(kSentinel);
    int rc = parse(text, &out);
    if (expected.has_value()) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(out, *expected);
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(out, static_cast<T>(kSentinel)) << "out changed on failure";
    }
}

TEST(NumberParsers, Table) {
    for (const auto &c : kNumberCases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        expect_parse<uint64_t>("cli_get_param_u64", cli_get_param_u64, c.text, c.u64);
        expect_parse<uint32_t>("cli_get_param_u32", cli_get_param_u32, c.text, c.u32);
        expect_parse<uint32_t>("cli_parse_u32", cli_parse_u32, c.text, c.u32);
        expect_parse<uint64_t>(
            "cli_get_param_pointer",
            [](const char *s, uint64_t *out) {
                void *p = reinterpret_cast<void *>(static_cast<uintptr_t>(*out));
                int rc = cli_get_param_pointer(s, &p);
                *out = reinterpret_cast<uintptr_t>(p);
                return rc;
            },
            c.text, c.u64);
    }
}

TEST(NumberParsers, NullArguments) {
    uint64_t u64 = 5;
    uint32_t u32 = 5;
    void *p = &u64;
    EXPECT_EQ(cli_get_param_u64(nullptr, &u64), -1);
    EXPECT_EQ(cli_get_param_u32(nullptr, &u32), -1);
    EXPECT_EQ(cli_parse_u32(nullptr, &u32), -1);
    EXPECT_EQ(cli_get_param_pointer(nullptr, &p), -1);
    EXPECT_EQ(u64, 5u);
    EXPECT_EQ(u32, 5u);
    EXPECT_EQ(p, &u64);
    EXPECT_EQ(cli_get_param_u64("1", nullptr), -1);
    EXPECT_EQ(cli_get_param_u32("1", nullptr), -1);
    EXPECT_EQ(cli_parse_u32("1", nullptr), -1);
    EXPECT_EQ(cli_get_param_pointer("1", nullptr), -1);
}

TEST(PortArgument, ValidPortOrTheDefault) {
    struct Case {
        const char *text;
        std::optional<uint16_t> port; // nullopt: the default
    };
    const Case cases[] = {
        {"1", 1},
        {"22", 22},
        {"65535", 65535},
        {"0x1F90", 8080},
        {" 80", 80},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"4294967318", std::nullopt}, // 2^32 + 22
        {"-22", std::nullopt},
        {"80 ", std::nullopt},
        {"ssh", std::nullopt},
        {"", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        for (uint16_t fallback : {uint16_t{7002}, uint16_t{0}}) {
            EXPECT_EQ(cli_parse_port_arg(c.text, fallback), c.port.value_or(fallback));
        }
    }
}

TEST(LowerCase, InPlace) {
    struct Case {
        const char *in;
        const char *out;
    };
    const Case cases[] = {
        {"MiXeD Case 42!?", "mixed case 42!?"},
        {"ALREADY", "already"},
        {"lower", "lower"},
        // Neighbours of the letter ranges in ASCII stay as they are.
        {"@[`{-_./:", "@[`{-_./:"},
        // High bytes are not letters in the C locale the tests run in.
        {"\xC9t\xE9", "\xC9t\xE9"},
        {"", ""},
    };
    for (const auto &c : cases) {
        std::string s = c.in;
        cli_lower(s.data());
        EXPECT_EQ(s, c.out);
    }
    cli_lower(nullptr);
}

} // namespace
