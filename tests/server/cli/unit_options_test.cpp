// The command-line parser: what each mode accepts, and the refusals that
// name the option at fault.
#include "cli/options.h"
#include "hub/agent_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace cliserver;

namespace {

bool parse(std::vector<std::string> args, Options &opts, std::string &error) {
    args.insert(args.begin(), "cli-server");
    std::vector<char *> argv;
    for (auto &s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(args.size()), argv.data(), opts, &error);
}

} // namespace

TEST(ServerOptions, ParsesOrRefusesCommandLines) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        uint16_t port;
        uint32_t wait;
        std::vector<std::string> commands;
        const char *error;
    } cases[] = {
        {{}, true, 7002, 5, {}, ""},
        {{"--port", "7100", "--wait", "0", "--agent", "db"}, true, 7100, 0, {}, ""},
        {{"-c", "stats", "-c", "config -g level"}, true, 7002, 5, {"stats", "config -g level"}, ""},
        {{"--port=0"}, false, 0, 0, {}, "invalid port '0'"},
        {{"--port", "65536"}, false, 0, 0, {}, "invalid port"},
        {{"--wait", "5s"}, false, 0, 0, {}, "invalid --wait '5s'"},
        {{"--agent"}, false, 0, 0, {}, "needs a value"},
        {{"--frobnicate"}, false, 0, 0, {}, "unknown option '--frobnicate'"},
        {{"stats"}, false, 0, 0, {}, "unexpected argument 'stats'"},
    };
    for (auto &c : cases) {
        Options opts;
        std::string error;
        const bool ok = parse(c.args, opts, error);
        const std::string label = c.args.empty() ? "(none)" : c.args[0];
        ASSERT_EQ(ok, c.ok) << label << ": " << error;
        if (ok) {
            EXPECT_EQ(opts.port, c.port) << label;
            EXPECT_EQ(opts.wait_seconds, c.wait) << label;
            EXPECT_EQ(opts.commands, c.commands) << label;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << label << ": " << error;
        }
    }
}

TEST(FanoutOptions, SelectionGatherAndOutputModes) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--all", "--json", "--gather", "0.25", "--answer", "", "-c", "x"}, o, error))
        << error;
    EXPECT_TRUE(o.all && o.json);
    EXPECT_EQ(o.gather_ms, 250u);
    EXPECT_EQ(o.answer, std::optional<std::string>(""));
    EXPECT_TRUE(fans_out(o));
    EXPECT_EQ(o.timeout_seconds, 0u) << "no limit unless asked";

    Options bounded;
    ASSERT_TRUE(parse({"--timeout", "3", "-c", "x"}, bounded, error)) << error;
    EXPECT_EQ(bounded.timeout_seconds, 3u);
    Options daemon;
    ASSERT_TRUE(parse({"--daemon", "--max-clients", "8", "--max-clients-total", "40",
                       "--max-queued", "2", "--max-queued-total", "10"},
                      daemon, error))
        << error;
    EXPECT_EQ(daemon.daemon_options().bounds.clients_per_user, 8u);
    EXPECT_EQ(daemon.daemon_options().bounds.clients_total, 40u);
    EXPECT_EQ(daemon.daemon_options().bounds.queued_per_user, size_t{2} << 20);
    EXPECT_EQ(daemon.daemon_options().bounds.queued_total, size_t{10} << 20);

    // A plain name keeps the one-agent behaviour; a pattern fans out.
    Options plain;
    ASSERT_TRUE(parse({"--agent", "db-1", "--no-label"}, plain, error));
    EXPECT_EQ(plain.gather_ms, 1500u);
    EXPECT_FALSE(fans_out(plain));
    for (const char *pattern : {"db-*", "db-?", "db-[12]"})
        EXPECT_TRUE(is_agent_pattern(pattern)) << pattern;

    struct Refused {
        std::vector<std::string> args;
        const char *error;
    } refused[] = {
        {{"--gather", "1.2345"}, "invalid --gather"},
        {{"--gather", "-1"}, "invalid --gather"},
        {{"--gather", "3601"}, "invalid --gather"},
        {{"--gather", "."}, "invalid --gather"},
        {{"--all", "--agent", "db"}, "exclude each other"},
        {{"--json", "--no-label"}, "--no-label"},
        {{"--timeout", "0"}, "invalid --timeout"},
        {{"--timeout", "86401"}, "invalid --timeout"},
        {{"--max-clients", "4"}, "need --daemon"},
        {{"--daemon", "--max-queued", "0"}, "invalid --max-queued"},
        {{"--daemon", "--max-clients-total", "x"}, "invalid --max-clients-total"},
    };
    for (auto &r : refused) {
        Options x;
        EXPECT_FALSE(parse(r.args, x, error)) << r.args[0];
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }
}
