// Who may run what on the resident server: the rules of --policy FILE.
//
// One rule a line, `#` (at the start of a line or after white space)
// starts a comment, three fields separated by white space, the third
// running to the end of the line:
//   WHO      a user name or uid, @GROUP, or *
//   AGENTS   comma-separated agent selectors (NAME, PATTERN, NAME@USER,
//            PATTERN@USER, ID), or * for every agent
//   COMMANDS shell patterns, separated by white space, matched against the
//            command's first word as the agent splits it (cli_split_args)
// A command is allowed when some rule matches its client, its agent and
// its first word; the first such rule (its line number) is the one
// recorded. A client's groups are those its connection carries (its
// primary group and SO_PEERGROUPS), never the group database's of now.
// Root and the server's own user are not subject to the rules; the caller
// decides that (subject()).
//
// A user or group that does not exist is not an error (a directory may
// be out of reach, an account retired): what names it matches nothing.
// A selector without @USER matches the agents of that name or pattern
// whoever owns them: the rule says what the client may do, not whose agents
// it trusts (a fan-out still leaves other owners' agents out unless named).
//
// Threading: an AccessPolicy is immutable once parsed and holds no
// reference to anything else; users and groups are looked up (NSS) only
// while parsing.
#pragma once

#include "core/users.h"
#include "hub/agent_selection.h"

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cliserver {

struct PolicyRule {
    // kNobody: a user or group that does not exist (now): the rule matches
    // no client rather than stop the server; --check-policy says so.
    enum class Who { kUser, kGroup, kAnyone, kNobody };
    unsigned line = 0; // in the file, from 1
    Who who = Who::kAnyone;
    uid_t uid = 0;                     // kUser
    gid_t gid = 0;                     // kGroup
    std::string who_text;              // as written
    bool every_agent = false;          // AGENTS is *
    std::vector<AgentSelector> agents; // otherwise: any of these
    std::vector<std::string> unknown;  // NAME@USER of users that do not exist: match nothing
    std::vector<std::string> commands; // shell patterns; "*" among them: every command
    bool every_command = false;
};

// Where and why a policy does not parse.
struct PolicyError {
    unsigned line = 0; // 0: the file as a whole
    std::string what;
};

class AccessPolicy {
  public:
    // Bounds on what one file can make the daemon hold.
    static constexpr size_t kMaxBytes = 1u << 20;
    static constexpr size_t kMaxRules = 65536;
    static constexpr size_t kMaxLine = 4096;

    // nullopt with *error at the first line that is wrong.
    static std::optional<AccessPolicy> parse(std::string_view text, PolicyError *error);

    // The line of the first rule that allows client to run line on agent;
    // nullopt when none does, or when the line holds a NUL byte.
    std::optional<unsigned> allows(const PeerCred &client, const AgentView &agent,
                                   std::string_view line) const;
    // The same in two steps, for a caller that decides many commands of one
    // client on one agent: the rules that match both (their indexes, in
    // order), then the first of them whose commands match the line.
    std::vector<uint32_t> rules_for(const PeerCred &client, const AgentView &agent) const;
    std::optional<unsigned> allows_among(const std::vector<uint32_t> &rules,
                                         std::string_view line) const;
    // Whether some rule lets client use agent at all (ls, what it is shown).
    bool covers(const PeerCred &client, const AgentView &agent) const;

    const std::vector<PolicyRule> &rules() const { return rules_; }

  private:
    std::vector<PolicyRule> rules_;
};

// The first word of a command line as the agent will see it (split with the
// library's cli_split_args); empty for a line of no words; nullopt for a line
// holding a NUL byte, which the policy refuses outright.
std::optional<std::string> first_word(std::string_view line);

// One rule as understood, for --check-policy: "line 3: group dba (gid 120),
// agents *@postgres, commands *".
std::string describe_rule(const PolicyRule &rule);

// "FILE:LINE: what" (or "FILE: what" for the file as a whole).
std::string policy_error_text(const std::string &file, const PolicyError &e);

} // namespace cliserver
