#include "core/text.h"

#include "cli_common.h"

#include <cstdint>
#include <ctime>

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

namespace {

// Appends the visible form of s; returns how many bytes at the end were
// left alone because they may be the start of a character cut short.
size_t make_visible(std::string &out, std::string_view s, bool text, bool at_end) {
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
    make_visible(out, s, false, true);
    return out;
}

std::string printable_text(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    make_visible(out, s, true, true);
    return out;
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
    const size_t kept = make_visible(out, in, true, false);
    held_.assign(in.substr(in.size() - kept));
    return out;
}

std::string PrintableStream::flush() {
    std::string out;
    make_visible(out, held_, true, true);
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
