// The soak's verdicts: violations and notes on standard error, one line
// at a time under one lock, from any thread.
#include "soak.h"

#include <cstdarg>
#include <mutex>

namespace soak {

std::vector<std::string> g_violations;
std::atomic<bool> g_stop{false};
bool g_verbose = false;

namespace {

std::mutex g_report_mu;

std::string formatted(const char *fmt, va_list ap) {
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    return buf;
}

} // namespace

void violation(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = formatted(fmt, ap);
    va_end(ap);
    {
        std::lock_guard lock(g_report_mu);
        std::fprintf(stderr, "daemon_soak: VIOLATION: %s\n", text.c_str());
        g_violations.push_back(text);
        g_stop = true;
    }
    wake_everyone();
}

void note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = formatted(fmt, ap);
    va_end(ap);
    std::lock_guard lock(g_report_mu);
    std::fprintf(stderr, "daemon_soak: %s\n", text.c_str());
}

std::string shown(const std::string &s, size_t max) {
    std::string out;
    for (char c : s.substr(0, max)) {
        if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            out += '?';
        else
            out += c;
    }
    if (s.size() > max) out += "...(" + std::to_string(s.size()) + " bytes)";
    return "'" + out + "'";
}

Counters g_count;

} // namespace soak
