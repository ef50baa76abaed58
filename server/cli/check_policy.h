// cli-server --check-policy FILE: an administrator's check of an access
// policy before the resident server reads it (SIGHUP). Alone it prints each
// rule as understood, or the file's first error (exit 1). With --as USER,
// --agent SEL and -c LINE it says whether USER would be allowed each LINE on
// that agent, and by which rule (exit 0 when all are, 3 when some are not).
// USER's groups come from the group database, which the resident server
// does not use (it decides by the groups the client's connection carries):
// the output says so.
//
// Threading: start-up only.
#pragma once

#include "cli/options.h"

namespace cliserver {

int run_check_policy(const Options &opts);

} // namespace cliserver
