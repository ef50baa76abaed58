// The one strict number parser behind every numeric argument the library
// accepts.
#pragma once

#include <cstdint>

namespace cli_internal {

// Strict unsigned 64-bit number in base 0 (decimal, 0x hex, 0 octal):
// non-empty, at least one digit, nothing after it, no overflow. As with
// strtoull, leading white space and a sign are accepted: a minus negates
// modulo 2^64, so "-1" is the largest value.
// *out is written only on success.
int parse_u64_strict(const char *s, uint64_t *out);

} // namespace cli_internal
