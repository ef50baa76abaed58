// The operator protocol: what a cli-server client (an operator's console or a
// script) and the resident daemon say to each other over the Unix socket.
//
// Every message is a 5-byte header, a type byte and a 32-bit big-endian
// payload length, followed by the payload. The client opens with HELLO; the
// daemon answers WELCOME or REFUSED. Types a side may not send, lengths over
// kMaxPayload and lengths a type cannot have are refused at the header,
// before any payload is buffered, so a hostile peer costs at most one header.
//
// No I/O happens here: the owner of a socket appends the bytes it read and
// takes whole messages out; the encoders append to an output buffer the
// owner writes when the socket is writable.
//
// Threading and ownership: a Decoder is plain data owned by one connection
// and used by one thread at a time; the free functions are pure and may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cliserver::operator_protocol {

inline constexpr uint16_t kVersion = 1;
inline constexpr size_t kHeaderSize = 5;
// A command line, a prompt reply or one chunk of output. The daemon splits
// longer output into several OUTPUT messages.
inline constexpr uint32_t kMaxPayload = 64 * 1024;

enum class Type : uint8_t {
    // client -> daemon
    kHello = 0x01,     // u16 version, u8 mode, attach target (rest, may be empty)
    kCommand = 0x02,   // one command line, no newline
    kReply = 0x03,     // the reply to the PROMPT last received
    kInterrupt = 0x04, // Ctrl-C: abandon the running command; empty
    // daemon -> client
    kWelcome = 0x81, // u16 version the daemon speaks on this connection
    kOutput = 0x82,  // output bytes of the running command
    kPrompt = 0x83,  // the running command asks for a line; prompt text
    kEnd = 0x84,     // the command finished: i32 status (0 = success)
    kNotice = 0x85,  // text for standard error, e.g. "demo is busy: 2 commands ahead"
    kError = 0x86,   // text for standard error; the connection stays usable
    kRefused = 0x87, // one line saying why; the daemon closes after it
};

// Who speaks: a decoder accepts only what the other side may send.
enum class Sender { kClient, kDaemon };

enum class Mode : uint8_t {
    kInteractive = 0, // a person at a terminal: notices, prompts with echo control
    kScripted = 1,    // -c or stdin: no notices, the exit status is what counts
};

struct Message {
    Type type = Type::kCommand;
    std::string payload;
};

struct Hello {
    uint16_t version = kVersion;
    Mode mode = Mode::kInteractive;
    std::string target; // agent name or id to attach to; empty for none
};

enum class DecodeResult { kNeedMore, kMessage, kMalformed };

class Decoder {
  public:
    // from: who sends the bytes this decoder reads.
    explicit Decoder(Sender from) : from_(from) {}

    // Append what was read, then call next() until it stops returning
    // kMessage; at most kHeaderSize + kMaxPayload bytes stay buffered then.
    void append(const char *data, size_t n);
    // On kMalformed, *error says why; the stream cannot be resynchronised and
    // every later call returns kMalformed again.
    DecodeResult next(Message &out, std::string *error);
    size_t buffered() const { return buf_.size() - pos_; }

  private:
    Sender from_;
    std::string buf_;
    size_t pos_ = 0;
    std::string failure_;
};

// Each encoder appends one whole message to out. Payloads longer than
// kMaxPayload are cut to it, except output, which becomes several messages.
void encode_hello(std::string &out, const Hello &hello);
void encode_command(std::string &out, std::string_view line);
void encode_reply(std::string &out, std::string_view reply);
void encode_interrupt(std::string &out);
void encode_welcome(std::string &out, uint16_t version = kVersion);
void encode_output(std::string &out, std::string_view bytes);
void encode_prompt(std::string &out, std::string_view text);
void encode_end(std::string &out, int32_t status);
void encode_notice(std::string &out, std::string_view text);
void encode_error(std::string &out, std::string_view text);
void encode_refused(std::string &out, std::string_view reason);

// Field access for the messages with a binary payload. The decoder has
// already checked their length, so these fail only on a bad mode byte.
bool parse_hello(const Message &m, Hello &out, std::string *error);
uint16_t parse_welcome(const Message &m);
int32_t parse_end(const Message &m);

const char *type_name(Type t);

} // namespace cliserver::operator_protocol
