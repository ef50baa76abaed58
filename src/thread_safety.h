// Clang thread-safety annotations and the mutex the library locks with.
// Under clang with -Wthread-safety the compiler checks that every guarded
// field is touched only with its lock held; other compilers see plain code.
#pragma once

#include <pthread.h>
#include <time.h>

#if defined(__clang__)
#define CLI_TSA(x) __attribute__((x))
#else
#define CLI_TSA(x)
#endif

#define CAPABILITY(x) CLI_TSA(capability(x))
#define SCOPED_CAPABILITY CLI_TSA(scoped_lockable)
#define GUARDED_BY(x) CLI_TSA(guarded_by(x))
#define REQUIRES(...) CLI_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) CLI_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) CLI_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CLI_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) CLI_TSA(try_acquire_capability(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) CLI_TSA(acquired_before(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS CLI_TSA(no_thread_safety_analysis)

namespace cli_internal {

// A default pthread mutex with annotations. It can be put back to its
// initial state in a forked child, where a thread that no longer exists may
// have held it at the moment of the fork.
class CAPABILITY("mutex") annotated_mutex {
  public:
    constexpr annotated_mutex() = default;
    annotated_mutex(const annotated_mutex &) = delete;
    annotated_mutex &operator=(const annotated_mutex &) = delete;

    void lock() ACQUIRE() { (void)pthread_mutex_lock(&mu_); }
    void unlock() RELEASE() { (void)pthread_mutex_unlock(&mu_); }
    bool try_lock() TRY_ACQUIRE(true) { return pthread_mutex_trylock(&mu_) == 0; }
    // Waits for the lock until deadline on CLOCK_MONOTONIC at the latest.
    // It polls rather than calling pthread_mutex_clocklock, which the
    // thread sanitizer's runtime does not intercept (it then reports every
    // later unlock as one of an unlocked mutex), or pthread_mutex_timedlock,
    // whose CLOCK_REALTIME deadline moves when the clock is set. Only the
    // shutdown path waits here, for at most a few tens of milliseconds.
    bool try_lock_until(const timespec &deadline) TRY_ACQUIRE(true) {
        constexpr long kPollNs = 1000 * 1000;
        for (;;) {
            if (pthread_mutex_trylock(&mu_) == 0) return true;
            timespec now{};
            (void)clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > deadline.tv_sec ||
                (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
                return false;
            const timespec pause{0, kPollNs};
            (void)nanosleep(&pause, nullptr);
        }
    }

    // Only in a forked child, which has a single thread.
    void reset_after_fork() NO_THREAD_SAFETY_ANALYSIS { mu_ = PTHREAD_MUTEX_INITIALIZER; }

  private:
    pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
};

class SCOPED_CAPABILITY mutex_guard {
  public:
    explicit mutex_guard(annotated_mutex &mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
    ~mutex_guard() RELEASE() { mu_.unlock(); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;

  private:
    annotated_mutex &mu_;
};

} // namespace cli_internal
