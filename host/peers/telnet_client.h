// The client side of a telnet link to a network serial server (RFC 2217), on the telnet codec
// (host/telnet): negotiates BINARY and SUPPRESS-GO-AHEAD both ways and COM-PORT-OPTION for
// itself, doubles 0xFF in what it sends, collapses it in what it receives, and turns baud rates
// into SET-BAUDRATE once the server has accepted the option. Whatever the network sends, it
// never grows without bound and never answers one command with more than one reply.
#pragma once

#include "host/telnet/telnet.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

class TelnetClient : private telnet::Sink
{
  public:
    // A new connection: forgets the old one's state and appends the opening requests.
    void Start(std::string* out);
    // Network bytes in; data for the port and replies for the network out.
    void Decode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* data, std::string* out);
    // Port data out, with 0xFF doubled.
    static void Escape(const uint8_t* bytes, size_t length, std::string* out);
    // Remembers the rate (0 is never sent: it asks for the current one) and sends it now if
    // the server has accepted COM-PORT-OPTION, else on its acceptance.
    void SetBaudRate(uint32_t rate, std::string* out);

    bool ComPortAccepted() const { return options_.Local(telnet::OPTION_COM_PORT); }
    // The rate the server last confirmed (0 until then).
    uint32_t ServerBaudRate() const { return serverRate_; }
    // Bytes that made no sense (a bad command, an overlong or broken subnegotiation).
    uint64_t Discarded() const { return parser_.Discarded(); }

  private:
    static telnet::Negotiation NewNegotiation();
    void OnData(const uint8_t* data, size_t length) override;
    void OnOption(uint8_t verb, uint8_t option) override;
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override;
    void SendBaudRate();
    void Flush(std::string* out);

    telnet::Parser parser_;
    telnet::Negotiation options_ = NewNegotiation();
    std::vector<uint8_t>* data_ = nullptr; // during Decode
    std::vector<uint8_t> replies_;
    uint32_t rate_ = 0;
    uint32_t serverRate_ = 0;
};

} // namespace qvx
