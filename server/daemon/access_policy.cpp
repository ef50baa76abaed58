// The access policy's rules: parsing a file's text and deciding a command
// (access_policy.h).
#include "daemon/access_policy.h"

#include "core/text.h"
#include "protocol.h"

#include "cli_common.h"

#include <fnmatch.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace cliserver {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The line without its comment and its surrounding blanks.
std::string_view strip_comment(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || is_blank(line[i - 1]))) {
            line = line.substr(0, i);
            break;
        }
    while (!line.empty() && is_blank(line.back()))
        line.remove_suffix(1);
    while (!line.empty() && is_blank(line.front()))
        line.remove_prefix(1);
    return line;
}

// The next blank-separated field of rest, taken off its front.
std::string_view take_field(std::string_view &rest) {
    size_t end = 0;
    while (end < rest.size() && !is_blank(rest[end]))
        ++end;
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    while (!rest.empty() && is_blank(rest.front()))
        rest.remove_prefix(1);
    return field;
}

std::string quoted(std::string_view s) {
    return "'" + printable(std::string(s)) + "'";
}

bool parse_who(std::string_view field, PolicyRule &rule, std::string *why) {
    rule.who_text = std::string(field);
    if (field == "*") {
        rule.who = PolicyRule::Who::kAnyone;
        return true;
    }
    if (field.front() == '@') {
        if (field.size() == 1) {
            *why = "WHO '@': name the group after @";
            return false;
        }
        const auto gid = lookup_group(std::string(field.substr(1)));
        rule.who = gid ? PolicyRule::Who::kGroup : PolicyRule::Who::kNobody;
        if (gid) rule.gid = *gid;
        return true;
    }
    const auto uid = lookup_user(std::string(field));
    rule.who = uid ? PolicyRule::Who::kUser : PolicyRule::Who::kNobody;
    if (uid) rule.uid = *uid;
    return true;
}

// NAME@USER of a user that does not exist.
bool names_unknown_user(const std::string &word) {
    const size_t at = word.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == word.size()) return false;
    return !lookup_user(word.substr(at + 1));
}

bool parse_agents(std::string_view field, PolicyRule &rule, std::string *why) {
    if (field == "*") {
        rule.every_agent = true;
        return true;
    }
    const std::string_view whole = field;
    while (true) {
        const size_t comma = field.find(',');
        const std::string word(field.substr(0, comma));
        if (word.empty()) {
            *why = "AGENTS " + quoted(whole) + ": an empty selector between commas";
            return false;
        }
        std::string error;
        if (names_unknown_user(word)) {
            rule.unknown.push_back(word);
            if (comma == std::string_view::npos) return true;
            field.remove_prefix(comma + 1);
            continue;
        }
        auto sel = parse_selector(word, &error);
        if (!sel) {
            *why = "AGENTS: " + error;
            return false;
        }
        // A process id names a process that may be gone and its number
        // reused: no rule to keep.
        if (sel->kind == AgentSelector::Kind::kPid) {
            *why = "AGENTS " + quoted(word) + ": pid:N is not a selector for a policy";
            return false;
        }
        if (word == "*") rule.every_agent = true;
        rule.agents.push_back(std::move(*sel));
        if (comma == std::string_view::npos) return true;
        field.remove_prefix(comma + 1);
    }
}

void parse_commands(std::string_view rest, PolicyRule &rule) {
    while (!rest.empty()) {
        const std::string_view pattern = take_field(rest);
        if (pattern == "*") rule.every_command = true;
        rule.commands.emplace_back(pattern);
    }
}

bool control_byte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f;
}

// One line of the file: nothing (a comment or blank), a rule, or false with *why.
bool parse_line(std::string_view raw, unsigned number, std::vector<PolicyRule> &rules,
                std::string *why) {
    if (raw.size() > AccessPolicy::kMaxLine) {
        *why = "the line is longer than " + std::to_string(AccessPolicy::kMaxLine) + " bytes";
        return false;
    }
    if (std::any_of(raw.begin(), raw.end(), control_byte)) {
        *why = "a control character (only printable text, blanks and tabs)";
        return false;
    }
    std::string_view rest = strip_comment(raw);
    if (rest.empty()) return true;
    PolicyRule rule;
    rule.line = number;
    const std::string_view who = take_field(rest);
    const std::string_view agents = take_field(rest);
    if (agents.empty() || rest.empty()) {
        *why = "expected three fields, WHO AGENTS COMMANDS";
        return false;
    }
    if (!parse_who(who, rule, why) || !parse_agents(agents, rule, why)) return false;
    parse_commands(rest, rule);
    if (rules.size() >= AccessPolicy::kMaxRules) {
        *why = "more than " + std::to_string(AccessPolicy::kMaxRules) + " rules";
        return false;
    }
    rules.push_back(std::move(rule));
    return true;
}

bool who_matches(const PolicyRule &rule, const PeerCred &client) {
    switch (rule.who) {
    case PolicyRule::Who::kAnyone:
        return true;
    case PolicyRule::Who::kUser:
        return client.uid == rule.uid;
    case PolicyRule::Who::kGroup:
        return client.in_group(rule.gid);
    case PolicyRule::Who::kNobody:
        return false;
    }
    return false;
}

bool agent_matches(const PolicyRule &rule, const AgentView &agent) {
    if (rule.every_agent) return true;
    return std::any_of(rule.agents.begin(), rule.agents.end(),
                       [&](const AgentSelector &s) { return s.matches(agent); });
}

bool command_matches(const PolicyRule &rule, const std::string &word) {
    if (rule.every_command) return true;
    return std::any_of(rule.commands.begin(), rule.commands.end(), [&](const std::string &p) {
        return fnmatch(p.c_str(), word.c_str(), 0) == 0;
    });
}

std::string who_description(const PolicyRule &rule) {
    switch (rule.who) {
    case PolicyRule::Who::kAnyone:
        return "anyone";
    case PolicyRule::Who::kUser:
        return "user " + user_name(rule.uid) + " (uid " + std::to_string(rule.uid) + ")";
    case PolicyRule::Who::kGroup:
        return "group " + group_label(rule.gid) + " (gid " + std::to_string(rule.gid) + ")";
    case PolicyRule::Who::kNobody:
        return printable(rule.who_text) + " (no such " +
               (rule.who_text[0] == '@' ? "group" : "user") + " now: matches nobody)";
    }
    return "?";
}

} // namespace

std::optional<AccessPolicy> AccessPolicy::parse(std::string_view text, PolicyError *error) {
    auto fail = [&](unsigned line, std::string what) -> std::optional<AccessPolicy> {
        if (error) *error = PolicyError{line, std::move(what)};
        return std::nullopt;
    };
    if (text.size() > kMaxBytes)
        return fail(0, "larger than " + std::to_string(kMaxBytes) + " bytes");
    AccessPolicy policy;
    unsigned number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::string why;
        if (line.find('\0') != std::string_view::npos) return fail(number, "a NUL byte");
        if (!parse_line(line, number, policy.rules_, &why)) return fail(number, why);
    }
    return policy;
}

std::optional<std::string> first_word(std::string_view line) {
    if (line.find('\0') != std::string_view::npos) return std::nullopt;
    // The agent cuts a line to command_line_max bytes before splitting it.
    std::array<char, cli_protocol::command_line_max + 1> buf{};
    const size_t n = std::min(line.size(), cli_protocol::command_line_max);
    std::memcpy(buf.data(), line.data(), n);
    buf[n] = '\0';
    cli_args args{};
    (void)cli_split_args(buf.data(), &args); // the first words stay even past 128
    if (args.argc < 1) return std::string();
    return std::string(args.argv[0]);
}

std::optional<unsigned> AccessPolicy::allows(const PeerCred &client, const AgentView &agent,
                                             std::string_view line) const {
    return allows_among(rules_for(client, agent), line);
}

std::vector<uint32_t> AccessPolicy::rules_for(const PeerCred &client,
                                              const AgentView &agent) const {
    std::vector<uint32_t> found;
    for (size_t i = 0; i < rules_.size(); ++i)
        if (who_matches(rules_[i], client) && agent_matches(rules_[i], agent))
            found.push_back(static_cast<uint32_t>(i));
    return found;
}

std::optional<unsigned> AccessPolicy::allows_among(const std::vector<uint32_t> &rules,
                                                   std::string_view line) const {
    if (rules.empty()) return std::nullopt;
    const auto word = first_word(line);
    if (!word) return std::nullopt;
    for (uint32_t i : rules)
        if (i < rules_.size() && command_matches(rules_[i], *word)) return rules_[i].line;
    return std::nullopt;
}

bool AccessPolicy::covers(const PeerCred &client, const AgentView &agent) const {
    return std::any_of(rules_.begin(), rules_.end(), [&](const PolicyRule &rule) {
        return who_matches(rule, client) && agent_matches(rule, agent);
    });
}

std::string describe_rule(const PolicyRule &rule) {
    std::string agents;
    for (const AgentSelector &s : rule.agents)
        agents += (agents.empty() ? "" : ", ") + printable(s.word);
    for (const std::string &word : rule.unknown)
        agents += (agents.empty() ? "" : ", ") + printable(word) + " (no such user now: none)";
    std::string commands;
    for (const std::string &c : rule.commands)
        commands += (commands.empty() ? "" : " ") + printable(c);
    return "line " + std::to_string(rule.line) + ": " + who_description(rule) + "; agents " +
           (rule.every_agent ? std::string("every agent") : agents) + "; commands " +
           (rule.every_command ? std::string("every command") : commands);
}

std::string policy_error_text(const std::string &file, const PolicyError &e) {
    return file + (e.line ? ":" + std::to_string(e.line) : std::string()) + ": " + e.what;
}

} // namespace cliserver
