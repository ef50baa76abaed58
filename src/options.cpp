// Getopt-style option parsing, option masks and the numeric parameters of
// handlers, plus the number and port parsers of the server side: all share
// one strict number parser. Caller-owned state only; safe on any thread.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli_agent.h"
#include "numbers.h"

namespace cli_internal {

int parse_u64_strict(const char *s, uint64_t *out) {
    if (s == nullptr || out == nullptr || *s == '\0') return -1;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0') return -1;
    *out = v;
    return 0;
}

} // namespace cli_internal

using cli_internal::parse_u64_strict;

namespace {

bool is_option_letter(int32_t opt) {
    return opt >= 'a' && opt <= 'z';
}

// First occurrence of c in optstring, compared as unsigned bytes.
const char *find_option_char(const char *optstring, unsigned char c) {
    for (const char *p = optstring; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) == c) return p;
    return nullptr;
}

int option_error(cli_option_state *st, int32_t next, unsigned char c, const char *what) {
    st->optopt = c;
    std::snprintf(st->errmsg, sizeof st->errmsg, "%s -- '%c'", what, c);
    st->optind = next;
    return '?';
}

} // namespace

extern "C" {

CLI_API int cli_parse_u32(const char *s, uint32_t *out) {
    uint64_t v = 0;
    if (out == nullptr || parse_u64_strict(s, &v) != 0 || v > UINT32_MAX) return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

CLI_API uint16_t cli_parse_port_arg(const char *s, uint16_t default_port) {
    uint32_t v = 0;
    if (cli_parse_u32(s, &v) != 0 || v == 0 || v > 65535) return default_port;
    return static_cast<uint16_t>(v);
}

CLI_API int cli_get_option(int argc, char **argv, const char *optstring, cli_option_state *st) {
    if (argv == nullptr || optstring == nullptr || st == nullptr) return -1;
    int32_t i = st->optind > 0 ? st->optind : 1;
    st->optarg = nullptr;
    st->optopt = 0;
    st->errmsg[0] = '\0';
    if (i >= argc) {
        st->optind = i;
        return -1;
    }
    char *a = argv[i];
    if (a == nullptr || a[0] != '-' || a[1] == '\0') {
        st->optarg = a;
        st->optind = i + 1;
        return 1;
    }
    auto c = static_cast<unsigned char>(a[1]);
    const char *entry = find_option_char(optstring, c);
    if (entry == nullptr) return option_error(st, i + 1, c, "invalid option");
    if (entry[1] == ':') {
        if (a[2] != '\0') {
            st->optarg = a + 2;
            st->optind = i + 1;
        } else if (i + 1 < argc) {
            st->optarg = argv[i + 1];
            st->optind = i + 2;
        } else {
            return option_error(st, i + 1, c, "option requires an argument");
        }
    } else {
        st->optind = i + 1;
    }
    return c;
}

CLI_API void cli_set_option(uint32_t *mask, int32_t opt) {
    if (mask != nullptr && is_option_letter(opt)) *mask |= 1u << (opt - 'a');
}

CLI_API bool cli_test_option(uint32_t mask, int32_t opt) {
    return is_option_letter(opt) && (mask & (1u << (opt - 'a'))) != 0;
}

CLI_API int cli_get_param_u64(const char *s, uint64_t *out) {
    return parse_u64_strict(s, out);
}

CLI_API int cli_get_param_u32(const char *s, uint32_t *out) {
    return cli_parse_u32(s, out);
}

CLI_API int cli_get_param_pointer(const char *s, void **out) {
    uint64_t v = 0;
    if (out == nullptr || parse_u64_strict(s, &v) != 0) return -1;
    *out = reinterpret_cast<void *>(static_cast<uintptr_t>(v));
    return 0;
}

} // extern "C"
