#include "operator_protocol.h"

#include <algorithm>
#include <cstdio>

namespace cliserver::operator_protocol {

namespace {

constexpr size_t kHelloFixed = 3;

bool sent_by_client(uint8_t t) {
    return t >= 0x01 && t <= 0x04;
}
bool sent_by_daemon(uint8_t t) {
    return t >= 0x81 && t <= 0x87;
}

// The payload lengths each type can have, so that a header already tells a
// nonsensical message apart.
bool length_fits(Type t, uint32_t len) {
    switch (t) {
    case Type::kHello:
        return len >= kHelloFixed;
    case Type::kInterrupt:
        return len == 0;
    case Type::kWelcome:
        return len == 2;
    case Type::kEnd:
        return len == 4;
    default:
        return true;
    }
}

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

void put_message(std::string &out, Type t, std::string_view payload) {
    payload = payload.substr(0, kMaxPayload);
    out.push_back(static_cast<char>(t));
    put32(out, static_cast<uint32_t>(payload.size()));
    out.append(payload);
}

std::string describe_header(uint8_t type, uint32_t len, const char *why) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "message type 0x%02x with %u bytes: %s", type, len, why);
    return msg;
}

} // namespace

void Decoder::append(const char *data, size_t n) {
    if (!failure_.empty()) return;
    if (pos_ > 0 && pos_ >= buf_.size() / 2) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    buf_.append(data, n);
}

DecodeResult Decoder::next(Message &out, std::string *error) {
    if (!failure_.empty()) {
        if (error) *error = failure_;
        return DecodeResult::kMalformed;
    }
    if (buffered() < kHeaderSize) return DecodeResult::kNeedMore;
    const uint8_t raw = static_cast<unsigned char>(buf_[pos_]);
    const uint32_t len = get32(buf_, pos_ + 1);
    const bool allowed = from_ == Sender::kClient ? sent_by_client(raw) : sent_by_daemon(raw);
    const char *why = nullptr;
    if (!allowed)
        why = from_ == Sender::kClient ? "not a client message" : "not a daemon message";
    else if (len > kMaxPayload)
        why = "longer than the 65536-byte limit";
    else if (!length_fits(static_cast<Type>(raw), len))
        why = "wrong length for its type";
    if (why) {
        failure_ = describe_header(raw, len, why);
        buf_.clear();
        buf_.shrink_to_fit();
        pos_ = 0;
        if (error) *error = failure_;
        return DecodeResult::kMalformed;
    }
    if (buffered() < kHeaderSize + len) return DecodeResult::kNeedMore;
    out.type = static_cast<Type>(raw);
    out.payload.assign(buf_, pos_ + kHeaderSize, len);
    pos_ += kHeaderSize + len;
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
        if (buf_.capacity() > 2 * (kHeaderSize + kMaxPayload)) buf_.shrink_to_fit();
    }
    return DecodeResult::kMessage;
}

void encode_hello(std::string &out, const Hello &hello) {
    std::string payload;
    put16(payload, hello.version);
    payload.push_back(static_cast<char>(hello.mode));
    payload.append(hello.target, 0, kMaxPayload - kHelloFixed);
    put_message(out, Type::kHello, payload);
}

void encode_command(std::string &out, std::string_view line) {
    put_message(out, Type::kCommand, line);
}

void encode_reply(std::string &out, std::string_view reply) {
    put_message(out, Type::kReply, reply);
}

void encode_interrupt(std::string &out) {
    put_message(out, Type::kInterrupt, {});
}

void encode_welcome(std::string &out, uint16_t version) {
    std::string payload;
    put16(payload, version);
    put_message(out, Type::kWelcome, payload);
}

void encode_output(std::string &out, std::string_view bytes) {
    do {
        const std::string_view chunk = bytes.substr(0, kMaxPayload);
        put_message(out, Type::kOutput, chunk);
        bytes.remove_prefix(chunk.size());
    } while (!bytes.empty());
}

void encode_prompt(std::string &out, std::string_view text) {
    put_message(out, Type::kPrompt, text);
}

void encode_end(std::string &out, int32_t status) {
    std::string payload;
    put32(payload, static_cast<uint32_t>(status));
    put_message(out, Type::kEnd, payload);
}

void encode_notice(std::string &out, std::string_view text) {
    put_message(out, Type::kNotice, text);
}

void encode_error(std::string &out, std::string_view text) {
    put_message(out, Type::kError, text);
}

void encode_refused(std::string &out, std::string_view reason) {
    put_message(out, Type::kRefused, reason);
}

bool parse_hello(const Message &m, Hello &out, std::string *error) {
    if (m.type != Type::kHello || m.payload.size() < kHelloFixed) {
        if (error) *error = "not a hello";
        return false;
    }
    const auto mode = static_cast<uint8_t>(m.payload[2]);
    if (mode > static_cast<uint8_t>(Mode::kScripted)) {
        if (error) *error = "unknown client mode " + std::to_string(mode);
        return false;
    }
    out.version = get16(m.payload, 0);
    out.mode = static_cast<Mode>(mode);
    out.target.assign(m.payload, kHelloFixed);
    return true;
}

uint16_t parse_welcome(const Message &m) {
    return m.payload.size() == 2 ? get16(m.payload, 0) : 0;
}

int32_t parse_end(const Message &m) {
    return m.payload.size() == 4 ? static_cast<int32_t>(get32(m.payload, 0)) : -1;
}

const char *type_name(Type t) {
    switch (t) {
    case Type::kHello:
        return "HELLO";
    case Type::kCommand:
        return "COMMAND";
    case Type::kReply:
        return "REPLY";
    case Type::kInterrupt:
        return "INTERRUPT";
    case Type::kWelcome:
        return "WELCOME";
    case Type::kOutput:
        return "OUTPUT";
    case Type::kPrompt:
        return "PROMPT";
    case Type::kEnd:
        return "END";
    case Type::kNotice:
        return "NOTICE";
    case Type::kError:
        return "ERROR";
    case Type::kRefused:
        return "REFUSED";
    }
    return "?";
}

} // namespace cliserver::operator_protocol
