// Probes of the test process for the fault and resource tests: how many
// descriptors it holds, how much memory is resident, whether a sanitizer
// owns the allocator, whether one of its threads sits in read(2), and
// planted descriptors that reveal a stray close.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CLITEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CLITEST_SANITIZED 1
#endif
#endif
#ifndef CLITEST_SANITIZED
#define CLITEST_SANITIZED 0
#endif

namespace clitest {

// Open descriptors of this process, not counting the one used to list them.
inline int open_descriptor_count() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (const dirent *e = readdir(dir))
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n - 1;
}

// Resident set size in bytes.
inline long resident_bytes() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    long size = 0;
    long resident = -1;
    if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}

// True once thread tid of this process sits in read(2) within the time-out.
// A thread waiting for the peer puts nothing on the wire, so only the kernel
// can tell that it has got past its last write and is really blocked on the
// connection.
inline bool wait_until_blocked_in_read(pid_t tid, std::chrono::milliseconds timeout) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        long nr = -1;
        if (in >> nr && nr == SYS_read) return true;
        std::this_thread::yield();
    }
    return false;
}

// Descriptors opened on /dev/null while the agent opens and closes its own.
// A close of a number the agent no longer owns lands on one of them sooner
// or later: it is then closed, or names another file.
class Sentinels {
  public:
    Sentinels() = default;
    Sentinels(const Sentinels &) = delete;
    Sentinels &operator=(const Sentinels &) = delete;
    ~Sentinels() {
        for (const auto &s : planted_)
            if (intact(s)) ::close(s.fd);
    }

    void plant() {
        int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0) planted_.push_back({fd, st.st_dev, st.st_ino});
    }

    // Number of planted descriptors that no longer refer to /dev/null.
    int damaged() const {
        int n = 0;
        for (const auto &s : planted_)
            if (!intact(s)) ++n;
        return n;
    }
    size_t size() const { return planted_.size(); }

  private:
    struct Planted {
        int fd;
        dev_t dev;
        ino_t ino;
    };
    static bool intact(const Planted &s) {
        struct stat st {};
        return fstat(s.fd, &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino;
    }
    std::vector<Planted> planted_;
};

} // namespace clitest
