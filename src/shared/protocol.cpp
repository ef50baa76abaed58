#include "protocol.h"

#include <algorithm>

namespace cli_protocol {

namespace {

void put_u16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_u32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint16_t get_u16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t get_u32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

} // namespace

void encode_header(uint8_t *out, uint16_t type, uint32_t req_id, uint32_t agent_id, uint32_t len) {
    put_u32(out + 0, CLI_FRAME_MAGIC);
    put_u16(out + 4, CLI_FRAME_VERSION);
    put_u16(out + 6, type);
    put_u32(out + 8, req_id);
    put_u32(out + 12, agent_id);
    put_u32(out + 16, len);
}

header_status decode_header(const uint8_t *in, header &h) {
    h.magic = get_u32(in + 0);
    h.version = get_u16(in + 4);
    h.type = get_u16(in + 6);
    h.req_id = get_u32(in + 8);
    h.agent_id = get_u32(in + 12);
    h.len = get_u32(in + 16);
    if (h.magic != CLI_FRAME_MAGIC) return header_status::bad_magic;
    if (h.version != CLI_FRAME_VERSION) return header_status::bad_version;
    if (h.len > max_payload) return header_status::too_long;
    return header_status::ok;
}

bool asks_for_results(const uint8_t *payload, size_t len) {
    return len == result_capability.size() &&
           std::equal(result_capability.begin(), result_capability.end(), payload);
}

void encode_result(uint8_t *out, int32_t result) {
    put_u32(out, static_cast<uint32_t>(result));
}

bool decode_result(const uint8_t *payload, size_t len, int32_t *result) {
    if (len != result_len) return false;
    *result = static_cast<int32_t>(get_u32(payload));
    return true;
}

bool is_reserved_name(std::string_view name) {
    return std::find(reserved_names.begin(), reserved_names.end(), name) != reserved_names.end();
}

} // namespace cli_protocol
