#include "server_text.h"

#include "cli_common.h"

#include <ctime>

namespace cliserver {

// Agent-supplied text shown on the terminal: control bytes become '?', so
// a name or prompt cannot move the cursor or change colours.
std::string printable(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
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

std::string describe(const AgentView &a) {
    return printable(a.name.empty() ? "(unnamed)" : a.name) + " (id " + std::to_string(a.id) + ")";
}

} // namespace cliserver
