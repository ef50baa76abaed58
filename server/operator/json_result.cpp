#include "operator/json_result.h"

#include "core/text.h"
#include "core/users.h"
#include "hub/agent_owner.h"

#include <nlohmann/json.hpp>

namespace cliserver {

std::string base64_encode(std::string_view bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string result_json_line(const CommandResult &r) {
    nlohmann::ordered_json j;
    j["host"] = r.host;
    j["name"] = r.name;
    j["id"] = r.id;
    if (r.pid) j["pid"] = *r.pid;
    if (r.uid) j["user"] = uid_text(r.uid);
    j["command"] = r.command;
    j["status"] = outcome_name(r.status);
    if (r.result)
        j["result"] = *r.result;
    else
        j["result"] = nullptr;
    j["duration_ms"] = r.duration_ms;
    if (is_valid_utf8(r.output))
        j["output"] = r.output;
    else
        j["output_base64"] = base64_encode(r.output);
    if (r.truncated) j["truncated"] = true;
    // Names and command lines are not checked by anyone: a byte that is not
    // UTF-8 there becomes U+FFFD rather than making the line unparsable.
    const std::string dumped = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // C0 controls are escaped by the dump; DEL, the C1 controls and the
    // invisible, format and bidirectional characters are too (core/text.h),
    // so a result shown on a terminal as it is cannot drive it or hide what
    // a name holds. Parsers read the same.
    std::string line = json_visible(dumped);
    line += '\n';
    return line;
}

} // namespace cliserver
