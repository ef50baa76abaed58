#include "daemon/metrics_file.h"

#include "daemon/journal.h"
#include "daemon/own_file.h"
#include "daemon/server_metrics.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cliserver {

namespace {

constexpr int kNameAttempts = 8;

// PATH's directory and ".NAME." to start the temporary file's name with.
std::string temporary_prefix(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "." + path + ".";
    return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".";
}

// 16 random hexadecimal digits, from the kernel's generator.
std::string unguessable_suffix() {
    unsigned char bytes[8] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t w = ::write(fd, text.data(), text.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(w));
    }
    return true;
}

} // namespace

bool write_file_atomically(const std::string &path, std::string_view text, std::string *error,
                           FileIdentity *written) {
    if (auto why = not_a_regular_file(path)) {
        *error = *why;
        return false;
    }
    std::string temp;
    cli_shared::UniqueFd fd;
    for (int i = 0; i < kNameAttempts && !fd.valid(); ++i) {
        temp = temporary_prefix(path) + unguessable_suffix();
        fd.reset(::open(temp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644));
        if (!fd.valid() && errno != EEXIST) break;
    }
    if (!fd.valid()) {
        *error = path + ": cannot create a file beside it: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    // The umask (the unit's is 0077) would keep the collector out.
    const bool ok =
        fchmod(fd.get(), 0644) == 0 && write_all(fd.get(), text) && fstat(fd.get(), &st) == 0;
    const int err = errno;
    fd.reset();
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(ok ? errno : err);
        ::unlink(temp.c_str());
        return false;
    }
    if (written) *written = {st.st_dev, st.st_ino};
    return true;
}

MetricsFile::MetricsFile(EventLoop &loop, const ServerMetrics &metrics, std::string path,
                         std::chrono::seconds interval, std::function<void()> on_failure)
    : loop_(loop), metrics_(metrics), path_(std::move(path)), interval_(interval),
      on_failure_(std::move(on_failure)) {}

MetricsFile::~MetricsFile() {
    stop();
}

void MetricsFile::start() {
    write_now();
}

void MetricsFile::write_now() {
    timer_ = loop_.add_timer(EventLoop::clock::now() + interval_, [this] {
        timer_ = 0;
        write_now();
    });
    std::string error;
    FileIdentity id;
    if (write_file_atomically(path_, metrics_.text(), &error, &id)) {
        written_ = id;
        return;
    }
    if (on_failure_) on_failure_();
    journal(Priority::kWarning, "cannot write the metrics file " + error);
}

void MetricsFile::stop() {
    if (timer_) loop_.cancel_timer(timer_);
    timer_ = 0;
    if (!written_) return;
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == written_->dev && st.st_ino == written_->ino)
        ::unlink(path_.c_str());
    written_.reset();
}

} // namespace cliserver
