// The client side of a telnet link to a network serial server (RFC 2217): negotiates BINARY
// and SUPPRESS-GO-AHEAD both ways and COM-PORT-OPTION for itself, doubles 0xFF in what it
// sends, collapses it in what it receives, and turns baud rates into SET-BAUDRATE once the
// server has accepted the option. Whatever the network sends, it never grows without bound
// and never answers one command with more than one reply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

class TelnetClient
{
  public:
    static constexpr uint8_t IAC = 255;
    static constexpr uint8_t DONT = 254;
    static constexpr uint8_t DO = 253;
    static constexpr uint8_t WONT = 252;
    static constexpr uint8_t WILL = 251;
    static constexpr uint8_t SB = 250;
    static constexpr uint8_t SE = 240;
    static constexpr uint8_t BINARY = 0;
    static constexpr uint8_t SGA = 3;
    static constexpr uint8_t COM_PORT = 44;
    static constexpr uint8_t SET_BAUDRATE = 1;
    static constexpr size_t MAX_SUBNEGOTIATION = 64;

    // A new connection: forgets the old one's state and appends the opening requests.
    void Start(std::string* out);
    // Network bytes in; data for the port and replies for the network out.
    void Decode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* data, std::string* out);
    // Port data out, with 0xFF doubled.
    static void Escape(const uint8_t* bytes, size_t length, std::string* out);
    // Remembers the rate (0 is never sent: it asks for the current one) and sends it now if
    // the server has accepted COM-PORT-OPTION, else on its acceptance.
    void SetBaudRate(uint32_t rate, std::string* out);

    bool ComPortAccepted() const { return us_[COM_PORT]; }
    // The rate the server last confirmed (0 until then).
    uint32_t ServerBaudRate() const { return serverRate_; }
    // Bytes that made no sense (a bad command, an overlong subnegotiation).
    uint64_t Discarded() const { return discarded_; }

  private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    static bool Supported(uint8_t option);
    void Command(uint8_t verb, uint8_t option, std::string* out);
    void SubnegotiationEnd(std::string* out);
    void SendBaudRate(std::string* out);

    State state_ = State::Data;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
    bool subOverflow_ = false;
    bool us_[256] = {};      // our side of an option is on
    bool him_[256] = {};     // the server's side is on
    bool usAsked_[256] = {}; // we asked and wait for the answer
    bool himAsked_[256] = {};
    bool refused_[256] = {}; // an unsupported option refused once already
    uint32_t rate_ = 0;
    uint32_t serverRate_ = 0;
    uint64_t discarded_ = 0;
};

} // namespace qvx
