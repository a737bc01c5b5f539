// A raw-socket telnet client for the RFC 2217 server's tests: it speaks the option by hand
// and records what the server sends (data, option verbs, com-port replies, closing).
#pragma once

#include "host/telnet/telnet.h"

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace qvx::test {

constexpr uint8_t COM_PORT = telnet::OPTION_COM_PORT;

class ServeClient : private telnet::Sink
{
  public:
    ServeClient() = default;
    ~ServeClient();
    ServeClient(const ServeClient&) = delete;
    ServeClient& operator=(const ServeClient&) = delete;

    bool Connect(uint16_t port);
    // Closes with a reset, as a client that vanishes does.
    void Abort();
    void SendRaw(const std::vector<uint8_t>& bytes);
    // Data, IAC doubled.
    void SendData(const std::vector<uint8_t>& bytes);
    void SendCommand(uint8_t command, const std::vector<uint8_t>& value);
    // Offers the com-port option both ways and waits for the server to accept both.
    bool Negotiate();

    // Waits up to timeoutMs for the next reply with this server code; FALSE on time-out.
    bool WaitReply(uint8_t code, std::vector<uint8_t>* value, int timeoutMs = 5000);
    // Sends a command and returns the one-byte value of its reply (-1: none).
    int Ask(uint8_t command, uint8_t value);
    // Waits until `count` data bytes have arrived and takes them.
    std::vector<uint8_t> TakeData(size_t count, int timeoutMs = 10000);
    // Reads until the server closes; TRUE when it did within the time.
    bool WaitClosed(int timeoutMs = 5000);
    // Receives whatever arrives within the time.
    void Drain(int timeoutMs);

    const std::vector<uint8_t>& Raw() const { return raw_; }
    bool Saw(uint8_t verb, uint8_t option) const;
    // Removes and returns the modem-state notifications seen so far.
    std::vector<uint8_t> TakeModemNotifications();

  private:
    bool Pump(int timeoutMs);
    void OnData(const uint8_t* data, size_t length) override;
    void OnOption(uint8_t verb, uint8_t option) override;
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override;

    int fd_ = -1;
    bool closed_ = false;
    telnet::Parser parser_;
    std::vector<uint8_t> raw_;
    std::vector<uint8_t> data_;
    std::vector<std::pair<uint8_t, uint8_t>> options_;
    std::deque<std::pair<uint8_t, std::vector<uint8_t>>> replies_;
};

} // namespace qvx::test
