// The operator protocol's decoder and encoders.
#include "core/peer_pump.h"
#include "wire/operator_protocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

using namespace cliserver::operator_protocol;
using cliserver::PeerEnd;
using cliserver::PeerPump;

namespace {

std::vector<Message> decode_all(Decoder &d, const std::string &bytes, size_t step) {
    std::vector<Message> got;
    for (size_t at = 0; at < bytes.size(); at += step) {
        d.append(bytes.data() + at, std::min(step, bytes.size() - at));
        Message m;
        std::string err;
        DecodeResult r;
        while ((r = d.next(m, &err)) == DecodeResult::kMessage)
            got.push_back(m);
        EXPECT_EQ(r, DecodeResult::kNeedMore) << err;
    }
    return got;
}

std::string header(uint8_t type, uint32_t len) {
    std::string h(1, static_cast<char>(type));
    for (int i = 0; i < 4; ++i)
        h.push_back(static_cast<char>(len >> (24 - 8 * i)));
    return h;
}

// m's payload as a T, compared whole in the tests; nullopt when it does not
// parse.
template <typename T>
std::optional<T> parsed(const Message &m, bool (*parse)(const Message &, T &)) {
    T out;
    if (!parse(m, out)) return std::nullopt;
    return out;
}

DecodeResult feed(Decoder &d, const std::string &bytes, std::string *err) {
    d.append(bytes.data(), bytes.size());
    Message m;
    return d.next(m, err);
}

} // namespace

TEST(OperatorProtocol, EncodesTheDocumentedLayout) {
    std::string out;
    encode_hello(out, Hello{1, Mode::kScripted});
    EXPECT_EQ(out, std::string("\x01\x00\x00\x00\x03\x00\x01\x01", 8));
    out.clear();
    encode_submit(out, Submit{2, 7, false, "ls"});
    EXPECT_EQ(out, std::string("\x02\x00\x00\x00\x13"
                               "\x00\x00\x00\x00\x00\x00\x00\x02"
                               "\x00\x00\x00\x00\x00\x00\x00\x07"
                               "\x00"
                               "ls",
                               24));
    out.clear();
    encode_done(out, 2);
    EXPECT_EQ(out, std::string("\x89\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00\x00\x02", 13));
    // Version 2: the agent's result after the request, when there is one.
    out.clear();
    encode_done(out, 2, -2);
    EXPECT_EQ(out, std::string("\x89\x00\x00\x00\x0c\x00\x00\x00\x00\x00\x00\x00\x02"
                               "\xff\xff\xff\xfe",
                               17));
    uint64_t request = 0;
    std::optional<int32_t> result;
    ASSERT_TRUE(parse_done(Message{Type::kDone, out.substr(5)}, request, result));
    EXPECT_EQ(request, 2u);
    EXPECT_EQ(result, -2);
    ASSERT_TRUE(parse_done(Message{Type::kDone, std::string(8, '\0')}, request, result));
    EXPECT_FALSE(result);
    EXPECT_FALSE(parse_done(Message{Type::kDone, std::string(10, '\0')}, request, result));
}

// A client of version 1 is welcomed as before: the version alone, which its
// decoder takes; a version-2 WELCOME names the trusted owners after it.
TEST(OperatorProtocol, WelcomeOfVersionOneIsTheVersionAlone) {
    std::string out;
    encode_welcome(out, Welcome{1, {1000}});
    EXPECT_EQ(out, std::string("\x81\x00\x00\x00\x02\x00\x01", 7));
    out.clear();
    encode_welcome(out, Welcome{2, {1000}});
    EXPECT_EQ(out, std::string("\x81\x00\x00\x00\x06\x00\x02\x00\x00\x03\xe8", 11));
    Message m{Type::kWelcome, std::string("\x00\x01\x00\x00\x03\xe8", 6)};
    Welcome w;
    EXPECT_FALSE(parse_welcome(m, w)) << "version 1 has no owners";
    m.payload = std::string("\x00\x02\x00\x00\x03", 5);
    EXPECT_FALSE(parse_welcome(m, w)) << "an owner cut short";
}

TEST(OperatorProtocol, ClientMessagesRoundTripWhateverTheChunking) {
    std::string wire;
    encode_hello(wire, Hello{kVersion, Mode::kInteractive});
    encode_submit(wire, Submit{1, 9, true, "show version"});
    encode_reply(wire, 1, std::string("secret\0x", 8));
    encode_abandon(wire, 1);
    encode_list(wire);
    encode_abandon_timed_out(wire, 7);
    for (size_t step : {size_t{1}, size_t{3}, size_t{7}, wire.size()}) {
        Decoder d(Sender::kClient);
        const auto got = decode_all(d, wire, step);
        ASSERT_EQ(got.size(), 6u) << "step " << step;
        Hello h;
        ASSERT_TRUE(parse_hello(got[0], h, nullptr));
        EXPECT_EQ(h, (Hello{kVersion, Mode::kInteractive}));
        EXPECT_EQ(parsed(got[1], parse_submit), (Submit{1, 9, true, "show version"}));
        EXPECT_EQ(parsed(got[2], parse_request_bytes),
                  (RequestBytes{1, std::string("secret\0x", 8)}));
        uint64_t id = 0;
        ASSERT_TRUE(parse_request(got[3], id));
        EXPECT_EQ(id, 1u);
        EXPECT_EQ(got[4].type, Type::kList);
        EXPECT_EQ(got[5].type, Type::kAbandonTimedOut);
        ASSERT_TRUE(parse_request(got[5], id));
        EXPECT_EQ(id, 7u);
        EXPECT_EQ(d.buffered(), 0u);
    }
}

TEST(OperatorProtocol, DaemonMessagesRoundTripAndLongOutputIsSplit) {
    const std::string big(2 * kMaxPayload + 10, 'x');
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765000000123));
    std::string wire;
    const Welcome welcome{kVersion, {1000, 65534}};
    encode_welcome(wire, welcome);
    const AgentRecord up{5, 42, at, 1234, std::nullopt, "db-1"};
    encode_agent_up(wire, up);
    encode_ready(wire);
    const Queued queued{3, 2};
    encode_queued(wire, queued);
    encode_sent(wire, 3);
    encode_output(wire, 3, big);
    encode_prompt(wire, 3, "Password: ");
    encode_done(wire, 3);
    const NoticeText notice{Notice::kWarning, "cannot accept more agents"};
    encode_notice(wire, notice);
    const AgentDown agent_down{5, Notice::kInfo, "disconnected"};
    encode_agent_down(wire, agent_down);
    AgentRow row(AgentRecord{5, 42, at, std::nullopt, 33, "db-1"});
    row.queued = 4;
    row.busy = true;
    row.runner = cliserver::ClientIdentity{1000, 77};
    encode_row(wire, row);
    encode_rows_end(wire);
    encode_refused(wire, "uid 65534 is not allowed");
    Decoder d(Sender::kDaemon);
    const auto got = decode_all(d, wire, 4096);
    ASSERT_EQ(got.size(), 15u);
    EXPECT_EQ(parsed(got[0], parse_welcome), welcome);
    EXPECT_EQ(parsed(got[1], parse_agent_up), up);
    EXPECT_EQ(got[2].type, Type::kReady);
    EXPECT_EQ(parsed(got[3], parse_queued), queued);
    EXPECT_EQ(got[4].type, Type::kSent);
    std::string output;
    for (int i = 5; i < 8; ++i) {
        RequestBytes r;
        ASSERT_TRUE(parse_request_bytes(got[i], r));
        EXPECT_EQ(got[i].type, Type::kOutput);
        EXPECT_EQ(r.request, 3u);
        output += r.bytes;
    }
    EXPECT_EQ(output, big);
    EXPECT_EQ(got[8].type, Type::kPrompt);
    EXPECT_EQ(got[9].type, Type::kDone);
    EXPECT_EQ(parsed(got[10], parse_notice), notice);
    EXPECT_EQ(got[10].payload[0], 1); // the kinds' bytes: info 0, warning 1, error 2
    EXPECT_EQ(parsed(got[11], parse_agent_down), agent_down);
    EXPECT_EQ(parsed(got[12], parse_row), row);
    EXPECT_EQ(got[13].type, Type::kRowsEnd);
    EXPECT_EQ(got[14].payload, "uid 65534 is not allowed");
}

TEST(OperatorProtocol, EmptyOutputIsOneMessage) {
    std::string wire;
    encode_output(wire, 1, "");
    EXPECT_EQ(wire.size(), kHeaderSize + kIdSize);
}

TEST(OperatorProtocol, HostileHeadersAreRefusedBeforeTheirPayload) {
    struct Case {
        std::string bytes;
        Sender from;
    };
    const Case cases[] = {
        {header(0x02, kMaxPayload + 1), Sender::kClient}, // too long
        {header(0x02, 0xFFFFFFFF), Sender::kClient},
        {header(0x82, 40), Sender::kClient}, // a daemon type from a client
        {header(0x02, 20), Sender::kDaemon}, // a client type from the daemon
        {header(0x00, 0), Sender::kClient},  // unknown
        {header(0x7f, 0), Sender::kClient},
        {header(0x04, 9), Sender::kClient},  // abandon is exactly an id
        {header(0x06, 7), Sender::kClient},  // so is its timed-out form
        {header(0x05, 1), Sender::kClient},  // list carries nothing
        {header(0x01, 2), Sender::kClient},  // hello too short
        {header(0x02, 16), Sender::kClient}, // submit without its flags
        {header(0x89, 5), Sender::kDaemon},  // done is an id
        {header(0x89, 13), Sender::kDaemon}, // and at most a result after it
        {header(0x81, 0), Sender::kDaemon},
        {header(0x8b, 10), Sender::kDaemon}, // a row without its fields
    };
    for (const auto &c : cases) {
        Decoder d(c.from);
        std::string err;
        EXPECT_EQ(feed(d, c.bytes, &err), DecodeResult::kMalformed) << err;
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(d.buffered(), 0u);
        // Nothing later revives the stream or is buffered.
        std::string good;
        encode_list(good);
        err.clear();
        EXPECT_EQ(feed(d, good, &err), DecodeResult::kMalformed);
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(d.buffered(), 0u);
    }
}

TEST(OperatorProtocol, LargestPayloadIsAcceptedAndLongerInputIsCut) {
    const std::string reply(kMaxPayload + 100, 'a');
    std::string wire;
    encode_reply(wire, 1, reply);
    EXPECT_EQ(wire.size(), kHeaderSize + kMaxPayload);
    Decoder d(Sender::kClient);
    const auto got = decode_all(d, wire, 1000);
    ASSERT_EQ(got.size(), 1u);
    RequestBytes r;
    ASSERT_TRUE(parse_request_bytes(got[0], r));
    EXPECT_EQ(r.bytes, reply.substr(0, kMaxPayload - kIdSize));
}

TEST(OperatorProtocol, HalfAMessageWaitsForTheRest) {
    std::string wire;
    encode_submit(wire, Submit{1, 1, false, "status"});
    Decoder d(Sender::kClient);
    Message m;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        d.append(&wire[i], 1);
        EXPECT_EQ(d.next(m, nullptr), DecodeResult::kNeedMore);
    }
    d.append(&wire.back(), 1);
    EXPECT_EQ(d.next(m, nullptr), DecodeResult::kMessage);
    Submit s;
    ASSERT_TRUE(parse_submit(m, s));
    EXPECT_EQ(s.line, "status");
}

TEST(OperatorProtocol, BadFlagAndKindBytesAreRejectedByTheParsers) {
    Decoder d(Sender::kClient);
    std::string wire = header(0x01, 3) + std::string("\x00\x01\x07", 3);
    d.append(wire.data(), wire.size());
    Message m;
    ASSERT_EQ(d.next(m, nullptr), DecodeResult::kMessage);
    Hello h;
    std::string err;
    EXPECT_FALSE(parse_hello(m, h, &err));
    EXPECT_NE(err.find("mode"), std::string::npos);

    std::string submit;
    encode_submit(submit, Submit{1, 1, false, "x"});
    submit[kHeaderSize + 16] = 5; // flags
    d = Decoder(Sender::kClient);
    d.append(submit.data(), submit.size());
    ASSERT_EQ(d.next(m, nullptr), DecodeResult::kMessage);
    Submit s;
    EXPECT_FALSE(parse_submit(m, s));

    std::string notice;
    encode_notice(notice, NoticeText{static_cast<Notice>(9), "?"});
    Decoder daemon(Sender::kDaemon);
    daemon.append(notice.data(), notice.size());
    ASSERT_EQ(daemon.next(m, nullptr), DecodeResult::kMessage);
    NoticeText n;
    EXPECT_FALSE(parse_notice(m, n));
}

// A row whose runner lacks its pid names nobody as running the command.
TEST(OperatorProtocol, AHalfRunnerIsNoRunner) {
    AgentRow row(AgentRecord{1, 2, {}, 3, 4, "a"});
    row.busy = true;
    row.runner = cliserver::ClientIdentity{1000, 77};
    std::string wire;
    encode_row(wire, row);
    const size_t runner_pid = kHeaderSize + 36 + 4 + 1 + 8; // record, queued, flags, uid
    for (size_t i = 0; i < 8; ++i)
        wire[runner_pid + i] = '\xff';
    Decoder d(Sender::kDaemon);
    d.append(wire.data(), wire.size());
    Message m;
    ASSERT_EQ(d.next(m, nullptr), DecodeResult::kMessage);
    AgentRow back;
    back.runner = cliserver::ClientIdentity{5, 6}; // what the parse must clear
    ASSERT_TRUE(parse_row(m, back));
    EXPECT_TRUE(back.busy);
    EXPECT_FALSE(back.runner);
    EXPECT_EQ(back.name, "a");
}

TEST(OperatorProtocol, AConnectionTimeNoClockHoldsIsRejected) {
    for (int64_t ms : {int64_t{-1}, int64_t{8680820740569200760}}) {
        std::string wire = header(0x82, 36);
        for (int shift = 56; shift >= 0; shift -= 8) // serial
            wire.push_back(0);
        wire += std::string(4, '\0'); // id
        for (int shift = 56; shift >= 0; shift -= 8)
            wire.push_back(static_cast<char>((static_cast<uint64_t>(ms) >> shift) & 0xFF));
        wire += std::string(16, '\xff'); // pid and uid unknown
        Decoder d(Sender::kDaemon);
        d.append(wire.data(), wire.size());
        Message m;
        ASSERT_EQ(d.next(m, nullptr), DecodeResult::kMessage);
        AgentRecord rec;
        EXPECT_FALSE(parse_agent_up(m, rec)) << ms;
    }
}

TEST(OperatorProtocol, HelloKeepsANewerVersionForTheDaemonToJudge) {
    std::string wire;
    encode_hello(wire, Hello{7, Mode::kScripted});
    Decoder d(Sender::kClient);
    const auto got = decode_all(d, wire, 2);
    ASSERT_EQ(got.size(), 1u);
    Hello h;
    ASSERT_TRUE(parse_hello(got[0], h, nullptr));
    EXPECT_EQ(h.version, 7);
}

// A reader that cannot take more stops the messages where it is; the rest
// wait in the decoder for the next drain (the peer pump over this decoder).
TEST(OperatorProtocol, DrainStopsWhereItsReaderSaysAndResumes) {
    std::string bytes;
    for (uint64_t id = 1; id <= 3; ++id)
        encode_done(bytes, id);
    Decoder d(Sender::kDaemon);
    d.append(bytes.data(), bytes.size());
    struct Reader {
        std::vector<uint64_t> done;
        size_t until = 2;
        std::string violation;
        bool dispatch(const Message &m) {
            uint64_t id = 0;
            EXPECT_TRUE(parse_request(m, id));
            done.push_back(id);
            return done.size() < until;
        }
        void end(const PeerEnd &e) { violation = e.violation; }
    } reader;
    EXPECT_FALSE(PeerPump(d).drain(reader));
    EXPECT_EQ(reader.done, (std::vector<uint64_t>{1, 2}));
    EXPECT_GT(d.buffered(), 0u);
    reader.until = 10;
    EXPECT_TRUE(PeerPump(d).drain(reader));
    EXPECT_EQ(reader.done, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(d.buffered(), 0u);
    const std::string bad = header(0x01, 0); // a client's HELLO from the daemon
    d.append(bad.data(), bad.size());
    EXPECT_FALSE(PeerPump(d).drain(reader));
    EXPECT_FALSE(reader.violation.empty());
}

// A daemon serving a version-1 client refuses the metrics request at the
// header, as a version-1 daemon did; a version-2 connection takes it.
TEST(OperatorProtocol, MessagesOfALaterVersionAreRefusedOnAnEarlierConnection) {
    std::string wire;
    encode_metrics_request(wire);
    Decoder old(Sender::kClient);
    old.speak(1);
    old.append(wire.data(), wire.size());
    Message m;
    std::string err;
    EXPECT_EQ(old.next(m, &err), DecodeResult::kMalformed);
    EXPECT_EQ(err, "message type 0x0a with 0 bytes: not a client message");
    Decoder now(Sender::kClient);
    now.speak(kMetricsSince);
    now.append(wire.data(), wire.size());
    ASSERT_EQ(now.next(m, &err), DecodeResult::kMessage);
    EXPECT_EQ(m.type, Type::kMetrics);
    EXPECT_TRUE(served_version(1));
    EXPECT_TRUE(served_version(kVersion));
    EXPECT_FALSE(served_version(0));
    EXPECT_FALSE(served_version(kVersion + 1));
}

// A refusal names the program up to version 2 and before WELCOME (when the
// version is not yet agreed); a client reads the reason alone either way,
// from this daemon as from one of an earlier version.
TEST(OperatorProtocol, ARefusalNamesTheProgramOnlyWhereTheVersionExpectsIt) {
    const struct {
        uint16_t version;
        const char *line;
    } cases[] = {
        {kUnknownVersion, "cli-server: too many"},
        {1, "cli-server: too many"},
        {2, "cli-server: too many"},
        {3, "too many"},
    };
    for (const auto &c : cases) {
        const std::string line = refused_line(c.version, "too many");
        EXPECT_EQ(line, c.line) << c.version;
        EXPECT_EQ(refused_reason(c.version, line), "too many") << c.version;
        EXPECT_EQ(refused_reason(c.version, "too many"), "too many") << c.version;
    }
    // After a WELCOME of version 3 the line is the reason, whatever it says.
    EXPECT_EQ(refused_reason(3, "cli-server: x"), "cli-server: x");
}

TEST(OperatorProtocol, MetricsTextLongerThanAMessageTravelsInPiecesThenEnds) {
    const std::string text(kMaxPayload + 10, 'x');
    std::string wire;
    encode_metrics_text(wire, text);
    Decoder d(Sender::kDaemon);
    const auto got = decode_all(d, wire, 7000);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].type, Type::kMetricsText);
    EXPECT_EQ(got[0].payload.size() + got[1].payload.size(), text.size());
    EXPECT_EQ(got[2].type, Type::kMetricsEnd);
}

// DENIED: the request and the line, from version 2; a decoder that speaks
// version 1 refuses it at the header, as a daemon of version 1 never sent it.
TEST(OperatorProtocol, DeniedCarriesItsRequestAndLineFromVersionTwo) {
    std::string wire;
    encode_denied(wire, 9, "denied: \"wipe\" on db-2 (id 2)");
    EXPECT_EQ(wire.substr(0, 5), std::string("\x9c\x00\x00\x00\x25", 5));
    Decoder d(Sender::kDaemon);
    const auto got = decode_all(d, wire, 3);
    ASSERT_EQ(got.size(), 1u);
    RequestBytes r;
    ASSERT_TRUE(parse_request_bytes(got[0], r));
    EXPECT_EQ(got[0].type, Type::kDenied);
    EXPECT_EQ(r.request, 9u);
    EXPECT_EQ(r.bytes, "denied: \"wipe\" on db-2 (id 2)");
    EXPECT_TRUE(has_denied(kDeniedSince));
    EXPECT_FALSE(has_denied(1));
    Decoder old(Sender::kDaemon);
    old.speak(1);
    old.append(wire.data(), wire.size());
    Message m;
    std::string err;
    EXPECT_EQ(old.next(m, &err), DecodeResult::kMalformed);
}
