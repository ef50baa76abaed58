// One peer's read loop, written once for the agents' connections, the
// resident server's clients and the client's link to the resident server:
// read from the byte stream, feed the decoder, hand each whole message to
// the peer's owner in the order it came, and tell the owner once how the
// stream ended (closed, failed, or broke the protocol).
//
// The decoder is any codec with the shape of MessageDecoder (the agents'
// frames and the operator protocol, in wire/); the owner is any object with
//   bool dispatch(Message &m)        handles one message (it may take
//                                    the payload); false stops the loop:
//                                    the owner closed the peer, or cannot
//                                    take more now (backpressure),
//   void end(const PeerEnd &e)       the stream ended; called at most once
//                                    per pump call,
//   void received()                  (optional) a chunk of bytes was read.
// Both are bound at compile time, so the hot path of 10,000 agents costs no
// call through a pointer per message and no allocation per read.
//
// What the peer may make us hold is bounded by the caller's rounds (chunks
// of ByteStream::kReadChunk bytes per call) and by the decoder, which
// refuses a header that cannot start a valid message before its payload
// comes. Messages the owner did not take stay in the decoder; drain()
// hands them over once the owner can take them again.
//
// Lifetime: after a dispatch that says stop, and after end(), the pump
// touches nothing of the decoder, the stream or the owner, so the owner may
// destroy all three from inside either call.
//
// Threading: single-threaded, on the event loop's thread, like the stream.
#pragma once

#include "core/byte_stream.h"

#include <concepts>
#include <cstddef>
#include <string>

namespace cliserver {

// What a decoder's next() found in its buffer.
enum class Decoded {
    kNeedMore,  // no whole message yet
    kMessage,   // one was taken out
    kMalformed, // the bytes break the protocol: the stream cannot be resynchronised
};

template <typename D>
concept MessageDecoder = requires(D &d, typename D::message_type &m, std::string *why,
                                  const char *data, size_t n) {
    d.append(data, n);
    { d.next(m, why) } -> std::same_as<Decoded>;
    { d.buffered() } -> std::convertible_to<size_t>;
};

// How a peer's stream ended.
struct PeerEnd {
    enum class Kind {
        kClosed,    // the peer closed its end
        kFailed,    // read() failed
        kViolation, // the peer broke the protocol
    };
    Kind kind = Kind::kClosed;
    bool mid_message = false; // kClosed: a message had begun to arrive
    int error = 0;            // kFailed: the errno
    std::string violation;    // kViolation: what the decoder refused
};

template <MessageDecoder D> class PeerPump {
  public:
    using Message = typename D::message_type;

    explicit PeerPump(D &decoder) : decoder_(decoder) {}

    // Hands the whole messages buffered to owner.dispatch while it takes
    // them. True: none is left whole (the decoder waits for bytes). False:
    // the owner said stop, or the bytes broke the protocol (owner.end() was
    // told).
    template <typename Owner> bool drain(Owner &owner) {
        Message m;
        std::string why;
        for (;;) {
            switch (decoder_.next(m, &why)) {
            case Decoded::kNeedMore:
                return true;
            case Decoded::kMalformed:
                owner.end(PeerEnd{PeerEnd::Kind::kViolation, false, 0, std::move(why)});
                return false;
            case Decoded::kMessage:
                if (!owner.dispatch(m)) return false;
                break;
            }
        }
    }

    // Reads up to `rounds` chunks from stream, draining after each, and
    // tells owner.end() when the peer closed or the read failed.
    template <typename Owner>
    ByteStream::ReadEnd read(ByteStream &stream, int rounds, Owner &owner) {
        const auto end = stream.read_available(rounds, [this, &owner](const char *data, size_t n) {
            if constexpr (requires { owner.received(); }) owner.received();
            decoder_.append(data, n);
            return drain(owner);
        });
        if (end == ByteStream::ReadEnd::kFailed)
            owner.end(PeerEnd{PeerEnd::Kind::kFailed, false, stream.error(), {}});
        else if (end == ByteStream::ReadEnd::kClosed)
            owner.end(PeerEnd{PeerEnd::Kind::kClosed, decoder_.buffered() > 0, 0, {}});
        return end;
    }

  private:
    D &decoder_;
};

} // namespace cliserver
