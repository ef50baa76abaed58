#include "wire/operator_codec.h"

namespace cliserver::operator_protocol {

using namespace codec;

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
