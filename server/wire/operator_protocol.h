// The operator protocol: what a cli-server client (an operator's console or
// a script) and the resident daemon say to each other over the Unix socket.
//
// The client keeps all of the operator's logic (server commands, attach,
// waiting, scripting); the daemon lends it the agents. So the messages are
// the agents' service itself: the daemon tells each client which agents
// come and go, the client submits command lines to an agent by its serial
// and answers prompts, and the daemon routes each agent's output, prompts
// and completion to the client whose command it is.
//
// Every message is a 5-byte header, a type byte and a 32-bit big-endian
// payload length, followed by the payload; integers are big-endian. The
// client opens with HELLO; the daemon answers WELCOME (or REFUSED and
// closes), one AGENT_UP per agent connected now, and READY. Types a side
// may not send, lengths over kMaxPayload and lengths a type cannot have are
// refused at the header, before any payload is buffered, so a hostile peer
// costs at most one header.
//
// No I/O happens here: the owner of a socket appends the bytes it read and
// takes whole messages out; the encoders append to an output buffer the
// owner writes when the socket is writable.
//
// Threading and ownership: a Decoder is plain data owned by one connection
// and used by one thread at a time; the free functions are pure and may be
// called from any thread.
#pragma once

#include "core/agent_record.h"
#include "core/peer_pump.h"
#include "wire/read_buffer.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cliserver::operator_protocol {

// The agents' records and the notice kind travel as the server holds them.
using cliserver::AgentRecord;
using cliserver::AgentRow;
using cliserver::Notice;

// The version this program speaks, and the oldest one its daemon still
// serves exactly as that version's daemon did: a client started before an
// upgrade goes on working against the upgraded daemon.
inline constexpr uint16_t kVersion = 3;
inline constexpr uint16_t kOldestVersion = 1;
// What a peer speaks before it has said: a daemon before HELLO, a client
// before WELCOME.
inline constexpr uint16_t kUnknownVersion = 0;
// What each version added, asked where the messages are written.
// Version 2: WELCOME also names the owners whose agents the client reaches
// without @USER; DONE carries the agent's result (when it reports one);
// ABANDON_TIMED_OUT, an abandon the audit log records as timed out; the
// metrics request (METRICS, METRICS_TEXT, METRICS_END); DENIED, a command
// the access policy refused (a client of version 1 is told with a NOTICE
// and DONE instead). Version 3: a REFUSED after WELCOME is the bare reason,
// and the client puts the program's name before it as it prints it. The
// daemon's decoder refuses the messages a later version added
// (Decoder::speak).
constexpr bool welcome_names_owners(uint16_t v) {
    return v >= 2;
}
constexpr bool done_carries_result(uint16_t v) {
    return v >= 2;
}
constexpr bool has_timed_out_abandon(uint16_t v) {
    return v >= 2;
}
constexpr bool has_denied(uint16_t v) {
    return v >= 2;
}
// Before WELCOME the daemon cannot know what its client reads, so a REFUSED
// then (access denied, too many clients, a HELLO it does not serve) keeps
// the form every version reads: the line with the program's name.
constexpr bool refusal_is_bare(uint16_t v) {
    return v >= 3;
}
inline constexpr std::string_view kRefusalPrefix = "cli-server: ";
// Bounds the owners one WELCOME names.
inline constexpr size_t kMaxTrustedOwners = 1024;
inline constexpr uint16_t kMetricsSince = 2;
inline constexpr uint16_t kDeniedSince = 2;
inline constexpr size_t kHeaderSize = 5;
inline constexpr uint32_t kMaxPayload = 64 * 1024;
// A request id or agent serial heads most payloads.
inline constexpr size_t kIdSize = 8;
// Output beyond this travels as several OUTPUT messages.
inline constexpr size_t kMaxOutputChunk = kMaxPayload - kIdSize;

enum class Type : uint8_t {
    // client -> daemon
    kHello = 0x01,           // u16 version, u8 mode
    kSubmit = 0x02,          // u64 request, u64 agent serial, u8 flags (1: quiet), command line
    kReply = 0x03,           // u64 request, the reply to its prompt
    kAbandon = 0x04,         // u64 request: the client stops waiting for it
    kList = 0x05,            // empty: asks for the rows of ls
    kAbandonTimedOut = 0x06, // u64 request: as ABANDON, the client's --timeout ran out (v2)
    // since version 2: the metrics text, in pieces
    kMetrics = 0x0a, // empty: asks for it
    // daemon -> client
    kWelcome = 0x81,   // u16 version the daemon speaks on this connection;
                       // version 2: u32 uids of the trusted owners, to the end
    kAgentUp = 0x82,   // agent record, name
    kAgentDown = 0x83, // u64 serial, u8 notice kind, why
    kReady = 0x84,     // empty: every agent connected at HELLO time has been sent
    kQueued = 0x85,    // u64 request, u32 commands ahead of it
    kSent = 0x86,      // u64 request: it went to the agent
    kOutput = 0x87,    // u64 request, output bytes
    kPrompt = 0x88,    // u64 request, prompt text; the client answers with REPLY
    kDone = 0x89,      // u64 request: finished; version 2: [i32 the agent's result]
    kNotice = 0x8a,    // u8 notice kind, text
    kRow = 0x8b,       // agent record, u32 queued, u8 flags, runner uid, pid, name
    kRowsEnd = 0x8c,   // empty: the rows for one LIST are complete
    kRefused = 0x8d,   // one line saying why (refused_line); the daemon closes after it
    // since version 2
    kMetricsText = 0x9a, // a piece of the metrics text
    kMetricsEnd = 0x9b,  // empty: the metrics text is complete
    kDenied = 0x9c,      // u64 request, the line saying why: the access policy refused it
};

// An agent record on the wire: u64 serial, u32 id, i64 connection time in
// milliseconds since 1970, i64 pid, i64 uid (-1: unknown); its name, at the
// end of the message, takes what is left. A row's flags: 1 busy, 2 name
// shared across owners; the uid and pid of whose command runs are -1 when none does.

// Who speaks: a decoder accepts only what the other side may send.
enum class Sender { kClient, kDaemon };

enum class Mode : uint8_t {
    kInteractive = 0, // a person at a terminal
    kScripted = 1,    // -c or standard input
};

struct Message {
    Type type = Type::kHello;
    std::string payload;
};

using DecodeResult = Decoded;

class Decoder {
  public:
    using message_type = Message; // for PeerPump

    // from: who sends the bytes this decoder reads.
    explicit Decoder(Sender from) : from_(from) {}

    // Append what was read, then call next() until it stops returning
    // kMessage; at most kHeaderSize + kMaxPayload bytes stay buffered then.
    void append(const char *data, size_t n);
    // On kMalformed, *error says why; the stream cannot be resynchronised and
    // every later call returns kMalformed again.
    DecodeResult next(Message &out, std::string *error);
    size_t buffered() const { return buf_.size(); }
    // The version agreed in HELLO: types added after it are refused at the
    // header, as a daemon of that version refused them.
    void speak(uint16_t version) { version_ = version; }

  private:
    Sender from_;
    uint16_t version_ = kVersion;
    // A drained buffer keeps room for two whole messages: a stream of
    // output is read into the same memory again and again.
    ReadBuffer buf_{2 * (kHeaderSize + kMaxPayload)};
    std::string failure_;
};
static_assert(MessageDecoder<Decoder>);

// The decoded payloads. Parsing fails only on what the header could not
// tell (a bad mode or kind byte); the decoder has checked the lengths.
struct Hello {
    uint16_t version = kVersion;
    Mode mode = Mode::kInteractive;

    friend bool operator==(const Hello &, const Hello &) = default;
};

struct Welcome {
    uint16_t version = kVersion;
    std::vector<uid_t> trusted_owners; // version 2 on

    friend bool operator==(const Welcome &, const Welcome &) = default;
};

struct Submit {
    uint64_t request = 0;
    uint64_t agent = 0;
    bool quiet = false;
    std::string line;

    friend bool operator==(const Submit &, const Submit &) = default;
};

// A request id and the bytes after it (REPLY, OUTPUT, PROMPT).
struct RequestBytes {
    uint64_t request = 0;
    std::string bytes;

    friend bool operator==(const RequestBytes &, const RequestBytes &) = default;
};

struct AgentDown {
    uint64_t serial = 0;
    Notice kind = Notice::kInfo;
    std::string why;

    friend bool operator==(const AgentDown &, const AgentDown &) = default;
};

struct Queued {
    uint64_t request = 0;
    uint32_t ahead = 0;

    friend bool operator==(const Queued &, const Queued &) = default;
};

struct NoticeText {
    Notice kind = Notice::kInfo;
    std::string text;

    friend bool operator==(const NoticeText &, const NoticeText &) = default;
};

// Each encoder appends one whole message to out (OUTPUT: as many as the
// bytes need). Text longer than a message holds is cut.
void encode_hello(std::string &out, const Hello &m);
void encode_submit(std::string &out, const Submit &m);
void encode_reply(std::string &out, uint64_t request, std::string_view reply);
void encode_abandon(std::string &out, uint64_t request);
void encode_abandon_timed_out(std::string &out, uint64_t request);
void encode_list(std::string &out);
void encode_welcome(std::string &out, const Welcome &m);
void encode_agent_up(std::string &out, const AgentRecord &m);
void encode_agent_down(std::string &out, const AgentDown &m);
void encode_ready(std::string &out);
void encode_queued(std::string &out, const Queued &m);
void encode_sent(std::string &out, uint64_t request);
void encode_output(std::string &out, uint64_t request, std::string_view bytes);
void encode_prompt(std::string &out, uint64_t request, std::string_view text);
// result: the agent's, sent only to a client whose version carries it
// (done_carries_result); none for an agent that reports no results.
void encode_done(std::string &out, uint64_t request, std::optional<int32_t> result = {});
void encode_notice(std::string &out, const NoticeText &m);
void encode_row(std::string &out, const AgentRow &m);
void encode_rows_end(std::string &out);
// line: what REFUSED carries, refused_line()'s or a line every version
// reads as it stands.
void encode_refused(std::string &out, std::string_view line);
// The one place a refusal takes the form of the client's version
// (kUnknownVersion before WELCOME): the bare reason, or the reason after
// the program's name.
std::string refused_line(uint16_t version, std::string_view reason);
// What a client welcomed in `version` (kUnknownVersion before WELCOME)
// reads from a REFUSED: the reason, without the program's name.
std::string refused_reason(uint16_t version, std::string_view line);
void encode_metrics_request(std::string &out);
// The command never reached its agent; `why` is the line the operator sees.
void encode_denied(std::string &out, uint64_t request, std::string_view why);
// METRICS_TEXT messages (as many as the text needs), then METRICS_END.
void encode_metrics_text(std::string &out, std::string_view text);

// Whether the daemon serves a client that asks for this version.
constexpr bool served_version(uint16_t v) {
    return v >= kOldestVersion && v <= kVersion;
}

bool parse_hello(const Message &m, Hello &out, std::string *error);
bool parse_submit(const Message &m, Submit &out);
bool parse_request_bytes(const Message &m, RequestBytes &out); // REPLY, OUTPUT, PROMPT, DENIED
bool parse_request(const Message &m, uint64_t &out);           // ABANDON(_TIMED_OUT), SENT
bool parse_done(const Message &m, uint64_t &request, std::optional<int32_t> &result);
bool parse_welcome(const Message &m, Welcome &out);
bool parse_agent_up(const Message &m, AgentRecord &out);
bool parse_agent_down(const Message &m, AgentDown &out);
bool parse_queued(const Message &m, Queued &out);
bool parse_notice(const Message &m, NoticeText &out);
bool parse_row(const Message &m, AgentRow &out);

const char *type_name(Type t);

} // namespace cliserver::operator_protocol
