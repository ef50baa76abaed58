// Compiles every part of cli_agent.hpp, templates instantiated, for the
// compile checks: the header must stay warning-free under -Wconversion and
// -Wformat=2 in C++17 and C++20 with both compilers.
#include "cli_agent.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct counter {
    long value = 0;
};

[[maybe_unused]] void use_everything(counter &c) {
    cli::command with_capture("count", "counts", [&c](cli::args a) {
        c.value += static_cast<long>(a.size());
        for (std::string_view s : a)
            cli::print(s);
        return 0;
    });
    cli::command void_handler(
        "v", "void", [](cli::args) {}, [] { cli::print_buffered("u\n"); });
    auto maybe = cli::command::create(
        "opt", "optional",
        [](cli::args a) {
            for (const cli::option &o : cli::options(a, "ab:"))
                if (o.is_error()) cli::usage_error(o.error);
            return static_cast<short>(0);
        },
        [](std::string_view name) {
            cli::printf_buffered("usage: %.*s\n", static_cast<int>(name.size()), name.data());
        });
    cli::printf("%d %s\n", 1, "x");
    cli::usage_errorf("bad %u", 3u);
    unsigned char bytes[4] = {1, 2, 3, 4};
    cli::send(bytes, sizeof bytes);
    cli::dump(bytes, sizeof bytes);
    cli::send(std::string_view("abc"));
#if __cplusplus >= 202002L
    cli::send(std::as_bytes(std::span(bytes)));
    cli::dump(std::as_bytes(std::span(bytes)));
#endif
    std::optional<std::string> reply = cli::input("? ");
    std::optional<uint64_t> a = cli::param_u64("0x10");
    std::optional<uint32_t> b = cli::param_u32("17");
    std::optional<void *> p = cli::param_pointer("0x1000");
    uint32_t mask = 0;
    cli::set_option(mask, 'a');
    c.value +=
        cli::test_option(mask, 'a') + (reply ? 1 : 0) + (a ? 1 : 0) + (b ? 1 : 0) + (p ? 1 : 0);
    std::optional<cli::agent> agent = cli::agent::start(1, "x");
    cli::agent moved = std::move(*agent);
    moved.sync_status();
    std::error_code ec = cli::errc::register_failed;
    c.value += ec.value();
    std::optional<cli::agent> checked = cli::agent::start(2, "y", ec);
    auto owns = cli::command::create(
        "owns", "move-only", [p = std::make_unique<int>(1)](cli::args) { return *p; }, ec);
    auto owns_usage = cli::command::create(
        "owns_usage", "", [](cli::args) {}, [p = std::make_unique<int>(2)] { (void)*p; }, ec);
    const std::vector<std::uint8_t> vec{1, 2};
    const std::array<std::uint8_t, 2> arr{3, 4};
    cli::send(vec);
    cli::send(arr);
    cli::send("literal");
    cli::dump(vec);
    cli::dump(arr);
#if __cplusplus >= 202002L
    cli::send(std::span<const std::uint8_t>(vec));
    cli::dump(std::span<const std::uint8_t>(vec));
#endif
    for (const cli::option &o : cli::options(cli::args(0, nullptr), std::string("v")))
        c.value += o.opt;
}

// An unqualified printf under `using namespace cli` is the C library's, not
// an ambiguous call.
[[maybe_unused]] void with_using_directive() {
    using namespace cli;
    printf("%d\n", 1);
    printf("plain\n");
    cli::printf("%s\n", "cli");
    print("text");
}

} // namespace

int main() {
    return 0;
}
