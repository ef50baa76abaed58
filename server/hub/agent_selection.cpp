// Selecting agents by name, id, pattern, owner or process (agent_selection.h).
#include "hub/agent_selection.h"

#include "core/text.h"
#include "core/users.h"

#include "cli_common.h"

#include <fnmatch.h>

#include <algorithm>
#include <set>

namespace cliserver {

namespace {

template <typename Map, typename Key>
void erase_entry(Map &map, const Key &key, const AgentView &a) {
    auto [b, e] = map.equal_range(key);
    for (auto it = b; it != e; ++it)
        if (it->second == &a) {
            map.erase(it);
            return;
        }
}

bool all_digits(const std::string &s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void by_serial(std::vector<AgentView *> &agents) {
    std::sort(agents.begin(), agents.end(),
              [](const AgentView *x, const AgentView *y) { return x->serial < y->serial; });
}

// A word an operator can type back: the name itself when it is printable,
// has no blank, no quote, no @ and does not look like another selector.
bool name_is_plain_word(const std::string &name) {
    return !name.empty() && printable(name) == name && !all_digits(name) &&
           !is_agent_pattern(name) && name.find_first_of(" \t'\"\\@") == std::string::npos &&
           name.rfind("pid:", 0) != 0;
}

std::string owner_text(const AgentView &a) {
    return uid_text(a.uid);
}

// "alice, nobody" and how many agents each: the owners, once each.
std::vector<std::string> owners_of(const std::vector<AgentView *> &agents) {
    std::vector<std::string> names;
    for (const AgentView *a : agents) {
        std::string who = owner_text(*a);
        if (std::find(names.begin(), names.end(), who) == names.end()) names.push_back(who);
    }
    return names;
}

// The operator's word with its owner replaced by `user`.
std::string word_for_owner(const AgentSelector &s, const std::string &user) {
    if (s.kind == AgentSelector::Kind::kAll) return "'*@" + user + "'";
    std::string base = s.word;
    if (s.owner) base = base.substr(0, base.rfind('@'));
    const bool quote = s.kind == AgentSelector::Kind::kPattern;
    return (quote ? "'" : "") + printable(base) + "@" + user + (quote ? "'" : "");
}

} // namespace

bool is_agent_pattern(const std::string &wanted) {
    return wanted.find_first_of("*?[") != std::string::npos;
}

// ---------------------------------------------------------------- trust

TrustedOwners::TrustedOwners(std::vector<uid_t> uids) {
    for (uid_t u : uids)
        if (u != 0 && std::find(uids_.begin(), uids_.end(), u) == uids_.end()) uids_.push_back(u);
}

bool TrustedOwners::trusts(const std::optional<uid_t> &owner) const {
    if (!owner) return false;
    return *owner == 0 || std::find(uids_.begin(), uids_.end(), *owner) != uids_.end();
}

// ---------------------------------------------------------------- selectors

std::optional<AgentSelector> parse_selector(const std::string &word, std::string *error) {
    AgentSelector s;
    s.word = word;
    std::string rest = word;
    if (const size_t at = word.rfind('@'); at != std::string::npos) {
        const std::string user = word.substr(at + 1);
        s.owner = user.empty() ? std::nullopt : lookup_user(user);
        if (!s.owner) {
            if (error) *error = "'" + printable(word) + "': no user '" + printable(user) + "'";
            return std::nullopt;
        }
        rest = word.substr(0, at);
        if (rest.empty()) {
            if (error) *error = "'" + printable(word) + "': name the agent before @ (* for all)";
            return std::nullopt;
        }
    } else if (word.rfind("pid:", 0) == 0) {
        uint32_t pid = 0;
        const std::string digits = word.substr(4);
        if (!all_digits(digits) || cli_parse_u32(digits.c_str(), &pid) != 0 || pid == 0 ||
            pid > 0x7fffffffu) {
            if (error) *error = "'" + printable(word) + "': pid:N takes a process id";
            return std::nullopt;
        }
        s.kind = AgentSelector::Kind::kPid;
        s.pid = static_cast<pid_t>(pid);
        return s;
    }
    s.text = rest;
    uint32_t id = 0;
    if (all_digits(rest) && cli_parse_u32(rest.c_str(), &id) == 0) {
        s.kind = AgentSelector::Kind::kId;
        s.id = id;
    } else if (is_agent_pattern(rest)) {
        s.kind = AgentSelector::Kind::kPattern;
    }
    return s;
}

AgentSelector every_agent() {
    AgentSelector s;
    s.kind = AgentSelector::Kind::kAll;
    s.word = "*";
    s.text = "*";
    return s;
}

bool AgentSelector::matches(const AgentView &a) const {
    if (owner && a.uid != owner) return false;
    switch (kind) {
    case Kind::kName:
        return a.name == text;
    case Kind::kId:
        return a.id == id;
    case Kind::kPattern:
        return fnmatch(text.c_str(), a.name.c_str(), 0) == 0;
    case Kind::kPid:
        return a.pid == pid;
    case Kind::kAll:
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- index

void AgentIndex::add(AgentView &a) {
    by_name_.emplace(a.name, &a);
    by_look_.emplace(lookalike_key(a.name), &a);
    by_id_.emplace(a.id, &a);
}

void AgentIndex::remove(const AgentView &a) {
    erase_entry(by_name_, a.name, a);
    erase_entry(by_look_, lookalike_key(a.name), a);
    erase_entry(by_id_, a.id, a);
}

void AgentIndex::clear() {
    by_name_.clear();
    by_look_.clear();
    by_id_.clear();
}

std::vector<AgentView *> AgentIndex::match(const AgentSelector &s) const {
    std::vector<AgentView *> found;
    auto take = [&](auto range) {
        for (auto it = range.first; it != range.second; ++it)
            if (s.matches(*it->second)) found.push_back(it->second);
    };
    if (s.kind == AgentSelector::Kind::kName) take(by_name_.equal_range(s.text));
    if (s.kind == AgentSelector::Kind::kId) take(by_id_.equal_range(s.id));
    by_serial(found);
    return found;
}

bool AgentIndex::name_shared_across_owners(const AgentView &a) const {
    auto [b, e] = by_look_.equal_range(lookalike_key(a.name));
    return std::any_of(b, e,
                       [&](const auto &kv) { return kv.second != &a && kv.second->uid != a.uid; });
}

// ---------------------------------------------------------------- selection

Selection select_agents(AgentService &agents, const AgentSelector &s) {
    std::vector<AgentView *> matched;
    if (s.kind == AgentSelector::Kind::kName || s.kind == AgentSelector::Kind::kId) {
        matched = agents.match(s);
    } else {
        if (s.kind == AgentSelector::Kind::kPid) agents.resolve_pids();
        std::vector<uint64_t> serials;
        agents.for_each_agent([&](const AgentView &a) {
            if (s.matches(a)) serials.push_back(a.serial);
        });
        for (uint64_t serial : serials)
            if (AgentView *a = agents.find(serial)) matched.push_back(a);
    }
    Selection out;
    const TrustedOwners &trusted = agents.trusted_owners();
    for (AgentView *a : matched)
        (s.names_owner() || trusted.trusts(a->uid) ? out.agents : out.left_out).push_back(a);
    return out;
}

// ---------------------------------------------------------------- what the operator reads

std::string exact_selector(AgentService &agents, const AgentView &a) {
    std::vector<std::string> words;
    if (a.pid) words.push_back("pid:" + std::to_string(*a.pid));
    if (a.uid) {
        if (name_is_plain_word(a.name)) words.push_back(a.name + "@" + owner_text(a));
        words.push_back(std::to_string(a.id) + "@" + owner_text(a));
    }
    for (const std::string &word : words) {
        auto s = parse_selector(word, nullptr);
        if (!s) continue;
        size_t n = 0;
        agents.for_each_agent([&](const AgentView &b) { n += s->matches(b) ? 1 : 0; });
        if (n == 1) return word;
    }
    return {};
}

std::string describe_with_owner(const AgentView &a) {
    std::string text = printable(a.name.empty() ? "(unnamed)" : a.name) + " (id " +
                       std::to_string(a.id) + ", user " + owner_text(a);
    if (a.pid) text += ", pid " + std::to_string(*a.pid);
    return text + ")";
}

std::string describe_owned(const AgentView &a, uid_t client) {
    if (a.uid && (*a.uid == 0 || *a.uid == client)) return describe(a);
    return printable(a.name.empty() ? "(unnamed)" : a.name) + " (id " + std::to_string(a.id) +
           ", user " + owner_text(a) + ")";
}

std::string ambiguity_text(AgentService &agents, const AgentSelector &s,
                           const std::vector<AgentView *> &found) {
    agents.resolve_pids();
    std::string text = "several agents match '" + printable(s.word) + "':";
    for (size_t i = 0; i < found.size(); ++i) {
        text += (i ? ", " : " ") + describe_with_owner(*found[i]);
        const std::string exact = exact_selector(agents, *found[i]);
        if (!exact.empty()) text += " as " + exact;
    }
    return text;
}

std::string left_out_summary(const AgentSelector &s, const std::vector<AgentView *> &left_out,
                             const char *how) {
    const std::vector<std::string> owners = owners_of(left_out);
    std::string who;
    for (const std::string &o : owners)
        who += (who.empty() ? "" : ", ") + o;
    const size_t n = left_out.size();
    return "left out " + std::to_string(n) + (n == 1 ? " agent" : " agents") + " of " +
           (owners.size() == 1 ? "user " : "users ") + who + " (not a trusted owner); " + how +
           " " + word_for_owner(s, owners.front()) + " includes " + owners.front() + "'s";
}

std::string other_owner_text(const AgentSelector &s, const std::vector<AgentView *> &left_out,
                             const char *how) {
    std::string text = "only another user's agent matches '" + printable(s.word) + "': ";
    for (size_t i = 0; i < left_out.size(); ++i)
        text += (i ? ", " : "") + describe_with_owner(*left_out[i]);
    AgentView &first = *left_out.front();
    return text + "; " + how + " " + word_for_owner(s, owner_text(first)) + " reaches " +
           (left_out.size() == 1 ? "it" : "them");
}

} // namespace cliserver
