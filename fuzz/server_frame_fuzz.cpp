// Bytes from a local process posing as an agent reach the server's frame
// decoder in pieces of an input-chosen size. Every decoded frame must
// re-encode to exactly the bytes it came from, the buffer must stay within
// one frame, and a malformed header must be reported before its payload.
#include "wire/agent_frames.h"

#include "cli_common.h"

#include <cstdlib>
#include <string>

using namespace cliserver;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] * 31;
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);

    FrameDecoder d;
    std::string consumed;
    for (size_t at = 0; at < input.size(); at += piece) {
        const std::string chunk = input.substr(at, piece);
        d.append(chunk.data(), chunk.size());
        Frame f;
        std::string err;
        DecodeResult r;
        while ((r = d.next(f, &err)) == DecodeResult::kMessage) {
            check(f.payload.size() <= CLI_FRAME_MAX_DATA);
            consumed += encode_frame(f.type, f.req_id, f.agent_id, f.payload);
        }
        if (r == DecodeResult::kMalformed) {
            check(!err.empty());
            // Only the bad header itself need have arrived.
            check(d.buffered() >= CLI_FRAME_HDR_LEN);
            break;
        }
        check(d.buffered() < CLI_FRAME_HDR_LEN + CLI_FRAME_MAX_DATA);
        check(consumed.size() + d.buffered() == std::min(input.size(), at + piece));
    }
    check(input.compare(0, consumed.size(), consumed) == 0);
    return 0;
}
