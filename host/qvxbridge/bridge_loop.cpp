// The bridge's loop: every port's overlapped reads and writes on the control device and its
// socket, driven from one thread.
#include "host/qvxbridge/net.h"
#include "host/qvxbridge/qvxbridge.h"

#include "host/peers/allow_list.h"
#include "host/peers/peer_factory.h"
#include "host/peers/telnet_client.h"
#include "kpeer/qvxpeer_control.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace qvx::bridge {

namespace {

constexpr DWORD READ_BYTES = 16 * 1024;
// The port's bytes taken from the driver and not yet on the network: while this much waits,
// the bridge reads no more, and the driver holds the rest (up to its buffer).
constexpr size_t PORT_DATA_LIMIT = size_t{64} * 1024;
// Network bytes read and not yet written to the driver: while any wait or a write pends, the
// socket is not read, so TCP holds the far side back.
constexpr size_t NET_READ_BYTES = size_t{16} * 1024;
constexpr DWORD HANDLES_PER_PORT = 4;

std::string Plural(uint64_t count, const char* what)
{
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

void PutRecord(std::vector<uint8_t>* out, const uint8_t* data, size_t length)
{
    const QvxPeerRecordHeader header = {QVXPEER_RECORD_DATA, 0, static_cast<uint16_t>(length)};
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    out->insert(out->end(), bytes, bytes + sizeof(header));
    out->insert(out->end(), data, data + length);
}

} // namespace

struct PortLoop
{
    PortLink Link;
    Bridge::Notice Say;
    HANDLE Device = INVALID_HANDLE_VALUE;
    HANDLE Events[HANDLES_PER_PORT] = {}; // read done, write done, connection, listener
    OVERLAPPED ReadRequest = {};
    OVERLAPPED WriteRequest = {};
    bool Reading = false;
    bool Writing = false;
    bool Broken = false; // the driver refused a request: the port is left alone
    std::vector<uint8_t> ReadBuffer = std::vector<uint8_t>(READ_BYTES);
    std::vector<uint8_t> WriteBuffer; // records of the pending write
    size_t WriteData = 0;             // data bytes in it
    std::vector<uint8_t> ToPort;      // network data for the port, not yet written
    std::vector<uint8_t> PortData;    // the port's data, not yet encoded for the network
    std::string Wire;                 // bytes for the current connection, encoded
    // Per byte of Wire: 1 where a data byte of the port ends (the second of a doubled 0xFF),
    // so that what a lost connection had not sent is counted exactly.
    std::vector<uint8_t> WireMarks;
    NetSocket Connection;
    NetSocket Listener;
    enum class NetState { Down, Connecting, Up } State = NetState::Down;
    DWORD RetryAt = 0;
    bool Retrying = false;
    TelnetClient Telnet;
    AllowList Allow;
    PortCounters Counters;

    std::string Where() const { return AddressText(Link.Config.Host, Link.Config.TcpPort); }
    bool Dials() const { return Link.Config.Kind != PeerKind::TcpServer; }
    bool Rfc2217() const { return Link.Config.Kind == PeerKind::Rfc2217; }
    void Tell(const std::string& text) const { Say(Link.Port + ": " + text); }

    bool Attach(std::string* error);
    void Detach();
    bool Step();
    void Arm();
    DWORD MsToRetry(DWORD now) const;

  private:
    bool FinishRead();
    bool FinishWrite();
    bool StartRead();
    bool StartWrite();
    void TakeRecords(const uint8_t* data, size_t length);
    void TakeBaud(uint32_t rate);
    bool StepNetwork();
    bool Accept();
    bool Dial();
    bool Pump();
    void Drop(const std::string& why);
    void Encode();
    void MarkControl() { WireMarks.resize(Wire.size(), 0); }
    uint64_t UnsentData() const
    {
        return static_cast<uint64_t>(std::count(WireMarks.begin(), WireMarks.end(), 1));
    }
};

bool PortLoop::Attach(std::string* error)
{
    Device = CreateFileA("\\\\.\\QuarvexPeer", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (Device == INVALID_HANDLE_VALUE) {
        *error = "cannot open \\\\.\\QuarvexPeer (is quarvexpeer.sys running?): error " +
                 std::to_string(GetLastError());
        return false;
    }
    for (HANDLE& event : Events) {
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ReadRequest.hEvent = Events[0];
    WriteRequest.hEvent = Events[1];
    QvxPeerAttach attach = {};
    for (size_t i = 0; i < Link.Port.size() && i + 1 < QVXPEER_NAME_CHARS; ++i) {
        attach.PortName[i] = static_cast<unsigned char>(Link.Port[i]);
    }
    attach.Flags = Link.Config.XonXoff ? QVXPEER_ATTACH_XONXOFF : 0;
    attach.BufferBytes = Link.BufferGiven ? static_cast<unsigned int>(Link.Config.Buffer) : 0;
    // An overlapped handle needs an OVERLAPPED for every request; this one is waited for.
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(Device, IOCTL_QVXPEER_ATTACH, &attach, sizeof(attach), nullptr, 0,
                              &returned, &ReadRequest);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(Device, &ReadRequest, &returned, TRUE);
    }
    if (!ok) {
        const DWORD code = GetLastError();
        *error = "cannot attach " + Link.Port + ": " +
                 (code == ERROR_FILE_NOT_FOUND
                      ? std::string("no such port, or its \"Peer\" is not for a program")
                  : code == ERROR_SHARING_VIOLATION ? std::string("another program has it")
                                                    : "error " + std::to_string(code));
        return false;
    }
    for (const std::string& entries : Link.Config.Allow) {
        if (!Allow.Add(entries, error)) {
            return false;
        }
    }
    if (!Dials()) {
        if (!Listener.Listen(Link.Config.Host, Link.Config.TcpPort, error)) {
            return false;
        }
        if (IsEveryInterface(Link.Config.Host)) {
            Tell(EveryInterfaceWarning("tcp-server " + Where()));
        }
        Tell("listening on " + Where());
    }
    return true;
}

DWORD PortLoop::MsToRetry(DWORD now) const
{
    if (Broken || !Dials() || State != NetState::Down || !Retrying) {
        return INFINITE;
    }
    const auto left = static_cast<int32_t>(RetryAt - now);
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

bool PortLoop::FinishRead()
{
    if (!Reading || !HasOverlappedIoCompleted(&ReadRequest)) {
        return false;
    }
    Reading = false;
    ResetEvent(ReadRequest.hEvent);
    DWORD got = 0;
    if (!GetOverlappedResult(Device, &ReadRequest, &got, FALSE)) {
        if (GetLastError() != ERROR_OPERATION_ABORTED) {
            Tell("reading from the peer driver failed: error " + std::to_string(GetLastError()));
            Broken = true;
        }
        return true;
    }
    TakeRecords(ReadBuffer.data(), got);
    return true;
}

void PortLoop::TakeRecords(const uint8_t* data, size_t length)
{
    size_t at = 0;
    while (at + sizeof(QvxPeerRecordHeader) <= length) {
        QvxPeerRecordHeader header;
        memcpy(&header, data + at, sizeof(header));
        at += sizeof(header);
        if (header.Length > length - at) {
            Tell("the peer driver returned a cut record; the port is left alone");
            Broken = true;
            return;
        }
        const uint8_t* payload = data + at;
        at += header.Length;
        uint32_t value = 0;
        if (header.Length >= sizeof(value)) {
            memcpy(&value, payload, sizeof(value));
        }
        switch (header.Type) {
        case QVXPEER_RECORD_DATA:
            PortData.insert(PortData.end(), payload, payload + header.Length);
            Counters.FromPort += header.Length;
            break;
        case QVXPEER_RECORD_BAUD:
            TakeBaud(value);
            break;
        case QVXPEER_RECORD_PRESENCE:
            Tell(value != 0 ? "the port is started" : "the port is not started");
            break;
        case QVXPEER_RECORD_DROPPED:
            Counters.Dropped += value;
            Tell("the peer driver dropped " + Plural(value, "byte") +
                 " of the port (its buffer was full)");
            break;
        default:
            Tell("ignored a record of unknown type " + std::to_string(header.Type));
            break;
        }
    }
}

void PortLoop::TakeBaud(uint32_t rate)
{
    Counters.LastBaud = rate;
    if (!Rfc2217()) {
        return;
    }
    // The rate follows the data sent before it; without a connection it is remembered and
    // sent once the next server accepts the com-port option.
    std::string out;
    if (State == NetState::Up) {
        Encode();
        Telnet.SetBaudRate(rate, &Wire);
        MarkControl();
    } else {
        Telnet.SetBaudRate(rate, &out);
    }
}

bool PortLoop::FinishWrite()
{
    if (!Writing || !HasOverlappedIoCompleted(&WriteRequest)) {
        return false;
    }
    Writing = false;
    ResetEvent(WriteRequest.hEvent);
    DWORD taken = 0;
    if (!GetOverlappedResult(Device, &WriteRequest, &taken, FALSE)) {
        // A cancelled write tells the data bytes it had handed over; the rest never got there.
        const DWORD code = GetLastError();
        const size_t handed =
            code == ERROR_OPERATION_ABORTED ? std::min<size_t>(taken, WriteData) : 0;
        const size_t lost = WriteData - handed;
        Counters.ToPort += handed;
        Counters.Undelivered += lost;
        if (code == ERROR_OPERATION_ABORTED) {
            if (lost != 0) {
                Tell(Plural(lost, "byte") + " for the port were not taken before the stop");
            }
        } else {
            Tell("the peer driver refused " + Plural(lost, "byte") + " for the port: error " +
                 std::to_string(code));
        }
    } else {
        Counters.ToPort += WriteData;
    }
    WriteBuffer.clear();
    WriteData = 0;
    return true;
}

bool PortLoop::StartWrite()
{
    if (Writing || Broken || ToPort.empty()) {
        return false;
    }
    size_t used = 0;
    while (used < ToPort.size() &&
           WriteBuffer.size() + sizeof(QvxPeerRecordHeader) + 1 <= QVXPEER_MAX_WRITE) {
        const size_t room = QVXPEER_MAX_WRITE - WriteBuffer.size() - sizeof(QvxPeerRecordHeader);
        const size_t length = std::min({ToPort.size() - used, size_t{QVXPEER_MAX_DATA}, room});
        PutRecord(&WriteBuffer, ToPort.data() + used, length);
        used += length;
    }
    ToPort.erase(ToPort.begin(), ToPort.begin() + static_cast<std::ptrdiff_t>(used));
    WriteData = used;
    DWORD taken = 0;
    Writing = true;
    if (!WriteFile(Device, WriteBuffer.data(), static_cast<DWORD>(WriteBuffer.size()), &taken,
                   &WriteRequest) &&
        GetLastError() != ERROR_IO_PENDING) {
        Writing = false;
        Counters.Undelivered += WriteData;
        Tell("the peer driver refused " + Plural(WriteData, "byte") + " for the port: error " +
             std::to_string(GetLastError()));
        WriteBuffer.clear();
        WriteData = 0;
    }
    // Finished at once or not, FinishWrite sees the OVERLAPPED.
    return true;
}

bool PortLoop::StartRead()
{
    if (Reading || Broken || PortData.size() >= PORT_DATA_LIMIT) {
        return false;
    }
    DWORD got = 0;
    Reading = true;
    if (!ReadFile(Device, ReadBuffer.data(), READ_BYTES, &got, &ReadRequest) &&
        GetLastError() != ERROR_IO_PENDING) {
        Reading = false;
        Broken = true;
        Tell("reading from the peer driver failed: error " + std::to_string(GetLastError()));
    }
    return true;
}

// The port's data into the connection's bytes, once those before it have gone.
void PortLoop::Encode()
{
    if (PortData.empty()) {
        return;
    }
    MarkControl();
    if (Rfc2217()) {
        TelnetClient::Escape(PortData.data(), PortData.size(), &Wire);
        for (const uint8_t byte : PortData) {
            if (byte == 0xFF) {
                WireMarks.push_back(0);
            }
            WireMarks.push_back(1);
        }
    } else {
        Wire.append(PortData.begin(), PortData.end());
        WireMarks.resize(Wire.size(), 1);
    }
    PortData.clear();
}

void PortLoop::Drop(const std::string& why)
{
    Connection.Close();
    const uint64_t unsent = UnsentData();
    if (unsent != 0) {
        Counters.Undelivered += unsent;
        Tell(Plural(unsent, "byte") + " of the port were not sent and are lost");
    }
    Wire.clear();
    WireMarks.clear();
    State = NetState::Down;
    if (Dials()) {
        Retrying = false; // the first attempt after a drop goes at once
        Tell("connection to " + Where() + " " + why + "; connecting again");
    } else {
        Tell("connection " + why + "; waiting for the next");
    }
}

bool PortLoop::Dial()
{
    const DWORD now = GetTickCount();
    if (Retrying && static_cast<int32_t>(RetryAt - now) > 0) {
        return false;
    }
    std::string error;
    if (!Connection.Connect(Link.Config.Host, Link.Config.TcpPort, &error)) {
        Tell(error + "; retrying in " + std::to_string(Link.Config.RetryMs) + " ms");
        Retrying = true;
        RetryAt = now + Link.Config.RetryMs;
        return false;
    }
    State = NetState::Connecting;
    return true;
}

bool PortLoop::Accept()
{
    std::string who;
    bool refused = false;
    // One connection at a time: a caller during one is taken and closed.
    NetSocket second;
    const bool busy = State == NetState::Up;
    if (!Listener.Accept(Allow, busy ? &second : &Connection, &who, &refused)) {
        return false;
    }
    if (refused) {
        Tell("tcp-server " + Where() + ": refused " + who + ", which the allow list does not name");
    } else if (busy) {
        second.Close();
        Tell("tcp-server " + Where() + ": refused a second connection (" + who + ")");
    } else {
        State = NetState::Up;
        ++Counters.Connections;
        Tell("connected to " + who);
    }
    return true;
}

// Bytes both ways on an open connection; TRUE when any moved.
bool PortLoop::Pump()
{
    bool moved = false;
    std::string error;
    for (;;) {
        if (Wire.empty()) {
            Encode();
        }
        if (Wire.empty()) {
            break;
        }
        size_t sent = 0;
        const NetResult result = Connection.Send(reinterpret_cast<const uint8_t*>(Wire.data()),
                                                 Wire.size(), &sent, &error);
        if (result == NetResult::WouldBlock) {
            break;
        }
        if (result != NetResult::Done) {
            Drop("failed: " + error);
            return true;
        }
        Wire.erase(0, sent);
        WireMarks.erase(WireMarks.begin(), WireMarks.begin() + static_cast<std::ptrdiff_t>(sent));
        moved = true;
    }
    // The socket waits while the driver has not taken the last bytes.
    while (!Writing && ToPort.empty()) {
        uint8_t buffer[NET_READ_BYTES];
        size_t got = 0;
        const NetResult result = Connection.Receive(buffer, sizeof(buffer), &got, &error);
        if (result == NetResult::WouldBlock) {
            break;
        }
        if (result != NetResult::Done) {
            Drop(result == NetResult::Closed ? "closed by the far side" : "failed: " + error);
            return true;
        }
        if (Rfc2217()) {
            Telnet.Decode(buffer, got, &ToPort, &Wire);
            MarkControl();
        } else {
            ToPort.insert(ToPort.end(), buffer, buffer + got);
        }
        moved = true;
        // Replies go out before the data is written on.
        if (!ToPort.empty()) {
            break;
        }
    }
    return moved;
}

bool PortLoop::StepNetwork()
{
    bool moved = false;
    if (!Dials()) {
        moved = Accept();
    } else if (State == NetState::Down) {
        moved = Dial();
    }
    if (State == NetState::Connecting) {
        std::string error;
        const int result = Connection.ConnectResult(&error);
        if (result < 0) {
            Connection.Close();
            State = NetState::Down;
            Retrying = true;
            RetryAt = GetTickCount() + Link.Config.RetryMs;
            Tell("cannot connect to " + Where() + ": " + error + "; retrying in " +
                 std::to_string(Link.Config.RetryMs) + " ms");
            return true;
        }
        if (result == 0) {
            return moved;
        }
        State = NetState::Up;
        ++Counters.Connections;
        Tell("connected to " + Where());
        if (Rfc2217()) {
            Telnet.Start(&Wire);
            MarkControl();
        }
        moved = true;
    }
    if (State == NetState::Up) {
        moved = Pump() || moved;
    }
    return moved;
}

// One pass over the port; TRUE when anything moved (the loop passes again before waiting).
bool PortLoop::Step()
{
    if (Broken) {
        return false;
    }
    bool moved = FinishRead();
    moved = FinishWrite() || moved;
    moved = StepNetwork() || moved;
    moved = StartWrite() || moved;
    moved = StartRead() || moved;
    return moved;
}

void PortLoop::Arm()
{
    if (Connection.IsOpen()) {
        const bool read = State == NetState::Up && !Writing && ToPort.empty();
        const bool write = State == NetState::Connecting || !Wire.empty() || !PortData.empty();
        Connection.Arm(Events[2], read, write);
    }
    if (Listener.IsOpen()) {
        Listener.Arm(Events[3], true, false);
    }
}

void PortLoop::Detach()
{
    if (Device != INVALID_HANDLE_VALUE) {
        CancelIo(Device);
        DWORD count = 0;
        // A read that finished as it was cancelled still carries the port's bytes; a write
        // cancelled counts whole as undelivered.
        if (Reading) {
            GetOverlappedResult(Device, &ReadRequest, &count, TRUE);
            FinishRead();
        }
        if (Writing) {
            GetOverlappedResult(Device, &WriteRequest, &count, TRUE);
            FinishWrite();
        }
        CloseHandle(Device);
        Device = INVALID_HANDLE_VALUE;
    }
    const uint64_t fromPort = PortData.size() + UnsentData();
    const uint64_t forPort = ToPort.size();
    if (fromPort + forPort != 0) {
        Counters.Undelivered += fromPort + forPort;
        Tell("stopped with " + Plural(fromPort, "byte") + " of the port and " +
             Plural(forPort, "byte") + " for it undelivered");
    }
    PortData.clear();
    ToPort.clear();
    Wire.clear();
    WireMarks.clear();
    Connection.Close();
    Listener.Close();
    for (HANDLE& event : Events) {
        if (event != nullptr) {
            CloseHandle(event);
            event = nullptr;
        }
    }
}

struct Bridge::Impl
{
    std::vector<std::unique_ptr<PortLoop>> Ports;
    Notice Say;
    HANDLE StopEvent = nullptr;
    bool Started = false;
};

bool ParsePortLink(const std::string& text, PortLink* link, std::string* error)
{
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        *error =
            "\"" + MessageText(text) + "\" is not PORT=DESCRIPTION (COM5=tcp-client:host:port)";
        return false;
    }
    link->Port = text.substr(0, equals);
    for (char& c : link->Port) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    if (!IsPortName(link->Port)) {
        *error = "\"" + MessageText(text.substr(0, equals)) + "\" is not a port name (" +
                 PORT_NAME_RULE + ")";
        return false;
    }
    const std::string description = text.substr(equals + 1);
    std::string why;
    if (!ParsePeerDescription(description, &link->Config, &why)) {
        *error = link->Port + ": " + why;
        return false;
    }
    const PeerKind kind = link->Config.Kind;
    if (kind != PeerKind::TcpClient && kind != PeerKind::TcpServer && kind != PeerKind::Rfc2217) {
        *error = link->Port + ": \"" + MessageText(description) +
                 "\" is not a network peer (tcp-client, tcp-server or rfc2217); quarvexpeer.sys "
                 "runs the others itself";
        return false;
    }
    link->BufferGiven = ("," + description).find(",buffer=") != std::string::npos;
    return true;
}

Bridge::Bridge(std::vector<PortLink> links, Notice notice) : impl_(std::make_unique<Impl>())
{
    impl_->Say = std::move(notice);
    for (PortLink& link : links) {
        auto port = std::make_unique<PortLoop>();
        port->Link = std::move(link);
        port->Say = impl_->Say;
        impl_->Ports.push_back(std::move(port));
    }
    impl_->StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Bridge::~Bridge()
{
    for (auto& port : impl_->Ports) {
        port->Detach();
    }
    CloseHandle(impl_->StopEvent);
}

bool Bridge::Start(std::string* error)
{
    constexpr size_t MOST_PORTS = (MAXIMUM_WAIT_OBJECTS - 1) / HANDLES_PER_PORT;
    if (impl_->Ports.empty() || impl_->Ports.size() > MOST_PORTS) {
        *error = "give 1 to " + std::to_string(MOST_PORTS) + " ports";
        return false;
    }
    for (auto& port : impl_->Ports) {
        if (!port->Attach(error)) {
            for (auto& attached : impl_->Ports) {
                attached->Detach();
            }
            return false;
        }
    }
    impl_->Started = true;
    return true;
}

void Bridge::Run()
{
    if (!impl_->Started) {
        return;
    }
    std::vector<HANDLE> handles{impl_->StopEvent};
    for (auto& port : impl_->Ports) {
        handles.insert(handles.end(), port->Events, port->Events + HANDLES_PER_PORT);
    }
    for (;;) {
        bool moved = true;
        while (moved) {
            moved = false;
            for (auto& port : impl_->Ports) {
                moved = port->Step() || moved;
            }
        }
        DWORD timeout = INFINITE;
        const DWORD now = GetTickCount();
        for (auto& port : impl_->Ports) {
            port->Arm();
            timeout = std::min(timeout, port->MsToRetry(now));
        }
        const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                   handles.data(), FALSE, timeout);
        if (woken == WAIT_OBJECT_0) {
            break;
        }
        if (woken == WAIT_FAILED) {
            impl_->Say("waiting failed: error " + std::to_string(GetLastError()));
            break;
        }
    }
    for (auto& port : impl_->Ports) {
        port->Detach();
    }
}

void Bridge::Stop()
{
    SetEvent(impl_->StopEvent);
}

std::vector<PortCounters> Bridge::Counters() const
{
    std::vector<PortCounters> counters;
    for (const auto& port : impl_->Ports) {
        counters.push_back(port->Counters);
    }
    return counters;
}

} // namespace qvx::bridge
