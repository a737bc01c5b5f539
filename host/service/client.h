// A connection to a running service (`quarvex run`): what the Win32 layer's remote backend
// and the quarvex tool's status use. Calls wait for their reply; requests complete later,
// on the connection's receiving thread, matched by id.
//
// Threads: every routine may be called from any thread. Completion callbacks run on the
// receiving thread (or on the caller's when the connection is already gone) and must not
// call back into the connection and wait.
#pragma once

#include "host/service/protocol.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvx::service {

// The status a request ends with when its connection is lost (STATUS_CANCELLED).
constexpr int32_t LOST_STATUS = static_cast<int32_t>(0xC0000120u);

class Client
{
  public:
    using Done =
        std::function<void(int32_t status, uint64_t information, std::vector<uint8_t> data)>;

    // Connects to the socket and exchanges HELLO; NULL and a message naming the path when
    // no service answers there.
    static std::shared_ptr<Client> Connect(const std::string& path, std::string* error);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Hangs up: outstanding requests end with LOST_STATUS, calls fail.
    void Disconnect();
    bool Alive() const;
    const std::string& Path() const { return path_; }
    // Why the connection ended (empty while it is alive).
    std::string LostReason() const;

    // Sends a message of `type` and waits for its reply's body; FALSE when the connection
    // is lost first.
    bool Call(Type type, const std::vector<uint8_t>& body, std::vector<uint8_t>* reply);
    // Sends a request and returns once the driver has queued it or it has completed (then
    // `done` has run); `done` runs once when it completes. Returns its id.
    uint32_t Start(uint32_t handle, Kind kind, uint32_t code, uint32_t outputLength,
                   const std::vector<uint8_t>& input, Done done);
    // Blocks until a message arrives, the connection ends or `until` passes.
    void WaitForTraffic(std::chrono::steady_clock::time_point until);

  private:
    Client() = default;
    bool Send(const std::vector<uint8_t>& bytes);
    void Receive();
    void Lose(const std::string& why);

    std::string path_;
    int fd_ = -1;
    std::thread receiver_;
    std::mutex sendLock_; // one message on the socket at a time
    mutable std::mutex lock_;
    std::condition_variable traffic_;
    // Under lock_.
    bool alive_ = true;
    std::string lost_;
    uint32_t nextTag_ = 1;
    uint64_t arrivals_ = 0;
    std::map<uint32_t, Done> requests_;
    std::map<uint32_t, bool> started_; // sent requests: TRUE once STARTED came
    std::map<uint32_t, std::vector<uint8_t>> replies_;
    std::map<uint32_t, uint16_t> awaited_; // tag -> the reply type expected
};

} // namespace qvx::service
