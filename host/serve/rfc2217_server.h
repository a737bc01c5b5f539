// A port's application side served over TCP with the telnet com-port option (RFC 2217), as a
// network serial server does for a real device. Each connection opens the port through the
// Win32 layer, so the port has to exist in the process's System; one client at a time (a
// port has one handle), a second one is told so and closed in order (our end of the stream,
// then the socket once the client has closed its own), and so is a client the allow list does
// not name.
//
// No Win32 or kernel type appears here: the tool includes it beside either.
// Threads: Start, Stop and the destructor from one thread; Port and Status from any.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qvx {

class Rfc2217Server
{
  public:
    // portName: COM5 (or \\.\COM5). address: [ADDR:]PORT; no ADDR listens on 127.0.0.1
    // (0.0.0.0 or [::] on every interface), PORT 0 picks a free port (Port() tells which).
    Rfc2217Server(std::string portName, std::string address);
    ~Rfc2217Server();
    Rfc2217Server(const Rfc2217Server&) = delete;
    Rfc2217Server& operator=(const Rfc2217Server&) = delete;

    // Where messages for the server's user go: a warning about listening on every interface,
    // clients come, gone and refused. Before Start.
    void SetNotice(std::function<void(const std::string&)> notice);
    // Serves only clients from these "ADDRESS/PREFIX,..." entries; FALSE with a message for a
    // bad entry. Before Start; may be called more than once.
    bool Allow(const std::string& entries, std::string* error);
    // Listens and accepts in a thread of its own. FALSE and a one-line message for a bad
    // address or one in use.
    bool Start(std::string* error);
    // The TCP port listened on (0 before Start).
    uint16_t Port() const;
    // Closes the listening socket and the client's connection and port; waits for its threads.
    void Stop();
    // One line: where it listens, the client if any, the bytes moved, clients refused.
    std::string Status() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace qvx
