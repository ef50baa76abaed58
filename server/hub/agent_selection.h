// Which agents an operator's word names, written once for the hub, the
// resident server's client and the fan-out and console front ends.
//
// An agent chooses its own name and id in HELLO; only its owner, which the
// server looks up, and its process are facts. So a word is parsed into a
// selector first, never looked up as a name when it could be more:
//  - NAME@USER, PATTERN@USER, ID@USER (a word with @; the user by name or
//    uid, split at the last @): agents of that owner only;
//  - pid:N: the agent in process N, whoever owns it;
//  - an all-digit word: the agents with that id, never a name;
//  - a shell pattern (is_agent_pattern), or every agent with --all: the
//    names it matches;
//  - any other word: the agents of exactly that name.
// A selector that names no owner (neither @USER nor pid:N) reaches only
// agents whose owner is trusted (TrustedOwners); the others it matches are
// left out, and the operator is told so (left_out_summary,
// other_owner_text). Results are in connection order (by serial).
//
// An agents' service keeps an AgentIndex of the agents it knows, so a name
// or id costs a lookup, not a walk, among thousands of agents.
//
// Threading: none of its own; an index belongs to its service and is used
// on the event loop's thread like the service.
#pragma once

#include "hub/agent_service.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cliserver {

// Whether `wanted` is a shell pattern (it has *, ? or [) rather than a name or id.
bool is_agent_pattern(const std::string &wanted);

// The owners whose agents a selector without @USER reaches: root always,
// and the uids given (the server's user, the client's, --agent-users). An
// owner that could not be found is never trusted.
class TrustedOwners {
  public:
    TrustedOwners() = default;
    explicit TrustedOwners(std::vector<uid_t> uids);
    bool trusts(const std::optional<uid_t> &owner) const;
    // Every trusted uid but root, once each, in the order given.
    const std::vector<uid_t> &uids() const { return uids_; }

  private:
    std::vector<uid_t> uids_;
};

struct AgentSelector {
    enum class Kind { kName, kId, kPattern, kPid, kAll };
    Kind kind = Kind::kName;
    std::string word;           // as the operator wrote it
    std::string text;           // the name or pattern
    uint32_t id = 0;            // kId
    pid_t pid = 0;              // kPid
    std::optional<uid_t> owner; // @USER

    // Whether it reaches agents of any owner (@USER or pid:N).
    bool names_owner() const { return owner.has_value() || kind == Kind::kPid; }
    // A pattern or --all: a set, rather than one agent.
    bool selects_set() const { return kind == Kind::kPattern || kind == Kind::kAll; }
    // Whether a matches, its owner's trust aside.
    bool matches(const AgentView &a) const;
};

// Parses an operator's word as above; nullopt with *error when @USER names
// no user or pid:N is not a process id.
std::optional<AgentSelector> parse_selector(const std::string &word, std::string *error);
// --all.
AgentSelector every_agent();

// The greeted agents of one service by name and by id.
class AgentIndex {
  public:
    void add(AgentView &a);
    void remove(const AgentView &a);
    void clear();
    // A name, id or either @USER: every agent it matches, its owner's trust
    // aside; nothing for the other kinds, which a walk finds.
    std::vector<AgentView *> match(const AgentSelector &s) const;
    // Whether an agent of another owner has a name that looks like a's
    // (core/text.h: lookalike_key).
    bool name_shared_across_owners(const AgentView &a) const;

  private:
    // Hashed, not ordered: match() sorts what it finds into connection
    // order. A name's key is a view of the agent's own name, fixed from its
    // HELLO on and alive as long as the agent is indexed.
    std::unordered_multimap<std::string_view, AgentView *> by_name_;
    std::unordered_multimap<std::string, AgentView *> by_look_;
    std::unordered_multimap<uint32_t, AgentView *> by_id_;
};

struct Selection {
    std::vector<AgentView *> agents;   // selected
    std::vector<AgentView *> left_out; // matched, but of an owner not trusted
};

// The agents s selects from the service, in connection order.
Selection select_agents(AgentService &agents, const AgentSelector &s);

// A selector that picks exactly a among the service's agents: pid:N where
// its process is known, else NAME@USER, else ID@USER; empty when each of
// them picks another agent too (two connections of one process).
std::string exact_selector(AgentService &agents, const AgentView &a);
// "name (id N, user U, pid P)": an agent with the facts that tell it apart.
std::string describe_with_owner(const AgentView &a);
// describe(a), with its owner when that is neither root nor `client`
// (the operator's own user): "name (id N, user U)".
std::string describe_owned(const AgentView &a, uid_t client);
// "several agents match 'w': demo (id 1, user root, pid 10) as pid:10, ..."
std::string ambiguity_text(AgentService &agents, const AgentSelector &s,
                           const std::vector<AgentView *> &found);
// One line for the agents a set left out: how many, whose, and the
// selector that includes them (`how`: "--agent" or "attach").
std::string left_out_summary(const AgentSelector &s, const std::vector<AgentView *> &left_out,
                             const char *how);
// For a selection of one agent that found only other owners' agents.
std::string other_owner_text(const AgentSelector &s, const std::vector<AgentView *> &left_out,
                             const char *how);

} // namespace cliserver
