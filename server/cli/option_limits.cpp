// The values of the options that bound things in time or size: a script's
// --timeout, and what the resident server holds for its users' clients.
#include "cli/option_limits.h"

#include "cli_common.h"

namespace cliserver {

namespace {

constexpr uint32_t kMaxTimeoutSeconds = 24 * 3600;

} // namespace

bool set_timeout(Options &opts, const char *value, std::string *error) {
    uint32_t v = 0;
    if (cli_parse_u32(value, &v) == 0 && v >= 1 && v <= kMaxTimeoutSeconds) {
        opts.timeout_seconds = v;
        return true;
    }
    *error = std::string("invalid --timeout '") + value + "' (expected seconds, 1 to 86400)";
    return false;
}

// A count of clients (1 to 65536) or a size in MiB (1 to 4096).
static bool parse_bound(const char *name, const char *value, uint32_t max, uint32_t &out,
                        std::string *error) {
    uint32_t v = 0;
    if (cli_parse_u32(value, &v) == 0 && v >= 1 && v <= max) {
        out = v;
        return true;
    }
    *error = std::string("invalid ") + name + " '" + value + "' (expected 1 to " +
             std::to_string(max) + ")";
    return false;
}

bool set_max_clients(Options &opts, const char *value, std::string *error) {
    opts.bounds_given = true;
    return parse_bound("--max-clients", value, 65536, opts.resident.bounds.clients_per_user, error);
}

bool set_max_clients_total(Options &opts, const char *value, std::string *error) {
    opts.bounds_given = true;
    return parse_bound("--max-clients-total", value, 65536, opts.resident.bounds.clients_total,
                       error);
}

// A bound given in MiB, held in bytes.
static bool parse_mib_bound(const char *name, const char *value, size_t &bytes,
                            std::string *error) {
    uint32_t mib = 0;
    if (!parse_bound(name, value, 4096, mib, error)) return false;
    bytes = size_t{mib} << 20;
    return true;
}

bool set_max_queued(Options &opts, const char *value, std::string *error) {
    opts.bounds_given = true;
    return parse_mib_bound("--max-queued", value, opts.resident.bounds.queued_per_user, error);
}

bool set_max_queued_total(Options &opts, const char *value, std::string *error) {
    opts.bounds_given = true;
    return parse_mib_bound("--max-queued-total", value, opts.resident.bounds.queued_total, error);
}

} // namespace cliserver
