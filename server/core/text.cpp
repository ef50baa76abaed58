#include "core/text.h"

#include "cli_common.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>

namespace cliserver {

namespace {

void escape_byte(std::string &out, unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

// The length of the UTF-8 character that starts s, 0 when it is not one,
// -1 when s ends inside what may still become one; *cp receives its code
// point.
int utf8_length(std::string_view s, uint32_t *cp) {
    const auto c = static_cast<unsigned char>(s[0]);
    int len = 0;
    uint32_t v = 0;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        v = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        v = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    for (int k = 1; k < len; ++k) {
        if (static_cast<size_t>(k) >= s.size()) return -1;
        const auto cc = static_cast<unsigned char>(s[static_cast<size_t>(k)]);
        if ((cc & 0xc0) != 0x80) return 0;
        v = (v << 6) | (cc & 0x3f);
        // Overlong forms, surrogates and code points past U+10FFFF are
        // refused as soon as the bits that decide it are in.
        if (k == 1 && ((len == 3 && (v < 0x20 || (v >= 0x360 && v < 0x380))) ||
                       (len == 4 && (v < 0x10 || v > 0x10f))))
            return 0;
    }
    *cp = v;
    return len;
}

} // namespace

bool is_valid_utf8(std::string_view s) {
    size_t i = 0;
    uint32_t cp = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const int len = utf8_length(s.substr(i), &cp);
        if (len <= 0) return false; // not a character, or one cut short
        i += static_cast<size_t>(len);
    }
    return true;
}

bool is_invisible(uint32_t cp) {
    struct Range {
        uint32_t first, last;
    };
    // Format characters (Cf), the invisible fillers and variation
    // selectors, and every space but U+0020 and line or paragraph separator.
    static constexpr Range kInvisible[] = {
        {0x00a0, 0x00a0},   {0x00ad, 0x00ad},   {0x034f, 0x034f},   {0x0600, 0x0605},
        {0x061c, 0x061c},   {0x06dd, 0x06dd},   {0x070f, 0x070f},   {0x0890, 0x0891},
        {0x08e2, 0x08e2},   {0x115f, 0x1160},   {0x1680, 0x1680},   {0x17b4, 0x17b5},
        {0x180b, 0x180f},   {0x2000, 0x200f},   {0x2028, 0x202f},   {0x205f, 0x206f},
        {0x3000, 0x3000},   {0x3164, 0x3164},   {0xfe00, 0xfe0f},   {0xfeff, 0xfeff},
        {0xffa0, 0xffa0},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd}, {0x110cd, 0x110cd},
        {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0000, 0xe0fff},
    };
    for (const Range &r : kInvisible)
        if (cp >= r.first && cp <= r.last) return true;
    return false;
}

namespace {

void escape_code_point(std::string &out, uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, cp > 0xffff ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(cp));
    out += buf;
}

enum class Visible {
    kWord,   // a name or label: one line, invisible characters escaped
    kOutput, // an agent's output: lines, invisible characters pass
    kLines,  // a prompt: lines, invisible characters escaped
};

// Appends the visible form of s; returns how many bytes at the end were
// left alone because they may be the start of a character cut short.
size_t make_visible(std::string &out, std::string_view s, Visible how, bool at_end) {
    const bool text = how != Visible::kWord;
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if ((c >= 0x20 && c != 0x7f) || (text && (c == '\n' || c == '\t')))
                out += static_cast<char>(c);
            else
                escape_byte(out, c);
            ++i;
            continue;
        }
        uint32_t cp = 0;
        const int len = utf8_length(s.substr(i), &cp);
        if (len < 0 && !at_end) return s.size() - i;
        if (len <= 0) {
            escape_byte(out, c);
            ++i;
            continue;
        }
        const auto n = static_cast<size_t>(len);
        if (cp >= 0x80 && cp <= 0x9f) {
            for (size_t k = 0; k < n; ++k)
                escape_byte(out, static_cast<unsigned char>(s[i + k]));
        } else if (how != Visible::kOutput && is_invisible(cp)) {
            escape_code_point(out, cp);
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return 0;
}

} // namespace

std::string printable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    make_visible(out, s, Visible::kWord, true);
    return out;
}

std::string printable_text(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    make_visible(out, s, Visible::kOutput, true);
    return out;
}

std::string printable_lines(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    make_visible(out, s, Visible::kLines, true);
    return out;
}

std::string json_visible(std::string_view json) {
    static const char kHex[] = "0123456789abcdef";
    auto escape = [](std::string &out, uint32_t unit) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out += kHex[(unit >> shift) & 15];
    };
    std::string out;
    out.reserve(json.size() + 1);
    size_t i = 0;
    while (i < json.size()) {
        const auto c = static_cast<unsigned char>(json[i]);
        uint32_t cp = c;
        int len = 1;
        if (c >= 0x80) {
            len = utf8_length(json.substr(i), &cp);
            if (len <= 0) { // not UTF-8: passed on, the caller's to avoid
                out += json[i++];
                continue;
            }
        }
        const bool hide = cp == 0x7f || (cp >= 0x80 && cp <= 0x9f) || is_invisible(cp);
        if (!hide) {
            out.append(json, i, static_cast<size_t>(len));
        } else if (cp > 0xffff) {
            escape(out, 0xd800 + ((cp - 0x10000) >> 10));
            escape(out, 0xdc00 + ((cp - 0x10000) & 0x3ff));
        } else {
            escape(out, cp);
        }
        i += static_cast<size_t>(len);
    }
    return out;
}

namespace {

// The one letter a case-folded letter looks like, for the Cyrillic and
// Greek letters drawn like Latin ones.
uint32_t latin_look(uint32_t cp) {
    static constexpr std::pair<uint32_t, char> kLooks[] = {
        {0x0430, 'a'}, {0x0435, 'e'}, {0x043e, 'o'}, {0x0440, 'p'}, {0x0441, 'c'}, {0x0443, 'y'},
        {0x0445, 'x'}, {0x0455, 's'}, {0x0456, 'i'}, {0x0458, 'j'}, {0x04bb, 'h'}, {0x0501, 'd'},
        {0x051b, 'q'}, {0x051d, 'w'}, {0x03b1, 'a'}, {0x03bf, 'o'}, {0x03c1, 'p'}, {0x03b9, 'i'},
        {0x03ba, 'k'}, {0x03bd, 'v'}, {0x03c5, 'u'}, {0x03c7, 'x'}, {0x0432, 'b'}, {0x043a, 'k'},
        {0x043c, 'm'}, {0x043d, 'h'}, {0x0442, 't'}, {0x0131, 'i'},
    };
    for (const auto &[from, to] : kLooks)
        if (cp == from) return static_cast<uint32_t>(to);
    return cp;
}

uint32_t case_fold(uint32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp + 0x20;
    if (cp >= 0xc0 && cp <= 0xde && cp != 0xd7) return cp + 0x20;
    if (cp >= 0x391 && cp <= 0x3a9) return cp + 0x20;
    if (cp >= 0x410 && cp <= 0x42f) return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40f) return cp + 0x50;
    return cp;
}

void append_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

} // namespace

std::string lookalike_key(std::string_view name) {
    std::string key;
    size_t i = 0;
    while (i < name.size()) {
        uint32_t cp = static_cast<unsigned char>(name[i]);
        int len = 1;
        if (cp >= 0x80) {
            len = utf8_length(name.substr(i), &cp);
            if (len <= 0) { // a stray byte stands for itself
                key += name[i++];
                continue;
            }
        }
        i += static_cast<size_t>(len);
        if (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f)) continue;
        if (is_invisible(cp)) {
            // A space that is not U+0020 looks like one; the rest are not seen.
            if (cp == 0x00a0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200a) || cp == 0x202f ||
                cp == 0x205f || cp == 0x3000)
                key += ' ';
            continue;
        }
        append_utf8(key, latin_look(case_fold(cp)));
    }
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
        key.pop_back();
    return key;
}

std::string PrintableStream::feed(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::string_view in = bytes;
    std::string joined;
    if (!held_.empty()) {
        joined = held_ + std::string(bytes);
        held_.clear();
        in = joined;
    }
    const size_t kept = make_visible(out, in, Visible::kOutput, false);
    held_.assign(in.substr(in.size() - kept));
    return out;
}

std::string PrintableStream::flush() {
    std::string out;
    make_visible(out, held_, Visible::kOutput, true);
    held_.clear();
    return out;
}

std::vector<std::string> split_words(const std::string &line) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    cli_args args{};
    cli_split_args(buf.data(), &args);
    std::vector<std::string> words;
    for (int i = 0; i < args.argc; ++i)
        words.emplace_back(args.argv[i]);
    return words;
}

// Command names from an agent's help listing: every line that starts with a
// space names one command in its first word.
std::vector<std::string> parse_help_listing(const std::string &listing) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < listing.size()) {
        size_t end = listing.find('\n', pos);
        if (end == std::string::npos) end = listing.size();
        std::string_view line(listing.data() + pos, end - pos);
        if (!line.empty() && line[0] == ' ') {
            size_t b = line.find_first_not_of(' ');
            size_t e = line.find(' ', b);
            if (b != std::string_view::npos) {
                std::string name(line.substr(b, e == std::string_view::npos ? e : e - b));
                if (name != "help") names.push_back(std::move(name));
            }
        }
        pos = end + 1;
    }
    return names;
}

std::string format_time(std::chrono::system_clock::time_point t) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

} // namespace cliserver
