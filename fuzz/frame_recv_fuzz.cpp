// Arbitrary bytes arrive as a stream, in pieces of an input-chosen size, and
// are received frame after frame; every frame must agree with the model and
// keep the receive record's guarantees.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "cli_common.h"
#include "wire_model.h"

using namespace fuzzmodel;

namespace {

// A writer that never blocks the reader: it runs on its own thread and ends
// the stream once everything is written, so the reader always sees EOF.
void feed(int fd, const uint8_t *data, size_t size, size_t piece) {
    while (size > 0) {
        ssize_t n = send(fd, data, std::min(size, piece), MSG_NOSIGNAL);
        if (n <= 0) break;
        data += n;
        size -= static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
}

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() {
        check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) == 0, "socketpair");
    }
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    // Closing the reader frees what it left unread and fails the writer's
    // pending send, so the writer ends even after a malformed header.
    void close_reader() {
        close(fd[1]);
        fd[1] = -1;
    }
};

void check_frame(const cli_frame &got, const Frame &want) {
    check(got.magic == kMagic && got.version == 1, "magic or version of an accepted frame");
    check(got.len <= kMaxData, "len above 65536");
    check(got.data[got.len] == 0, "data[len] is not 0");
    check(got.type == want.type && got.req_id == want.req_id && got.agent_id == want.agent_id,
          "header differs from the model");
    check(got.len == want.payload.size() &&
              std::memcmp(got.data, want.payload.data(), got.len) == 0,
          "payload differs from the model");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t piece = 1 + data[0] * 61u; // 1 byte up to whole frames at a time
    ++data;
    --size;
    std::vector<Frame> expected = decode_stream(data, size);

    SocketPair sp;
    std::thread writer(feed, sp.fd[0], data, size, piece);
    // The record is heap-allocated at its exact size so ASan sees any write
    // past data[65536].
    auto frame = std::make_unique<cli_frame>();
    size_t received = 0;
    for (;;) {
        std::memset(frame.get(), 0xA5, sizeof *frame);
        if (cli_recv_frame(sp.fd[1], frame.get()) != 0) break;
        check(received < expected.size(), "more frames accepted than the stream holds");
        check_frame(*frame, expected[received]);
        ++received;
    }
    sp.close_reader();
    writer.join();
    check(received == expected.size(), "a whole valid frame was refused");
    return 0;
}
