// The server's incremental frame decoder, the decoders' read buffer, the
// agents' selection and the command-line parser.
#include "cli/options.h"
#include "core/text.h"
#include "hub/agent_selection.h"
#include "wire/agent_frames.h"
#include "wire/read_buffer.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace cliserver;

namespace {

std::string hello_db() {
    // HELLO of agent 7 named "db", byte for byte as the wire format gives it.
    return std::string("\x51\x45\x4C\x4D\x00\x01\x00\x02\x00\x00\x00\x00\x00\x00\x00\x07"
                       "\x00\x00\x00\x02\x64\x62",
                       22);
}

std::string header(uint32_t magic, uint16_t version, uint32_t len) {
    std::string h = encode_frame(CLI_FRAME_OUTPUT, 1, 2, std::string(0, '\0'));
    for (int i = 0; i < 4; ++i)
        h[i] = static_cast<char>(magic >> (24 - 8 * i));
    h[4] = static_cast<char>(version >> 8);
    h[5] = static_cast<char>(version);
    for (int i = 0; i < 4; ++i)
        h[16 + i] = static_cast<char>(len >> (24 - 8 * i));
    return h;
}

} // namespace

TEST(FrameCodec, EncodesTheWireLayout) {
    EXPECT_EQ(encode_frame(CLI_FRAME_HELLO, 0, 7, "db"), hello_db());
}

TEST(FrameCodec, DecodesAFrameFedOneByteAtATime) {
    FrameDecoder d;
    Frame f;
    const std::string bytes = hello_db();
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        d.append(&bytes[i], 1);
        ASSERT_EQ(d.next(f, nullptr), DecodeResult::kNeedMore) << "after byte " << i;
        EXPECT_TRUE(d.partial());
    }
    d.append(&bytes.back(), 1);
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kMessage);
    EXPECT_EQ(f.type, CLI_FRAME_HELLO);
    EXPECT_EQ(f.agent_id, 7u);
    EXPECT_EQ(f.payload, "db");
    EXPECT_FALSE(d.partial());
}

TEST(FrameCodec, SplitsSeveralFramesInOneChunkAndKeepsBinaryPayloads) {
    const std::string binary("a\0b\xff", 4);
    const std::string max(CLI_FRAME_MAX_DATA, 'x');
    std::string stream = encode_frame(CLI_FRAME_OUTPUT, 5, 7, binary) +
                         encode_frame(CLI_FRAME_DONE, 5, 7) +
                         encode_frame(CLI_FRAME_OUTPUT, 6, 7, max);
    FrameDecoder d;
    d.append(stream.data(), stream.size());
    Frame f;
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kMessage);
    EXPECT_EQ(f.payload, binary);
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kMessage);
    EXPECT_EQ(f.type, CLI_FRAME_DONE);
    EXPECT_EQ(f.req_id, 5u);
    EXPECT_TRUE(f.payload.empty());
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kMessage);
    EXPECT_EQ(f.payload.size(), max.size());
    EXPECT_EQ(d.next(f, nullptr), DecodeResult::kNeedMore);
}

TEST(FrameCodec, RejectsABadHeaderBeforeItsPayloadArrives) {
    struct Case {
        const char *what;
        std::string header;
        const char *message;
    } cases[] = {
        {"magic", header(0x47455420, 1, 0), "bad magic 0x47455420"},
        {"version", header(CLI_FRAME_MAGIC, 2, 0), "unsupported version 2"},
        {"length", header(CLI_FRAME_MAGIC, 1, CLI_FRAME_MAX_DATA + 1), "exceeds"},
    };
    for (auto &c : cases) {
        FrameDecoder d;
        d.append(c.header.data(), c.header.size());
        Frame f;
        std::string error;
        EXPECT_EQ(d.next(f, &error), DecodeResult::kMalformed) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
    }
}

TEST(ServerOptions, ParsesOrRefusesCommandLines) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        uint16_t port;
        uint32_t wait;
        std::vector<std::string> commands;
        const char *error;
    } cases[] = {
        {{}, true, 7002, 5, {}, ""},
        {{"--port", "7100", "--wait", "0", "--agent", "db"}, true, 7100, 0, {}, ""},
        {{"-c", "stats", "-c", "config -g level"}, true, 7002, 5, {"stats", "config -g level"}, ""},
        {{"--port=0"}, false, 0, 0, {}, "invalid port '0'"},
        {{"--port", "65536"}, false, 0, 0, {}, "invalid port"},
        {{"--wait", "5s"}, false, 0, 0, {}, "invalid --wait '5s'"},
        {{"--agent"}, false, 0, 0, {}, "needs a value"},
        {{"--frobnicate"}, false, 0, 0, {}, "unknown option '--frobnicate'"},
        {{"stats"}, false, 0, 0, {}, "unexpected argument 'stats'"},
    };
    for (auto &c : cases) {
        std::vector<std::string> storage = {"cli-server"};
        storage.insert(storage.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (auto &s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        Options opts;
        std::string error;
        bool ok = parse_options(static_cast<int>(storage.size()), argv.data(), opts, &error);
        std::string label = storage.size() > 1 ? storage[1] : "(none)";
        ASSERT_EQ(ok, c.ok) << label << ": " << error;
        if (ok) {
            EXPECT_EQ(opts.port, c.port) << label;
            EXPECT_EQ(opts.wait_seconds, c.wait) << label;
            EXPECT_EQ(opts.commands, c.commands) << label;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << label << ": " << error;
        }
    }
}

// The decoders' buffer: compacted as it is consumed, and empty-handed once
// drained unless its owner keeps room for the next read.
TEST(ReadBuffer, CompactsAndGivesItsMemoryBackOnceDrained) {
    for (const size_t keep : {size_t{0}, size_t{1} << 20}) {
        ReadBuffer b(keep);
        const std::string chunk(4096, 'r');
        b.append(chunk.data(), chunk.size());
        b.consume(3000);
        EXPECT_EQ(b.size(), 1096u);
        b.append("xy", 2); // the consumed prefix dominates: dropped first
        EXPECT_EQ(b.view().substr(1096), "xy");
        b.consume(b.size());
        EXPECT_EQ(b.size(), 0u);
        if (keep == 0)
            EXPECT_EQ(b.capacity(), std::string().capacity());
        else
            EXPECT_GE(b.capacity(), chunk.size());
    }
}

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

// Names that cannot be told apart by eye share one key; invisible, format
// and bidirectional characters are shown as escapes.
TEST(AgentText, LookAlikeNamesShareAKeyAndInvisibleCharactersAreEscaped) {
    const std::string demo = "demo";
    for (const std::string look : {"demo\u200b", "de\u200dmo", "\u202edemo", "Demo", "demo  ",
                                   "d\u0435mo" /* Cyrillic e */, "demo\ufeff", "DEMO\u00a0"})
        EXPECT_EQ(lookalike_key(look), "demo") << printable(look);
    EXPECT_NE(lookalike_key("demo2"), "demo");
    EXPECT_EQ(printable("de\u200bmo"), "de\\u200bmo");
    EXPECT_EQ(printable("\u202eomed"), "\\u202eomed");
    EXPECT_EQ(printable("x\u2066y\u2069"), "x\\u2066y\\u2069");
    EXPECT_EQ(printable("\xf3\xa0\x80\x81tag"), "\\U000e0001tag");
    EXPECT_EQ(printable("caf\u00e9 \u65e5\u672c"),
              "caf\u00e9 \u65e5\u672c");                   // visible letters pass
    EXPECT_EQ(printable_text("a\u200bb\n"), "a\u200bb\n"); // an agent's output as written
    EXPECT_EQ(printable_lines("Pass\u202eword:\nx"), "Pass\\u202eword:\nx");
    // JSON escapes them as JSON does, astral ones as a surrogate pair.
    EXPECT_EQ(json_visible("{\"name\":\"de\u200bmo\u00e9\x7f\xc2\x85\xf3\xa0\x80\x81\"}"),
              "{\"name\":\"de\\u200bmo\u00e9\\u007f\\u0085\\udb40\\udc01\"}");
}
