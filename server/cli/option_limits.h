// Converters of the option table (options.cpp) for the options that bound
// things: each checks its value, stores it in opts, or says what is wrong.
#pragma once

#include "cli/options.h"

#include <cstdint>
#include <string>

namespace cliserver {

bool set_timeout(Options &opts, const char *value, std::string *error);
bool set_max_clients(Options &opts, const char *value, std::string *error);
bool set_max_clients_total(Options &opts, const char *value, std::string *error);
bool set_max_queued(Options &opts, const char *value, std::string *error);
bool set_max_queued_total(Options &opts, const char *value, std::string *error);

} // namespace cliserver
