// The operator protocol's decoder and encoders.
#include "operator_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cliserver::operator_protocol;

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

DecodeResult feed(Decoder &d, const std::string &bytes, std::string *err) {
    d.append(bytes.data(), bytes.size());
    Message m;
    return d.next(m, err);
}

} // namespace

TEST(OperatorProtocol, EncodesTheDocumentedLayout) {
    std::string out;
    encode_hello(out, Hello{1, Mode::kScripted, "db"});
    EXPECT_EQ(out, std::string("\x01\x00\x00\x00\x05\x00\x01\x01"
                               "db",
                               10));
    out.clear();
    encode_end(out, -2);
    EXPECT_EQ(out, std::string("\x84\x00\x00\x00\x04\xff\xff\xff\xfe", 9));
    out.clear();
    encode_interrupt(out);
    EXPECT_EQ(out, std::string("\x04\x00\x00\x00\x00", 5));
}

TEST(OperatorProtocol, ClientSessionRoundTripsWhateverTheChunking) {
    std::string wire;
    encode_hello(wire, Hello{kVersion, Mode::kInteractive, ""});
    encode_command(wire, "show version");
    encode_reply(wire, std::string("secret\0x", 8));
    encode_interrupt(wire);
    encode_command(wire, "");
    for (size_t step : {size_t{1}, size_t{3}, size_t{7}, wire.size()}) {
        Decoder d(Sender::kClient);
        const auto got = decode_all(d, wire, step);
        ASSERT_EQ(got.size(), 5u) << "step " << step;
        Hello h;
        ASSERT_TRUE(parse_hello(got[0], h, nullptr));
        EXPECT_EQ(h.version, kVersion);
        EXPECT_EQ(h.mode, Mode::kInteractive);
        EXPECT_EQ(h.target, "");
        EXPECT_EQ(got[1].type, Type::kCommand);
        EXPECT_EQ(got[1].payload, "show version");
        EXPECT_EQ(got[2].type, Type::kReply);
        EXPECT_EQ(got[2].payload, std::string("secret\0x", 8));
        EXPECT_EQ(got[3].type, Type::kInterrupt);
        EXPECT_EQ(got[4].payload, "");
        EXPECT_EQ(d.buffered(), 0u);
    }
}

TEST(OperatorProtocol, DaemonSessionRoundTripsAndSplitsLongOutput) {
    const std::string big(2 * kMaxPayload + 10, 'x');
    std::string wire;
    encode_welcome(wire);
    encode_notice(wire, "demo is busy: 2 commands ahead");
    encode_output(wire, big);
    encode_prompt(wire, "Password: ");
    encode_end(wire, 3);
    encode_error(wire, "no agent named db");
    encode_refused(wire, "uid 65534 is not allowed");
    Decoder d(Sender::kDaemon);
    const auto got = decode_all(d, wire, 4096);
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(parse_welcome(got[0]), kVersion);
    EXPECT_EQ(got[1].type, Type::kNotice);
    std::string output;
    for (int i = 2; i < 5; ++i) {
        EXPECT_EQ(got[i].type, Type::kOutput);
        EXPECT_LE(got[i].payload.size(), kMaxPayload);
        output += got[i].payload;
    }
    EXPECT_EQ(output, big);
    EXPECT_EQ(got[5].type, Type::kPrompt);
    EXPECT_EQ(parse_end(got[6]), 3);
    EXPECT_EQ(got[7].type, Type::kError);
    EXPECT_EQ(got[8].type, Type::kRefused);
    EXPECT_EQ(got[8].payload, "uid 65534 is not allowed");
}

TEST(OperatorProtocol, EmptyOutputIsOneMessage) {
    std::string wire;
    encode_output(wire, "");
    EXPECT_EQ(wire.size(), kHeaderSize);
}

TEST(OperatorProtocol, HostileHeadersAreRefusedBeforeTheirPayload) {
    struct Case {
        std::string bytes;
        Sender from;
    };
    const Case cases[] = {
        {header(0x02, kMaxPayload + 1), Sender::kClient}, // too long
        {header(0x02, 0xFFFFFFFF), Sender::kClient},
        {header(0x82, 0), Sender::kClient}, // a daemon type from a client
        {header(0x02, 0), Sender::kDaemon}, // a client type from the daemon
        {header(0x00, 0), Sender::kClient}, // unknown
        {header(0x7f, 0), Sender::kClient},
        {header(0x04, 1), Sender::kClient}, // interrupt carries nothing
        {header(0x01, 2), Sender::kClient}, // hello too short
        {header(0x84, 5), Sender::kDaemon}, // end is exactly a status
        {header(0x81, 0), Sender::kDaemon},
    };
    for (const auto &c : cases) {
        Decoder d(c.from);
        std::string err;
        EXPECT_EQ(feed(d, c.bytes, &err), DecodeResult::kMalformed) << err;
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(d.buffered(), 0u);
        // Nothing later revives the stream or is buffered.
        std::string good;
        encode_command(good, "ls");
        err.clear();
        EXPECT_EQ(feed(d, good, &err), DecodeResult::kMalformed);
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(d.buffered(), 0u);
    }
}

TEST(OperatorProtocol, LargestPayloadIsAcceptedAndLongerInputIsCut) {
    const std::string line(kMaxPayload + 100, 'a');
    std::string wire;
    encode_command(wire, line);
    EXPECT_EQ(wire.size(), kHeaderSize + kMaxPayload);
    Decoder d(Sender::kClient);
    const auto got = decode_all(d, wire, 1000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payload, line.substr(0, kMaxPayload));
}

TEST(OperatorProtocol, HalfAMessageWaitsForTheRest) {
    std::string wire;
    encode_command(wire, "status");
    Decoder d(Sender::kClient);
    Message m;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        d.append(&wire[i], 1);
        EXPECT_EQ(d.next(m, nullptr), DecodeResult::kNeedMore);
    }
    d.append(&wire.back(), 1);
    EXPECT_EQ(d.next(m, nullptr), DecodeResult::kMessage);
    EXPECT_EQ(m.payload, "status");
}

TEST(OperatorProtocol, HelloWithAnUnknownModeIsRejectedByItsParser) {
    std::string wire = header(0x01, 3) + std::string("\x00\x01\x07", 3);
    Decoder d(Sender::kClient);
    d.append(wire.data(), wire.size());
    Message m;
    ASSERT_EQ(d.next(m, nullptr), DecodeResult::kMessage);
    Hello h;
    std::string err;
    EXPECT_FALSE(parse_hello(m, h, &err));
    EXPECT_NE(err.find("mode"), std::string::npos);
}

TEST(OperatorProtocol, HelloKeepsANewerVersionForTheDaemonToJudge) {
    std::string wire;
    encode_hello(wire, Hello{7, Mode::kScripted, "42"});
    Decoder d(Sender::kClient);
    const auto got = decode_all(d, wire, 2);
    ASSERT_EQ(got.size(), 1u);
    Hello h;
    ASSERT_TRUE(parse_hello(got[0], h, nullptr));
    EXPECT_EQ(h.version, 7);
    EXPECT_EQ(h.target, "42");
}
