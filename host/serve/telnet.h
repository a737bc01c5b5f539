// The telnet layer under the com-port option: a byte-at-a-time parser that survives any
// input (garbage, cut-off commands, endless subnegotiations), and the encoders for data and
// subnegotiations. No Win32 or kernel types, so both the server and its tests use it.
#pragma once

#include <cstddef>
#include <cstdint>
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

// A subnegotiation longer than this is garbage: it is dropped whole.
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

class Parser
{
  public:
    void Feed(const uint8_t* data, size_t length, Sink* sink);

  private:
    enum class State { Data, Iac, Verb, SubOption, Sub, SubIac };

    void Command(uint8_t byte);

    State state_ = State::Data;
    uint8_t verb_ = 0;
    uint8_t subOption_ = 0;
    bool subOverflow_ = false;
    std::vector<uint8_t> body_;
};

// Appends data with every IAC doubled.
void AppendEscaped(std::vector<uint8_t>* out, const uint8_t* data, size_t length);
// Appends IAC verb option.
void AppendOption(std::vector<uint8_t>* out, uint8_t verb, uint8_t option);
// Appends IAC SB option command value... IAC SE, command and value escaped.
void AppendSubnegotiation(std::vector<uint8_t>* out, uint8_t option, uint8_t command,
                          const std::vector<uint8_t>& value);

} // namespace qvx::telnet
