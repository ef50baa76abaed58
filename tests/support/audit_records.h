// The audit log as its readers take it: a file of JSON lines, one record a
// line, read back with a JSON library of its own (never the server's
// writer). Only whole lines count: a record the daemon is still writing is
// not one yet. Header-only, so the unit tests of the log use it too.
#pragma once

#include "deadline_io.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace clitest {

// The whole text of the log at path; empty when there is none.
inline std::string audit_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The records of the log at path, in order. A line that is not JSON is
// kept as a discarded value (is_discarded()), for the test to report.
inline std::vector<nlohmann::json> audit_records(const std::string &path) {
    const std::string text = audit_text(path);
    std::vector<nlohmann::json> records;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        records.push_back(nlohmann::json::parse(text.substr(at, nl - at), nullptr, false));
    return records;
}

// Waits until the log at path holds at least n records: they, or nullopt
// when the deadline passes first. Polls: a file has nothing to wait on.
inline std::optional<std::vector<nlohmann::json>>
audit_records_when(const std::string &path, size_t n,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto records = audit_records(path);
        if (records.size() >= n) return records;
        if (remaining_ms(deadline) == 0) return std::nullopt;
        poll(nullptr, 0, 10);
    }
}

// The records of one event ("sent" or "end"), in order.
inline std::vector<nlohmann::json> audit_records_of(const std::string &path,
                                                    const std::string &event) {
    std::vector<nlohmann::json> chosen;
    for (nlohmann::json &r : audit_records(path))
        if (r.is_object() && r.value("event", "") == event) chosen.push_back(std::move(r));
    return chosen;
}

} // namespace clitest
