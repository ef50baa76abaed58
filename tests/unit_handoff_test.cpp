// The hand-off to a host's event loop (cli_agent_loop.h, cli::loop): the
// test's own thread is the loop, so it decides exactly when the loop is
// busy (it does not dispatch) and when it serves. A withdrawn job must never
// run: its argument is freed as soon as the call returns, which ASan reports
// should the loop touch it later.
#include "cli_agent.hpp"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr int kWaitMs = 5000; // every wait for the other side is bounded by this

// True when the hand-off's descriptor turns readable: a call is queued.
bool queued(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kWaitMs) == 1 && (p.revents & POLLIN) != 0;
}

struct Counter {
    int runs = 0; // loop-owned: touched only on the loop's thread
};

void count_run(void *arg) {
    ++static_cast<Counter *>(arg)->runs;
}

class Handoff : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(cli_handoff_open(&h_), 0); }
    void TearDown() override { cli_handoff_destroy(&h_); }
    cli_handoff h_{};
};

// The loop stays busy past the time-out: the call returns TIMED_OUT, frees
// what the job pointed to, and the loop's next dispatch finds nothing.
TEST_F(Handoff, AJobNotPickedUpInTimeIsWithdrawnAndNeverRuns) {
    auto caller = std::async(std::launch::async, [this] {
        auto *counter = new Counter;
        int rc = cli_handoff_call(&h_, count_run, counter, 20);
        delete counter;
        return rc;
    });
    ASSERT_EQ(caller.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(caller.get(), CLI_HANDOFF_TIMED_OUT);
    cli_handoff_dispatch(&h_); // would touch the freed counter if the job were still queued

    Counter counter;
    auto again = std::async(std::launch::async,
                            [&] { return cli_handoff_call(&h_, count_run, &counter, kWaitMs); });
    ASSERT_TRUE(queued(cli_handoff_fd(&h_)));
    cli_handoff_dispatch(&h_);
    EXPECT_EQ(again.get(), CLI_HANDOFF_DONE);
    EXPECT_EQ(counter.runs, 1);
}

// Picked up before the time-out, the job runs on past it: the call waits
// for its end and has its result.
TEST_F(Handoff, AJobStartedBeforeTheTimeOutIsWaitedFor) {
    struct Job {
        std::shared_future<int> *caller;
        bool caller_waited = false;
        int result = 0;
    } job;
    std::shared_future<int> caller;
    job.caller = &caller;
    caller = std::async(std::launch::async, [&] {
                 return cli_handoff_call(
                     &h_,
                     [](void *p) {
                         auto &j = *static_cast<Job *>(p);
                         // Three times the caller's time-out: it must still wait.
                         j.caller_waited = j.caller->wait_for(150ms) == std::future_status::timeout;
                         j.result = 42;
                     },
                     &job, 50);
             }).share();
    ASSERT_TRUE(queued(cli_handoff_fd(&h_)));
    cli_handoff_dispatch(&h_);
    ASSERT_EQ(caller.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(caller.get(), CLI_HANDOFF_DONE);
    EXPECT_TRUE(job.caller_waited);
    EXPECT_EQ(job.result, 42);
}

// A close on the loop side fails a waiting call at once, and every later
// one, whatever their time-outs; reopen takes calls again.
TEST_F(Handoff, CloseFailsWaitingAndLaterCallsAtOnce) {
    Counter counter;
    const auto start = clock_type::now();
    auto waiting = std::async(std::launch::async,
                              [&] { return cli_handoff_call(&h_, count_run, &counter, 60000); });
    ASSERT_TRUE(queued(cli_handoff_fd(&h_)));
    EXPECT_EQ(cli_handoff_close(&h_), 1);
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), CLI_HANDOFF_CLOSED);

    auto later = std::async(std::launch::async,
                            [&] { return cli_handoff_call(&h_, count_run, &counter, 60000); });
    ASSERT_EQ(later.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(later.get(), CLI_HANDOFF_CLOSED);
    EXPECT_LT(clock_type::now() - start, 10s);
    cli_handoff_dispatch(&h_);
    EXPECT_EQ(counter.runs, 0);
    EXPECT_EQ(cli_handoff_close(&h_), 0);

    cli_handoff_reopen(&h_);
    auto reopened = std::async(std::launch::async,
                               [&] { return cli_handoff_call(&h_, count_run, &counter, kWaitMs); });
    ASSERT_TRUE(queued(cli_handoff_fd(&h_)));
    cli_handoff_dispatch(&h_);
    EXPECT_EQ(reopened.get(), CLI_HANDOFF_DONE);
    EXPECT_EQ(counter.runs, 1);
}

// On the loop's own thread a call runs the job at once (it would otherwise
// wait for itself); null arguments are refused.
TEST_F(Handoff, ACallOnTheLoopThreadRunsAtOnce) {
    Counter counter;
    EXPECT_EQ(cli_handoff_call(&h_, count_run, &counter, 0), CLI_HANDOFF_DONE);
    EXPECT_EQ(counter.runs, 1);
    EXPECT_EQ(cli_handoff_call(&h_, nullptr, &counter, 0), CLI_HANDOFF_INVALID);
    EXPECT_EQ(cli_handoff_call(nullptr, count_run, &counter, 0), CLI_HANDOFF_INVALID);
}

// Destroying the loop's side fails a waiting caller and returns once it has
// left the call.
TEST(HandoffDestroy, DestroyFailsAWaitingCallAndWaitsForItToLeave) {
    cli_handoff h{};
    ASSERT_EQ(cli_handoff_open(&h), 0);
    Counter counter;
    auto waiting = std::async(std::launch::async,
                              [&] { return cli_handoff_call(&h, count_run, &counter, 60000); });
    ASSERT_TRUE(queued(cli_handoff_fd(&h)));
    cli_handoff_destroy(&h);
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), CLI_HANDOFF_CLOSED);
    EXPECT_EQ(counter.runs, 0);
}

// Many callers against a serving loop, some with no time to spare: every
// call either ran once or never; the loop-owned counter is touched only on
// the loop's thread (ThreadSanitizer checks the hand-over).
TEST_F(Handoff, ManyCallersEachRunOnceOrNever) {
    constexpr int kThreads = 4, kCalls = 200;
    Counter counter;
    std::atomic<int> done{0}, timed_out{0}, left{kThreads};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const uint32_t timeout = (i + t) % 3 == 0 ? 0 : kWaitMs;
                int rc = cli_handoff_call(&h_, count_run, &counter, timeout);
                (rc == CLI_HANDOFF_DONE ? done : timed_out)++;
                EXPECT_TRUE(rc == CLI_HANDOFF_DONE || rc == CLI_HANDOFF_TIMED_OUT) << rc;
            }
            left--;
        });
    const auto deadline = clock_type::now() + 60s;
    while (left.load() > 0 && clock_type::now() < deadline) {
        pollfd p{cli_handoff_fd(&h_), POLLIN, 0};
        if (poll(&p, 1, 10) == 1) cli_handoff_dispatch(&h_);
    }
    for (auto &c : callers)
        c.join();
    cli_handoff_dispatch(&h_);
    EXPECT_EQ(done.load() + timed_out.load(), kThreads * kCalls);
    EXPECT_EQ(counter.runs, done.load());
}

// cli::loop: the callable's result comes back, a time-out is told apart
// from a close and carries no value, and an exception thrown on the loop's
// thread is thrown again from call().
TEST(CppLoop, CallReturnsTheResultOrSaysWhyItDidNotRun) {
    cli::loop loop;
    std::vector<int> owned{1, 2, 3}; // loop-owned

    auto sum = std::async(std::launch::async, [&] {
        return loop.call([&] { return owned[0] + owned[1] + owned[2]; }, 5s);
    });
    ASSERT_TRUE(queued(loop.fd()));
    loop.dispatch();
    auto got = sum.get();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, 6);

    auto late = std::async(std::launch::async,
                           [&] { return loop.call([&] { owned.push_back(4); }, 10ms); });
    auto late_result = late.get();
    EXPECT_TRUE(late_result.timed_out());
    EXPECT_FALSE(late_result);
    loop.dispatch();
    EXPECT_EQ(owned.size(), 3u);

    auto thrower = std::async(std::launch::async, [&] {
        return loop.call([]() -> int { throw std::runtime_error("on the loop"); }, 5s);
    });
    ASSERT_TRUE(queued(loop.fd()));
    loop.dispatch();
    EXPECT_THROW(thrower.get(), std::runtime_error);

    EXPECT_EQ(loop.call([&] { return owned.size(); }, 0s).value(), 3u); // on the loop's thread

    loop.close();
    auto closed = std::async(std::launch::async, [&] { return loop.call([] { return 1; }, 60s); });
    auto closed_result = closed.get();
    EXPECT_TRUE(closed_result.closed());
    EXPECT_THROW((void)closed_result.value(), std::bad_optional_access);
}

} // namespace
