// cli_agent.hpp - C++17 interface to cli_agent, header-only, over the C ABI.
//
//   cli::agent agent{1, "demo"};                 // cli_agent_init .. cli_agent_destroy
//   cli::command hello{"hello", "greets", [&](cli::args a) {
//       cli::printf("hello %s\n", a.size() > 1 ? std::string(a[1]).c_str() : "world");
//       return 0;
//   }};                                          // registered until `hello` is destroyed
//
// Failure reporting: constructors throw std::system_error (category
// cli::error_category()); cli::agent::start and cli::command::create are the
// non-throwing twins returning std::optional. Everything else reports nothing,
// like the C functions below it.
//
// Threading: cli::command objects may be created and destroyed on any thread,
// also while commands run and also from inside a command. Every registered
// callable is reached through one C trampoline that looks up argv[0] in a
// table guarded by a mutex; the trampoline copies a shared_ptr to the callable
// and releases the mutex before calling it, so a command unregistered while it
// runs keeps its callable (and whatever the callable owns) alive until it
// returns. Objects a callable only refers to must outlive the run itself.
// Callables run on the agent thread, one at a time. The output and input
// functions act on the command running on the calling thread; elsewhere
// print/printf and the buffered forms go to standard error, the others do
// nothing.
//
// Exceptions: an exception leaving a callable ends that command only; the
// operator sees one line "NAME: what()" after the output so far, and nothing
// unwinds into the library.
//
// This header allocates (std::string, std::function, the table); the library
// itself still does not.
#ifndef CLI_AGENT_HPP
#define CLI_AGENT_HPP

#include "cli_agent.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdarg>
#include <exception>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#if __cplusplus >= 202002L
#include <span>
#endif

#if defined(__GNUC__)
#define CLI_HPP_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define CLI_HPP_PRINTF(fmt_index, first_arg)
#endif

namespace cli {

// ---------------------------------------------------------------------------
// Errors

enum class errc { agent_start_failed = 1, register_failed = 2 };

class error_category_impl : public std::error_category {
  public:
    const char *name() const noexcept override { return "cli_agent"; }
    std::string message(int code) const override {
        switch (static_cast<errc>(code)) {
        case errc::agent_start_failed:
            return "the agent could not be started";
        case errc::register_failed:
            return "the command could not be registered";
        }
        return "unknown cli_agent error";
    }
};

inline const std::error_category &error_category() noexcept {
    static const error_category_impl category;
    return category;
}

inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), error_category()};
}

// ---------------------------------------------------------------------------
// Arguments of one command line; valid while the command runs.

class args {
  public:
    class iterator {
      public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        iterator() = default;
        explicit iterator(char *const *p) : p_(p) {}
        std::string_view operator*() const { return *p_; }
        std::string_view operator[](difference_type n) const { return p_[n]; }
        iterator &operator++() {
            ++p_;
            return *this;
        }
        iterator operator++(int) { return iterator(p_++); }
        iterator &operator--() {
            --p_;
            return *this;
        }
        iterator operator--(int) { return iterator(p_--); }
        iterator &operator+=(difference_type n) {
            p_ += n;
            return *this;
        }
        iterator &operator-=(difference_type n) {
            p_ -= n;
            return *this;
        }
        friend iterator operator+(iterator it, difference_type n) { return it += n; }
        friend iterator operator+(difference_type n, iterator it) { return it += n; }
        friend iterator operator-(iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(iterator a, iterator b) { return a.p_ - b.p_; }
        friend bool operator==(iterator a, iterator b) { return a.p_ == b.p_; }
        friend bool operator!=(iterator a, iterator b) { return a.p_ != b.p_; }
        friend bool operator<(iterator a, iterator b) { return a.p_ < b.p_; }
        friend bool operator>(iterator a, iterator b) { return a.p_ > b.p_; }
        friend bool operator<=(iterator a, iterator b) { return a.p_ <= b.p_; }
        friend bool operator>=(iterator a, iterator b) { return a.p_ >= b.p_; }

      private:
        char *const *p_ = nullptr;
    };

    args(int argc, char **argv) noexcept : argc_(argc < 0 ? 0 : argc), argv_(argv) {}

    std::size_t size() const noexcept { return static_cast<std::size_t>(argc_); }
    bool empty() const noexcept { return argc_ == 0; }
    // argv[0] is the command's own name.
    std::string_view name() const noexcept { return argc_ > 0 ? argv_[0] : ""; }
    std::string_view operator[](std::size_t i) const noexcept { return argv_[i]; }
    std::optional<std::string_view> at(std::size_t i) const noexcept {
        if (i >= size()) return std::nullopt;
        return std::string_view(argv_[i]);
    }
    iterator begin() const noexcept { return iterator(argv_); }
    iterator end() const noexcept { return iterator(argv_ + argc_); }

    // The raw arguments, for the C parsers.
    int argc() const noexcept { return argc_; }
    char **argv() const noexcept { return argv_; }

  private:
    int argc_;
    char **argv_;
};

// ---------------------------------------------------------------------------
// Output and input. The C functions cut one call's text (cli_print at 65535
// bytes, cli_print_buffer at 8191) and stop at a NUL byte, so text goes down
// in pieces below the cut, NUL bytes one by one through "%c"; every byte
// arrives and the order of the pieces is kept.

namespace detail {

inline constexpr std::size_t kDirectPiece = 65535;
inline constexpr std::size_t kBufferedPiece = 8191;
// Largest length of one cli_send_buffer / cli_print_memory call, a multiple
// of 16 so that a long dump's lines stay whole.
inline constexpr std::size_t kRawPiece = std::size_t{1} << 30;

template <typename Emit> void emit_pieces(std::string_view text, std::size_t piece, Emit emit) {
    while (!text.empty()) {
        if (text.front() == '\0') {
            emit(nullptr, 0);
            text.remove_prefix(1);
            continue;
        }
        std::size_t n = std::min({text.find('\0'), text.size(), piece});
        emit(text.data(), static_cast<int>(n));
        text.remove_prefix(n);
    }
}

inline std::string vformat(const char *fmt, std::va_list ap) {
    std::va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, again);
    va_end(again);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

} // namespace detail

// Sends text at once, after whatever was buffered before it.
inline void print(std::string_view text) {
    detail::emit_pieces(text, detail::kDirectPiece, [](const char *p, int n) {
        if (p == nullptr)
            cli_print("%c", 0);
        else
            cli_print("%.*s", n, p);
    });
}

// Appends text to the command's print buffer, sent when the command ends or
// before the next direct output, prompt or raw send.
inline void print_buffered(std::string_view text) {
    detail::emit_pieces(text, detail::kBufferedPiece, [](const char *p, int n) {
        if (p == nullptr)
            cli_print_buffer("%c", 0);
        else
            cli_print_buffer("%.*s", n, p);
    });
}

// printf-style twins of print and print_buffered; the compiler checks the
// format, and the formatted text is not cut.
CLI_HPP_PRINTF(1, 2) inline void printf(const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::string text = detail::vformat(fmt, ap);
    va_end(ap);
    print(text);
}

CLI_HPP_PRINTF(1, 2) inline void printf_buffered(const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::string text = detail::vformat(fmt, ap);
    va_end(ap);
    print_buffered(text);
}

// Raw bytes, sent at once after the buffered output; nothing outside a command.
inline void send(const void *data, std::size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (p != nullptr && len > 0) {
        std::size_t n = len < detail::kRawPiece ? len : detail::kRawPiece;
        cli_send_buffer(p, static_cast<uint32_t>(n));
        p += n;
        len -= n;
    }
}
inline void send(std::string_view bytes) {
    send(bytes.data(), bytes.size());
}
#if __cplusplus >= 202002L
inline void send(std::span<const std::byte> bytes) {
    send(bytes.data(), bytes.size());
}
#endif

// Hexadecimal dump ("%08x: " offset, "%02x " per byte), buffered. Dumps above
// 1 GiB continue in further calls whose offsets start again at zero.
inline void dump(const void *data, std::size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (p != nullptr && len > 0) {
        std::size_t n = len < detail::kRawPiece ? len : detail::kRawPiece;
        cli_print_memory(p, static_cast<uint32_t>(n));
        p += n;
        len -= n;
    }
}
inline void dump(std::string_view bytes) {
    dump(bytes.data(), bytes.size());
}
#if __cplusplus >= 202002L
inline void dump(std::span<const std::byte> bytes) {
    dump(bytes.data(), bytes.size());
}
#endif

// The message as one buffered line (a newline added if missing), then the
// running command's usage text. Unlike cli_show_usage_and_error the message
// is not cut at 1023 bytes; outside a command it goes to standard error.
inline void usage_error(std::string_view message) {
    if (!message.empty()) {
        print_buffered(message);
        if (message.back() != '\n') cli_print_buffer("\n");
    }
    cli_show_usage_and_error(nullptr);
}

CLI_HPP_PRINTF(1, 2) inline void usage_errorf(const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::string text = detail::vformat(fmt, ap);
    va_end(ap);
    usage_error(text);
}

// Shows the prompt and waits for the operator's reply (no time-out); nullopt
// outside a command or when the connection ends. The reply ends at its first
// NUL byte, if any.
inline std::optional<std::string> input(std::string_view prompt) {
    std::string prompt_text(prompt);
    std::string reply(CLI_FRAME_MAX_DATA + 1, '\0');
    if (cli_get_input(prompt_text.c_str(), reply.data(), static_cast<uint32_t>(reply.size())) != 0)
        return std::nullopt;
    reply.resize(std::char_traits<char>::length(reply.c_str()));
    return reply;
}

// ---------------------------------------------------------------------------
// Options and parameters

// One result of cli_get_option.
struct option {
    int opt = -1;             // option character, '?' for an error, 1 for a non-option argument
    std::string_view arg;     // the option's argument or the non-option argument
    std::string_view error;   // message when opt == '?'
    unsigned char optopt = 0; // option character of the error

    bool is_error() const noexcept { return opt == '?'; }
    bool is_argument() const noexcept { return opt == 1; }
};

// Range over the options of a command line:
//   for (cli::option o : cli::options(a, "o:n:v")) switch (o.opt) { ... }
// The option string must outlive the range.
class options {
  public:
    class iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = option;
        using difference_type = std::ptrdiff_t;
        using pointer = const option *;
        using reference = const option &;

        iterator() = default;
        explicit iterator(options *owner) : owner_(owner) { advance(); }
        const option &operator*() const { return current_; }
        const option *operator->() const { return &current_; }
        iterator &operator++() {
            advance();
            return *this;
        }
        void operator++(int) { advance(); }
        friend bool operator==(const iterator &a, const iterator &b) {
            return a.owner_ == b.owner_;
        }
        friend bool operator!=(const iterator &a, const iterator &b) { return !(a == b); }

      private:
        void advance() {
            if (owner_ == nullptr) return;
            cli_option_state &st = owner_->state_;
            int opt =
                cli_get_option(owner_->args_.argc(), owner_->args_.argv(), owner_->optstring_, &st);
            if (opt == -1) {
                owner_ = nullptr;
                return;
            }
            current_.opt = opt;
            current_.arg = st.optarg != nullptr ? std::string_view(st.optarg) : std::string_view();
            current_.error = st.errmsg;
            current_.optopt = st.optopt;
        }
        options *owner_ = nullptr;
        option current_;
    };

    options(args a, const char *optstring) noexcept : args_(a), optstring_(optstring) {}
    options(const options &) = delete;
    options &operator=(const options &) = delete;

    iterator begin() { return iterator(this); }
    iterator end() { return iterator(); }
    // Index of the next argument to examine.
    int next_index() const noexcept { return state_.optind > 0 ? state_.optind : 1; }

  private:
    args args_;
    const char *optstring_;
    cli_option_state state_{};
};

inline void set_option(uint32_t &mask, int opt) noexcept {
    cli_set_option(&mask, opt);
}
inline bool test_option(uint32_t mask, int opt) noexcept {
    return cli_test_option(mask, opt);
}

// Strict numbers in base 0 (decimal, 0x hex, 0 octal); nullopt if s is not one.
inline std::optional<uint64_t> param_u64(std::string_view s) {
    uint64_t v = 0;
    if (cli_get_param_u64(std::string(s).c_str(), &v) != 0) return std::nullopt;
    return v;
}
inline std::optional<uint32_t> param_u32(std::string_view s) {
    uint32_t v = 0;
    if (cli_get_param_u32(std::string(s).c_str(), &v) != 0) return std::nullopt;
    return v;
}
inline std::optional<void *> param_pointer(std::string_view s) {
    void *v = nullptr;
    if (cli_get_param_pointer(std::string(s).c_str(), &v) != 0) return std::nullopt;
    return v;
}

// ---------------------------------------------------------------------------
// The agent

class agent {
  public:
    // Starts the agent thread; throws std::system_error if cli_agent_init fails.
    // The process has one agent: a second object started while the first
    // runs shares it.
    agent(uint32_t id, std::string_view name) : id_(id) {
        if (cli_agent_init(id, std::string(name).c_str()) != 0)
            throw std::system_error(make_error_code(errc::agent_start_failed),
                                    "cli_agent_init(" + std::to_string(id) + ")");
    }
    // Non-throwing: nullopt if the agent could not be started.
    static std::optional<agent> start(uint32_t id, std::string_view name) {
        if (cli_agent_init(id, std::string(name).c_str()) != 0) return std::nullopt;
        return agent(adopt, id);
    }

    agent(agent &&other) noexcept : id_(std::exchange(other.id_, 0)) {}
    agent &operator=(agent &&other) noexcept {
        if (this != &other) {
            stop();
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    agent(const agent &) = delete;
    agent &operator=(const agent &) = delete;
    ~agent() { stop(); }

    uint32_t id() const noexcept { return id_; }
    void sync_status() const noexcept { cli_agent_sync_status(); }
    // Ends the connection now (cli_agent_destroy); nothing waits for a
    // command still running. Called by the destructor.
    void stop() noexcept {
        if (id_ != 0) cli_agent_destroy(std::exchange(id_, 0));
    }

  private:
    enum adopt_t { adopt };
    agent(adopt_t, uint32_t id) noexcept : id_(id) {}
    uint32_t id_;
};

// ---------------------------------------------------------------------------
// Commands

using handler_fn = std::function<int(args)>;
using usage_fn = std::function<void(std::string_view)>;

namespace detail {

struct command_entry {
    handler_fn handler;
    usage_fn usage;
};

// Name -> callable of every registered command. `lookup` guards the map and
// is held only for a find, insert or erase. `registration` serialises whole
// registrations, so that the map and the library's table agree on every name.
struct command_table {
    std::mutex lookup;
    std::mutex registration;
    std::map<std::string, std::shared_ptr<const command_entry>, std::less<>> entries;

    std::shared_ptr<const command_entry> find(std::string_view name) {
        std::lock_guard<std::mutex> guard(lookup);
        auto it = entries.find(name);
        return it == entries.end() ? nullptr : it->second;
    }
};

// Never destroyed: the agent thread may run a command while static objects
// are torn down at exit.
inline command_table &table() {
    static command_table *t = new command_table;
    return *t;
}

// One line for the operator: newlines of what() become spaces.
inline void report_exception(std::string_view name, const char *what) noexcept {
    try {
        std::string line(name);
        line += ": ";
        line += what;
        for (char &c : line)
            if (c == '\n' || c == '\r') c = ' ';
        line += '\n';
        print_buffered(line);
    } catch (...) {
        cli_print_buffer("%s", "command failed\n");
    }
}

extern "C" inline int cli_hpp_command_trampoline(int argc, char **argv) {
    if (argc < 1) return 1;
    std::string_view name = argv[0];
    try {
        std::shared_ptr<const command_entry> entry = table().find(name);
        if (!entry) {
            print_buffered(std::string(name) + ": command was removed\n");
            return 1;
        }
        return entry->handler(args(argc, argv));
    } catch (const std::exception &e) {
        report_exception(name, e.what());
    } catch (...) {
        report_exception(name, "unknown exception");
    }
    return 1;
}

extern "C" inline void cli_hpp_usage_trampoline(const cli_command *cmd, int) {
    if (cmd == nullptr) return;
    std::string_view name = cmd->name;
    try {
        std::shared_ptr<const command_entry> entry = table().find(name);
        if (entry && entry->usage) entry->usage(name);
    } catch (const std::exception &e) {
        report_exception(name, e.what());
    } catch (...) {
        report_exception(name, "unknown exception");
    }
}

// Callables returning void count as returning 0.
template <typename F> handler_fn make_handler(F &&f) {
    using R = std::invoke_result_t<F &, args>;
    if constexpr (std::is_void_v<R>) {
        return [fn = std::forward<F>(f)](args a) mutable {
            fn(a);
            return 0;
        };
    } else {
        static_assert(std::is_convertible_v<R, int>, "a command returns int or void");
        return handler_fn(std::forward<F>(f));
    }
}

template <typename U> usage_fn make_usage(U &&u) {
    if constexpr (std::is_invocable_v<U &, std::string_view>) {
        return usage_fn(std::forward<U>(u));
    } else {
        static_assert(std::is_invocable_v<U &>, "a usage callback takes the name or nothing");
        return [fn = std::forward<U>(u)](std::string_view) mutable { fn(); };
    }
}

} // namespace detail

// Registration of one command for the lifetime of the object. The handler is
// any callable int(cli::args) or void(cli::args); the usage callback (shown by
// usage_error) is void(std::string_view name) or void().
class command {
  public:
    template <typename F>
    command(std::string_view name, std::string_view desc, F &&handler)
        : command(name, desc, detail::make_handler(std::forward<F>(handler)), usage_fn()) {}

    template <typename F, typename U>
    command(std::string_view name, std::string_view desc, F &&handler, U &&usage)
        : command(name, desc, detail::make_handler(std::forward<F>(handler)),
                  detail::make_usage(std::forward<U>(usage))) {}

    // Non-throwing: nullopt if the name is taken, invalid or the table is full.
    template <typename F>
    static std::optional<command> create(std::string_view name, std::string_view desc,
                                         F &&handler) {
        command c;
        if (!c.add(name, desc, detail::make_handler(std::forward<F>(handler)), usage_fn()))
            return std::nullopt;
        return c;
    }
    template <typename F, typename U>
    static std::optional<command> create(std::string_view name, std::string_view desc, F &&handler,
                                         U &&usage) {
        command c;
        if (!c.add(name, desc, detail::make_handler(std::forward<F>(handler)),
                   detail::make_usage(std::forward<U>(usage))))
            return std::nullopt;
        return c;
    }

    command(command &&other) noexcept : name_(std::move(other.name_)) { other.name_.clear(); }
    command &operator=(command &&other) noexcept {
        if (this != &other) {
            remove();
            name_ = std::move(other.name_);
            other.name_.clear();
        }
        return *this;
    }
    command(const command &) = delete;
    command &operator=(const command &) = delete;
    ~command() { remove(); }

    const std::string &name() const noexcept { return name_; }
    bool registered() const noexcept { return !name_.empty(); }

    // Unregisters now; a run in progress finishes with its callable alive.
    void remove() noexcept {
        if (name_.empty()) return;
        detail::command_table &t = detail::table();
        cli_command cmd{};
        name_.copy(cmd.name, sizeof cmd.name - 1);
        {
            std::lock_guard<std::mutex> reg(t.registration);
            cli_unregister_command(&cmd);
            std::lock_guard<std::mutex> guard(t.lookup);
            auto it = t.entries.find(name_);
            if (it != t.entries.end()) t.entries.erase(it);
        }
        name_.clear();
    }

  private:
    command() = default;

    command(std::string_view name, std::string_view desc, handler_fn handler, usage_fn usage) {
        if (!add(name, desc, std::move(handler), std::move(usage)))
            throw std::system_error(make_error_code(errc::register_failed),
                                    "command '" + std::string(name) + "'");
    }

    bool add(std::string_view name, std::string_view desc, handler_fn handler, usage_fn usage) {
        if (name.empty() || name.size() >= CLI_CMD_NAME_LEN || !handler) return false;
        cli_command cmd{};
        name.copy(cmd.name, sizeof cmd.name - 1);
        desc.substr(0, sizeof cmd.desc - 1).copy(cmd.desc, sizeof cmd.desc - 1);
        cmd.handler = &detail::cli_hpp_command_trampoline;
        cmd.usage = usage ? &detail::cli_hpp_usage_trampoline : nullptr;
        auto entry = std::make_shared<const detail::command_entry>(
            detail::command_entry{std::move(handler), std::move(usage)});

        detail::command_table &t = detail::table();
        std::string key(name);
        std::lock_guard<std::mutex> reg(t.registration);
        {
            std::lock_guard<std::mutex> guard(t.lookup);
            if (!t.entries.emplace(key, entry).second) return false;
        }
        if (cli_register_command(&cmd) != 0) {
            std::lock_guard<std::mutex> guard(t.lookup);
            t.entries.erase(key);
            return false;
        }
        name_ = std::move(key);
        return true;
    }

    std::string name_;
};

} // namespace cli

namespace std {
template <> struct is_error_code_enum<cli::errc> : true_type {};
} // namespace std

#undef CLI_HPP_PRINTF

#endif // CLI_AGENT_HPP
