// The option parser over arbitrary option strings and argument vectors,
// compared call by call with a model of the documented algorithm; every
// argument lives in its own exact-size allocation so overreads are caught.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli_agent.h"
#include "wire_model.h"

using fuzzmodel::check;

namespace {

struct ModelState {
    char *optarg = nullptr;
    int32_t optind = 0;
    unsigned char optopt = 0;
    std::string errmsg;
};

int model_error(ModelState &st, int32_t next, unsigned char c, const char *what) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "%s -- '%c'", what, c);
    st.optopt = c;
    st.errmsg = buf;
    st.optind = next;
    return '?';
}

int model_get_option(int argc, char **argv, const char *optstring, ModelState &st) {
    if (argv == nullptr) return -1;
    int32_t i = st.optind > 0 ? st.optind : 1;
    st.optarg = nullptr;
    st.optopt = 0;
    st.errmsg.clear();
    if (i >= argc) {
        st.optind = i;
        return -1;
    }
    char *a = argv[i];
    if (a == nullptr || a[0] != '-' || a[1] == '\0') {
        st.optarg = a;
        st.optind = i + 1;
        return 1;
    }
    auto c = static_cast<unsigned char>(a[1]);
    const char *entry = std::strchr(optstring, c);
    if (entry == nullptr) return model_error(st, i + 1, c, "invalid option");
    if (entry[1] != ':') {
        st.optind = i + 1;
        return c;
    }
    if (a[2] != '\0') {
        st.optarg = a + 2;
        st.optind = i + 1;
    } else if (i + 1 < argc) {
        st.optarg = argv[i + 1];
        st.optind = i + 2;
    } else {
        return model_error(st, i + 1, c, "option requires an argument");
    }
    return c;
}

// Input layout: byte 0 = starting optind (signed), then NUL-separated
// fields: the option string, then the arguments; a field that is exactly
// "\x01" stands for a null argv entry.
struct Args {
    std::string optstring;
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char *> argv;
};

Args parse_input(const uint8_t *data, size_t size) {
    Args out;
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    out.optstring = fields[0];
    for (size_t f = 1; f < fields.size() && out.argv.size() < 64; ++f) {
        if (fields[f] == "\x01") {
            out.argv.push_back(nullptr);
            continue;
        }
        auto s = std::make_unique<char[]>(fields[f].size() + 1);
        std::memcpy(s.get(), fields[f].c_str(), fields[f].size() + 1);
        out.argv.push_back(s.get());
        out.storage.push_back(std::move(s));
    }
    return out;
}

void check_option_set(int opt) {
    uint32_t mask = 0;
    cli_set_option(&mask, opt);
    const bool letter = opt >= 'a' && opt <= 'z';
    check(mask == (letter ? 1u << (opt - 'a') : 0u), "cli_set_option");
    check(cli_test_option(mask, opt) == letter, "cli_test_option");
    check((mask & 0xFC000000u) == 0, "option set uses bits 26 to 31");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const auto start = static_cast<int8_t>(data[0]);
    Args in = parse_input(data + 1, size - 1);
    const int argc = static_cast<int>(in.argv.size());
    // The model and the parser get separate argv arrays holding the same
    // pointers, so an argv the parser wrote to would show.
    std::vector<char *> argv = in.argv;

    cli_option_state st;
    std::memset(&st, 0, sizeof st);
    st.optind = start;
    ModelState model;
    model.optind = start;
    for (int calls = 0; calls <= argc + 1; ++calls) {
        int got = cli_get_option(argc, argv.data(), in.optstring.c_str(), &st);
        int want = model_get_option(argc, in.argv.data(), in.optstring.c_str(), model);
        check(got == want, "result differs from the model");
        check(st.optarg == model.optarg && st.optind == model.optind && st.optopt == model.optopt,
              "state differs from the model");
        check(strnlen(st.errmsg, sizeof st.errmsg) < sizeof st.errmsg, "errmsg unterminated");
        check(model.errmsg == st.errmsg, "errmsg differs from the model");
        check(argv == in.argv, "argv modified");
        check_option_set(got);
        if (got == -1) return 0;
    }
    fuzzmodel::fail("parsing did not end within argc calls");
}
