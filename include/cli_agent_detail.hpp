// cli_agent_detail.hpp - the implementation behind cli_agent.hpp, which
// includes it where the types it needs (cli::args, cli::errc, the handler
// types) are declared. Nothing here is part of the interface: include
// <cli_agent.hpp>, and use only what it declares outside cli::detail.
#ifndef CLI_AGENT_DETAIL_HPP
#define CLI_AGENT_DETAIL_HPP

#ifndef CLI_AGENT_HPP
#error "cli_agent_detail.hpp is included by cli_agent.hpp: include <cli_agent.hpp> instead"
#endif

namespace cli {

// ---------------------------------------------------------------------------
// Bookkeeping of the commands run through this header: which thread runs
// one now, and how many runs are in progress. Destructors wait on it.

namespace detail {

struct command_entry;

struct run_state {
    // Runs through the trampoline on this thread now (the usage callback
    // runs inside one); non-zero only on an agent thread.
    int depth = 0;
    // The command of the outermost such run.
    command_entry *entry = nullptr;
};

inline run_state &this_thread_runs() noexcept {
    static thread_local run_state state;
    return state;
}

// True while the calling thread is inside a command run through this header.
inline bool running_here() noexcept {
    return this_thread_runs().depth > 0;
}

} // namespace detail

// ---------------------------------------------------------------------------
// Output: the cuts of the C functions, raw sends and the byte ranges the
// output functions take.

namespace detail {

inline constexpr std::size_t kDirectPiece = 65535;
inline constexpr std::size_t kBufferedPiece = 8191;
// Largest length of one cli_send_buffer / cli_print_memory call, a multiple
// of 16 so that a long dump's lines stay whole.
inline constexpr std::size_t kRawPiece = std::size_t{1} << 30;

inline void send_raw(const unsigned char *p, std::size_t len) {
    while (p != nullptr && len > 0) {
        std::size_t n = len < kRawPiece ? len : kRawPiece;
        cli_send_buffer(p, static_cast<uint32_t>(n));
        p += n;
        len -= n;
    }
}

// True when text is sent as raw bytes rather than through the formatter:
// it holds a NUL byte, or (direct output) it is longer than one cut.
inline bool goes_raw(std::string_view text, bool direct) noexcept {
    return running_here() &&
           ((direct && text.size() > kDirectPiece) || text.find('\0') != std::string_view::npos);
}

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

CLI_HPP_PRINTF(1, 0) inline std::string vformat(const char *fmt, std::va_list ap) {
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

// A contiguous range of single bytes (std::data and std::size), other than
// an array of char: a string literal goes through std::string_view, without
// its terminator.
template <typename R, typename = void> struct is_byte_range : std::false_type {};
template <typename R>
struct is_byte_range<R, std::void_t<decltype(std::data(std::declval<const R &>())),
                                    decltype(std::size(std::declval<const R &>()))>> {
    using element = std::remove_pointer_t<decltype(std::data(std::declval<const R &>()))>;
    static constexpr bool value =
        std::is_pointer_v<decltype(std::data(std::declval<const R &>()))> && sizeof(element) == 1 &&
        std::is_trivially_copyable_v<element> &&
        !(std::is_array_v<R> && std::is_same_v<std::remove_cv_t<element>, char>);
};
template <typename R>
inline constexpr bool is_byte_range_v = is_byte_range<std::remove_cv_t<R>>::value;

} // namespace detail

// ---------------------------------------------------------------------------
// The command table behind cli::command, the C trampolines every command
// registered through this header runs through, and the adapters that turn
// the callables into its handler and usage functions.

namespace detail {

struct command_entry {
    handler_fn handler;
    usage_fn usage;
    int runs = 0; // runs in progress; guarded by command_table::lookup
};

// Name -> callable of every registered command. `lookup` guards the map and
// the run counts and is held only for a find, insert, erase or count.
// `registration` serialises whole registrations, so that the map and the
// library's table agree on every name. `idle` is signalled whenever a run
// ends.
struct command_table {
    std::mutex lookup;
    std::mutex registration;
    std::condition_variable idle;
    std::map<std::string, std::shared_ptr<command_entry>, std::less<>> entries;
    int runs = 0; // runs in progress of every command; guarded by lookup

    // The entry of name with its run counted, or null.
    std::shared_ptr<command_entry> begin_run(std::string_view name) {
        std::lock_guard<std::mutex> guard(lookup);
        auto it = entries.find(name);
        if (it == entries.end()) return nullptr;
        ++it->second->runs;
        ++runs;
        return it->second;
    }
    void end_run(command_entry &entry) noexcept {
        {
            std::lock_guard<std::mutex> guard(lookup);
            --entry.runs;
            --runs;
        }
        idle.notify_all();
    }
    std::shared_ptr<const command_entry> find(std::string_view name) {
        std::lock_guard<std::mutex> guard(lookup);
        auto it = entries.find(name);
        return it == entries.end() ? nullptr : it->second;
    }
    // Blocks until entry (or, when null, every command) has no run in
    // progress.
    void wait_idle(const command_entry *entry) {
        std::unique_lock<std::mutex> guard(lookup);
        idle.wait(guard, [&] { return (entry != nullptr ? entry->runs : runs) == 0; });
    }
};

inline command_table &table();

// fork() copies only the calling thread: the child must not wait for runs
// of the parent's agent thread, nor find a lock held by another thread. Only
// a run on the forking thread itself (fork from inside a command) goes on in
// the child.
inline void fork_prepare() noexcept {
    table().registration.lock();
    table().lookup.lock();
}
inline void fork_parent() noexcept {
    table().lookup.unlock();
    table().registration.unlock();
}
inline void fork_child() noexcept {
    command_table &t = table();
    for (auto &named : t.entries)
        named.second->runs = 0;
    t.runs = 0;
    run_state &here = this_thread_runs();
    if (here.depth > 0 && here.entry != nullptr) {
        here.entry->runs = 1;
        t.runs = 1;
    }
    fork_parent();
}

// Never destroyed: the agent thread may run a command while static objects
// are torn down at exit.
inline command_table &table() {
    static command_table *t = [] {
        auto *created = new command_table;
        pthread_atfork(&fork_prepare, &fork_parent, &fork_child);
        return created;
    }();
    return *t;
}

// Counts one run of a command on this thread for as long as it lives.
class run_scope {
  public:
    explicit run_scope(std::shared_ptr<command_entry> entry) noexcept : entry_(std::move(entry)) {
        run_state &here = this_thread_runs();
        if (here.depth++ == 0) here.entry = entry_.get();
    }
    run_scope(const run_scope &) = delete;
    run_scope &operator=(const run_scope &) = delete;
    ~run_scope() {
        run_state &here = this_thread_runs();
        if (--here.depth == 0) here.entry = nullptr;
        table().end_run(*entry_);
    }
    const command_entry &entry() const noexcept { return *entry_; }

  private:
    std::shared_ptr<command_entry> entry_;
};

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
        std::shared_ptr<command_entry> entry = table().begin_run(name);
        if (!entry) {
            print_buffered(std::string(name) + ": command was removed\n");
            return 1;
        }
        run_scope run(std::move(entry));
        try {
            return run.entry().handler(args(argc, argv));
        } catch (const std::exception &e) {
            report_exception(name, e.what());
        } catch (...) {
            report_exception(name, "unknown exception");
        }
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

template <typename T> struct is_std_function : std::false_type {};
template <typename S> struct is_std_function<std::function<S>> : std::true_type {};

// True for a callable that is empty: a null function pointer or an empty
// std::function.
template <typename Fn> bool is_empty_callable(const Fn &f) noexcept {
    if constexpr (std::is_pointer_v<Fn> || std::is_member_pointer_v<Fn> ||
                  is_std_function<Fn>::value)
        return !f;
    else
        return false;
}

// A copyable holder of f: std::function needs one, and a move-only callable
// (a lambda owning a std::unique_ptr) is shared instead of copied.
template <typename F> auto copyable(F &&f) {
    using Fn = std::decay_t<F>;
    if constexpr (std::is_copy_constructible_v<Fn>) {
        return Fn(std::forward<F>(f));
    } else {
        return [p = std::make_shared<Fn>(std::forward<F>(f))](auto &&...a) -> decltype(auto) {
            return (*p)(std::forward<decltype(a)>(a)...);
        };
    }
}

// Callables returning void count as returning 0.
template <typename F> handler_fn make_handler(F &&f) {
    using Fn = std::decay_t<F>;
    static_assert(std::is_invocable_v<Fn &, args>,
                  "a cli::command handler is called as handler(cli::args) and returns int or "
                  "void");
    if constexpr (std::is_invocable_v<Fn &, args>) {
        using R = std::invoke_result_t<Fn &, args>;
        static_assert(std::is_void_v<R> || std::is_convertible_v<R, int>,
                      "a cli::command handler returns int or void");
        if (is_empty_callable(f)) return {};
        if constexpr (std::is_void_v<R>) {
            return [fn = copyable(std::forward<F>(f))](args a) mutable {
                fn(a);
                return 0;
            };
        } else if constexpr (std::is_convertible_v<R, int>) {
            return [fn = copyable(std::forward<F>(f))](args a) mutable {
                return static_cast<int>(fn(a));
            };
        }
    }
    return {};
}

template <typename U> usage_fn make_usage(U &&u) {
    using Un = std::decay_t<U>;
    static_assert(std::is_invocable_v<Un &, std::string_view> || std::is_invocable_v<Un &>,
                  "a cli::command usage callback is called as usage(std::string_view name) or "
                  "usage()");
    if (is_empty_callable(u)) return {};
    if constexpr (std::is_invocable_v<Un &, std::string_view>) {
        return [fn = copyable(std::forward<U>(u))](std::string_view name) mutable { fn(name); };
    } else if constexpr (std::is_invocable_v<Un &>) {
        return [fn = copyable(std::forward<U>(u))](std::string_view) mutable { fn(); };
    }
    return {};
}

// The registration rules of the command table, checked here so that each
// refusal can say why: 2 to 19 bytes of ASCII letters, digits and '_', none
// of the reserved names.
inline std::error_code check_command_name(std::string_view name) noexcept {
    if (name.size() < 2 || name.size() >= CLI_CMD_NAME_LEN) return errc::name_length;
    for (char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return errc::name_character;
    }
    for (std::string_view reserved : {"help", "ls", "quit", "exit", "attach"})
        if (name == reserved) return errc::name_reserved;
    return {};
}

inline constexpr std::size_t kTableSize = 256;

// The name for a message: bytes outside printable ASCII as \xHH.
inline std::string printable(std::string_view name) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f && b != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out;
}

template <typename U>
inline constexpr bool is_usage_arg_v = !std::is_same_v<std::decay_t<U>, std::error_code>;

} // namespace detail

// ---------------------------------------------------------------------------
// Hand-offs to event loops (cli::loop, below) that a shutdown closes first.
// cli::agent::stop and cli::command::remove wait for running handlers; when
// they are called on a loop's thread, a handler waiting in that loop's
// call() would hold them up for its whole time-out, since the loop cannot
// serve it meanwhile. So they close the hand-offs of the calling thread for
// the wait (the call returns loop_status::closed at once) and reopen them
// afterwards.

namespace detail {

struct handoff_link {
    cli_handoff *handoff = nullptr;
    handoff_link *prev = nullptr;
    handoff_link *next = nullptr;
    bool reopen = false; // closed by a shutdown_close in progress
};

struct handoff_registry {
    std::mutex lock; // guards the list and the reopen flags; taken before a hand-off's
    handoff_link *head = nullptr;
};

inline handoff_registry &handoffs() {
    static handoff_registry *r = new handoff_registry; // never destroyed: used at exit
    return *r;
}

class shutdown_close {
  public:
    shutdown_close() noexcept {
        handoff_registry &r = handoffs();
        std::lock_guard<std::mutex> guard(r.lock);
        for (handoff_link *l = r.head; l != nullptr; l = l->next)
            if (cli_handoff_on_loop_thread(l->handoff) && cli_handoff_close(l->handoff) != 0)
                l->reopen = true;
    }
    ~shutdown_close() {
        handoff_registry &r = handoffs();
        std::lock_guard<std::mutex> guard(r.lock);
        for (handoff_link *l = r.head; l != nullptr; l = l->next)
            if (std::exchange(l->reopen, false)) cli_handoff_reopen(l->handoff);
    }
    shutdown_close(const shutdown_close &) = delete;
    shutdown_close &operator=(const shutdown_close &) = delete;
};

} // namespace detail

} // namespace cli

#endif // CLI_AGENT_DETAIL_HPP
