// The server's incremental frame decoder and the decoders' read buffer.
#include "wire/agent_frames.h"
#include "wire/read_buffer.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <string>

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
