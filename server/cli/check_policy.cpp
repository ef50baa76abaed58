// --check-policy (check_policy.h).
#include "cli/check_policy.h"

#include "core/exit_status.h"
#include "core/text.h"
#include "daemon/policy_file.h"
#include "hub/agent_selection.h"

#include <cstdio>

namespace cliserver {

namespace {

void print_rules(const std::string &file, const AccessPolicy &policy) {
    std::printf("%s: %zu rule(s); root and the resident server's own user are not subject "
                "to them\n",
                printable(file).c_str(), policy.rules().size());
    for (const PolicyRule &rule : policy.rules())
        std::printf("%s\n", describe_rule(rule).c_str());
}

// The agent --agent names, as far as a word tells: its name (or id) and,
// with @USER, its owner.
std::optional<AgentView> agent_named(const std::string &word, std::string *error) {
    auto sel = parse_selector(word, error);
    if (!sel) return std::nullopt;
    if (sel->selects_set() || sel->kind == AgentSelector::Kind::kPid) {
        *error = "--agent names one agent here: NAME, ID, NAME@USER or ID@USER";
        return std::nullopt;
    }
    AgentView a;
    a.name = sel->text;
    if (sel->kind == AgentSelector::Kind::kId) a.id = sel->id;
    a.uid = sel->owner;
    return a;
}

// Exit 0 when every line is allowed, 3 when one is not.
int decide(const Options &opts, const AccessPolicy &policy) {
    std::string error;
    const auto uid = lookup_user(opts.as_user);
    if (!uid) {
        std::fprintf(stderr, "cli-server: --as: no user '%s'\n", printable(opts.as_user).c_str());
        return exit_code(ExitStatus::kError);
    }
    const auto agent = agent_named(opts.agent, &error);
    if (!agent) {
        std::fprintf(stderr, "cli-server: %s\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    PeerCred client;
    client.uid = *uid;
    client.groups = groups_of_user(*uid);
    if (!client.groups.empty()) client.gid = client.groups.front();
    const std::string who = printable(user_name(*uid));
    std::printf("as %s with the groups the group database gives now (the resident server "
                "decides by the groups of the client's connection)\n",
                who.c_str());
    bool all = true;
    for (const std::string &line : opts.commands) {
        const auto word = first_word(line);
        const std::string what = word ? "\"" + printable(*word) + "\"" : "a line with a NUL byte";
        const std::string where = what + " on " + printable(opts.agent) + " for " + who;
        if (*uid == 0) {
            std::printf("allowed: %s: root is not subject to the policy\n", where.c_str());
            continue;
        }
        const auto rule = policy.allows(client, *agent, line);
        if (!rule) {
            all = false;
            std::printf("denied: %s: no rule allows it\n", where.c_str());
            continue;
        }
        for (const PolicyRule &r : policy.rules())
            if (r.line == *rule)
                std::printf("allowed: %s by %s\n", where.c_str(), describe_rule(r).c_str());
    }
    return exit_code(all ? ExitStatus::kCompleted : ExitStatus::kCommandBroken);
}

} // namespace

bool check_policy_combination(const Options &opts, std::string *error) {
    if (!opts.resident.policy.empty() && !opts.daemon) {
        *error = "--policy needs --daemon (--check-policy FILE checks a file)";
        return false;
    }
    if (opts.check_policy.empty()) {
        if (opts.as_user.empty()) return true;
        *error = "--as needs --check-policy";
        return false;
    }
    if (opts.daemon) {
        *error = "--check-policy runs no server: drop --daemon";
        return false;
    }
    const bool asks = !opts.as_user.empty() || !opts.agent.empty() || !opts.commands.empty();
    if (asks && (opts.as_user.empty() || opts.agent.empty() || opts.commands.empty())) {
        *error = "--check-policy asks about a command with all of --as, --agent and -c";
        return false;
    }
    return true;
}

int run_check_policy(const Options &opts) {
    std::string error;
    const auto policy = load_policy(opts.check_policy, &error);
    if (!policy) {
        std::fprintf(stderr, "cli-server: %s\n", error.c_str());
        return exit_code(ExitStatus::kError);
    }
    if (opts.as_user.empty()) {
        print_rules(opts.check_policy, *policy);
        return exit_code(ExitStatus::kCompleted);
    }
    return decide(opts, *policy);
}

} // namespace cliserver
