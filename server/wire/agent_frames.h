// Buffer management for non-blocking agent sockets around the shared
// header codec (protocol.h): bytes are appended as they arrive and whole
// frames are taken out one by one. A header that cannot start a valid frame
// is reported at once, before its payload arrives, so a hostile length never
// makes us wait or allocate. Once everything buffered has been taken out the
// buffer gives its memory back, so an idle connection costs no buffer.
#pragma once

#include "core/peer_pump.h"
#include "wire/read_buffer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cliserver {

struct Frame {
    uint16_t type = 0;
    uint32_t req_id = 0;
    uint32_t agent_id = 0;
    std::string payload;
};

// What next() found: a whole frame is Decoded::kMessage.
using DecodeResult = Decoded;

class FrameDecoder {
  public:
    using message_type = Frame; // for PeerPump

    void append(const char *data, size_t n);
    // Takes the next whole frame out of the buffer. On kMalformed, *error
    // says what was wrong and the stream cannot be resynchronised.
    DecodeResult next(Frame &out, std::string *error);
    size_t buffered() const { return buf_.size(); }
    size_t capacity() const { return buf_.capacity(); }
    // True while a frame has started but not finished arriving.
    bool partial() const { return buffered() > 0; }

  private:
    ReadBuffer buf_;
};
static_assert(MessageDecoder<FrameDecoder>);

std::string encode_frame(uint16_t type, uint32_t req_id, uint32_t agent_id,
                         std::string_view payload = {});
// The same frame in place of what out held, reusing its memory.
void encode_frame_into(std::string &out, uint16_t type, uint32_t req_id, uint32_t agent_id,
                       std::string_view payload = {});

} // namespace cliserver
