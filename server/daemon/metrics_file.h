// --metrics-file PATH: the metrics text (metrics.h) written to PATH when
// the daemon starts and every --metrics-interval seconds, for the node
// exporter's textfile collector, and removed when the daemon stops, so a
// stopped daemon is not reported as alive (the age of the file, which the
// node exporter reports as node_textfile_mtime_seconds, tells a hung one).
//
// Each write is atomic: the text goes to a new file in PATH's directory
// under a name nobody can guess, created with O_CREAT|O_EXCL|O_NOFOLLOW
// (the directory may belong to another account, whose links must not
// redirect the write), mode 0644, then renamed over PATH, so a reader sees
// the old file or the new one, never part of one. The name starts with a
// dot and does not end in .prom, so the collector never reads it. A symbolic
// link or anything but a regular file at PATH is refused, as the audit log
// refuses one. A write that fails is journalled (once per interval) and
// counted in the metrics, and never stops the daemon.
//
// Threading: single-threaded, on the daemon's event loop; the writes are
// to a local file and block only as long as the file system does.
#pragma once

#include "core/event_loop.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace cliserver {

class ServerMetrics;

// Writes text to path as described above; on failure returns false with
// *error saying why ("PATH: reason"). *written: the file's device and inode.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
};
bool write_file_atomically(const std::string &path, std::string_view text, std::string *error,
                           FileIdentity *written = nullptr);

class MetricsFile {
  public:
    static constexpr uint32_t kDefaultIntervalSeconds = 15;

    MetricsFile(EventLoop &loop, const ServerMetrics &metrics, std::string path,
                std::chrono::seconds interval, std::function<void()> on_failure);
    ~MetricsFile();
    MetricsFile(const MetricsFile &) = delete;
    MetricsFile &operator=(const MetricsFile &) = delete;

    // Writes now and every interval.
    void start();
    // No more writes; the file is removed if it is still the one written last.
    void stop();

  private:
    void write_now();

    EventLoop &loop_;
    const ServerMetrics &metrics_;
    std::string path_;
    std::chrono::seconds interval_;
    std::function<void()> on_failure_;
    EventLoop::TimerId timer_ = 0;
    std::optional<FileIdentity> written_;
};

} // namespace cliserver
