#include "operator/json_result.h"

#include "core/users.h"
#include "hub/agent_owner.h"

#include <nlohmann/json.hpp>

namespace cliserver {

bool is_valid_utf8(std::string_view s) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            len = 2;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false; // a continuation byte, an overlong lead (c0, c1) or beyond U+10FFFF
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF
        // are not UTF-8, whatever their bit pattern.
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10ffff ||
            (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += len;
    }
    return true;
}

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
    j["duration_ms"] = r.duration_ms;
    if (is_valid_utf8(r.output))
        j["output"] = r.output;
    else
        j["output_base64"] = base64_encode(r.output);
    if (r.truncated) j["truncated"] = true;
    // Names and command lines are not checked by anyone: a byte that is not
    // UTF-8 there becomes U+FFFD rather than making the line unparsable.
    const std::string dumped = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // C0 controls are escaped by the dump; DEL and the C1 controls (U+0080
    // to U+009F, C2 80 to C2 9F in the dump's UTF-8) are too, so a result
    // shown on a terminal as it is cannot drive it. Parsers read the same.
    std::string line;
    line.reserve(dumped.size() + 1);
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < dumped.size(); ++i) {
        const auto c = static_cast<unsigned char>(dumped[i]);
        unsigned cp = 0;
        if (c == 0x7f) {
            cp = 0x7f;
        } else if (c == 0xc2 && i + 1 < dumped.size() &&
                   static_cast<unsigned char>(dumped[i + 1]) <= 0x9f) {
            cp = static_cast<unsigned char>(dumped[++i]);
        } else {
            line += static_cast<char>(c);
            continue;
        }
        line += "\\u00";
        line += kHex[cp >> 4];
        line += kHex[cp & 15];
    }
    line += '\n';
    return line;
}

} // namespace cliserver
