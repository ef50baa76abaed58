// Arbitrary command lines are split in place; the arguments must stay inside
// the line, be NUL-terminated, never number more than 128, and equal the
// tokens of a straightforward model of the quoting rules.
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli_common.h"
#include "wire_model.h"

using fuzzmodel::check;

namespace {

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Tokens of line up to and including a 129th one, if any.
std::vector<std::string> model_split(const std::string &line) {
    std::vector<std::string> tokens;
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && is_space(line[i]))
            ++i;
        if (i == n || tokens.size() > CLI_MAX_ARGS) return tokens;
        std::string tok;
        char quote = 0;
        for (; i < n; ++i) {
            char c = line[i];
            if (c == '\\' && i + 1 < n) {
                tok.push_back(line[++i]);
            } else if (quote != 0) {
                if (c == quote)
                    quote = 0;
                else
                    tok.push_back(c);
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (is_space(c)) {
                ++i;
                break;
            } else {
                tok.push_back(c);
            }
        }
        tokens.push_back(tok);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data),
                     strnlen(reinterpret_cast<const char *>(data), size));
    // Exact-size copy: ASan reports any access past the terminator.
    const size_t len = text.size();
    auto line = std::make_unique<char[]>(len + 1);
    std::memcpy(line.get(), text.c_str(), len + 1);

    cli_args args;
    std::memset(&args, 0, sizeof args);
    int rc = cli_split_args(line.get(), &args);
    std::vector<std::string> want = model_split(text);

    check(rc == 0 || rc == -1, "result other than 0 or -1");
    check(args.argc >= 0 && args.argc <= CLI_MAX_ARGS, "argc out of range");
    check((rc == -1) == (want.size() > CLI_MAX_ARGS), "failure does not match a 129th argument");
    check(rc == 0 ? static_cast<size_t>(args.argc) == want.size() : args.argc == CLI_MAX_ARGS,
          "argc differs from the model");

    const char *begin = line.get();
    const char *end = begin + len; // the terminator
    const char *previous_end = begin;
    for (int i = 0; i < args.argc; ++i) {
        const char *a = args.argv[i];
        check(a >= begin && a <= end, "argument outside the line");
        check(a >= previous_end, "arguments overlap or are out of order");
        size_t alen = strnlen(a, static_cast<size_t>(end - a) + 1);
        check(a + alen <= end, "argument not terminated inside the line");
        check(want[static_cast<size_t>(i)] == std::string(a, alen), "token differs from the model");
        previous_end = a + alen + 1;
    }
    return 0;
}
