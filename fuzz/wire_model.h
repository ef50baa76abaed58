// An independent model of the frame format for the fuzz targets: decoding is
// written from the wire layout, not shared with the library, so that a fault
// in the library's codec shows up as a disagreement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzzmodel {

inline constexpr uint32_t kMagic = 0x51454C4Du;
inline constexpr size_t kHeaderLen = 20;
inline constexpr uint32_t kMaxData = 65536;

struct Frame {
    uint16_t type = 0;
    uint32_t req_id = 0;
    uint32_t agent_id = 0;
    std::string payload;
};

inline uint32_t be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

enum class Decode { ok, need_more, malformed };

// Decodes the frame at the start of bytes[0, size); *used receives its length.
inline Decode decode_one(const uint8_t *bytes, size_t size, Frame *out, size_t *used) {
    if (size < kHeaderLen) return Decode::need_more;
    uint32_t len = be32(bytes + 16);
    if (be32(bytes) != kMagic || be16(bytes + 4) != 1 || len > kMaxData) return Decode::malformed;
    if (size - kHeaderLen < len) return Decode::need_more;
    out->type = be16(bytes + 6);
    out->req_id = be32(bytes + 8);
    out->agent_id = be32(bytes + 12);
    out->payload.assign(reinterpret_cast<const char *>(bytes + kHeaderLen), len);
    *used = kHeaderLen + len;
    return Decode::ok;
}

// The frames a reader of the whole stream receives before its first failure.
inline std::vector<Frame> decode_stream(const uint8_t *bytes, size_t size) {
    std::vector<Frame> frames;
    Frame f;
    size_t used = 0;
    while (decode_one(bytes, size, &f, &used) == Decode::ok) {
        frames.push_back(f);
        bytes += used;
        size -= used;
    }
    return frames;
}

inline std::string encode(uint16_t type, uint32_t req_id, uint32_t agent_id,
                          const std::string &payload) {
    std::string s;
    auto put32 = [&s](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            s.push_back(static_cast<char>((v >> shift) & 0xFF));
    };
    put32(kMagic);
    s.push_back(0);
    s.push_back(1);
    s.push_back(static_cast<char>(type >> 8));
    s.push_back(static_cast<char>(type & 0xFF));
    put32(req_id);
    put32(agent_id);
    put32(static_cast<uint32_t>(payload.size()));
    return s + payload;
}

// A broken invariant is a crash for libFuzzer: report it and abort.
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char *what) {
    if (!ok) fail(what);
}

} // namespace fuzzmodel
