// cli_agent.hpp - C++17 interface to cli_agent, header-only, over the C ABI.
//
//   cli::agent agent{1, "demo"};                 // cli_agent_init .. cli_agent_destroy
//   cli::command hello{"hello", "greets", [&](cli::args a) {
//       cli::printf("hello %s\n", a.size() > 1 ? std::string(a[1]).c_str() : "world");
//       return 0;
//   }};                                          // registered until `hello` is destroyed
//
// Failure reporting: constructors throw std::system_error whose code (of
// cli::error_category(), values cli::errc) names the cause; cli::agent::start
// and cli::command::create are the non-throwing twins returning std::optional,
// with an overload that also fills a std::error_code. Everything else reports
// nothing, like the C functions below it.
//
// Ownership: the process has one agent, and one cli::agent owns it. A second
// cli::agent while one lives fails (errc::agent_exists); a moved-from object
// owns nothing and does nothing when destroyed. Do not call cli_agent_init or
// cli_agent_destroy beside it.
//
// Threading: cli::command objects may be created and destroyed on any thread,
// also while commands run and also from inside a command. Every registered
// callable is reached through one C trampoline that looks up argv[0] in a
// table guarded by a mutex and counts the run there before releasing the
// mutex. Destroying a cli::command (or remove()) unregisters it and then
// waits until its runs in progress have returned, so whatever the callable
// refers to may be destroyed right after it; destroying the cli::agent (or
// stop()) likewise waits for every command run in progress. Neither waits
// when called from inside a command, on the agent thread itself (that would
// wait for itself): there the running callable stays alive, with what it
// owns, until it returns, and what it only refers to must outlive the run.
// A callable must therefore never wait for a thread that is destroying its
// command or the agent. Callables run on the agent thread, one at a time.
// The output and input functions act on the command running on the calling
// thread; elsewhere print/printf and the buffered forms go to standard
// error, the others do nothing.
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
#include "cli_agent_loop.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
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

enum class errc {
    agent_start_failed = 1, // the agent thread could not be started
    register_failed = 2,    // the library refused the command for a reason not known here
    agent_exists = 3,       // another cli::agent already owns the process's agent
    agent_id_zero = 4,      // agent ids start at 1
    name_length = 5,        // a command name has 2 to 19 bytes
    name_character = 6,     // a byte of the name is not an ASCII letter, digit or '_'
    name_reserved = 7,      // help, ls, quit, exit or attach
    name_taken = 8,         // a command of that name is registered
    table_full = 9,         // 256 commands are registered
    no_handler = 10,        // the handler is empty (a null pointer or empty std::function)
};

} // namespace cli

namespace std {
template <> struct is_error_code_enum<cli::errc> : true_type {};
} // namespace std

namespace cli {

class error_category_impl : public std::error_category {
  public:
    const char *name() const noexcept override { return "cli_agent"; }
    std::string message(int code) const override {
        switch (static_cast<errc>(code)) {
        case errc::agent_start_failed:
            return "the agent could not be started";
        case errc::register_failed:
            return "the command could not be registered: its name is taken by a command "
                   "registered through the C interface, or the table is full";
        case errc::agent_exists:
            return "the process already has an agent (one cli::agent per process)";
        case errc::agent_id_zero:
            return "the agent id must not be zero";
        case errc::name_length:
            return "a command name has 2 to 19 bytes";
        case errc::name_character:
            return "a command name has only ASCII letters, digits and '_'";
        case errc::name_reserved:
            return "the command name is reserved (help, ls, quit, exit, attach)";
        case errc::name_taken:
            return "a command of that name is already registered";
        case errc::table_full:
            return "the command table is full (256 commands)";
        case errc::no_handler:
            return "the command has no handler";
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

    // The raw arguments, for the C parsers, which may modify them; a const
    // args hands out only a read-only view.
    int argc() const noexcept { return argc_; }
    char **argv() noexcept { return argv_; }
    const char *const *argv() const noexcept { return argv_; }

  private:
    int argc_;
    char **argv_;
};

// ---------------------------------------------------------------------------
// Commands run through this header: a handler is called as handler(cli::args)
// and returns int (the command's result) or nothing (0); a usage callback
// is called with the command's name.

using handler_fn = std::function<int(args)>;
using usage_fn = std::function<void(std::string_view)>;

// Appends text to the command's buffered output (defined below).
inline void print_buffered(std::string_view text);

} // namespace cli

// The implementation: nothing in it is part of the interface.
#include "cli_agent_detail.hpp"

namespace cli {

// ---------------------------------------------------------------------------
// Output and input. The C functions cut one call's text (cli_print at 65535
// bytes, cli_print_buffer at 8191) and stop at a NUL byte. Inside a command
// run through this header, text holding a NUL byte (and direct text longer
// than one cut) goes down as raw bytes in one cli_send_buffer call, which
// keeps the order: everything buffered before it is sent first. Elsewhere
// (standard error, or a command registered through the C interface) text
// goes in pieces below the cut, NUL bytes one by one through "%c". Every
// byte arrives either way.

// Sends text at once, after whatever was buffered before it.
inline void print(std::string_view text) {
    if (detail::goes_raw(text, true)) {
        detail::send_raw(reinterpret_cast<const unsigned char *>(text.data()), text.size());
        return;
    }
    detail::emit_pieces(text, detail::kDirectPiece, [](const char *p, int n) {
        if (p == nullptr)
            cli_print("%c", 0);
        else
            cli_print("%.*s", n, p);
    });
}

// Appends text to the command's print buffer, sent when the command ends or
// before the next direct output, prompt or raw send. Text that goes down as
// raw bytes (see above) is sent at once instead, in its place in the order.
inline void print_buffered(std::string_view text) {
    if (detail::goes_raw(text, false)) {
        detail::send_raw(reinterpret_cast<const unsigned char *>(text.data()), text.size());
        return;
    }
    detail::emit_pieces(text, detail::kBufferedPiece, [](const char *p, int n) {
        if (p == nullptr)
            cli_print_buffer("%c", 0);
        else
            cli_print_buffer("%.*s", n, p);
    });
}

// printf-style twins of print and print_buffered; the compiler checks the
// format, and the formatted text is not cut. cli::printf is a template only
// so that, under `using namespace cli`, an unqualified printf is still the C
// library's and not ambiguous: call it as cli::printf.
template <typename = void> CLI_HPP_PRINTF(1, 2) inline void printf(const char *fmt, ...) {
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

// Raw bytes, sent at once after the buffered output; nothing outside a
// command. Any contiguous range of single bytes will do: std::string_view,
// std::vector<std::uint8_t>, std::span<const std::byte>, an array.
inline void send(const void *data, std::size_t len) {
    detail::send_raw(static_cast<const unsigned char *>(data), len);
}
inline void send(std::string_view bytes) {
    send(bytes.data(), bytes.size());
}
template <typename R, std::enable_if_t<detail::is_byte_range_v<R>, int> = 0>
void send(const R &bytes) {
    send(std::data(bytes), std::size(bytes));
}

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
template <typename R, std::enable_if_t<detail::is_byte_range_v<R>, int> = 0>
void dump(const R &bytes) {
    dump(std::data(bytes), std::size(bytes));
}

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

// One result of cli_get_option. It owns its message; arg points into the
// command line, valid while the command runs.
struct option {
    int opt = -1;             // option character, '?' for an error, 1 for a non-option argument
    std::string_view arg;     // the option's argument or the non-option argument
    std::string error;        // message when opt == '?'
    unsigned char optopt = 0; // option character of the error

    bool is_error() const noexcept { return opt == '?'; }
    bool is_argument() const noexcept { return opt == 1; }
};

// Range over the options of a command line:
//   for (const cli::option &o : cli::options(a, "o:n:v")) switch (o.opt) { ... }
// The range keeps its own copy of the option string. Options are not
// grouped: where the C parser would drop what follows a flag in the same
// word ("-vo5" is -v, "-v5" is -v), the range yields an error naming the
// dropped text instead of the flag.
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
            args &a = owner_->args_;
            const int index = st.optind > 0 ? st.optind : 1;
            const int opt = cli_get_option(a.argc(), a.argv(), owner_->optstring_.c_str(), &st);
            if (opt == -1) {
                owner_ = nullptr;
                return;
            }
            current_.opt = opt;
            current_.arg = st.optarg != nullptr ? std::string_view(st.optarg) : std::string_view();
            current_.error = st.errmsg;
            current_.optopt = st.optopt;
            if (opt != '?' && opt != 1 && st.optarg == nullptr && index < a.argc()) {
                std::string_view word = a[static_cast<std::size_t>(index)];
                if (word.size() > 2) {
                    current_.opt = '?';
                    current_.optopt = static_cast<unsigned char>(opt);
                    current_.error = "option -- '";
                    current_.error += static_cast<char>(opt);
                    current_.error += "' takes no argument, not '";
                    current_.error += word.substr(2);
                    current_.error += "' (options are not grouped)";
                }
            }
        }
        options *owner_ = nullptr;
        option current_;
    };

    options(args a, std::string_view optstring) : args_(a), optstring_(optstring) {}
    // A null option string yields no options, as the C parser does.
    options(args a, const char *optstring)
        : args_(a), optstring_(optstring != nullptr ? optstring : ""), none_(optstring == nullptr) {
    }
    options(args, std::nullptr_t) = delete;
    options(const options &) = delete;
    options &operator=(const options &) = delete;

    iterator begin() { return none_ ? iterator() : iterator(this); }
    iterator end() { return iterator(); }
    // Index of the next argument to examine.
    int next_index() const noexcept { return state_.optind > 0 ? state_.optind : 1; }

  private:
    args args_;
    std::string optstring_;
    bool none_ = false;
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
    // Starts the agent thread; throws std::system_error (errc::agent_exists
    // while another cli::agent lives, errc::agent_id_zero, or
    // errc::agent_start_failed).
    agent(uint32_t id, std::string_view name) : id_(0) {
        std::error_code ec = begin(id, name);
        if (ec) throw std::system_error(ec, "cli::agent(" + std::to_string(id) + ")");
        id_ = id;
    }
    // Non-throwing: nullopt if the agent could not be started; the overload
    // with ec says why.
    static std::optional<agent> start(uint32_t id, std::string_view name) {
        std::error_code ec;
        return start(id, name, ec);
    }
    static std::optional<agent> start(uint32_t id, std::string_view name, std::error_code &ec) {
        ec = begin(id, name);
        if (ec) return std::nullopt;
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

    // The id of the agent this object owns, 0 if none.
    uint32_t id() const noexcept { return id_; }
    void sync_status() const noexcept { cli_agent_sync_status(); }
    // Ends the connection (cli_agent_destroy), waits until every command
    // run in progress has returned (not when called from inside a command)
    // and then lets another cli::agent start. Called by the destructor. On
    // an event loop's thread the cli::loop hand-offs of that thread are
    // closed while it waits, so a handler waiting in one returns at once.
    void stop() noexcept {
        if (id_ == 0) return;
        detail::shutdown_close closing;
        cli_agent_destroy(std::exchange(id_, 0));
        if (!detail::running_here()) detail::table().wait_idle(nullptr);
        std::lock_guard<std::mutex> guard(owner().lock);
        owner().taken = false;
    }

  private:
    struct ownership {
        std::mutex lock;
        bool taken = false; // a cli::agent owns the process's agent; guarded by lock
    };
    static ownership &owner() {
        static ownership *o = new ownership;
        return *o;
    }
    // Takes the process's agent and starts it; cli_agent_init never blocks.
    static std::error_code begin(uint32_t id, std::string_view name) {
        if (id == 0) return errc::agent_id_zero;
        std::string name_text(name);
        std::lock_guard<std::mutex> guard(owner().lock);
        if (owner().taken) return errc::agent_exists;
        if (cli_agent_init(id, name_text.c_str()) != 0) return errc::agent_start_failed;
        owner().taken = true;
        return {};
    }

    enum adopt_t { adopt };
    agent(adopt_t, uint32_t id) noexcept : id_(id) {}
    uint32_t id_;
};

// ---------------------------------------------------------------------------
// Commands

// Registration of one command for the lifetime of the object. The handler is
// any callable int(cli::args) or void(cli::args), also a move-only one; the
// usage callback (shown by usage_error) is void(std::string_view name) or
// void(). Refusals throw std::system_error with errc::name_length,
// name_character, name_reserved, name_taken, table_full, no_handler or
// register_failed.
class command {
  public:
    template <typename F>
    command(std::string_view name, std::string_view desc, F &&handler)
        : command(name, desc, detail::make_handler(std::forward<F>(handler)), usage_fn()) {}

    template <typename F, typename U, std::enable_if_t<detail::is_usage_arg_v<U>, int> = 0>
    command(std::string_view name, std::string_view desc, F &&handler, U &&usage)
        : command(name, desc, detail::make_handler(std::forward<F>(handler)),
                  detail::make_usage(std::forward<U>(usage))) {}

    // Non-throwing: nullopt if the command was refused; the overloads with
    // ec say why.
    template <typename F>
    static std::optional<command> create(std::string_view name, std::string_view desc,
                                         F &&handler) {
        std::error_code ec;
        return create(name, desc, std::forward<F>(handler), ec);
    }
    template <typename F>
    static std::optional<command> create(std::string_view name, std::string_view desc, F &&handler,
                                         std::error_code &ec) {
        command c;
        ec = c.add(name, desc, detail::make_handler(std::forward<F>(handler)), usage_fn());
        if (ec) return std::nullopt;
        return c;
    }
    template <typename F, typename U, std::enable_if_t<detail::is_usage_arg_v<U>, int> = 0>
    static std::optional<command> create(std::string_view name, std::string_view desc, F &&handler,
                                         U &&usage) {
        std::error_code ec;
        return create(name, desc, std::forward<F>(handler), std::forward<U>(usage), ec);
    }
    template <typename F, typename U>
    static std::optional<command> create(std::string_view name, std::string_view desc, F &&handler,
                                         U &&usage, std::error_code &ec) {
        command c;
        ec = c.add(name, desc, detail::make_handler(std::forward<F>(handler)),
                   detail::make_usage(std::forward<U>(usage)));
        if (ec) return std::nullopt;
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

    // Unregisters now, then waits until the runs of this command in progress
    // have returned; called from inside a command it does not wait, and a
    // run in progress finishes with its callable alive. On an event loop's
    // thread the cli::loop hand-offs of that thread are closed while it
    // waits (every command's calls fail meanwhile), then opened again.
    void remove() noexcept {
        if (name_.empty()) return;
        detail::command_table &t = detail::table();
        cli_command cmd{};
        name_.copy(cmd.name, sizeof cmd.name - 1);
        std::shared_ptr<detail::command_entry> entry;
        {
            std::lock_guard<std::mutex> reg(t.registration);
            cli_unregister_command(&cmd);
            std::lock_guard<std::mutex> guard(t.lookup);
            auto it = t.entries.find(name_);
            if (it != t.entries.end()) {
                entry = std::move(it->second);
                t.entries.erase(it);
            }
        }
        name_.clear();
        if (entry && !detail::running_here()) {
            detail::shutdown_close closing;
            t.wait_idle(entry.get());
        }
    }

  private:
    command() = default;

    command(std::string_view name, std::string_view desc, handler_fn handler, usage_fn usage) {
        std::error_code ec = add(name, desc, std::move(handler), std::move(usage));
        if (ec) throw std::system_error(ec, "command '" + detail::printable(name) + "'");
    }

    std::error_code add(std::string_view name, std::string_view desc, handler_fn handler,
                        usage_fn usage) {
        if (std::error_code ec = detail::check_command_name(name)) return ec;
        if (!handler) return errc::no_handler;
        cli_command cmd{};
        name.copy(cmd.name, sizeof cmd.name - 1);
        desc.substr(0, sizeof cmd.desc - 1).copy(cmd.desc, sizeof cmd.desc - 1);
        cmd.handler = &detail::cli_hpp_command_trampoline;
        cmd.usage = usage ? &detail::cli_hpp_usage_trampoline : nullptr;
        auto entry = std::make_shared<detail::command_entry>();
        entry->handler = std::move(handler);
        entry->usage = std::move(usage);

        detail::command_table &t = detail::table();
        std::string key(name);
        std::lock_guard<std::mutex> reg(t.registration);
        std::size_t registered = 0;
        {
            std::lock_guard<std::mutex> guard(t.lookup);
            if (!t.entries.emplace(key, entry).second) return errc::name_taken;
            registered = t.entries.size() - 1;
        }
        if (cli_register_command(&cmd) != 0) {
            std::lock_guard<std::mutex> guard(t.lookup);
            t.entries.erase(key);
            // The name passed every rule and no command of this header has
            // it: the library's table is full, or a command registered
            // through the C interface has the name.
            return registered >= detail::kTableSize ? errc::table_full : errc::register_failed;
        }
        name_ = std::move(key);
        return {};
    }

    std::string name_;
};

// ---------------------------------------------------------------------------
// Running a handler's work on the host's event loop (cli_agent_loop.h).
//
//   cli::loop handoff;                        // on the loop's thread
//   // the loop watches handoff.fd() and calls handoff.dispatch() when readable
//   cli::command count{"count", "counts the sessions", [&](cli::args) {
//       auto n = handoff.call([&] { return sessions.size(); }, std::chrono::seconds(2));
//       if (n) cli::printf("%zu\n", *n);
//       else cli::print(n.timed_out() ? "the service is busy\n" : "shutting down\n");
//   }};
//
// call() runs the callable on the loop's thread and returns its result, or
// a loop_result without a value that says why it never ran: timed_out (the
// loop did not pick it up in time; the callable was withdrawn) or closed.
// Once the loop started it, call() waits for it to end. The callable runs
// in place, on the caller's stack, and is not touched after call() returns,
// so capturing by reference is safe. An exception it throws on the loop's
// thread is caught there and thrown again from call(). It cannot print to
// the operator (on the loop's thread output goes to standard error): return
// the data and print it in the handler.

enum class loop_status {
    done,      // the callable ran to its end
    timed_out, // the loop did not pick it up in time; it never ran
    closed,    // the loop side is closed; it never ran
};

template <typename T> class loop_result {
  public:
    loop_result(loop_status status,
                std::optional<T> value) noexcept(std::is_nothrow_move_constructible_v<T>)
        : status_(status), value_(std::move(value)) {}
    loop_status status() const noexcept { return status_; }
    bool done() const noexcept { return status_ == loop_status::done; }
    bool timed_out() const noexcept { return status_ == loop_status::timed_out; }
    bool closed() const noexcept { return status_ == loop_status::closed; }
    explicit operator bool() const noexcept { return done(); }
    // The callable's result; std::bad_optional_access when it did not run.
    T &value() & { return value_.value(); }
    const T &value() const & { return value_.value(); }
    T &&value() && { return std::move(value_).value(); }
    T &operator*() & { return *value_; }
    const T &operator*() const & { return *value_; }
    T *operator->() { return &*value_; }
    const T *operator->() const { return &*value_; }

  private:
    loop_status status_;
    std::optional<T> value_;
};

template <> class loop_result<void> {
  public:
    explicit loop_result(loop_status status) noexcept : status_(status) {}
    loop_status status() const noexcept { return status_; }
    bool done() const noexcept { return status_ == loop_status::done; }
    bool timed_out() const noexcept { return status_ == loop_status::timed_out; }
    bool closed() const noexcept { return status_ == loop_status::closed; }
    explicit operator bool() const noexcept { return done(); }

  private:
    loop_status status_;
};

// The loop's side of a hand-off. Construct, dispatch() and destroy it on the
// loop's thread; call() and close() from any thread. Neither copyable nor
// movable: handlers refer to it.
class loop {
  public:
    // Throws std::system_error when the eventfd cannot be made.
    loop() {
        if (cli_handoff_open(&handoff_) != 0)
            throw std::system_error(errno, std::system_category(), "cli::loop");
        link_.handoff = &handoff_;
        detail::handoff_registry &r = detail::handoffs();
        std::lock_guard<std::mutex> guard(r.lock);
        link_.next = r.head;
        if (r.head != nullptr) r.head->prev = &link_;
        r.head = &link_;
    }
    // Fails the calls still queued and waits for callers to leave.
    ~loop() {
        {
            detail::handoff_registry &r = detail::handoffs();
            std::lock_guard<std::mutex> guard(r.lock);
            if (link_.prev != nullptr)
                link_.prev->next = link_.next;
            else
                r.head = link_.next;
            if (link_.next != nullptr) link_.next->prev = link_.prev;
        }
        cli_handoff_destroy(&handoff_);
    }
    loop(const loop &) = delete;
    loop &operator=(const loop &) = delete;

    // The descriptor to watch for reading.
    int fd() const noexcept { return cli_handoff_fd(&handoff_); }
    // On the loop's thread when fd() is readable: runs the queued calls.
    void dispatch() noexcept { cli_handoff_dispatch(&handoff_); }
    // Fails every queued and later call at once (loop_status::closed).
    void close() noexcept { cli_handoff_close(&handoff_); }
    // Accepts calls again.
    void reopen() noexcept { cli_handoff_reopen(&handoff_); }

    // Runs f() on the loop's thread and waits for it, the wait for the loop
    // to pick it up bounded by timeout (see above). A reference result is
    // returned as a copy. On the loop's thread f runs at once.
    template <typename F, typename Rep, typename Period>
    auto call(F &&f, std::chrono::duration<Rep, Period> timeout)
        -> loop_result<std::remove_cv_t<std::remove_reference_t<std::invoke_result_t<F &>>>> {
        using R = std::remove_cv_t<std::remove_reference_t<std::invoke_result_t<F &>>>;
        job<F, R> frame{f, {}, {}};
        const int rc = cli_handoff_call(&handoff_, &job<F, R>::run, &frame, to_ms(timeout));
        if (frame.error) std::rethrow_exception(frame.error);
        const loop_status status = rc == CLI_HANDOFF_DONE        ? loop_status::done
                                   : rc == CLI_HANDOFF_TIMED_OUT ? loop_status::timed_out
                                                                 : loop_status::closed;
        if constexpr (std::is_void_v<R>)
            return loop_result<void>(status);
        else
            return loop_result<R>(status, std::move(frame.value));
    }

  private:
    struct nothing {};
    template <typename F, typename R> struct job {
        F &fn;
        std::optional<std::conditional_t<std::is_void_v<R>, nothing, R>> value;
        std::exception_ptr error;
        static void run(void *p) noexcept {
            job &j = *static_cast<job *>(p);
            try {
                if constexpr (std::is_void_v<R>) {
                    j.fn();
                    j.value.emplace();
                } else {
                    j.value.emplace(j.fn());
                }
            } catch (...) {
                j.error = std::current_exception();
            }
        }
    };

    template <typename Rep, typename Period>
    static uint32_t to_ms(std::chrono::duration<Rep, Period> timeout) noexcept {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
        if (ms <= 0) return 0;
        if (ms >= static_cast<decltype(ms)>(UINT32_MAX)) return UINT32_MAX;
        return static_cast<uint32_t>(ms);
    }

    cli_handoff handoff_{};
    detail::handoff_link link_;
};

} // namespace cli

#undef CLI_HPP_PRINTF

#endif // CLI_AGENT_HPP
