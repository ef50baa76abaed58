// The operator protocol's payload layout, shared by its encoders and its
// parsers (operator_protocol.cpp, operator_protocol_parse.cpp): the fixed
// sizes, the table of message shapes and the big-endian field codec.
#pragma once

#include "wire/operator_protocol.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace cliserver::operator_protocol::codec {

// The fixed part of each payload, before any text it ends with.
constexpr size_t kU8 = 1, kU16 = 2, kU32 = 4, kU64 = 8;
constexpr size_t kHelloSize = kU16 + kU8;               // version, mode
constexpr size_t kWelcomeSize = kU16;                   // version
constexpr size_t kSubmitFixed = kIdSize + kU64 + kU8;   // request, agent serial, flags
constexpr size_t kAgentDownFixed = kU64 + kU8;          // agent serial, kind
constexpr size_t kQueuedSize = kIdSize + kU32;          // request, commands ahead
constexpr size_t kDoneWithResult = kIdSize + kU32;      // request, result (version 2)
constexpr size_t kNoticeFixed = kU8;                    // kind
constexpr size_t kRecordFixed = kU64 + kU32 + 3 * kU64; // serial, id, connected, pid, uid
constexpr size_t kRowFixed = kRecordFixed + kU32 + kU8 + 2 * kU64; // + queued, flags, runner
constexpr uint8_t kRowBusy = 1, kRowShared = 2;

// Each type's name, who may send it and the payload lengths it can have,
// so that a header already tells a nonsensical message apart.
struct Shape {
    Type type;
    const char *name;
    Sender from;
    uint32_t min;
    uint32_t max;
    uint16_t since = kOldestVersion; // the protocol version that added it
};

constexpr uint32_t kAny = kMaxPayload;
constexpr Shape kShapes[] = {
    {Type::kHello, "HELLO", Sender::kClient, kHelloSize, kAny},
    {Type::kSubmit, "SUBMIT", Sender::kClient, kSubmitFixed, kAny},
    {Type::kReply, "REPLY", Sender::kClient, kIdSize, kAny},
    {Type::kAbandon, "ABANDON", Sender::kClient, kIdSize, kIdSize},
    {Type::kList, "LIST", Sender::kClient, 0, 0},
    {Type::kAbandonTimedOut, "ABANDON_TIMED_OUT", Sender::kClient, kIdSize, kIdSize},
    {Type::kWelcome, "WELCOME", Sender::kDaemon, kWelcomeSize,
     kWelcomeSize + kU32 *kMaxTrustedOwners},
    {Type::kAgentUp, "AGENT_UP", Sender::kDaemon, kRecordFixed, kAny},
    {Type::kAgentDown, "AGENT_DOWN", Sender::kDaemon, kAgentDownFixed, kAny},
    {Type::kReady, "READY", Sender::kDaemon, 0, 0},
    {Type::kQueued, "QUEUED", Sender::kDaemon, kQueuedSize, kQueuedSize},
    {Type::kSent, "SENT", Sender::kDaemon, kIdSize, kIdSize},
    {Type::kOutput, "OUTPUT", Sender::kDaemon, kIdSize, kAny},
    {Type::kPrompt, "PROMPT", Sender::kDaemon, kIdSize, kAny},
    {Type::kDone, "DONE", Sender::kDaemon, kIdSize, kDoneWithResult},
    {Type::kNotice, "NOTICE", Sender::kDaemon, kNoticeFixed, kAny},
    {Type::kRow, "ROW", Sender::kDaemon, kRowFixed, kAny},
    {Type::kRowsEnd, "ROWS_END", Sender::kDaemon, 0, 0},
    {Type::kRefused, "REFUSED", Sender::kDaemon, 0, kAny},
    {Type::kMetrics, "METRICS", Sender::kClient, 0, 0, kMetricsSince},
    {Type::kMetricsText, "METRICS_TEXT", Sender::kDaemon, 0, kAny, kMetricsSince},
    {Type::kMetricsEnd, "METRICS_END", Sender::kDaemon, 0, 0, kMetricsSince},
    {Type::kDenied, "DENIED", Sender::kDaemon, kIdSize, kAny, kDeniedSince},
};

inline const Shape *shape_of(uint8_t t) {
    for (const Shape &s : kShapes)
        if (static_cast<uint8_t>(s.type) == t) return &s;
    return nullptr;
}

// Big-endian fields in and out of a payload.
class Writer {
  public:
    void u8(uint8_t v) { s_.push_back(static_cast<char>(v)); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void i64(int64_t v) { put(static_cast<uint64_t>(v), 8); }
    void opt(const auto &v) { i64(v ? static_cast<int64_t>(*v) : -1); }
    void bytes(std::string_view b) { s_.append(b); }
    const std::string &str() const { return s_; }

  private:
    void put(uint64_t v, int n) {
        for (int shift = 8 * (n - 1); shift >= 0; shift -= 8)
            s_.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
    std::string s_;
};

// Reads fields the decoder has already proved present.
class Reader {
  public:
    explicit Reader(const std::string &s) : s_(s) {}
    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    int64_t i64() { return static_cast<int64_t>(get(8)); }
    template <typename T> std::optional<T> opt() {
        const int64_t v = i64();
        if (v < 0 ||
            static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max()))
            return std::nullopt;
        return static_cast<T>(v);
    }
    std::string rest() { return s_.substr(std::min(at_, s_.size())); }
    bool fits(size_t n) const { return at_ + n <= s_.size(); }

  private:
    uint64_t get(size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n && at_ < s_.size(); ++i, ++at_)
            v = (v << 8) | static_cast<unsigned char>(s_[at_]);
        return v;
    }
    const std::string &s_;
    size_t at_ = 0;
};

inline void put_message(std::string &out, Type t, std::string_view payload) {
    payload = payload.substr(0, kMaxPayload);
    out.push_back(static_cast<char>(t));
    const auto len = static_cast<uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((len >> shift) & 0xFF));
    out.append(payload);
}

inline void put_request_bytes(std::string &out, Type t, uint64_t request, std::string_view bytes) {
    Writer w;
    w.u64(request);
    w.bytes(bytes.substr(0, kMaxPayload - kIdSize));
    put_message(out, t, w.str());
}

inline void put_record(Writer &w, const AgentRecord &m) {
    w.u64(m.serial);
    w.u32(m.id);
    w.i64(std::chrono::duration_cast<std::chrono::milliseconds>(m.connected_at.time_since_epoch())
              .count());
    w.opt(m.pid);
    w.opt(m.uid);
}

// Connection times from 1970 to the last the system clock can hold (in
// 2262): anything else is not a time a daemon could have sent, and would
// overflow the clock's type.
constexpr int64_t kLatestMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::duration::max())
                                  .count();

inline bool get_record(Reader &r, AgentRecord &m) {
    m.serial = r.u64();
    m.id = r.u32();
    const int64_t ms = r.i64();
    m.pid = r.opt<pid_t>();
    m.uid = r.opt<uid_t>();
    if (ms < 0 || ms > kLatestMs) return false;
    m.connected_at = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
    return true;
}

// The notice kind's byte is its number; a byte past the last kind is not one.
inline bool get_notice(Reader &r, Notice &kind) {
    const uint8_t byte = r.u8();
    kind = static_cast<Notice>(byte);
    return byte <= static_cast<uint8_t>(Notice::kError);
}

inline std::string describe_header(uint8_t type, uint32_t len, const char *why) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "message type 0x%02x with %u bytes: %s", type, len, why);
    return msg;
}

} // namespace cliserver::operator_protocol::codec
