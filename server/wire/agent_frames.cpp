#include "wire/agent_frames.h"

#include "protocol.h"

#include <cstdio>

namespace cliserver {

namespace {

std::string describe_bad_header(cli_protocol::header_status status, const cli_protocol::header &h) {
    char msg[96];
    switch (status) {
    case cli_protocol::header_status::bad_magic:
        std::snprintf(msg, sizeof msg, "bad magic 0x%08x", h.magic);
        break;
    case cli_protocol::header_status::bad_version:
        std::snprintf(msg, sizeof msg, "unsupported version %u", h.version);
        break;
    default:
        std::snprintf(msg, sizeof msg, "payload length %u exceeds %zu", h.len,
                      cli_protocol::max_payload);
        break;
    }
    return msg;
}

const uint8_t *bytes_of(const char *at) {
    return reinterpret_cast<const uint8_t *>(at);
}

} // namespace

void FrameDecoder::append(const char *data, size_t n) {
    buf_.append(data, n);
}

DecodeResult FrameDecoder::next(Frame &out, std::string *error) {
    if (buffered() < cli_protocol::header_len) return DecodeResult::kNeedMore;
    cli_protocol::header h;
    const auto status = cli_protocol::decode_header(bytes_of(buf_.data()), h);
    if (status != cli_protocol::header_status::ok) {
        if (error) *error = describe_bad_header(status, h);
        return DecodeResult::kMalformed;
    }
    if (buffered() < cli_protocol::header_len + static_cast<size_t>(h.len))
        return DecodeResult::kNeedMore;
    out.type = h.type;
    out.req_id = h.req_id;
    out.agent_id = h.agent_id;
    out.payload.assign(buf_.view().substr(cli_protocol::header_len, h.len));
    buf_.consume(cli_protocol::header_len + h.len);
    return DecodeResult::kMessage;
}

std::string encode_frame(uint16_t type, uint32_t req_id, uint32_t agent_id,
                         std::string_view payload) {
    std::string s;
    encode_frame_into(s, type, req_id, agent_id, payload);
    return s;
}

void encode_frame_into(std::string &out, uint16_t type, uint32_t req_id, uint32_t agent_id,
                       std::string_view payload) {
    out.assign(cli_protocol::header_len, '\0');
    cli_protocol::encode_header(reinterpret_cast<uint8_t *>(out.data()), type, req_id, agent_id,
                                static_cast<uint32_t>(payload.size()));
    out.append(payload);
}

} // namespace cliserver
