#include "host/serve/rfc2217_session.h"

#include <windows.h>

#include "abi/serial_abi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qvx {

using namespace telnet; // the com-port commands

namespace {

// The reader returns at least this often, so it notices a stop or a suspension.
constexpr DWORD READ_WAIT_MS = 100;
// The event waiter also polls the modem lines this often: a change and its reversal between
// two reports would otherwise go unseen.
constexpr DWORD EVENT_POLL_MS = 100;
constexpr DWORD EVENT_MASK = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
// Client data queued for the port: above HIGH the client is asked to suspend sending, below
// LOW to resume; above LIMIT the network thread stops reading (a client that ignores the
// request), which also holds up its commands.
constexpr size_t QUEUE_HIGH = size_t{16} * 1024;
constexpr size_t QUEUE_LOW = size_t{4} * 1024;
constexpr size_t QUEUE_LIMIT = size_t{256} * 1024;
constexpr size_t WRITE_PIECE = size_t{4} * 1024;
// How long the data of a client that has closed may take to reach the port.
constexpr int LINGER_MS = 5000;
// Consecutive failures after which the port is taken as gone.
constexpr int MAX_PORT_FAILURES = 50;

// Line settings on the DCB: value 0 queries. Apply returns FALSE for a value the DCB cannot
// carry (the reply then tells the client the value in effect).
struct LineSettingRule
{
    uint8_t Command;
    size_t Width; // bytes on the wire, big-endian
    bool (*Apply)(DCB* dcb, uint32_t value);
    uint32_t (*Read)(const DCB& dcb);
};

constexpr BYTE STOP_BITS[] = {0, ONESTOPBIT, TWOSTOPBITS, ONE5STOPBITS}; // by wire value

const LineSettingRule LINE_SETTINGS[] = {
    {SET_BAUDRATE, 4,
     [](DCB* dcb, uint32_t value) {
         dcb->BaudRate = value;
         return true;
     },
     [](const DCB& dcb) { return static_cast<uint32_t>(dcb.BaudRate); }},
    {SET_DATASIZE, 1,
     [](DCB* dcb, uint32_t value) {
         dcb->ByteSize = static_cast<BYTE>(value);
         return value >= 5 && value <= 8;
     },
     [](const DCB& dcb) { return static_cast<uint32_t>(dcb.ByteSize); }},
    {SET_PARITY, 1,
     [](DCB* dcb, uint32_t value) {
         dcb->Parity = static_cast<BYTE>(value - 1);
         dcb->fParity = value != 1;
         return value >= 1 && value <= 5;
     },
     [](const DCB& dcb) { return dcb.Parity + 1u; }},
    {SET_STOPSIZE, 1,
     [](DCB* dcb, uint32_t value) {
         if (value < 1 || value > 3) {
             return false;
         }
         dcb->StopBits = STOP_BITS[value];
         return true;
     },
     [](const DCB& dcb) {
         for (uint32_t value = 1; value <= 3; ++value) {
             if (STOP_BITS[value] == dcb.StopBits) {
                 return value;
             }
         }
         return 0u;
     }},
};

// SET-CONTROL values fall in groups; the reply is the group's value in effect.
enum ControlGroup { OUT_FLOW, BREAK_STATE, DTR_STATE, RTS_STATE, IN_FLOW };
constexpr int CONTROL_GROUP_OF[] = {OUT_FLOW,    OUT_FLOW,    OUT_FLOW,  OUT_FLOW,  BREAK_STATE,
                                    BREAK_STATE, BREAK_STATE, DTR_STATE, DTR_STATE, DTR_STATE,
                                    RTS_STATE,   RTS_STATE,   RTS_STATE, IN_FLOW,   IN_FLOW,
                                    IN_FLOW,     IN_FLOW,     OUT_FLOW,  IN_FLOW,   OUT_FLOW};
constexpr uint8_t CONTROL_VALUES = sizeof(CONTROL_GROUP_OF) / sizeof(CONTROL_GROUP_OF[0]);

void HardwareHandshakeOff(DCB* dcb)
{
    if (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (dcb->fDtrControl == DTR_CONTROL_HANDSHAKE) {
        dcb->fDtrControl = DTR_CONTROL_ENABLE;
    }
}

// Flow-control values onto the DCB; FALSE for one Win32 cannot do (DCD flow).
bool ApplyFlow(DCB* dcb, uint8_t value)
{
    switch (value) {
    case 1: // none, both ways
    case 2: // XON/XOFF, both ways
        dcb->fOutxCtsFlow = 0;
        dcb->fOutxDsrFlow = 0;
        HardwareHandshakeOff(dcb);
        dcb->fOutX = value == 2;
        dcb->fInX = value == 2;
        return true;
    case 3: // RTS/CTS, both ways
        dcb->fOutX = 0;
        dcb->fInX = 0;
        dcb->fOutxDsrFlow = 0;
        dcb->fOutxCtsFlow = 1;
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        return true;
    case 14: // inbound none
    case 15: // inbound XON/XOFF
        HardwareHandshakeOff(dcb);
        dcb->fInX = value == 15;
        return true;
    case 16: // inbound on RTS
        dcb->fInX = 0;
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        return true;
    case 18: // inbound on DTR
        dcb->fInX = 0;
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
        return true;
    case 19: // outbound on DSR
        dcb->fOutxDsrFlow = 1;
        return true;
    default:
        return false;
    }
}

// Modem lines as the 16550's modem status register: the state in the high nibble (the MS_*
// bits have those values), the changes since the last report in the low one.
uint8_t ModemDeltas(uint8_t before, uint8_t now, uint32_t events)
{
    uint8_t deltas = 0;
    const uint8_t changed = before ^ now;
    if ((changed & MS_CTS_ON) != 0 || (events & EV_CTS) != 0) {
        deltas |= 0x01;
    }
    if ((changed & MS_DSR_ON) != 0 || (events & EV_DSR) != 0) {
        deltas |= 0x02;
    }
    if (((before & MS_RING_ON) != 0 && (now & MS_RING_ON) == 0) || (events & EV_RING) != 0) {
        deltas |= 0x04;
    }
    if ((changed & MS_RLSD_ON) != 0 || (events & EV_RLSD) != 0) {
        deltas |= 0x08;
    }
    return deltas;
}

std::string OpenFailure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return "no such port";
    case ERROR_ACCESS_DENIED:
        return "the port is in use";
    default:
        return "Win32 error " + std::to_string(error);
    }
}

} // namespace

struct Rfc2217Session::Port
{
    HANDLE Com = INVALID_HANDLE_VALUE;
    HANDLE StopEvent = nullptr; // manual reset: once set, every wait of the session ends
    HANDLE WriteEvent = nullptr;
    HANDLE ReadEvent = nullptr;
    HANDLE WaitEvent = nullptr;

    // Waits for an overlapped request started with result `ok`; a stop cancels it. TRUE when
    // it succeeded; the count in *done either way.
    BOOL Finish(BOOL ok, OVERLAPPED* overlapped, DWORD* done)
    {
        if (ok || GetLastError() != ERROR_IO_PENDING) {
            return ok;
        }
        HANDLE handles[2] = {overlapped->hEvent, StopEvent};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(Com, overlapped);
        }
        return GetOverlappedResult(Com, overlapped, done, TRUE);
    }
};

Rfc2217Session::Rfc2217Session(std::string portName, int socket, std::string peer,
                               ServeCounters* counters)
    : portName_(std::move(portName)), socket_(socket), peer_(std::move(peer)), counters_(counters),
      port_(std::make_unique<Port>())
{
    port_->StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port_->WriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port_->ReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    port_->WaitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Rfc2217Session::~Rfc2217Session()
{
    RequestStop();
    if (net_.joinable()) {
        net_.join();
    }
    for (HANDLE event : {port_->StopEvent, port_->WriteEvent, port_->ReadEvent, port_->WaitEvent}) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    // Closed only here, after every thread is done with it, so no thread can reach a
    // number the process has handed out again.
    ::close(socket_);
}

bool Rfc2217Session::ClientClosed() const
{
    pollfd connection = {socket_, POLLRDHUP, 0};
    return ::poll(&connection, 1, 0) > 0 &&
           (connection.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void Rfc2217Session::Start()
{
    net_ = std::thread([this] { Run(); });
}

void Rfc2217Session::RequestStop()
{
    {
        // Under the lock, so the writer cannot miss the wake-up between test and wait.
        MutexLock guard(writeLock_);
        stopping_ = true;
    }
    writeWake_.notify_all();
    if (port_->StopEvent != nullptr) {
        SetEvent(port_->StopEvent);
    }
    // Wakes the network thread's recv and any send blocked on a client that stopped reading.
    ::shutdown(socket_, SHUT_RDWR);
}

void Rfc2217Session::Run()
{
    const std::string device = "\\\\.\\" + portName_;
    port_->Com = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port_->Com == INVALID_HANDLE_VALUE) {
        SendLine("cannot open " + portName_ + ": " + OpenFailure(GetLastError()));
        RequestStop();
        finished_ = true;
        return;
    }
    // Any bytes waiting return at once; otherwise the read waits a while for the first.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, READ_WAIT_MS, 0, 0};
    SetCommTimeouts(port_->Com, &timeouts);
    SetCommMask(port_->Com, EVENT_MASK);
    DWORD modem = 0;
    GetCommModemStatus(port_->Com, &modem);
    {
        // No other thread of the session runs yet, but the rule stays simple.
        MutexLock guard(stateLock_);
        lastModem_ = static_cast<uint8_t>(modem & 0xF0);
    }

    SendInitialNegotiation();
    writer_ = std::thread([this] { WriteLoop(); });
    reader_ = std::thread([this] { ReadLoop(); });
    events_ = std::thread([this] { EventLoop(); });
    NetLoop();
    clientGone_ = true;
    {
        // A client that sends and closes at once still has its data written; flow control
        // that never lets it go does not keep the port forever.
        MutexLock lock(writeLock_);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(LINGER_MS);
        while (!stopping_ && (!pending_.empty() || writing_) &&
               lock.WaitUntil(writeWake_, deadline)) {
        }
    }
    RequestStop();
    SetCommMask(port_->Com, 0); // releases a pending event wait
    writer_.join();
    reader_.join();
    events_.join();
    if (breakOn_) {
        ClearCommBreak(port_->Com);
    }
    CloseHandle(port_->Com);
    port_->Com = INVALID_HANDLE_VALUE;
    finished_ = true;
}

void Rfc2217Session::SendInitialNegotiation()
{
    // Binary both ways so every byte passes unaltered, no go-aheads. The client offers the
    // com-port option itself.
    std::vector<uint8_t> out;
    for (uint8_t option : {telnet::OPTION_BINARY, telnet::OPTION_SGA}) {
        options_.Offer(option, &out);
        options_.Ask(option, &out);
    }
    Send(out);
}

void Rfc2217Session::NetLoop()
{
    uint8_t buffer[4096];
    while (!stopping_) {
        const ssize_t got = ::recv(socket_, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return; // the client closed, vanished, or the session is stopping
        }
        parser_.Feed(buffer, static_cast<size_t>(got), this);
        FlushToPort();
    }
}

void Rfc2217Session::OnData(const uint8_t* data, size_t length)
{
    toPort_.insert(toPort_.end(), data, data + length);
}

void Rfc2217Session::FlushToPort()
{
    if (toPort_.empty()) {
        return;
    }
    bool suspend = false;
    {
        MutexLock lock(writeLock_);
        pending_.insert(pending_.end(), toPort_.begin(), toPort_.end());
        toPort_.clear();
        if (pending_.size() > QUEUE_HIGH && !toldSuspend_) {
            toldSuspend_ = true;
            suspend = true;
        }
    }
    writeWake_.notify_all();
    if (suspend) {
        Reply(FLOWCONTROL_SUSPEND, {});
    }
    MutexLock lock(writeLock_);
    while (!stopping_ && pending_.size() > QUEUE_LIMIT) {
        lock.Wait(writeWake_);
    }
}

void Rfc2217Session::WriteLoop()
{
    std::vector<uint8_t> chunk;
    for (;;) {
        {
            MutexLock lock(writeLock_);
            while (!stopping_ && pending_.empty()) {
                lock.Wait(writeWake_);
            }
            if (stopping_) {
                counters_->Dropped += pending_.size();
                return;
            }
            // A bounded piece at a time: what a held write has taken stays small, so the
            // queue's marks measure what really waits.
            const size_t length = std::min(pending_.size(), WRITE_PIECE);
            chunk.assign(pending_.begin(), pending_.begin() + static_cast<long>(length));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
            writing_ = true;
        }
        writeWake_.notify_all(); // room in the queue again
        WriteToPort(chunk.data(), chunk.size());
        bool resume = false;
        {
            MutexLock guard(writeLock_);
            writing_ = false;
            if (toldSuspend_ && pending_.size() < QUEUE_LOW) {
                toldSuspend_ = false;
                resume = true;
            }
        }
        writeWake_.notify_all();
        if (resume) {
            Reply(FLOWCONTROL_RESUME, {});
        }
    }
}

bool Rfc2217Session::WriteToPort(const uint8_t* data, size_t length)
{
    size_t offset = 0;
    int failures = 0;
    while (offset < length && !stopping_) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = port_->WriteEvent;
        DWORD done = 0;
        const BOOL ok =
            port_->Finish(WriteFile(port_->Com, data + offset, static_cast<DWORD>(length - offset),
                                    &done, &overlapped),
                          &overlapped, &done);
        offset += done;
        counters_->ToPort += done;
        if (ok || done > 0) {
            failures = 0;
            continue;
        }
        // An error that aborts transfers until it is cleared: clear it and go on.
        DWORD errors = 0;
        ClearCommError(port_->Com, &errors, nullptr);
        if (++failures >= MAX_PORT_FAILURES) {
            break;
        }
    }
    if (offset < length) {
        counters_->Dropped += length - offset;
        return false;
    }
    return true;
}

void Rfc2217Session::ReadLoop()
{
    uint8_t buffer[4096];
    int failures = 0;
    while (!stopping_) {
        if (suspended_) {
            // The client asked for no data for now; the port's buffer holds it meanwhile.
            WaitForSingleObject(port_->StopEvent, 20);
            continue;
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = port_->ReadEvent;
        DWORD done = 0;
        const BOOL ok = port_->Finish(
            ReadFile(port_->Com, buffer, sizeof(buffer), &done, &overlapped), &overlapped, &done);
        if (done > 0) {
            counters_->FromPort += done;
            std::vector<uint8_t> out;
            telnet::AppendEscaped(&out, buffer, done);
            Send(out);
        }
        if (ok || stopping_) {
            failures = 0;
            continue;
        }
        DWORD errors = 0;
        ClearCommError(port_->Com, &errors, nullptr);
        if (++failures >= MAX_PORT_FAILURES) {
            SendLine("port " + portName_ + " failed");
            RequestStop();
            return;
        }
        WaitForSingleObject(port_->StopEvent, 10);
    }
}

void Rfc2217Session::EventLoop()
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = port_->WaitEvent;
    DWORD events = 0;
    bool pending = false;
    while (!stopping_) {
        DWORD seen = 0;
        if (!pending) {
            events = 0;
            if (WaitCommEvent(port_->Com, &events, &overlapped)) {
                seen = events;
            } else if (GetLastError() == ERROR_IO_PENDING) {
                pending = true;
            } else {
                WaitForSingleObject(port_->StopEvent, EVENT_POLL_MS);
            }
        }
        if (pending) {
            HANDLE handles[2] = {port_->WaitEvent, port_->StopEvent};
            const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, EVENT_POLL_MS);
            if (woke == WAIT_OBJECT_0) {
                DWORD unused = 0;
                GetOverlappedResult(port_->Com, &overlapped, &unused, FALSE);
                pending = false;
                seen = events;
            } else if (woke != WAIT_TIMEOUT) {
                break;
            }
        }
        ReportState(seen, false);
    }
    if (pending) {
        CancelIoEx(port_->Com, &overlapped);
        DWORD unused = 0;
        GetOverlappedResult(port_->Com, &overlapped, &unused, TRUE);
    }
}

void Rfc2217Session::ReportState(uint32_t events, bool initial)
{
    DWORD modem = 0;
    if (!GetCommModemStatus(port_->Com, &modem)) {
        return;
    }
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(port_->Com, &errors, &status);
    const uint8_t modemNow = static_cast<uint8_t>(modem & 0xF0);
    uint8_t line = 0;
    line |= status.cbInQue > 0 ? 0x01 : 0;
    line |= (errors & CE_OVERRUN) != 0 ? 0x02 : 0;
    line |= (errors & CE_RXPARITY) != 0 ? 0x04 : 0;
    line |= (errors & CE_FRAME) != 0 ? 0x08 : 0;
    line |= ((errors & CE_BREAK) != 0 || (events & EV_BREAK) != 0) ? 0x10 : 0;
    line |= status.cbOutQue == 0 ? 0x60 : 0; // holding and shift register empty

    // Built and sent under the lock, so two reports never reach the client out of order.
    MutexLock guard(stateLock_);
    const uint8_t deltas = ModemDeltas(lastModem_, modemNow, events);
    const uint8_t modemChanged = static_cast<uint8_t>((lastModem_ ^ modemNow) | deltas);
    const uint8_t lineChanged = static_cast<uint8_t>(line ^ lastLine_);
    lastModem_ = modemNow;
    lastLine_ = line;
    if (!notify_) {
        return;
    }
    std::vector<uint8_t> out;
    if (initial || (modemChanged & modemMask_) != 0) {
        telnet::AppendSubnegotiation(&out, telnet::OPTION_COM_PORT,
                                     NOTIFY_MODEMSTATE + SERVER_OFFSET,
                                     {static_cast<uint8_t>((modemNow | deltas) & modemMask_)});
    }
    if ((lineChanged & lineMask_) != 0) {
        telnet::AppendSubnegotiation(&out, telnet::OPTION_COM_PORT,
                                     NOTIFY_LINESTATE + SERVER_OFFSET,
                                     {static_cast<uint8_t>(line & lineMask_)});
    }
    if (!out.empty()) {
        Send(out);
    }
}

void Rfc2217Session::Send(const std::vector<uint8_t>& bytes)
{
    MutexLock guard(sendLock_);
    if (sendFailed_) {
        return;
    }
    size_t offset = 0;
    while (offset < bytes.size()) {
        const ssize_t sent =
            ::send(socket_, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            // The client is gone. Its data already here still goes to the port (Run lingers
            // for it); shutting the socket ends the network thread's recv.
            sendFailed_ = true;
            ::shutdown(socket_, SHUT_RDWR);
            return;
        }
        offset += static_cast<size_t>(sent);
    }
}

void Rfc2217Session::SendLine(const std::string& line)
{
    const std::string text = line + "\r\n";
    Send(std::vector<uint8_t>(text.begin(), text.end()));
}

void Rfc2217Session::Reply(uint8_t command, const std::vector<uint8_t>& value)
{
    std::vector<uint8_t> out;
    telnet::AppendSubnegotiation(&out, telnet::OPTION_COM_PORT, command + SERVER_OFFSET, value);
    Send(out);
}

void Rfc2217Session::OnOption(uint8_t verb, uint8_t option)
{
    std::vector<uint8_t> out;
    options_.Receive(verb, option, &out);
    if (!out.empty()) {
        Send(out);
    }
    if (option == telnet::OPTION_COM_PORT) {
        bool first = false;
        {
            MutexLock guard(stateLock_);
            const bool now = options_.Remote(option) || options_.Local(option);
            first = now && !notify_;
            notify_ = now;
        }
        if (first) {
            ReportState(0, true); // a client reads its modem lines before any change
        }
    }
}

void Rfc2217Session::OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body)
{
    if (option != telnet::OPTION_COM_PORT || body.empty() ||
        !(options_.Remote(option) || options_.Local(option))) {
        return;
    }
    FlushToPort();
    const uint8_t command = body[0];
    const std::vector<uint8_t> value(body.begin() + 1, body.end());
    using Handler = void (Rfc2217Session::*)(const std::vector<uint8_t>&);
    static const struct
    {
        uint8_t Command;
        Handler Handle;
    } handlers[] = {
        {SIGNATURE, &Rfc2217Session::Signature},
        {SET_CONTROL, &Rfc2217Session::Control},
        {NOTIFY_LINESTATE, &Rfc2217Session::QueryLineState},
        {NOTIFY_MODEMSTATE, &Rfc2217Session::QueryModemState},
        {FLOWCONTROL_SUSPEND, &Rfc2217Session::Suspend},
        {FLOWCONTROL_RESUME, &Rfc2217Session::Resume},
        {SET_LINESTATE_MASK, &Rfc2217Session::LineStateMask},
        {SET_MODEMSTATE_MASK, &Rfc2217Session::ModemStateMask},
        {PURGE_DATA, &Rfc2217Session::Purge},
    };
    for (const auto& handler : handlers) {
        if (handler.Command == command) {
            (this->*handler.Handle)(value);
            return;
        }
    }
    if (command >= SET_BAUDRATE && command <= SET_STOPSIZE) {
        LineSetting(command, value);
    }
    // Anything else (a server's code sent back, an unknown command) is ignored.
}

void Rfc2217Session::Signature(const std::vector<uint8_t>& value)
{
    if (value.empty()) {
        const std::string text = "Quarvex " + portName_;
        Reply(SIGNATURE, std::vector<uint8_t>(text.begin(), text.end()));
    }
}

void Rfc2217Session::LineSetting(uint8_t command, const std::vector<uint8_t>& value)
{
    // At once, as SetCommState does: data still on its way goes out under the new format.
    // Waiting for it could take minutes at a low rate, or forever behind flow control.
    const LineSettingRule& rule = LINE_SETTINGS[command - SET_BAUDRATE];
    const uint32_t wanted = FromBigEndian(value.data(), std::min(value.size(), rule.Width));
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (wanted != 0 && value.size() == rule.Width && GetCommState(port_->Com, &dcb)) {
        if (rule.Apply(&dcb, wanted)) {
            SetCommState(port_->Com, &dcb); // refused: the reply shows the value kept
        }
    }
    dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port_->Com, &dcb);
    Reply(command, BigEndian(rule.Read(dcb), rule.Width));
}

uint8_t Rfc2217Session::ReadControl(int group)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port_->Com, &dcb);
    DWORD lines = 0;
    DWORD returned = 0;
    if (group == DTR_STATE || group == RTS_STATE) {
        // The DTR and RTS outputs as the port drives them; Win32 has no call for it.
        DeviceIoControl(port_->Com, abi::IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof(lines),
                        &returned, nullptr);
    }
    switch (group) {
    case OUT_FLOW:
        return dcb.fOutxCtsFlow ? 3 : dcb.fOutxDsrFlow ? 19 : dcb.fOutX ? 2 : 1;
    case BREAK_STATE:
        return breakOn_ ? 5 : 6;
    case DTR_STATE:
        return (lines & abi::SERIAL_DTR_STATE) != 0 ? 8 : 9;
    case RTS_STATE:
        return (lines & abi::SERIAL_RTS_STATE) != 0 ? 11 : 12;
    default:
        return dcb.fRtsControl == RTS_CONTROL_HANDSHAKE   ? 16
               : dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ? 18
               : dcb.fInX                                 ? 15
                                                          : 14;
    }
}

bool Rfc2217Session::ApplyControl(uint8_t value)
{
    switch (value) {
    case 5:
    case 6: {
        const BOOL ok = value == 5 ? SetCommBreak(port_->Com) : ClearCommBreak(port_->Com);
        if (ok) {
            breakOn_ = value == 5;
        }
        return ok;
    }
    case 8:
    case 9:
        return EscapeCommFunction(port_->Com, value == 8 ? SETDTR : CLRDTR);
    case 11:
    case 12:
        return EscapeCommFunction(port_->Com, value == 11 ? SETRTS : CLRRTS);
    default: {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        return GetCommState(port_->Com, &dcb) && ApplyFlow(&dcb, value) &&
               SetCommState(port_->Com, &dcb);
    }
    }
}

void Rfc2217Session::Control(const std::vector<uint8_t>& value)
{
    if (value.size() != 1 || value[0] >= CONTROL_VALUES) {
        return;
    }
    const int group = CONTROL_GROUP_OF[value[0]];
    const bool query =
        value[0] == 0 || value[0] == 4 || value[0] == 7 || value[0] == 10 || value[0] == 13;
    if (!query) {
        ApplyControl(value[0]); // refused: the reply shows what is in effect
    }
    Reply(SET_CONTROL, {ReadControl(group)});
}

void Rfc2217Session::QueryLineState(const std::vector<uint8_t>&)
{
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(port_->Com, &errors, &status);
    uint8_t line = status.cbInQue > 0 ? 0x01 : 0;
    line |= status.cbOutQue == 0 ? 0x60 : 0;
    MutexLock guard(stateLock_);
    Reply(NOTIFY_LINESTATE, {static_cast<uint8_t>(line & lineMask_)});
}

void Rfc2217Session::QueryModemState(const std::vector<uint8_t>&)
{
    DWORD modem = 0;
    GetCommModemStatus(port_->Com, &modem);
    MutexLock guard(stateLock_);
    Reply(NOTIFY_MODEMSTATE, {static_cast<uint8_t>(modem & 0xF0 & modemMask_)});
}

void Rfc2217Session::Suspend(const std::vector<uint8_t>&)
{
    suspended_ = true;
}

void Rfc2217Session::Resume(const std::vector<uint8_t>&)
{
    suspended_ = false;
}

void Rfc2217Session::LineStateMask(const std::vector<uint8_t>& value)
{
    MutexLock guard(stateLock_);
    if (value.size() == 1) {
        lineMask_ = value[0];
    }
    Reply(SET_LINESTATE_MASK, {lineMask_});
}

void Rfc2217Session::ModemStateMask(const std::vector<uint8_t>& value)
{
    MutexLock guard(stateLock_);
    if (value.size() == 1) {
        modemMask_ = value[0];
    }
    Reply(SET_MODEMSTATE_MASK, {modemMask_});
}

void Rfc2217Session::Purge(const std::vector<uint8_t>& value)
{
    // Receive buffer = line data on its way to the client, transmit buffer = client data on
    // its way to the line.
    static constexpr DWORD FLAGS[] = {0, PURGE_RXCLEAR, PURGE_TXCLEAR,
                                      PURGE_RXCLEAR | PURGE_TXCLEAR};
    if (value.size() != 1 || value[0] < 1 || value[0] > 3) {
        return;
    }
    bool resume = false;
    if ((value[0] & 2) != 0) {
        // Client data still queued here is as much in the transmit buffer as the port's.
        MutexLock guard(writeLock_);
        pending_.clear();
        resume = toldSuspend_;
        toldSuspend_ = false;
    }
    writeWake_.notify_all();
    if (PurgeComm(port_->Com, FLAGS[value[0]])) {
        Reply(PURGE_DATA, value);
    }
    if (resume) {
        Reply(FLOWCONTROL_RESUME, {});
    }
}

} // namespace qvx
