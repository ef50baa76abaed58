// The number parsers against a model built on strtoull: the same text must
// be accepted or refused alike by every parser, the values must agree, and a
// refusal must leave the output untouched.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli_agent.h"
#include "wire_model.h"

using fuzzmodel::check;

namespace {

struct Parsed {
    bool ok = false;
    unsigned long long value = 0;
};

Parsed model_u64(const char *s) {
    Parsed p;
    if (*s == '\0') return p;
    errno = 0;
    char *end = nullptr;
    p.value = std::strtoull(s, &end, 0);
    p.ok = errno == 0 && end != s && *end == '\0';
    return p;
}

constexpr uint64_t kSentinel64 = 0x5A5A5A5A5A5A5A5Aull;
constexpr uint32_t kSentinel32 = 0xA5A5A5A5u;

void check_u64(const char *s, const Parsed &want) {
    uint64_t v = kSentinel64;
    int rc = cli_get_param_u64(s, &v);
    check(rc == (want.ok ? 0 : -1), "cli_get_param_u64 accepts differently");
    check(v == (want.ok ? want.value : kSentinel64), "cli_get_param_u64 value");

    void *ptr = reinterpret_cast<void *>(static_cast<uintptr_t>(kSentinel64));
    rc = cli_get_param_pointer(s, &ptr);
    check(rc == (want.ok ? 0 : -1), "cli_get_param_pointer accepts differently");
    check(reinterpret_cast<uintptr_t>(ptr) == (want.ok ? want.value : kSentinel64),
          "cli_get_param_pointer value");
}

void check_u32(const char *s, const Parsed &want) {
    const bool fits = want.ok && want.value <= 0xFFFFFFFFull;
    uint32_t a = kSentinel32;
    uint32_t b = kSentinel32;
    int ra = cli_parse_u32(s, &a);
    int rb = cli_get_param_u32(s, &b);
    check(ra == (fits ? 0 : -1) && rb == ra, "32-bit parsers accept differently");
    check(a == (fits ? want.value : kSentinel32) && b == a, "32-bit parser value");

    const bool port = fits && want.value >= 1 && want.value <= 65535;
    for (uint16_t def : {uint16_t{0}, uint16_t{7002}}) {
        uint16_t got = cli_parse_port_arg(s, def);
        check(got == (port ? want.value : def), "cli_parse_port_arg");
    }
}

void check_lower(const std::string &text) {
    std::string lowered = text;
    cli_lower(lowered.data());
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        check(static_cast<unsigned char>(lowered[i]) == (std::tolower(c) & 0xFF), "cli_lower");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data),
                     strnlen(reinterpret_cast<const char *>(data), size));
    const Parsed want = model_u64(text.c_str());
    check_u64(text.c_str(), want);
    check_u32(text.c_str(), want);
    check_lower(text);
    return 0;
}
