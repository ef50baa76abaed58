// The fixed text of --help around the option table's lines.
#pragma once

#include <string>

namespace cliserver {

const char *usage_head();  // the synopsis and what cli-server is
const char *usage_modes(); // the commands and modes, before the daemon's options
std::string exit_status_text();

} // namespace cliserver
