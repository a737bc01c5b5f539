// One client's connection: the port opened through the Win32 layer and the com-port option
// mapped onto it. Four threads: the network thread (telnet input and commands), the port
// writer (client data to the port, so commands are still answered while flow control holds
// data up), the port reader (data to the client) and the event waiter (line and modem state
// notifications). Internal to host/serve.
#pragma once

#include "host/mutex.h"
#include "host/telnet/telnet.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace qvx {

struct ServeCounters
{
    std::atomic<uint64_t> ToPort{0};
    std::atomic<uint64_t> FromPort{0};
    std::atomic<uint64_t> Dropped{0};
};

class Rfc2217Session : private telnet::Sink
{
  public:
    // Takes the connected socket; Counters outlive the session.
    Rfc2217Session(std::string portName, int socket, std::string peer, ServeCounters* counters);
    ~Rfc2217Session();
    Rfc2217Session(const Rfc2217Session&) = delete;
    Rfc2217Session& operator=(const Rfc2217Session&) = delete;

    void Start();
    // Ends the connection from any thread; the threads wind down on their own.
    void RequestStop();
    // The client is gone and the port closed: the session can be destroyed at once.
    bool Finished() const { return finished_; }
    // The client has gone or the connection is ending: the port is about to be closed.
    bool Stopping() const { return stopping_ || clientGone_; }
    const std::string& Peer() const { return peer_; }
    // The client has closed its side or its connection broke, maybe before the session's
    // thread has seen it. Any thread.
    bool ClientClosed() const;

  private:
    struct Port;

    void Run();
    void NetLoop();
    void ReadLoop();
    void WriteLoop();
    void EventLoop();
    void SendInitialNegotiation();
    void Send(const std::vector<uint8_t>& bytes);
    void SendLine(const std::string& line);
    void Reply(uint8_t command, const std::vector<uint8_t>& value);
    bool WriteToPort(const uint8_t* data, size_t length);
    void FlushToPort();
    void ReportState(uint32_t events, bool initial);

    void OnData(const uint8_t* data, size_t length) override;
    void OnOption(uint8_t verb, uint8_t option) override;
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override;

    // The com-port commands; each replies with what is in effect.
    void Signature(const std::vector<uint8_t>& value);
    void LineSetting(uint8_t command, const std::vector<uint8_t>& value);
    void Control(const std::vector<uint8_t>& value);
    void QueryLineState(const std::vector<uint8_t>& value);
    void QueryModemState(const std::vector<uint8_t>& value);
    void Suspend(const std::vector<uint8_t>& value);
    void Resume(const std::vector<uint8_t>& value);
    void LineStateMask(const std::vector<uint8_t>& value);
    void ModemStateMask(const std::vector<uint8_t>& value);
    void Purge(const std::vector<uint8_t>& value);
    uint8_t ReadControl(int group);
    bool ApplyControl(uint8_t value);

    const std::string portName_;
    const int socket_;
    const std::string peer_;
    ServeCounters* const counters_;
    std::unique_ptr<Port> port_;

    std::thread net_;
    std::thread writer_;
    std::thread reader_;
    std::thread events_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> clientGone_{false};
    std::atomic<bool> suspended_{false};
    Mutex sendLock_; // one writer on the socket at a time
    bool sendFailed_ QVX_GUARDED_BY(sendLock_) = false;

    // Network thread only.
    telnet::Parser parser_;
    std::vector<uint8_t> toPort_;
    // Binary and no go-aheads both ways; the client offers the com-port option.
    telnet::Negotiation options_{
        {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT},
        {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT}};
    bool breakOn_ = false;

    // Client data on its way to the port.
    Mutex writeLock_;
    std::condition_variable writeWake_;
    std::vector<uint8_t> pending_ QVX_GUARDED_BY(writeLock_);
    bool writing_ QVX_GUARDED_BY(writeLock_) = false;     // the writer holds bytes from pending_
    bool toldSuspend_ QVX_GUARDED_BY(writeLock_) = false; // the client was asked to stop sending

    // The client's masks and what it was last told.
    Mutex stateLock_;
    bool notify_ QVX_GUARDED_BY(stateLock_) = false; // the client speaks the com-port option
    uint8_t lineMask_ QVX_GUARDED_BY(stateLock_) = 0;
    uint8_t modemMask_ QVX_GUARDED_BY(stateLock_) = 0xFF;
    uint8_t lastModem_ QVX_GUARDED_BY(stateLock_) = 0;
    uint8_t lastLine_ QVX_GUARDED_BY(stateLock_) = 0;
};

} // namespace qvx
