#include "cli/options.h"
#include "cli/option_limits.h"
#include "cli/usage_text.h"

#include "cli_common.h"
#include "protocol.h"

#include <getopt.h>

#include <string>
#include <vector>

namespace cliserver {

namespace {

constexpr uint32_t kMaxWaitSeconds = 24 * 3600;
constexpr uint32_t kMaxGatherSeconds = 3600;

// Long options without a short form.
enum : int {
    kDaemon = 256,
    kStandalone,
    kClient,
    kSocket,
    kGroup,
    kAuditLog,
    kSyslog,
    kAgentUsers,
    kAll,
    kGather,
    kJson,
    kNoLabel,
    kAnswer,
    kTimeout,
    kMaxClients,
    kMaxClientsTotal,
    kMaxQueued,
    kMaxQueuedTotal,
    kMetrics,
    kMetricsFile,
    kMetricsInterval,
    kPolicy,
    kCheckPolicy,
    kAs,
};

bool needs_value(const char *option, const char *value, std::string *error) {
    if (*value != '\0') return true;
    *error = std::string(option) + " needs a value";
    return false;
}

// Options that only make sense for one side of the resident server.
bool check_combination(const Options &opts, std::string *error) {
    if (opts.daemon && opts.standalone) {
        *error = "--daemon and --standalone exclude each other";
        return false;
    }
    if (opts.daemon && (!opts.agent.empty() || !opts.commands.empty())) {
        *error = "--daemon takes no --agent or -c: run a client for that";
        return false;
    }
    const DaemonOptions &d = opts.resident;
    if (!opts.daemon &&
        (!d.group.empty() || !d.audit_log.empty() || d.syslog || !d.agent_users.empty())) {
        *error = "--group, --audit-log, --syslog and --agent-users need --daemon";
        return false;
    }
    if (opts.client_only && (opts.daemon || opts.standalone)) {
        *error = "--client excludes --daemon and --standalone";
        return false;
    }
    if (!opts.daemon && opts.bounds_given) {
        *error = "--max-clients, --max-queued and their totals need --daemon";
        return false;
    }
    if (!check_metrics_combination(opts, error)) return false;
    if (!check_policy_combination(opts, error)) return false;
    if (opts.standalone && !d.socket.empty()) {
        *error = "--standalone uses no socket: drop --socket";
        return false;
    }
    return true;
}

bool parse_wait(const char *text, uint32_t &out) {
    uint32_t v = 0;
    if (cli_parse_u32(text, &v) != 0 || v > kMaxWaitSeconds) return false;
    out = v;
    return true;
}

// Seconds with an optional fraction ("1.5"), kept as milliseconds.
bool parse_gather(const char *text, uint32_t &out_ms) {
    uint32_t whole = 0;
    std::string s(text);
    const size_t dot = s.find('.');
    std::string frac = dot == std::string::npos ? "" : s.substr(dot + 1);
    std::string head = dot == std::string::npos ? s : s.substr(0, dot);
    if (head.empty() && frac.empty()) return false;
    if (head.empty()) head = "0";
    if (cli_parse_u32(head.c_str(), &whole) != 0 || whole > kMaxGatherSeconds) return false;
    if (frac.size() > 3 || frac.find_first_not_of("0123456789") != std::string::npos) return false;
    while (frac.size() < 3)
        frac += '0';
    out_ms = whole * 1000 + static_cast<uint32_t>(std::stoul(frac));
    return true;
}

// Every option of cli-server, once: getopt's tables, the parser and the
// option lines of --help are made from it, and a test holds the manual
// page, the guide's usage block (doc/guide/operating.md) and the bash
// completion to it.
enum class Part { kClient, kDaemon };

// How an option lands in Options: a flag set, a text that may not be
// empty, or a function that checks and converts the value.
using Convert = bool (*)(Options &opts, const char *value, std::string *error);

struct Target {
    enum class Kind { kFlag, kNonEmptyText, kConvert };
    Kind kind;
    bool Options::*flag = nullptr;
    std::string Options::*text = nullptr;
    Convert convert = nullptr;
    // The same for what goes to the resident server (Options::resident).
    bool DaemonOptions::*daemon_flag = nullptr;
    std::string DaemonOptions::*daemon_text = nullptr;
};

constexpr Target set_flag(bool Options::*member) {
    return {Target::Kind::kFlag, member, nullptr, nullptr};
}
constexpr Target non_empty_text(std::string Options::*member) {
    return {Target::Kind::kNonEmptyText, nullptr, member, nullptr};
}
constexpr Target set_flag(bool DaemonOptions::*member) {
    return {Target::Kind::kFlag, nullptr, nullptr, nullptr, member, nullptr};
}
constexpr Target non_empty_text(std::string DaemonOptions::*member) {
    return {Target::Kind::kNonEmptyText, nullptr, nullptr, nullptr, nullptr, member};
}
constexpr Target converted(Convert convert) {
    return {Target::Kind::kConvert, nullptr, nullptr, convert};
}

bool set_port(Options &opts, const char *value, std::string *error) {
    opts.port = cli_parse_port_arg(value, 0);
    if (opts.port != 0) return true;
    *error = std::string("invalid port '") + value + "' (expected 1 to 65535)";
    return false;
}

bool set_agent(Options &opts, const char *value, std::string *error) {
    if (*value == '\0') {
        *error = "--agent needs a name or an id";
        return false;
    }
    opts.agent = value;
    return true;
}

bool set_wait(Options &opts, const char *value, std::string *error) {
    if (parse_wait(value, opts.wait_seconds)) return true;
    *error = std::string("invalid --wait '") + value + "' (expected seconds, 0 to 86400)";
    return false;
}

bool set_gather(Options &opts, const char *value, std::string *error) {
    if (parse_gather(value, opts.gather_ms)) return true;
    *error = std::string("invalid --gather '") + value +
             "' (expected seconds, 0 to 3600, at most three decimals)";
    return false;
}

bool set_metrics_interval(Options &opts, const char *value, std::string *error) {
    opts.metrics_interval_given = true;
    uint32_t &interval = opts.resident.metrics_interval;
    if (parse_wait(value, interval) && interval > 0) return true;
    *error = std::string("invalid --metrics-interval '") + value + "' (expected 1 to 86400)";
    return false;
}

bool set_answer(Options &opts, const char *value, std::string *) {
    opts.answer = value;
    return true;
}

bool add_command(Options &opts, const char *value, std::string *) {
    opts.commands.emplace_back(value);
    return true;
}

struct OptionSpec {
    const char *name;  // the long name, without --
    int key;           // the short letter, or one of the values above
    const char *value; // the placeholder of its value; null for a flag
    Part part;         // where --help lists it
    const char *help;  // one or more lines
    Target target;     // what the parser does with it
};

static_assert(cli_protocol::agent_port == 7002, "the help text names the port");

constexpr OptionSpec kOptionTable[] = {
    {"port", 'p', "N", Part::kClient, "listen on port N (default 7002)", converted(set_port)},
    {"agent", 'a', "AGENT|PATTERN", Part::kClient,
     "attach to this agent as soon as it connects: NAME, ID\n"
     "(all digits), NAME@USER, ID@USER or pid:N; a shell\n"
     "pattern (*, ?, [...]; PATTERN@USER) selects every agent\n"
     "whose name matches it. Without @USER or pid:, only\n"
     "agents of root, the server's user, yours and\n"
     "--agent-users are reached; others are left out (said so)",
     converted(set_agent)},
    {"all", kAll, nullptr, Part::kClient, "select every connected agent of those users",
     set_flag(&Options::all)},
    {"wait", 'w', "SECONDS", Part::kClient,
     "scripting mode: how long to wait for the agent, or for\n"
     "the first agent of a pattern, to connect (default 5)",
     converted(set_wait)},
    {"gather", kGather, "SECONDS", Part::kClient,
     "how long a pattern or --all collects agents before\n"
     "the commands run (default 1.5: one reconnect period\n"
     "and a margin)",
     converted(set_gather)},
    {"json", kJson, nullptr, Part::kClient, "one JSON object per line for each agent and command",
     set_flag(&Options::json)},
    {"no-label", kNoLabel, nullptr, Part::kClient,
     "raw output without the agent label (one agent only)", set_flag(&Options::no_label)},
    {"answer", kAnswer, "TEXT", Part::kClient,
     "the reply to every prompt during a fan-out; without\n"
     "it such prompts are refused (answered empty)",
     converted(set_answer)},
    {"timeout", kTimeout, "SECONDS", Part::kClient,
     "scripting mode: each command on each agent gets at\n"
     "most this long from its submission, queued or running;\n"
     "then it is withdrawn or abandoned (status timed-out)\n"
     "and the script goes on (default: no limit)",
     converted(set_timeout)},
    {"command", 'c', "LINE", Part::kClient,
     "scripting mode: run LINE on the agent; repeatable,\n"
     "the commands run in the order given",
     converted(add_command)},
    {"standalone", kStandalone, nullptr, Part::kClient,
     "never use a resident server: hold the port here", set_flag(&Options::standalone)},
    {"client", kClient, nullptr, Part::kClient,
     "only as a resident server's client: never hold the\n"
     "port; exit 1 at once when no resident server answers",
     set_flag(&Options::client_only)},
    {"socket", kSocket, "PATH", Part::kClient,
     "the resident server's socket (default: $CLI_SERVER_SOCKET,\n"
     "else /run/cli-server/cli-server.sock for root,\n"
     "$XDG_RUNTIME_DIR/cli-server.sock, or\n"
     "/tmp/cli-server-UID/cli-server.sock; a client\n"
     "then also tries /run/cli-server/cli-server.sock)",
     non_empty_text(&DaemonOptions::socket)},
    {"metrics", kMetrics, nullptr, Part::kClient,
     "print the resident server's metrics (Prometheus text)", set_flag(&Options::metrics)},
    {"help", 'h', nullptr, Part::kClient, "show this text", set_flag(&Options::show_help)},
    {"version", 'V', nullptr, Part::kClient, "show the version", set_flag(&Options::show_version)},
    {"daemon", kDaemon, nullptr, Part::kDaemon, "run as the resident server",
     set_flag(&Options::daemon)},
    {"group", kGroup, "NAME", Part::kDaemon,
     "also admit members of group NAME (socket 0660, a\n"
     "directory it creates 0750); root and the server's\n"
     "user always",
     non_empty_text(&DaemonOptions::group)},
    {"audit-log", kAuditLog, "FILE", Part::kDaemon,
     "append JSON lines as each command is sent and ends;\n"
     "SIGHUP reopens it (for log rotation)",
     non_empty_text(&DaemonOptions::audit_log)},
    {"syslog", kSyslog, nullptr, Part::kDaemon, "send those lines to syslog too (LOG_AUTHPRIV)",
     set_flag(&DaemonOptions::syslog)},
    {"agent-users", kAgentUsers, "LIST", Part::kDaemon,
     "accept only agents of these users (names or uids,\n"
     "comma-separated), plus root and the server's user;\n"
     "their agents are reached without @USER",
     non_empty_text(&DaemonOptions::agent_users)},
    {"max-clients", kMaxClients, "N", Part::kDaemon,
     "at most N clients per user (default 64); root's and\n"
     "the server's user's count only against their own",
     converted(set_max_clients)},
    {"max-clients-total", kMaxClientsTotal, "N", Part::kDaemon,
     "at most N clients of all other users (default 256)", converted(set_max_clients_total)},
    {"max-queued", kMaxQueued, "MIB", Part::kDaemon,
     "at most MIB MiB of command lines waiting for agents\n"
     "per user, 512 bytes more per command (default 16)",
     converted(set_max_queued)},
    {"max-queued-total", kMaxQueuedTotal, "MIB", Part::kDaemon,
     "the same for all users but root and the server's\n"
     "user together (default 64)",
     converted(set_max_queued_total)},
    {"metrics-file", kMetricsFile, "PATH", Part::kDaemon,
     "write the metrics there (atomically) every interval\n"
     "and remove it at exit; for the node exporter's\n"
     "textfile collector",
     non_empty_text(&DaemonOptions::metrics_file)},
    {"metrics-interval", kMetricsInterval, "SECONDS", Part::kDaemon,
     "how often --metrics-file is written (default 15)", converted(set_metrics_interval)},
    {"policy", kPolicy, "FILE", Part::kDaemon,
     "who may run which commands on which agents (see\n"
     "cli-server-policy(5)); SIGHUP reads it again",
     non_empty_text(&DaemonOptions::policy)},
    {"check-policy", kCheckPolicy, "FILE", Part::kDaemon,
     "print the rules of FILE as understood (or its first\n"
     "error) and exit; with --as, --agent and -c, say\n"
     "whether that command would be allowed",
     non_empty_text(&Options::check_policy)},
    {"as", kAs, "USER", Part::kDaemon,
     "--check-policy: the client's user (its groups from\n"
     "the group database)",
     non_empty_text(&Options::as_user)},
};

// Applies one option found on the command line.
bool apply(const OptionSpec &o, Options &opts, const char *value, std::string *error) {
    const Target &t = o.target;
    switch (t.kind) {
    case Target::Kind::kFlag:
        (t.flag ? opts.*t.flag : opts.resident.*t.daemon_flag) = true;
        return true;
    case Target::Kind::kNonEmptyText:
        if (!needs_value((std::string("--") + o.name).c_str(), value, error)) return false;
        (t.text ? opts.*t.text : opts.resident.*t.daemon_text) = value;
        return true;
    case Target::Kind::kConvert:
        return t.convert(opts, value, error);
    }
    return false;
}

const OptionSpec *find_option(int key) {
    for (const OptionSpec &o : kOptionTable)
        if (o.key == key) return &o;
    return nullptr;
}

// getopt's view of the table.
std::vector<option> long_options() {
    std::vector<option> longs;
    for (const OptionSpec &o : kOptionTable)
        longs.push_back({o.name, o.value ? required_argument : no_argument, nullptr, o.key});
    longs.push_back({nullptr, 0, nullptr, 0});
    return longs;
}

std::string short_options() {
    std::string shorts = ":";
    for (const OptionSpec &o : kOptionTable) {
        if (o.key >= 256) continue;
        shorts += static_cast<char>(o.key);
        if (o.value) shorts += ':';
    }
    return shorts;
}

// The option lines of one part, as --help shows them: the option at column
// 2, its help at column 24 (on a line of its own when the option is wider).
std::string option_lines(Part part) {
    constexpr size_t kHelpColumn = 24;
    std::string out;
    for (const OptionSpec &o : kOptionTable) {
        if (o.part != part) continue;
        std::string left = "  ";
        left += o.key < 256 ? std::string("-") + static_cast<char>(o.key) + ", " : "    ";
        left += std::string("--") + o.name;
        if (o.value) left += std::string(" ") + o.value;
        if (left.size() + 2 <= kHelpColumn)
            left.resize(kHelpColumn, ' ');
        else
            left += "\n" + std::string(kHelpColumn, ' ');
        out += left;
        for (const char *p = o.help; *p; ++p) {
            out += *p;
            if (*p == '\n') out += std::string(kHelpColumn, ' ');
        }
        out += '\n';
    }
    return out;
}

} // namespace

std::string usage_text() {
    return std::string(usage_head()) + option_lines(Part::kClient) + usage_modes() +
           option_lines(Part::kDaemon) + exit_status_text();
}

bool parse_options(int argc, char **argv, Options &opts, std::string *error) {
    const std::vector<option> longs = long_options();
    const std::string shorts = short_options();
    opterr = 0;
    optind = 1;
    for (;;) {
        int longindex = 0;
        const int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), &longindex);
        if (c == -1) break;
        const OptionSpec *o = find_option(c);
        if (o) {
            if (!apply(*o, opts, optarg, error)) return false;
            continue;
        }
        if (c == ':')
            *error = std::string("option '") + argv[optind - 1] + "' needs a value";
        else
            *error = std::string("unknown option '") + argv[optind - 1] + "'";
        return false;
    }
    if (optind < argc) {
        *error = std::string("unexpected argument '") + argv[optind] + "'";
        return false;
    }
    if (opts.all && !opts.agent.empty()) {
        *error = "--all and --agent exclude each other";
        return false;
    }
    if (opts.no_label && opts.json) {
        *error = "--no-label is for plain output; --json has no labels";
        return false;
    }
    return check_combination(opts, error);
}

} // namespace cliserver
