// Arbitrary bytes from a client (or from a daemon) arrive in pieces of an
// input-chosen size. Every decoded message must be exactly the bytes it came
// from, the buffer must stay within one message, a refusal must stick, and
// the typed parsers must not misbehave on whatever the decoder accepted.
#include "wire/operator_protocol.h"

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

// Every typed parser on whatever the decoder accepted; a parsed submit
// must re-encode to the same bytes.
void parse_any(const Message &m) {
    std::string err;
    Hello h;
    Submit s;
    RequestBytes rb;
    uint64_t id = 0;
    AgentRecord rec;
    AgentDown down;
    Queued q;
    Welcome w;
    NoticeText n;
    AgentRow row;
    switch (m.type) {
    case Type::kHello:
        parse_hello(m, h, &err);
        break;
    case Type::kSubmit:
        if (parse_submit(m, s)) {
            std::string again;
            encode_submit(again, s);
            check(again == reencode(m));
        }
        break;
    case Type::kReply:
    case Type::kOutput:
    case Type::kPrompt:
        check(parse_request_bytes(m, rb));
        break;
    case Type::kAbandon:
    case Type::kAbandonTimedOut:
    case Type::kSent:
        check(parse_request(m, id));
        break;
    case Type::kDone: {
        // Eight bytes (version 1, or no result) or twelve (a result); both
        // re-encode to the same bytes.
        std::optional<int32_t> result;
        const bool parsed = parse_done(m, id, result);
        check(parsed == (m.payload.size() == 8 || m.payload.size() == 12));
        if (parsed) {
            std::string again;
            encode_done(again, id, result);
            check(again == reencode(m));
        }
        break;
    }
    case Type::kWelcome:
        // A welcome the daemon could have sent re-encodes to its bytes.
        if (parse_welcome(m, w) && w.trusted_owners.size() <= kMaxTrustedOwners) {
            std::string again;
            encode_welcome(again, w);
            check(again == reencode(m));
        }
        break;
    case Type::kAgentUp:
        parse_agent_up(m, rec);
        break;
    case Type::kAgentDown:
        parse_agent_down(m, down);
        break;
    case Type::kQueued:
        check(parse_queued(m, q));
        break;
    case Type::kNotice:
        parse_notice(m, n);
        break;
    case Type::kRefused: {
        // A welcomed client reads the line as it is; one not yet welcomed
        // reads the reason, which in the unversioned form is the line again.
        check(refused_reason(kVersion, m.payload) == m.payload);
        const std::string reason = refused_reason(kUnknownVersion, m.payload);
        if (m.payload.starts_with(kRefusalPrefix))
            check(refused_line(kUnknownVersion, reason) == m.payload);
        break;
    }
    case Type::kRow:
        parse_row(m, row);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const Sender from = (data[0] & 0x80) ? Sender::kDaemon : Sender::kClient;
    // A peer of the oldest version may not send what later versions added.
    const bool oldest = (data[0] & 0x40) != 0;
    const size_t piece = 1 + (data[0] & 0x3F) * 37;
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);

    Decoder d(from);
    if (oldest) d.speak(kOldestVersion);
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
            parse_any(m);
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
