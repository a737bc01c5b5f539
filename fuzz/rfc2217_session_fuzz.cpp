// What a client sends to an RFC 2217 server session: any bytes, through one end of a socket
// pair, to a session serving a port without a peer on a real-time machine. The stream is
// followed by a fixed tail that brings any parser state back to data and lets held data go
// (com-port option on, no flow control, break off), then the client closes its sending side.
// Checked: no verifier rule fires, the session ends on its own, everything it sends is well
// formed (option verbs, com-port replies with server codes, no data from a port without a
// peer), and unless the client purged, the port got exactly the data bytes of the stream
// after IAC un-doubling.

#include "fuzz/fuzz_target.h"
#include "fuzz/system_check.h"
#include "fuzz/telnet_reference.h"
#include "host/serve/rfc2217_session.h"
#include "host/system.h"
#include "host/telnet/telnet.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace telnet = qvx::telnet;

// Longer than the session's linger for data that cannot reach the port.
constexpr int SESSION_LIMIT_MS = 20000;

const char* const CONFIGURATION =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
    "Parameters]\n"
    "\"PortName\"=\"COM9\"\n\"Peer\"=\"none\"\n";

void Fail(const char* what)
{
    std::fprintf(stderr, "rfc2217_session_fuzz: %s\n", what);
    std::abort();
}

// Booted once; each input starts from the line settings found at boot.
struct Machine
{
    std::unique_ptr<qvx::System> System;
    DCB Baseline = {};
};

Machine& TheMachine()
{
    static Machine* machine = [] {
        auto* created = new Machine;
        qvx::SystemOptions options;
        options.Verify = true; // the verifier runs as in the tests
        options.Mode = qvx::SystemMode::RealTime;
        options.Configuration = CONFIGURATION;
        // Writes longer than the transmit buffer wait for send-timer ticks: tick often.
        options.ComPeriodMs = 1;
        std::string error;
        created->System = qvx::System::Boot(options, &error);
        if (created->System == nullptr) {
            std::fprintf(stderr, "rfc2217_session_fuzz: %s\n", error.c_str());
            Fail("the system did not boot");
        }
        HANDLE com = CreateFileA("\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        created->Baseline.DCBlength = sizeof(DCB);
        if (com == INVALID_HANDLE_VALUE || !GetCommState(com, &created->Baseline)) {
            Fail("the port cannot be read");
        }
        CloseHandle(com);
        return created;
    }();
    return *machine;
}

void ResetPort(const Machine& machine)
{
    HANDLE com = CreateFileA("\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (com == INVALID_HANDLE_VALUE) {
        Fail("the port is still open after its session");
    }
    DCB dcb = machine.Baseline;
    SetCommState(com, &dcb);
    PurgeComm(com, PURGE_RXCLEAR | PURGE_TXCLEAR);
    CloseHandle(com);
}

// What the session sent, parsed.
struct ServerOutput final : telnet::Sink
{
    size_t DataBytes = 0;
    bool Purged = false;
    bool Malformed = false;

    void OnData(const uint8_t*, size_t length) override { DataBytes += length; }
    void OnOption(uint8_t verb, uint8_t option) override
    {
        const bool known = option == telnet::OPTION_BINARY || option == telnet::OPTION_SGA ||
                           option == telnet::OPTION_COM_PORT;
        // Anything else is only ever refused.
        if (!known && verb != telnet::WONT && verb != telnet::DONT) {
            Malformed = true;
        }
    }
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override
    {
        if (option != telnet::OPTION_COM_PORT || body.empty() || body[0] < telnet::SERVER_OFFSET ||
            body[0] > telnet::SERVER_OFFSET + telnet::PURGE_DATA) {
            Malformed = true;
        } else if (body[0] == telnet::SERVER_OFFSET + telnet::PURGE_DATA) {
            Purged = true;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Machine& machine = TheMachine();
    ResetPort(machine);

    std::vector<uint8_t> stream(data, data + size);
    // Back to data from any state (IAC SE twice), then the option on and the line free.
    const uint8_t tail[] = {telnet::IAC,
                            telnet::SE,
                            telnet::IAC,
                            telnet::SE,
                            telnet::IAC,
                            telnet::WILL,
                            telnet::OPTION_COM_PORT};
    stream.insert(stream.end(), std::begin(tail), std::end(tail));
    for (const uint8_t control : {uint8_t{1}, uint8_t{6}, uint8_t{14}}) {
        telnet::AppendSubnegotiation(&stream, telnet::OPTION_COM_PORT, telnet::SET_CONTROL,
                                     {control});
    }

    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) {
        Fail("no socket pair");
    }
    qvx::ServeCounters counters;
    auto session = std::make_unique<qvx::Rfc2217Session>("COM9", sockets[0], "fuzz", &counters);
    session->Start();

    // Sends while reading, so neither side's buffer can fill up and stall the other.
    std::vector<uint8_t> received;
    size_t sent = 0;
    bool closedOurSide = false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(SESSION_LIMIT_MS);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("the session did not end");
        }
        if (sent < stream.size()) {
            const ssize_t n = ::send(sockets[1], stream.data() + sent, stream.size() - sent,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            }
        } else if (!closedOurSide) {
            ::shutdown(sockets[1], SHUT_WR);
            closedOurSide = true;
        }
        pollfd readable = {sockets[1], POLLIN, 0};
        if (::poll(&readable, 1, 1) > 0) {
            uint8_t buffer[4096];
            const ssize_t n = ::recv(sockets[1], buffer, sizeof(buffer), 0);
            if (n > 0) {
                received.insert(received.end(), buffer, buffer + n);
            } else if (n == 0 && closedOurSide) {
                break; // the session shut its socket
            }
        }
    }
    while (!session->Finished()) {
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("the session did not finish");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    session.reset();
    ::close(sockets[1]);

    for (const std::string& violation : qvx::fuzz::TakeViolations(*machine.System)) {
        std::fprintf(stderr, "rfc2217_session_fuzz: %s\n", violation.c_str());
        Fail("a verifier rule fired");
    }

    ServerOutput output;
    telnet::Parser parser;
    parser.Feed(received.data(), received.size(), &output);
    if (output.Malformed) {
        Fail("the session sent something malformed");
    }
    if (output.DataBytes != 0) {
        Fail("data from a port without a peer");
    }
    const uint64_t toPort = counters.ToPort + counters.Dropped;
    const size_t expected = TelnetReferenceData(stream.data(), stream.size()).size();
    if (output.Purged ? toPort > expected : toPort != expected) {
        std::fprintf(stderr, "rfc2217_session_fuzz: %llu bytes reached the port, %zu sent\n",
                     static_cast<unsigned long long>(toPort), expected);
        Fail("the port did not get the data bytes of the stream");
    }
    return 0;
}
