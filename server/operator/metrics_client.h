// cli-server --metrics: a client of the resident server, like ls, that
// prints the server's metrics (Prometheus text, the same as its
// --metrics-file) to standard output and exits.
//
// Threading: the main thread, with an event loop of its own.
#pragma once

#include <string>
#include <vector>

namespace cliserver {

// 0 when the metrics were printed; 1 when there is no resident server
// (standalone: never one) or it could not be asked; 5 when standard
// output could not be written.
int print_metrics(const std::vector<std::string> &socket_paths, bool standalone);

} // namespace cliserver
