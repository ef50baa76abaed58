#include "wire/operator_codec.h"

namespace cliserver::operator_protocol {

using namespace codec;

void Decoder::append(const char *data, size_t n) {
    if (!failure_.empty()) return;
    buf_.append(data, n);
}

DecodeResult Decoder::next(Message &out, std::string *error) {
    if (!failure_.empty()) {
        if (error) *error = failure_;
        return DecodeResult::kMalformed;
    }
    if (buffered() < kHeaderSize) return DecodeResult::kNeedMore;
    const char *header = buf_.data();
    const uint8_t raw = static_cast<unsigned char>(header[0]);
    uint32_t len = 0;
    for (size_t i = 1; i < kHeaderSize; ++i)
        len = (len << 8) | static_cast<unsigned char>(header[i]);
    const auto shape = shape_of(raw);
    const char *why = nullptr;
    if (!shape || shape->from != from_ || shape->since > version_)
        why = from_ == Sender::kClient ? "not a client message" : "not a daemon message";
    else if (len > kMaxPayload)
        why = "longer than the 65536-byte limit";
    else if (len < shape->min || len > shape->max)
        why = "wrong length for its type";
    if (why) {
        failure_ = describe_header(raw, len, why);
        buf_.release();
        if (error) *error = failure_;
        return DecodeResult::kMalformed;
    }
    if (buffered() < kHeaderSize + len) return DecodeResult::kNeedMore;
    out.type = static_cast<Type>(raw);
    out.payload.assign(buf_.view().substr(kHeaderSize, len));
    buf_.consume(kHeaderSize + len);
    return DecodeResult::kMessage;
}

void encode_hello(std::string &out, const Hello &m) {
    Writer w;
    w.u16(m.version);
    w.u8(static_cast<uint8_t>(m.mode));
    put_message(out, Type::kHello, w.str());
}

void encode_submit(std::string &out, const Submit &m) {
    Writer w;
    w.u64(m.request);
    w.u64(m.agent);
    w.u8(m.quiet ? 1 : 0);
    w.bytes(std::string_view(m.line).substr(0, kMaxPayload - kSubmitFixed));
    put_message(out, Type::kSubmit, w.str());
}

void encode_reply(std::string &out, uint64_t request, std::string_view reply) {
    put_request_bytes(out, Type::kReply, request, reply);
}

void encode_abandon(std::string &out, uint64_t request) {
    put_request_bytes(out, Type::kAbandon, request, {});
}

void encode_abandon_timed_out(std::string &out, uint64_t request) {
    put_request_bytes(out, Type::kAbandonTimedOut, request, {});
}

void encode_list(std::string &out) {
    put_message(out, Type::kList, {});
}

void encode_welcome(std::string &out, const Welcome &m) {
    Writer w;
    w.u16(m.version);
    if (m.version >= 2) {
        const size_t n = std::min(m.trusted_owners.size(), kMaxTrustedOwners);
        for (size_t i = 0; i < n; ++i)
            w.u32(m.trusted_owners[i]);
    }
    put_message(out, Type::kWelcome, w.str());
}

void encode_agent_up(std::string &out, const AgentRecord &m) {
    Writer w;
    put_record(w, m);
    w.bytes(std::string_view(m.name).substr(0, kMaxPayload - kRecordFixed));
    put_message(out, Type::kAgentUp, w.str());
}

void encode_agent_down(std::string &out, const AgentDown &m) {
    Writer w;
    w.u64(m.serial);
    w.u8(static_cast<uint8_t>(m.kind));
    w.bytes(std::string_view(m.why).substr(0, kMaxPayload - kAgentDownFixed));
    put_message(out, Type::kAgentDown, w.str());
}

void encode_ready(std::string &out) {
    put_message(out, Type::kReady, {});
}

void encode_queued(std::string &out, const Queued &m) {
    Writer w;
    w.u64(m.request);
    w.u32(m.ahead);
    put_message(out, Type::kQueued, w.str());
}

void encode_sent(std::string &out, uint64_t request) {
    put_request_bytes(out, Type::kSent, request, {});
}

void encode_output(std::string &out, uint64_t request, std::string_view bytes) {
    do {
        const std::string_view chunk = bytes.substr(0, kMaxOutputChunk);
        put_request_bytes(out, Type::kOutput, request, chunk);
        bytes.remove_prefix(chunk.size());
    } while (!bytes.empty());
}

void encode_prompt(std::string &out, uint64_t request, std::string_view text) {
    put_request_bytes(out, Type::kPrompt, request, text);
}

void encode_done(std::string &out, uint64_t request, std::optional<int32_t> result) {
    Writer w;
    w.u64(request);
    if (result) w.u32(static_cast<uint32_t>(*result));
    put_message(out, Type::kDone, w.str());
}

void encode_notice(std::string &out, const NoticeText &m) {
    Writer w;
    w.u8(static_cast<uint8_t>(m.kind));
    w.bytes(std::string_view(m.text).substr(0, kMaxPayload - kNoticeFixed));
    put_message(out, Type::kNotice, w.str());
}

void encode_row(std::string &out, const AgentRow &m) {
    Writer w;
    put_record(w, m);
    w.u32(m.queued);
    w.u8(static_cast<uint8_t>((m.busy ? kRowBusy : 0) |
                              (m.name_shared_across_owners ? kRowShared : 0)));
    w.opt(m.runner ? std::optional<uid_t>(m.runner->uid) : std::nullopt);
    w.opt(m.runner ? std::optional<pid_t>(m.runner->pid) : std::nullopt);
    w.bytes(std::string_view(m.name).substr(0, kMaxPayload - kRowFixed));
    put_message(out, Type::kRow, w.str());
}

void encode_rows_end(std::string &out) {
    put_message(out, Type::kRowsEnd, {});
}

void encode_refused(std::string &out, std::string_view line) {
    put_message(out, Type::kRefused, line);
}

std::string refused_line(uint16_t version, std::string_view reason) {
    std::string line(refusal_is_bare(version) ? "" : kRefusalPrefix);
    line += reason;
    return line;
}

std::string refused_reason(uint16_t version, std::string_view line) {
    if (!refusal_is_bare(version) && line.starts_with(kRefusalPrefix))
        line.remove_prefix(kRefusalPrefix.size());
    return std::string(line);
}

void encode_metrics_request(std::string &out) {
    put_message(out, Type::kMetrics, {});
}

void encode_denied(std::string &out, uint64_t request, std::string_view why) {
    put_request_bytes(out, Type::kDenied, request, why);
}

void encode_metrics_text(std::string &out, std::string_view text) {
    while (!text.empty()) {
        const std::string_view chunk = text.substr(0, kMaxPayload);
        put_message(out, Type::kMetricsText, chunk);
        text.remove_prefix(chunk.size());
    }
    put_message(out, Type::kMetricsEnd, {});
}

} // namespace cliserver::operator_protocol
