// The telnet layer under the com-port option (RFC 854, 855, 2217), for both ends: the server
// (host/serve) and the network peer (host/peers/telnet_client). A byte-at-a-time parser that
// survives any input (garbage, cut-off commands, endless subnegotiations), the option
// negotiation, and the encoders for data and subnegotiations. Standard C++ only: no sockets,
// no Win32 or kernel types, so every program that speaks the protocol can use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace qvx::telnet {

constexpr uint8_t SE = 240;
constexpr uint8_t NOP = 241;
constexpr uint8_t SB = 250;
constexpr uint8_t WILL = 251;
constexpr uint8_t WONT = 252;
constexpr uint8_t DO = 253;
constexpr uint8_t DONT = 254;
constexpr uint8_t IAC = 255;

constexpr uint8_t OPTION_BINARY = 0;
constexpr uint8_t OPTION_ECHO = 1;
constexpr uint8_t OPTION_SGA = 3;
constexpr uint8_t OPTION_COM_PORT = 44;

// The com-port option's commands as a client sends them; the server answers each with the
// code plus SERVER_OFFSET.
constexpr uint8_t SIGNATURE = 0;
constexpr uint8_t SET_BAUDRATE = 1;
constexpr uint8_t SET_DATASIZE = 2;
constexpr uint8_t SET_PARITY = 3;
constexpr uint8_t SET_STOPSIZE = 4;
constexpr uint8_t SET_CONTROL = 5;
constexpr uint8_t NOTIFY_LINESTATE = 6;
constexpr uint8_t NOTIFY_MODEMSTATE = 7;
constexpr uint8_t FLOWCONTROL_SUSPEND = 8;
constexpr uint8_t FLOWCONTROL_RESUME = 9;
constexpr uint8_t SET_LINESTATE_MASK = 10;
constexpr uint8_t SET_MODEMSTATE_MASK = 11;
constexpr uint8_t PURGE_DATA = 12;
constexpr uint8_t SERVER_OFFSET = 100;

// A subnegotiation body longer than this is garbage: it is dropped whole.
constexpr size_t MAX_SUBNEGOTIATION = 64;

class Sink
{
  public:
    virtual ~Sink() = default;
    // A run of data bytes, IAC doubling already undone.
    virtual void OnData(const uint8_t* data, size_t length) = 0;
    // WILL, WONT, DO or DONT for an option.
    virtual void OnOption(uint8_t verb, uint8_t option) = 0;
    // IAC SB option body... IAC SE, the body unescaped.
    virtual void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) = 0;
};

// A subnegotiation that meets IAC followed by anything but IAC or SE is broken (the sender
// lost track): its body is dropped, and the IAC starts the command it introduces, so that
// command is obeyed and none of its bytes turn into data.
class Parser
{
  public:
    void Feed(const uint8_t* data, size_t length, Sink* sink);
    // Bytes thrown away: IAC with a byte that is no command, and the bodies of overlong and
    // broken subnegotiations.
    uint64_t Discarded() const { return discarded_; }

  private:
    enum class State { Data, Iac, Verb, SubOption, Sub, SubIac };

    void Keep(uint8_t byte);
    void DropBody();

    State state_ = State::Data;
    uint8_t verb_ = 0;
    uint8_t subOption_ = 0;
    size_t subLength_ = 0; // body bytes so far, kept or not
    std::vector<uint8_t> body_;
    uint64_t discarded_ = 0;
};

// Which options each side of a connection performs. Only a change of state is answered, and
// an option not supported is refused once per side, so two parties never echo each other's
// answers for ever and no command gets more than one reply.
class Negotiation
{
  public:
    // `local`: options this side performs when asked; `remote`: options it lets the other side
    // perform.
    Negotiation(std::initializer_list<uint8_t> local, std::initializer_list<uint8_t> remote);

    // Offers to perform `option` (IAC WILL) / asks the other side to (IAC DO).
    void Offer(uint8_t option, std::vector<uint8_t>* out);
    void Ask(uint8_t option, std::vector<uint8_t>* out);
    // A verb received for `option`: appends the answer, if any. TRUE when the option went on or
    // off on either side.
    bool Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>* out);

    bool Local(uint8_t option) const { return local_.On[option]; }
    bool Remote(uint8_t option) const { return remote_.On[option]; }

  private:
    struct Side
    {
        bool Supported[256] = {};
        bool On[256] = {};
        bool Asked[256] = {};   // our request awaits its answer
        bool Refused[256] = {}; // refused once already
    };
    Side local_;
    Side remote_;
};

// Appends data with every IAC doubled.
void AppendEscaped(std::vector<uint8_t>* out, const uint8_t* data, size_t length);
// Appends IAC verb option.
void AppendOption(std::vector<uint8_t>* out, uint8_t verb, uint8_t option);
// Appends IAC SB option command value... IAC SE, command and value escaped.
void AppendSubnegotiation(std::vector<uint8_t>* out, uint8_t option, uint8_t command,
                          const std::vector<uint8_t>& value);
// A com-port value: `width` bytes, most significant first.
std::vector<uint8_t> BigEndian(uint32_t value, size_t width);
uint32_t FromBigEndian(const uint8_t* bytes, size_t width);

} // namespace qvx::telnet
