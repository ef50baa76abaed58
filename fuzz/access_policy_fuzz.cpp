// An access policy file of arbitrary bytes, then a command line: parsing
// never fails but with a line number inside the file, rules keep the order
// of their lines, and a decision names a rule that matches client and agent
// (a line with a NUL byte is never allowed).
//
// Input: the policy's text, a 0xff byte, the command line.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "daemon/access_policy.h"

using namespace cliserver;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

AgentView agent(const char *name, uid_t owner) {
    AgentView a;
    a.name = name;
    a.uid = owner;
    a.id = 7;
    a.greeted = true;
    return a;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t cut = input.find('\xff');
    const std::string_view text = input.substr(0, cut);
    const std::string line(cut == std::string_view::npos ? std::string_view()
                                                         : input.substr(cut + 1));

    PolicyError error;
    const auto policy = AccessPolicy::parse(text, &error);
    const auto lines = static_cast<unsigned>(std::count(text.begin(), text.end(), '\n') + 1);
    if (!policy) {
        check(error.line <= lines && !error.what.empty());
        return 0;
    }
    unsigned previous = 0;
    for (const PolicyRule &rule : policy->rules()) {
        check(rule.line > previous && rule.line <= lines);
        previous = rule.line;
        check(!describe_rule(rule).empty());
    }
    PeerCred client;
    client.uid = 1000;
    client.gid = 100;
    client.groups = {100, 4242};
    for (const AgentView &a : {agent("db-1", 0), agent("web", 1000), agent("", 33)}) {
        const auto rule = policy->allows(client, a, line);
        if (!rule) continue;
        check(line.find('\0') == std::string::npos);
        check(policy->covers(client, a));
        check(std::any_of(policy->rules().begin(), policy->rules().end(),
                          [&](const PolicyRule &r) { return r.line == *rule; }));
    }
    return 0;
}
