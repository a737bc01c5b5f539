// The service's wire protocol: what a client (host/win32's remote backend, the quarvex tool)
// and `quarvex run` say over the Unix stream socket. Binary, little-endian, length-prefixed;
// no kernel or Win32 type appears, so both sides include it.
//
// Every message: u32 length (the whole message, header included), u16 type, u16 flags (0),
// u32 tag, then the body of its type. A client opens with HELLO; each request names the tag
// its reply carries. A REQUEST's tag is its request id: COMPLETED comes back with it, in any
// order, when the driver completes the request.
//
//   client -> service                          service -> client (type | REPLY)
//   HELLO       u32 version                    u32 version, u32 largest message
//   OPEN        u32 create options, name       i32 status, u32 handle (0 on failure)
//   REQUEST     u32 handle, u8 kind, u8[3] 0,  COMPLETED  i32 status, u32 0, u64 information,
//               u32 code, u32 output length,              output bytes
//               input bytes                    or first STARTED (no body): the driver queued
//                                              it; COMPLETED follows when it ends
//   CANCEL      u32 request id                 u32 1 when it was cancelled, 0 when it had ended
//   CANCEL_FILE u32 handle                     i32 status
//   CLOSE       u32 handle                     i32 status (cleanup done, close follows the
//                                              handle's last request)
//   QUERY_REGISTRY  path                       u32 exists, u32 count, count x (u32 type,
//                                              name, u32 size, data)
//   QUERY_DOSDEVICES                           u32 count, count x (name, target)
//   QUERY_STATUS                               u32 count, count x port (see PortState)
//   (any, on a broken rule)                    FAILURE: text, then the service hangs up
//
// Names and paths are u32 count + UTF-16 code units; texts u32 count + UTF-8 bytes.
// Handles belong to the connection that opened them; a connection that ends has its handles
// closed by the service, as a process's are at its exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qvx::service {

constexpr uint32_t PROTOCOL_VERSION = 1;
constexpr size_t HEADER_BYTES = 12;
// Read data, write data and control buffers of one request: larger ones are refused before
// they are sent (and by the service, which never allocates more).
constexpr uint32_t MAX_DATA = 1u << 20;
// Names and paths, in UTF-16 code units.
constexpr uint32_t MAX_NAME = 1024;
// The largest message either side sends or accepts.
constexpr uint32_t MAX_MESSAGE = MAX_DATA + 64;

enum class Type : uint16_t {
    Hello = 1,
    Open = 2,
    Request = 3,
    Cancel = 4,
    CancelFile = 5,
    Close = 6,
    QueryRegistry = 7,
    QueryDosDevices = 8,
    QueryStatus = 9,
    Started = 10, // service only
    Failure = 0x7F,
};
// A reply's type is its request's with this bit.
constexpr uint16_t REPLY = 0x80;

enum class Kind : uint8_t { Read = 0, Write = 1, Flush = 2, Control = 3 };

// One message, framed: its body still encoded.
struct Message
{
    uint16_t Type = 0;
    uint16_t Flags = 0;
    uint32_t Tag = 0;
    std::vector<uint8_t> Body;
};

// The whole message in wire form.
std::vector<uint8_t> Frame(uint16_t type, uint32_t tag, const std::vector<uint8_t>& body);

// Cuts a byte stream into messages. A length outside HEADER_BYTES..MAX_MESSAGE, or flags
// other than 0, is broken: nothing is allocated for it and the stream is given up.
class Deframer
{
  public:
    enum class Result { Message, More, Broken };
    void Feed(const uint8_t* data, size_t length);
    // The next complete message, or More (wait for bytes) or Broken (with the reason).
    Result Next(Message* message, std::string* why);
    // Bytes fed and not yet returned as messages.
    size_t Buffered() const { return buffer_.size() - start_; }

  private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
};

// Appends little-endian fields to a body.
class Writer
{
  public:
    Writer& U8(uint8_t value);
    Writer& U16(uint16_t value);
    Writer& U32(uint32_t value);
    Writer& U64(uint64_t value);
    Writer& Bytes(const uint8_t* data, size_t length);
    Writer& Bytes(const std::vector<uint8_t>& data) { return Bytes(data.data(), data.size()); }
    // Counted strings.
    Writer& Name(const std::u16string& name);
    Writer& Text(const std::string& text);
    std::vector<uint8_t> Take() { return std::move(body_); }

  private:
    std::vector<uint8_t> body_;
};

// Reads fields from a body; past its end every read fails, and Ok() stays FALSE.
class Reader
{
  public:
    explicit Reader(const std::vector<uint8_t>& body) : body_(body) {}
    bool U8(uint8_t* value);
    bool U16(uint16_t* value);
    bool U32(uint32_t* value);
    bool U64(uint64_t* value);
    // A count up to `limit` and that many units.
    bool Name(std::u16string* name, uint32_t limit = MAX_NAME);
    bool Text(std::string* text, uint32_t limit = MAX_DATA);
    // Whatever is left.
    std::vector<uint8_t> Rest();
    bool AtEnd() const { return ok_ && at_ == body_.size(); }
    bool Ok() const { return ok_; }

  private:
    bool Take(void* out, size_t length);
    const std::vector<uint8_t>& body_;
    size_t at_ = 0;
    bool ok_ = true;
};

// What a client asks, decoded and checked against the protocol's limits.
struct ClientMessage
{
    Type What = Type::Hello;
    uint32_t Tag = 0;
    uint32_t Version = 0;          // Hello
    uint32_t CreateOptions = 0;    // Open
    std::u16string Name;           // Open (device), QueryRegistry (path)
    uint32_t Handle = 0;           // Request, CancelFile, Close
    Kind RequestKind = Kind::Read; // Request
    uint32_t Code = 0;             // Request (Control)
    uint32_t OutputLength = 0;     // Request
    std::vector<uint8_t> Input;    // Request
    uint32_t RequestId = 0;        // Cancel
};

// Decodes a client's message; FALSE and why when it breaks the protocol (unknown type, a
// body too short or too long, a length over a limit, an unknown kind, an empty name).
bool DecodeClient(const Message& message, ClientMessage* decoded, std::string* why);
// The message a ClientMessage stands for (the client's encoder; DecodeClient undoes it).
std::vector<uint8_t> EncodeClient(const ClientMessage& message);

// A port as the service reports it.
struct PortState
{
    std::string PortName;
    std::string DeviceName;
    std::string Peer;  // its description and state
    bool Open = false; // a handle is open on it
    uint32_t Pid = 0;  // the process that opened it (0: unknown, or not a client)
    uint32_t Uid = 0;
    uint64_t PeerToPort = 0; // the peer's counters
    uint64_t PeerFromPort = 0;
    uint64_t PeerDropped = 0;
    uint64_t PeerWaiting = 0;
    // The driver's counters since the port was opened (while open): bytes each way and
    // errors (framing, overrun, buffer overrun, parity).
    uint64_t Received = 0;
    uint64_t Transmitted = 0;
    uint64_t Errors = 0;
};
void EncodePorts(Writer& writer, const std::vector<PortState>& ports);
bool DecodePorts(Reader& reader, std::vector<PortState>* ports);

// A registry value as QUERY_REGISTRY returns it.
struct Value
{
    std::u16string Name;
    uint32_t Type = 0;
    std::vector<uint8_t> Data;
};

} // namespace qvx::service
