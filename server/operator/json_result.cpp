#include "operator/json_result.h"

#include "core/text.h"
#include "core/users.h"
#include "hub/agent_owner.h"

#include <nlohmann/json.hpp>

#include <charconv>

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

namespace {

// A JSON string as the serializer writes it with no ASCII-only escaping
// (quote, backslash and the C0 controls escaped, \u00XX in lower case where
// no short form exists), then made visible (json_visible). Names and command
// lines are not checked by anyone: a byte that is not UTF-8 there becomes
// U+FFFD rather than making the line unparsable, exactly as the
// serializer's replacement does, so that rare case is left to it.
void append_string(std::string &out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    bool plain_ascii = true; // nothing json_visible changes
    for (char c : s)
        plain_ascii = plain_ascii && static_cast<unsigned char>(c) < 0x7f;
    if (!plain_ascii && !is_valid_utf8(s)) {
        out += json_visible(nlohmann::json(std::string(s))
                                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    const size_t start = out.size();
    out += '"';
    size_t run = 0; // the first byte not yet copied
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
    if (!plain_ascii) { // DEL, C1 and invisible characters: rare
        const std::string visible = json_visible(std::string_view(out).substr(start));
        out.replace(start, std::string::npos, visible);
    }
}

template <typename Int> void append_number(std::string &out, Int v) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, end);
}

// `"key":` — keys are ASCII words that need no escaping.
void append_key(std::string &out, const char *key, bool first = false) {
    if (!first) out += ',';
    out += '"';
    out += key;
    out += "\":";
}

} // namespace

// Written directly rather than through a JSON document: a fan-out writes
// one line per agent and command, and building, then dumping, an ordered
// object for each cost several times the bytes themselves. The line is the
// one the serializer's compact dump of the same object gives, byte for byte:
// the keys in this order, C0 controls escaped, and then DEL, the C1
// controls and the invisible, format and bidirectional characters as
// \uXXXX (core/text.h), so a result shown on a terminal as it is cannot
// drive it or hide what a name holds. Parsers read the same.
std::string result_json_line(const CommandResult &r) {
    const bool utf8_output = is_valid_utf8(r.output);
    std::string line;
    line.reserve(
        160 + r.host.size() + r.name.size() + r.command.size() +
        (utf8_output ? r.output.size() + r.output.size() / 8 : r.output.size() / 3 * 4 + 4));
    line += '{';
    append_key(line, "host", true);
    append_string(line, r.host);
    append_key(line, "name");
    append_string(line, r.name);
    append_key(line, "id");
    append_number(line, r.id);
    if (r.pid) {
        append_key(line, "pid");
        append_number(line, *r.pid);
    }
    if (r.uid) {
        append_key(line, "user");
        append_string(line, r.user.empty() ? uid_text(r.uid) : r.user);
    }
    append_key(line, "command");
    append_string(line, r.command);
    append_key(line, "status");
    append_string(line, outcome_name(r.status));
    append_key(line, "result");
    if (r.result)
        append_number(line, *r.result);
    else
        line += "null";
    append_key(line, "duration_ms");
    append_number(line, r.duration_ms);
    if (utf8_output) {
        append_key(line, "output");
        append_string(line, r.output);
    } else {
        append_key(line, "output_base64");
        append_string(line, base64_encode(r.output));
    }
    if (r.truncated) {
        append_key(line, "truncated");
        line += "true";
    }
    line += "}\n";
    return line;
}

} // namespace cliserver
