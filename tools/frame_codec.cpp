#include "frame_codec.h"

#include "cli_common.h"

#include <cstdio>

namespace cliserver {

namespace {

uint32_t get32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

uint16_t get16(const std::string &s, size_t at) {
    return static_cast<uint16_t>((static_cast<unsigned char>(s[at]) << 8) |
                                 static_cast<unsigned char>(s[at + 1]));
}

void put32(std::string &s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void put16(std::string &s, uint16_t v) {
    s.push_back(static_cast<char>(v >> 8));
    s.push_back(static_cast<char>(v & 0xFF));
}

std::string describe_bad_header(uint32_t magic, uint16_t version, uint32_t len) {
    char msg[96];
    if (magic != CLI_FRAME_MAGIC)
        std::snprintf(msg, sizeof msg, "bad magic 0x%08x", magic);
    else if (version != CLI_FRAME_VERSION)
        std::snprintf(msg, sizeof msg, "unsupported version %u", version);
    else
        std::snprintf(msg, sizeof msg, "payload length %u exceeds %u", len, CLI_FRAME_MAX_DATA);
    return msg;
}

} // namespace

void FrameDecoder::append(const char *data, size_t n) {
    // Compact once the consumed prefix dominates, so the buffer stays near
    // one frame in size however long the connection lives.
    if (pos_ > 0 && pos_ >= buf_.size() / 2) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    buf_.append(data, n);
}

DecodeResult FrameDecoder::next(Frame &out, std::string *error) {
    if (buffered() < CLI_FRAME_HDR_LEN) return DecodeResult::kNeedMore;
    const uint32_t magic = get32(buf_, pos_);
    const uint16_t version = get16(buf_, pos_ + 4);
    const uint32_t len = get32(buf_, pos_ + 16);
    if (magic != CLI_FRAME_MAGIC || version != CLI_FRAME_VERSION || len > CLI_FRAME_MAX_DATA) {
        if (error) *error = describe_bad_header(magic, version, len);
        return DecodeResult::kMalformed;
    }
    if (buffered() < CLI_FRAME_HDR_LEN + static_cast<size_t>(len)) return DecodeResult::kNeedMore;
    out.type = get16(buf_, pos_ + 6);
    out.req_id = get32(buf_, pos_ + 8);
    out.agent_id = get32(buf_, pos_ + 12);
    out.payload.assign(buf_, pos_ + CLI_FRAME_HDR_LEN, len);
    pos_ += CLI_FRAME_HDR_LEN + len;
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
        if (buf_.capacity() > 2 * (CLI_FRAME_HDR_LEN + CLI_FRAME_MAX_DATA)) buf_.shrink_to_fit();
    }
    return DecodeResult::kFrame;
}

std::string encode_frame(uint16_t type, uint32_t req_id, uint32_t agent_id,
                         std::string_view payload) {
    std::string s;
    s.reserve(CLI_FRAME_HDR_LEN + payload.size());
    put32(s, CLI_FRAME_MAGIC);
    put16(s, CLI_FRAME_VERSION);
    put16(s, type);
    put32(s, req_id);
    put32(s, agent_id);
    put32(s, static_cast<uint32_t>(payload.size()));
    s.append(payload);
    return s;
}

} // namespace cliserver
