#include "wire/operator_protocol.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace cliserver::operator_protocol {

namespace {

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
};

const Shape *shape_of(uint8_t t) {
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

void put_message(std::string &out, Type t, std::string_view payload) {
    payload = payload.substr(0, kMaxPayload);
    out.push_back(static_cast<char>(t));
    const auto len = static_cast<uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((len >> shift) & 0xFF));
    out.append(payload);
}

void put_request_bytes(std::string &out, Type t, uint64_t request, std::string_view bytes) {
    Writer w;
    w.u64(request);
    w.bytes(bytes.substr(0, kMaxPayload - kIdSize));
    put_message(out, t, w.str());
}

void put_record(Writer &w, const AgentRecord &m) {
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

bool get_record(Reader &r, AgentRecord &m) {
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
bool get_notice(Reader &r, Notice &kind) {
    const uint8_t byte = r.u8();
    kind = static_cast<Notice>(byte);
    return byte <= static_cast<uint8_t>(Notice::kError);
}

std::string describe_header(uint8_t type, uint32_t len, const char *why) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "message type 0x%02x with %u bytes: %s", type, len, why);
    return msg;
}

} // namespace

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

DecodeResult Decoder::drain(const std::function<bool(const Message &)> &handle,
                            std::string *error) {
    Message m;
    for (;;) {
        const DecodeResult res = next(m, error);
        if (res != DecodeResult::kMessage) return res;
        if (!handle(m)) return DecodeResult::kMessage;
    }
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

void encode_refused(std::string &out, std::string_view reason) {
    put_message(out, Type::kRefused, reason);
}

void encode_metrics_request(std::string &out) {
    put_message(out, Type::kMetrics, {});
}

void encode_metrics_text(std::string &out, std::string_view text) {
    while (!text.empty()) {
        const std::string_view chunk = text.substr(0, kMaxPayload);
        put_message(out, Type::kMetricsText, chunk);
        text.remove_prefix(chunk.size());
    }
    put_message(out, Type::kMetricsEnd, {});
}

bool parse_hello(const Message &m, Hello &out, std::string *error) {
    if (m.type != Type::kHello || m.payload.size() < kHelloSize) {
        if (error) *error = "not a hello";
        return false;
    }
    Reader r(m.payload);
    out.version = r.u16();
    const uint8_t mode = r.u8();
    if (mode > static_cast<uint8_t>(Mode::kScripted)) {
        if (error) *error = "unknown client mode " + std::to_string(mode);
        return false;
    }
    out.mode = static_cast<Mode>(mode);
    return true;
}

bool parse_submit(const Message &m, Submit &out) {
    if (m.type != Type::kSubmit || m.payload.size() < kSubmitFixed) return false;
    Reader r(m.payload);
    out.request = r.u64();
    out.agent = r.u64();
    const uint8_t flags = r.u8();
    if (flags > 1) return false;
    out.quiet = flags == 1;
    out.line = r.rest();
    return true;
}

bool parse_request_bytes(const Message &m, RequestBytes &out) {
    if (m.payload.size() < kIdSize) return false;
    Reader r(m.payload);
    out.request = r.u64();
    out.bytes = r.rest();
    return true;
}

bool parse_request(const Message &m, uint64_t &out) {
    if (m.payload.size() != kIdSize) return false;
    Reader r(m.payload);
    out = r.u64();
    return true;
}

bool parse_done(const Message &m, uint64_t &request, std::optional<int32_t> &result) {
    if (m.type != Type::kDone ||
        (m.payload.size() != kIdSize && m.payload.size() != kDoneWithResult))
        return false;
    Reader r(m.payload);
    request = r.u64();
    result.reset();
    if (m.payload.size() == kDoneWithResult) result = static_cast<int32_t>(r.u32());
    return true;
}

bool parse_welcome(const Message &m, Welcome &out) {
    if (m.type != Type::kWelcome || m.payload.size() < kWelcomeSize) return false;
    Reader r(m.payload);
    out.version = r.u16();
    const size_t owners = m.payload.size() - kWelcomeSize;
    if (!welcome_names_owners(out.version) ? owners != 0 : owners % kU32 != 0) return false;
    out.trusted_owners.clear();
    for (size_t i = 0; i < owners / kU32; ++i)
        out.trusted_owners.push_back(static_cast<uid_t>(r.u32()));
    return true;
}

bool parse_agent_up(const Message &m, AgentRecord &out) {
    if (m.type != Type::kAgentUp || m.payload.size() < kRecordFixed) return false;
    Reader r(m.payload);
    if (!get_record(r, out)) return false;
    out.name = r.rest();
    return true;
}

bool parse_agent_down(const Message &m, AgentDown &out) {
    if (m.type != Type::kAgentDown || m.payload.size() < kAgentDownFixed) return false;
    Reader r(m.payload);
    out.serial = r.u64();
    const bool known = get_notice(r, out.kind);
    out.why = r.rest();
    return known;
}

bool parse_queued(const Message &m, Queued &out) {
    if (m.type != Type::kQueued || m.payload.size() != kQueuedSize) return false;
    Reader r(m.payload);
    out.request = r.u64();
    out.ahead = r.u32();
    return true;
}

bool parse_notice(const Message &m, NoticeText &out) {
    if (m.type != Type::kNotice || m.payload.empty()) return false;
    Reader r(m.payload);
    const bool known = get_notice(r, out.kind);
    out.text = r.rest();
    return known;
}

bool parse_row(const Message &m, AgentRow &out) {
    if (m.type != Type::kRow || m.payload.size() < kRowFixed) return false;
    Reader r(m.payload);
    if (!get_record(r, out)) return false;
    out.queued = r.u32();
    const uint8_t flags = r.u8();
    out.busy = (flags & kRowBusy) != 0;
    out.name_shared_across_owners = (flags & kRowShared) != 0;
    const auto runner_uid = r.opt<uid_t>();
    const auto runner_pid = r.opt<pid_t>();
    // Half a runner names nobody.
    out.runner.reset();
    if (runner_uid && runner_pid) out.runner = ClientIdentity{*runner_uid, *runner_pid};
    out.name = r.rest();
    return flags <= (kRowBusy | kRowShared);
}

const char *type_name(Type t) {
    const Shape *shape = shape_of(static_cast<uint8_t>(t));
    return shape ? shape->name : "?";
}

} // namespace cliserver::operator_protocol
