// The event loop and the frame decoder's memory, without the agent port:
// pipes and /dev/null stand in for connections.
#include "core/event_loop.h"
#include "wire/agent_frames.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace cliserver;
using namespace std::chrono_literals;

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        close(r);
        close(w);
    }
};

// Runs the loop until done() or a bound of iterations, never forever.
template <typename Done> bool run_until(EventLoop &loop, Done done, int bound = 1000) {
    for (int i = 0; i < bound && !done(); ++i)
        if (!loop.run_once()) return false;
    return done();
}

} // namespace

TEST(EventLoop, TimersFireInDeadlineOrderAndCancelledOnesNever) {
    EventLoop loop;
    ASSERT_TRUE(loop.valid());
    std::vector<int> fired;
    const auto now = EventLoop::clock::now();
    loop.add_timer(now + 30ms, [&] { fired.push_back(3); });
    loop.add_timer(now + 10ms, [&] { fired.push_back(1); });
    auto cancelled = loop.add_timer(now + 20ms, [&] { fired.push_back(2); });
    loop.add_timer(now, [&] { fired.push_back(0); });
    loop.cancel_timer(cancelled);
    ASSERT_TRUE(run_until(loop, [&] { return fired.size() == 3; }));
    EXPECT_EQ(fired, (std::vector<int>{0, 1, 3}));
    EXPECT_GE(EventLoop::clock::now() - now, 30ms);
}

TEST(EventLoop, ReportsOnlyWhatIsWantedAndStopsAfterUnwatch) {
    EventLoop loop;
    Pipe p;
    int reads = 0;
    loop.watch(p.r, 0, [&](uint32_t ev) {
        EXPECT_TRUE(ev & EPOLLIN);
        char c;
        while (read(p.r, &c, 1) == 1)
            ++reads;
    });
    ASSERT_EQ(write(p.w, "ab", 2), 2);
    // No interest: a non-blocking pass reports nothing although data waits.
    ASSERT_TRUE(loop.run_once(false));
    EXPECT_EQ(reads, 0);
    loop.set_interest(p.r, EPOLLIN);
    ASSERT_TRUE(run_until(loop, [&] { return reads == 2; }));
    loop.unwatch(p.r);
    ASSERT_EQ(write(p.w, "c", 1), 1);
    ASSERT_TRUE(loop.run_once(false));
    EXPECT_EQ(reads, 2);
}

// A regular file or /dev/null cannot be watched by epoll; it counts as
// always ready while wanted, so the loop must not sleep on it.
TEST(EventLoop, DescriptorsEpollRefusesAreAlwaysReady) {
    EventLoop loop;
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    int calls = 0;
    loop.watch(devnull, EPOLLIN, [&](uint32_t) { ++calls; });
    // Blocking with no timer at all: returns only because /dev/null is ready.
    ASSERT_TRUE(loop.run_once());
    EXPECT_EQ(calls, 1);
    loop.set_interest(devnull, 0);
    loop.add_timer(EventLoop::clock::now(), [] {});
    ASSERT_TRUE(loop.run_once());
    EXPECT_EQ(calls, 1);
    loop.unwatch(devnull);
    close(devnull);
}

TEST(FrameDecoderMemory, GivesItsBufferBackOnceDrained) {
    FrameDecoder d;
    const std::string big = encode_frame(CLI_FRAME_OUTPUT, 1, 2, std::string(60000, 'x'));
    const std::string small = encode_frame(CLI_FRAME_DONE, 1, 2);
    std::string both = big + small;
    d.append(both.data(), both.size() - 3); // the DONE frame is not complete
    Frame f;
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kFrame);
    EXPECT_EQ(f.payload.size(), 60000u);
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kNeedMore);
    EXPECT_TRUE(d.partial());
    d.append(both.data() + both.size() - 3, 3);
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kFrame);
    EXPECT_EQ(f.type, CLI_FRAME_DONE);
    EXPECT_FALSE(d.partial());
    EXPECT_EQ(d.capacity(), std::string().capacity()); // nothing held while idle
}
