// Arbitrary bytes from a client (or from a daemon) arrive in pieces of an
// input-chosen size. Every decoded message must be exactly the bytes it came
// from, the buffer must stay within one message, a refusal must stick, and
// the typed parsers must not misbehave on whatever the decoder accepted.
#include "operator_protocol.h"

#include <cstdlib>
#include <string>

using namespace cliserver::operator_protocol;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::string reencode(const Message &m) {
    std::string out(1, static_cast<char>(m.type));
    const auto len = static_cast<uint32_t>(m.payload.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((len >> shift) & 0xFF));
    return out + m.payload;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const Sender from = (data[0] & 0x80) ? Sender::kDaemon : Sender::kClient;
    const size_t piece = 1 + (data[0] & 0x7F) * 37;
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);

    Decoder d(from);
    std::string consumed;
    bool failed = false;
    for (size_t at = 0; at < input.size() && !failed; at += piece) {
        const std::string chunk = input.substr(at, piece);
        d.append(chunk.data(), chunk.size());
        Message m;
        std::string err;
        DecodeResult r;
        while ((r = d.next(m, &err)) == DecodeResult::kMessage) {
            check(m.payload.size() <= kMaxPayload);
            consumed += reencode(m);
            Hello h;
            if (m.type == Type::kHello) parse_hello(m, h, &err);
            if (m.type == Type::kEnd) parse_end(m);
            if (m.type == Type::kWelcome) parse_welcome(m);
            check(type_name(m.type)[0] != '?');
        }
        if (r == DecodeResult::kMalformed) {
            check(!err.empty());
            check(d.buffered() == 0);
            check(d.next(m, nullptr) == DecodeResult::kMalformed);
            failed = true;
        } else {
            check(d.buffered() < kHeaderSize + kMaxPayload);
            check(consumed.size() + d.buffered() == std::min(input.size(), at + piece));
        }
    }
    check(input.compare(0, consumed.size(), consumed) == 0);
    return 0;
}
