// Command-line text: splitting a line into arguments in place, and
// lower-casing for the server side.
#include <cctype>

#include "cli_common.h"

namespace {

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Copies one token starting at *rd to wr, handling quotes and escapes;
// returns the write position after the token. *rd ends past the white
// space that closed the token, or at the terminating NUL.
char *copy_token(char **rd, char *wr) {
    char *p = *rd;
    char quote = 0;
    while (*p != '\0') {
        char c = *p;
        if (c == '\\' && p[1] != '\0') {
            *wr++ = p[1];
            p += 2;
            continue;
        }
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                *wr++ = c;
            ++p;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            ++p;
            continue;
        }
        if (is_space(c)) {
            ++p;
            break;
        }
        *wr++ = c;
        ++p;
    }
    *rd = p;
    return wr;
}

} // namespace

extern "C" {

CLI_API int cli_split_args(char *line, cli_args *args) {
    if (line == nullptr || args == nullptr) return -1;
    args->argc = 0;
    char *rd = line;
    for (;;) {
        while (is_space(*rd))
            ++rd;
        if (*rd == '\0') return 0;
        if (args->argc == CLI_MAX_ARGS) return -1;
        // Tokens are compacted in place: the write position never passes the
        // read position, so the token can start where it was found.
        char *start = rd;
        args->argv[args->argc++] = start;
        char *end = copy_token(&rd, start);
        *end = '\0';
    }
}

CLI_API void cli_lower(char *s) {
    if (s == nullptr) return;
    for (; *s != '\0'; ++s)
        *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)) & 0xFF);
}

} // extern "C"
