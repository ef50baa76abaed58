// The event loop, the byte stream, the peer pump, the listener and the
// frame decoder's memory, without the agent port: pipes, socket pairs, /dev/null and
// listeners of the test's own stand in for connections.
#include "core/byte_stream.h"
#include "core/event_loop.h"
#include "core/high_water.h"
#include "core/listener.h"
#include "core/output_queue.h"
#include "core/peer_pump.h"
#include "wire/agent_frames.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
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

// Two connected non-blocking stream sockets: [0] for the stream under
// test, [1] for the peer.
struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    }
    ~SocketPair() {
        if (fds[1] >= 0) close(fds[1]);
    }
    cli_shared::UniqueFd take() {
        cli_shared::UniqueFd fd(fds[0]);
        fds[0] = -1;
        return fd;
    }
    void close_peer() {
        close(fds[1]);
        fds[1] = -1;
    }
};

// Reads what the peer has within a time-out.
std::string read_peer(int fd, size_t want) {
    std::string got;
    char buf[65536];
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// A listener on an ephemeral loopback port.
cli_shared::UniqueFd loopback_listener(uint16_t *port) {
    cli_shared::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd.get(), 16) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return {};
    *port = ntohs(addr.sin_port);
    return fd;
}

cli_shared::UniqueFd connect_to(uint16_t port) {
    cli_shared::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return {};
    return fd;
}

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
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kMessage);
    EXPECT_EQ(f.payload.size(), 60000u);
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kNeedMore);
    EXPECT_TRUE(d.partial());
    d.append(both.data() + both.size() - 3, 3);
    ASSERT_EQ(d.next(f, nullptr), DecodeResult::kMessage);
    EXPECT_EQ(f.type, CLI_FRAME_DONE);
    EXPECT_FALSE(d.partial());
    EXPECT_EQ(d.capacity(), std::string().capacity()); // nothing held while idle
}

TEST(ByteStream, QueuesWhatTheSocketDoesNotTakeAndGivesTheMemoryBack) {
    EventLoop loop;
    SocketPair sp;
    ByteStream stream(sp.take());
    int writable = 0;
    stream.watch(loop, true, [&](uint32_t ev) {
        if (ev & EPOLLOUT) {
            ++writable;
            ASSERT_TRUE(stream.write_available());
        }
    });
    const std::string big(8u << 20, 'q'); // more than a socket buffer holds
    stream.queue(big);
    ASSERT_TRUE(stream.write_available());
    ASSERT_GT(stream.pending(), 0u);
    EXPECT_LT(stream.pending(), big.size());
    // The peer takes what has arrived, then the loop writes more; neither
    // waits for the other.
    std::string got;
    char buf[65536];
    for (int round = 0; round < 100000 && got.size() < big.size(); ++round) {
        for (ssize_t n; (n = read(sp.fds[1], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        ASSERT_TRUE(loop.run_once(false));
    }
    EXPECT_EQ(got, big);
    EXPECT_GT(writable, 0);
    EXPECT_EQ(stream.pending(), 0u);
    stream.queue("x"); // the queue starts again from nothing
    ASSERT_TRUE(stream.write_available());
    EXPECT_EQ(read_peer(sp.fds[1], 1), "x");
}

// send() writes at once from the caller's bytes while nothing waits, and
// queues only what the socket leaves; bytes sent while some wait go behind
// them, untried, so the order holds and EPOLLOUT writes the rest.
TEST(ByteStream, SendsAtOnceAndQueuesOnlyWhatTheSocketLeaves) {
    EventLoop loop;
    SocketPair sp;
    ByteStream stream(sp.take());
    int writable = 0;
    stream.watch(loop, true, [&](uint32_t ev) {
        if (ev & EPOLLOUT) {
            ++writable;
            ASSERT_TRUE(stream.write_available());
        }
    });
    ASSERT_TRUE(stream.send("first"));
    EXPECT_EQ(stream.pending(), 0u);
    EXPECT_EQ(read_peer(sp.fds[1], 5), "first"); // no loop iteration needed
    const std::string big(8u << 20, 'q');        // more than a socket buffer holds
    ASSERT_TRUE(stream.send(big));
    const size_t left = stream.pending();
    ASSERT_GT(left, 0u);
    ASSERT_TRUE(stream.send("tail"));
    EXPECT_EQ(stream.pending(), left + 4);
    std::string got;
    char buf[65536];
    for (int round = 0; round < 100000 && got.size() < big.size() + 4; ++round) {
        for (ssize_t n; (n = read(sp.fds[1], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        ASSERT_TRUE(loop.run_once(false));
    }
    EXPECT_EQ(got, big + "tail");
    EXPECT_GT(writable, 0);
    EXPECT_EQ(stream.pending(), 0u);
    sp.close_peer();
    EXPECT_FALSE(stream.send("to nobody"));
    EXPECT_EQ(stream.error(), EPIPE);
}

// A stream closed with close_forgetting() leaves the loop without an
// epoll_ctl of its own; a connection that gets its number is watched anew
// and only its own handler hears of it.
TEST(ByteStream, ClosingForgetsTheDescriptorAndItsNumberIsWatchedAnew) {
    EventLoop loop;
    SocketPair first;
    ByteStream old_stream(first.take());
    const int number = old_stream.fd();
    int old_events = 0, new_events = 0;
    old_stream.watch(loop, true, [&](uint32_t) { ++old_events; });
    old_stream.close_forgetting();
    EXPECT_FALSE(old_stream.valid());
    SocketPair second;
    ByteStream new_stream(second.take());
    ASSERT_EQ(new_stream.fd(), number); // the lowest free number comes back
    new_stream.watch(loop, true, [&](uint32_t ev) {
        if (ev & EPOLLIN) ++new_events;
    });
    ASSERT_EQ(write(second.fds[1], "x", 1), 1);
    for (int i = 0; i < 100 && new_events == 0; ++i)
        ASSERT_TRUE(loop.run_once(false));
    EXPECT_EQ(new_events, 1);
    EXPECT_EQ(old_events, 0);
}

// A crossing of the mark is reported once, either way, also when the queue
// is back on the other side before its owner asks (the producer it paused
// waits for the word).
TEST(HighWaterEdges, EveryCrossingIsReportedOnceAlsoWhenUndoneBeforeTheReport) {
    struct Case {
        const char *what;
        std::vector<size_t> sizes; // the queue's, before the owner asks
        bool over;
        bool edge;
    };
    const Case cases[] = {
        {"below the mark", {0, 5, 9}, false, false},
        {"over it", {5, 10}, true, true},
        {"over and drained again", {12, 3}, false, true},
        {"over, drained and over again", {12, 0, 15}, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HighWaterEdges e(10);
        for (size_t n : c.sizes)
            e.update(n);
        EXPECT_EQ(e.over(), c.over);
        EXPECT_EQ(e.take(), c.edge);
        EXPECT_FALSE(e.take()) << "reported twice";
        e.update(c.over ? 11 : 0); // on the same side
        EXPECT_FALSE(e.take());
    }
}

// Both queues keep the edge of output that crosses the mark and is written
// out within one loop iteration.
TEST(HighWaterEdges, QueuesKeepACrossingDrainedWithinOneIteration) {
    FILE *file = tmpfile(); // a regular file takes everything at once
    ASSERT_NE(file, nullptr);
    {
        OutputQueue out(fileno(file));
        out.append(std::string(OutputQueue::kHighWater, 'o'));
        EXPECT_TRUE(out.over_high_water());
        out.write_available();
        EXPECT_TRUE(out.empty());
        EXPECT_FALSE(out.over_high_water());
        EXPECT_TRUE(out.take_congestion_edge());
        EXPECT_FALSE(out.take_congestion_edge());
    }
    fclose(file);

    SocketPair sp;
    ByteStream stream(sp.take(), 100);
    stream.queue(std::string(150, 's'));
    EXPECT_TRUE(stream.over_high_water());
    ASSERT_TRUE(stream.write_available());
    EXPECT_EQ(stream.pending(), 0u);
    EXPECT_FALSE(stream.over_high_water());
    EXPECT_TRUE(stream.take_congestion_edge());
    EXPECT_FALSE(stream.take_congestion_edge());
    EXPECT_EQ(read_peer(sp.fds[1], 150).size(), 150u);
}

TEST(ByteStream, ReadsInChunksAndReportsTheEndOrAStop) {
    SocketPair sp;
    ByteStream stream(sp.take());
    std::string got;
    auto sink = [&](const char *data, size_t n) {
        got.append(data, n);
        return true;
    };
    EXPECT_EQ(stream.read_available(4, sink), ByteStream::ReadEnd::kDrained);
    ASSERT_EQ(write(sp.fds[1], "hello", 5), 5);
    EXPECT_EQ(stream.read_available(4, sink), ByteStream::ReadEnd::kDrained);
    EXPECT_EQ(got, "hello");
    // The owner may stop the loop: the rest waits for the next call.
    ASSERT_EQ(write(sp.fds[1], "more", 4), 4);
    EXPECT_EQ(stream.read_available(4, [](const char *, size_t) { return false; }),
              ByteStream::ReadEnd::kStopped);
    sp.close_peer();
    EXPECT_EQ(stream.read_available(4, sink), ByteStream::ReadEnd::kClosed);
}

TEST(ByteStream, AFailedWriteReportsItsError) {
    SocketPair sp;
    ByteStream stream(sp.take());
    sp.close_peer();
    stream.queue("to nobody");
    EXPECT_FALSE(stream.write_available());
    EXPECT_EQ(stream.error(), EPIPE);
}

// Interest follows the owner's wish to read and whether bytes wait: a
// stream that stops reading under backpressure hears nothing of its input.
TEST(ByteStream, StopsReadingWhenToldAndResumes) {
    EventLoop loop;
    SocketPair sp;
    ByteStream stream(sp.take());
    std::string got;
    stream.watch(loop, false, [&](uint32_t ev) {
        if (ev & EPOLLIN)
            stream.read_available(1, [&](const char *data, size_t n) {
                got.append(data, n);
                return true;
            });
    });
    ASSERT_EQ(write(sp.fds[1], "abc", 3), 3);
    ASSERT_TRUE(loop.run_once(false));
    EXPECT_EQ(got, "");
    stream.set_reading(true);
    ASSERT_TRUE(run_until(loop, [&] { return got == "abc"; }));
    stream.set_reading(false);
    ASSERT_EQ(write(sp.fds[1], "d", 1), 1);
    ASSERT_TRUE(loop.run_once(false));
    EXPECT_EQ(got, "abc");
}

TEST(Listener, AcceptsWhatWaitsAndNothingMore) {
    EventLoop loop;
    uint16_t port = 0;
    cli_shared::UniqueFd fd = loopback_listener(&port);
    ASSERT_TRUE(fd.valid());
    Listener listener(loop);
    std::vector<cli_shared::UniqueFd> accepted;
    listener.start(std::move(fd), [&] {
        for (auto c = listener.accept(nullptr); c.valid(); c = listener.accept(nullptr))
            accepted.push_back(std::move(c));
    });
    cli_shared::UniqueFd a = connect_to(port), b = connect_to(port);
    ASSERT_TRUE(a.valid() && b.valid());
    ASSERT_TRUE(run_until(loop, [&] { return accepted.size() == 2; }));
    EXPECT_TRUE(fcntl(accepted[0].get(), F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(listener.accept(nullptr).valid()); // none waits: no blocking
}

// Out of descriptors, accept fails at once for every connection waiting:
// the listener says so once, pauses, and takes the connection after the
// pause once a descriptor is free. In a child, whose limit is lowered.
TEST(Listener, PausesWhenOutOfDescriptorsAndRetriesLater) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        EventLoop loop;
        uint16_t port = 0;
        Listener listener(loop);
        listener.start(loopback_listener(&port), [] {});
        cli_shared::UniqueFd peer = connect_to(port);
        const rlimit lim{64, 64};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(2);
        std::vector<int> filler;
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            filler.push_back(fd);
        if (filler.empty()) _exit(3);
        int shorts = 0, err = 0;
        auto on_short = [&](int e) {
            ++shorts;
            err = e;
        };
        const bool refused = !listener.accept(on_short).valid() && listener.paused();
        (void)listener.accept(on_short); // already paused: not said again
        close(filler.back());
        const auto paused_at = EventLoop::clock::now();
        run_until(
            loop, [&] { return !listener.paused(); }, 100);
        const bool waited = EventLoop::clock::now() - paused_at >= Listener::kPause - 50ms;
        const bool taken = listener.accept(on_short).valid();
        _exit(refused && shorts == 1 && err == EMFILE && waited && taken ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---------------------------------------------------------------- the peer pump

namespace {

// Lines ending in a newline; a line that starts with '!' breaks the
// protocol, found at its first byte as the real decoders find a bad header.
// Every decoder alive is known, so a pump that uses one its owner destroyed
// fails the test even without a sanitizer.
class LineDecoder {
  public:
    using message_type = std::string;
    LineDecoder() { live().insert(this); }
    ~LineDecoder() { live().erase(this); }
    LineDecoder(const LineDecoder &) = delete;
    LineDecoder &operator=(const LineDecoder &) = delete;

    void append(const char *data, size_t n) {
        if (alive()) buf_.append(data, n);
    }
    Decoded next(std::string &out, std::string *why) {
        if (!alive() || buf_.empty()) return Decoded::kNeedMore;
        if (buf_[0] == '!') {
            *why = "a line starting with !";
            return Decoded::kMalformed;
        }
        const size_t nl = buf_.find('\n');
        if (nl == std::string::npos) return Decoded::kNeedMore;
        out = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return Decoded::kMessage;
    }
    size_t buffered() const { return alive() ? buf_.size() : 0; }

  private:
    static std::set<const LineDecoder *> &live() {
        static std::set<const LineDecoder *> decoders;
        return decoders;
    }
    bool alive() const {
        if (live().count(this)) return true;
        ADD_FAILURE() << "the pump used a decoder its owner had destroyed";
        return false;
    }
    std::string buf_;
};

struct Connection {
    explicit Connection(cli_shared::UniqueFd fd) : stream(std::move(fd)) {}
    ByteStream stream;
    LineDecoder decoder;
};

// The pump's owner: notes what it is handed and may stop the pump, or
// destroy the connection, from inside either call.
struct Recorder {
    std::vector<std::string> got;
    std::vector<PeerEnd> ends;
    size_t stop_after = SIZE_MAX; // messages taken before it says stop
    std::function<void()> on_message, on_end;

    bool dispatch(const std::string &m) {
        got.push_back(m);
        if (on_message) on_message();
        return got.size() < stop_after;
    }
    void end(const PeerEnd &e) {
        ends.push_back(e);
        if (on_end) on_end();
    }
};

struct PumpTest : ::testing::Test {
    SocketPair sp;
    std::unique_ptr<Connection> conn = std::make_unique<Connection>(sp.take());
    Recorder owner;

    void say(std::string_view bytes) {
        ASSERT_EQ(write(sp.fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ByteStream::ReadEnd pump(int rounds = 4) {
        return PeerPump(conn->decoder).read(conn->stream, rounds, owner);
    }
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(PumpTest, JoinsAMessageSplitAcrossReadsAndSplitsOneReadIntoItsMessages) {
    say("hel");
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kDrained);
    EXPECT_TRUE(owner.got.empty());
    say("lo\nwor");
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kDrained);
    EXPECT_EQ(owner.got, Strings{"hello"});
    say("ld\none\ntwo\nthree\n");
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kDrained);
    EXPECT_EQ(owner.got, (Strings{"hello", "world", "one", "two", "three"}));
    EXPECT_TRUE(owner.ends.empty());
}

TEST_F(PumpTest, TellsTheOwnerOnceWhetherThePeerClosedInTheMiddleOfAMessage) {
    say("whole\nhal");
    sp.close_peer();
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kDrained); // a short read took all there was
    EXPECT_TRUE(owner.ends.empty());
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kClosed);
    EXPECT_EQ(owner.got, Strings{"whole"});
    ASSERT_EQ(owner.ends.size(), 1u);
    EXPECT_EQ(owner.ends[0].kind, PeerEnd::Kind::kClosed);
    EXPECT_TRUE(owner.ends[0].mid_message);

    SocketPair clean;
    Connection c(clean.take());
    Recorder r;
    clean.close_peer();
    EXPECT_EQ(PeerPump(c.decoder).read(c.stream, 4, r), ByteStream::ReadEnd::kClosed);
    ASSERT_EQ(r.ends.size(), 1u);
    EXPECT_FALSE(r.ends[0].mid_message);
}

// What came before the violation is handled in order; nothing after it is.
TEST_F(PumpTest, AViolationEndsThePeerAndNothingAfterItIsHandled) {
    say("ok\n!bad\nnever\n");
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kStopped);
    EXPECT_EQ(owner.got, Strings{"ok"});
    ASSERT_EQ(owner.ends.size(), 1u);
    EXPECT_EQ(owner.ends[0].kind, PeerEnd::Kind::kViolation);
    EXPECT_EQ(owner.ends[0].violation, "a line starting with !");
}

// An owner that cannot take more (its output is congested) stops the pump;
// what was read waits in the decoder, and nothing more is read, until it
// drains again.
TEST_F(PumpTest, AnOwnerThatSaysStopGetsTheRestWhenItDrainsAgain) {
    owner.stop_after = 1;
    say("a\nb\nc\n");
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kStopped);
    EXPECT_EQ(owner.got, Strings{"a"});
    say("d\n");
    owner.stop_after = SIZE_MAX;
    EXPECT_TRUE(PeerPump(conn->decoder).drain(owner));
    EXPECT_EQ(owner.got, (Strings{"a", "b", "c"}));
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kDrained);
    EXPECT_EQ(owner.got, (Strings{"a", "b", "c", "d"}));
}

// A dispatch or an end that closes the peer may free its connection: the
// pump touches neither the decoder nor the stream after it.
TEST_F(PumpTest, AnOwnerMayDestroyTheConnectionFromInsideEitherCall) {
    owner.stop_after = 1;
    owner.on_message = [&] { conn.reset(); };
    say("last\nunread\n");
    EXPECT_EQ(pump(), ByteStream::ReadEnd::kStopped);
    EXPECT_EQ(owner.got, Strings{"last"});

    for (const char *bytes : {"!bad", "half"}) {
        SocketPair sp2;
        auto c = std::make_unique<Connection>(sp2.take());
        Recorder r;
        r.on_end = [&] { c.reset(); };
        ASSERT_EQ(write(sp2.fds[1], bytes, 4), 4);
        sp2.close_peer();
        for (int call = 0; call < 2 && c; ++call)
            PeerPump(c->decoder).read(c->stream, 4, r);
        EXPECT_EQ(r.ends.size(), 1u) << bytes;
        EXPECT_FALSE(c);
    }
}

// A peer that floods is read at most rounds x kReadChunk bytes a call.
TEST_F(PumpTest, ReadsNoMoreThanItsRoundsAtOnce) {
    const std::string flood(ByteStream::kReadChunk + 1000, 'x');
    say(flood);
    EXPECT_EQ(pump(1), ByteStream::ReadEnd::kStopped);
    EXPECT_EQ(conn->decoder.buffered(), ByteStream::kReadChunk);
    EXPECT_EQ(pump(1), ByteStream::ReadEnd::kDrained);
    EXPECT_EQ(conn->decoder.buffered(), flood.size());
    EXPECT_TRUE(owner.got.empty());
}
