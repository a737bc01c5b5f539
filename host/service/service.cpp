#include "host/service/service.h"

#include "host/win32/bridge_local.h"

#include <ntddser.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace qvx::service {

namespace {

using win32::PendingRequest;
using win32::RequestKind;

constexpr int32_t NT_INVALID_HANDLE = static_cast<int32_t>(0xC0000008u);
constexpr int32_t NT_INSUFFICIENT_RESOURCES = static_cast<int32_t>(0xC000009Au);
constexpr int32_t NT_TOO_MANY_OPENED_FILES = static_cast<int32_t>(0xC000011Fu);

// How long a departing client's cancelled requests and last replies may take before the
// service stops waiting for them.
constexpr auto DEPARTURE_GRACE = std::chrono::seconds(5);

uint16_t ReplyType(Type type)
{
    return static_cast<uint16_t>(static_cast<uint16_t>(type) | REPLY);
}

RequestKind LocalKind(Kind kind)
{
    switch (kind) {
    case Kind::Read:
        return RequestKind::Read;
    case Kind::Write:
        return RequestKind::Write;
    case Kind::Flush:
        return RequestKind::Flush;
    case Kind::Control:
        break;
    }
    return RequestKind::Control;
}

bool FillAddress(const std::string& path, sockaddr_un* address, std::string* error)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path)) {
        *error = "socket path '" + path + "' is empty or too long";
        return false;
    }
    std::memcpy(address->sun_path, path.data(), path.size());
    return true;
}

// The last component of a device name (\\.\COM5 -> COM5), upper case.
std::string LastComponent(const std::u16string& name)
{
    const size_t slash = name.find_last_of(u'\\');
    std::string text;
    for (const char16_t unit : name.substr(slash == std::u16string::npos ? 0 : slash + 1)) {
        const char c = unit < 0x80 ? static_cast<char>(unit) : '?';
        text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return text;
}

std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (const char16_t unit : text) {
        out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return out;
}

} // namespace

// One client. The reader thread owns the protocol state; the lock guards what the writer,
// the completion callbacks and the status query share with it.
struct Connection : std::enable_shared_from_this<Connection>
{
    Service::State* Owner = nullptr;
    int Fd = -1;
    uint32_t Pid = 0;
    uint32_t Uid = 0;
    std::thread ReaderThread;
    std::thread WriterThread;
    std::atomic<bool> Finished{false};
    bool Greeted = false; // reader thread only

    std::mutex Lock;
    std::condition_variable Changed;
    // Under Lock.
    std::deque<std::vector<uint8_t>> Queue;
    size_t Queued = 0;
    bool Overflowed = false;
    bool Finishing = false; // the writer sends what is queued and stops
    bool WriterDone = false;
    bool Sending = false; // the writer sends a frame it took off the queue
    std::map<uint32_t, std::shared_ptr<PendingRequest>> Outstanding;
    std::map<uint32_t, size_t> OutstandingSizes;
    size_t OutstandingBytes = 0;
    std::map<uint32_t, std::u16string> Handles; // handle -> the name it was opened by

    std::string Who() const
    {
        return "client pid " + std::to_string(Pid) + " uid " + std::to_string(Uid);
    }
    void Push(std::vector<uint8_t> frame);
    void Reply(Type type, uint32_t tag, const std::vector<uint8_t>& body)
    {
        Push(Frame(ReplyType(type), tag, body));
    }
    void Completed(uint32_t id, int32_t status, uint64_t information,
                   const std::vector<uint8_t>& data);
    void Write();
    void Read();
    // FALSE and why when the message breaks the protocol.
    bool Serve(const Message& message, std::string* why);
    void StartRequest(const ClientMessage& request);
    void Depart(const std::string& why);
};

struct Service::State
{
    ServiceOptions Options;
    int ListenFd = -1;
    std::thread Acceptor;
    bool Stopped = false;
    mutable std::mutex Lock;
    std::vector<std::shared_ptr<Connection>> Connections; // under Lock

    void Notice(const std::string& line) const
    {
        if (Options.Notice) {
            Options.Notice(line);
        }
    }
    void Accept();
    std::vector<PortState> Ports() const;
};

void Connection::Push(std::vector<uint8_t> frame)
{
    std::lock_guard<std::mutex> guard(Lock);
    if (Overflowed || WriterDone) {
        return;
    }
    if (Queued + frame.size() > Owner->Options.SendQueueLimit) {
        // It does not read what it asked for: it goes, so that it never holds the service.
        Overflowed = true;
        shutdown(Fd, SHUT_RDWR);
        return;
    }
    if (Queue.empty() && !Sending) {
        // Nothing ahead of it: sent at once when the socket takes it without waiting, which
        // spares a thread hop on each reply. The rest goes through the writer.
        const ssize_t count = send(Fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count == static_cast<ssize_t>(frame.size())) {
            return;
        }
        if (count > 0) {
            frame.erase(frame.begin(), frame.begin() + count);
        }
    }
    Queued += frame.size();
    Queue.push_back(std::move(frame));
    Changed.notify_all();
}

void Connection::Completed(uint32_t id, int32_t status, uint64_t information,
                           const std::vector<uint8_t>& data)
{
    {
        std::lock_guard<std::mutex> guard(Lock);
        auto size = OutstandingSizes.find(id);
        if (size != OutstandingSizes.end()) {
            OutstandingBytes -= size->second;
            OutstandingSizes.erase(size);
        }
        Outstanding.erase(id);
        Changed.notify_all();
    }
    Reply(Type::Request, id,
          Writer().U32(static_cast<uint32_t>(status)).U32(0).U64(information).Bytes(data).Take());
}

void Connection::Write()
{
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        Changed.wait(guard, [this] { return !Queue.empty() || Finishing || Overflowed; });
        if (Queue.empty() || Overflowed) {
            break;
        }
        std::vector<uint8_t> frame = std::move(Queue.front());
        Queue.pop_front();
        Sending = true;
        guard.unlock();
        size_t sent = 0;
        while (sent < frame.size()) {
            const ssize_t count = send(Fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            sent += static_cast<size_t>(count);
        }
        guard.lock();
        Sending = false;
        Queued -= frame.size();
        if (sent < frame.size()) {
            // The client is gone; its reader sees the end too.
            shutdown(Fd, SHUT_RDWR);
            break;
        }
    }
    WriterDone = true;
    Queue.clear();
    Queued = 0;
    Changed.notify_all();
}

void Connection::StartRequest(const ClientMessage& request)
{
    const size_t bytes = request.Input.size() + request.OutputLength;
    bool known = false;
    bool refused = false;
    {
        std::lock_guard<std::mutex> guard(Lock);
        known = Handles.count(request.Handle) != 0;
        refused = Outstanding.size() >= Owner->Options.MaxOutstanding ||
                  OutstandingBytes + bytes > Owner->Options.MaxOutstandingBytes;
    }
    if (!known || refused) {
        Completed(request.Tag, known ? NT_INSUFFICIENT_RESOURCES : NT_INVALID_HANDLE, 0, {});
        return;
    }
    std::shared_ptr<PendingRequest> pending =
        win32::local::StartRequest(request.Handle, LocalKind(request.RequestKind), request.Code,
                                   request.Input, request.OutputLength);
    {
        std::lock_guard<std::mutex> guard(Lock);
        Outstanding[request.Tag] = pending;
        OutstandingSizes[request.Tag] = bytes;
        OutstandingBytes += bytes;
    }
    // Registered after the request is listed: the callback may run at once, here.
    std::weak_ptr<Connection> self = weak_from_this();
    std::weak_ptr<PendingRequest> weakRequest = pending;
    const uint32_t id = request.Tag;
    pending->OnCompletion([self, weakRequest, id] {
        std::shared_ptr<Connection> connection = self.lock();
        std::shared_ptr<PendingRequest> done = weakRequest.lock();
        if (connection != nullptr && done != nullptr) {
            const win32::Completion result = done->Result();
            connection->Completed(id, result.Status, result.Information, result.Data);
        }
    });
    // The caller learns, as a Windows caller does when the driver returns, whether the request
    // was queued. Should it complete meanwhile, the client takes COMPLETED for the answer.
    if (!pending->Done()) {
        Push(Frame(static_cast<uint16_t>(Type::Started), id, {}));
    }
}

bool Connection::Serve(const Message& message, std::string* why)
{
    ClientMessage decoded;
    if (!DecodeClient(message, &decoded, why)) {
        return false;
    }
    if (!Greeted) {
        if (decoded.What != Type::Hello) {
            *why = "a message before HELLO";
            return false;
        }
        if (decoded.Version != PROTOCOL_VERSION) {
            *why = "protocol version " + std::to_string(decoded.Version) +
                   " (this service speaks " + std::to_string(PROTOCOL_VERSION) + ")";
            return false;
        }
        Greeted = true;
        Reply(Type::Hello, decoded.Tag, Writer().U32(PROTOCOL_VERSION).U32(MAX_MESSAGE).Take());
        return true;
    }
    switch (decoded.What) {
    case Type::Hello:
        *why = "a second HELLO";
        return false;
    case Type::Open: {
        int32_t status = NT_TOO_MANY_OPENED_FILES;
        uint32_t handle = 0;
        bool room = false;
        {
            std::lock_guard<std::mutex> guard(Lock);
            room = Handles.size() < Owner->Options.MaxHandles;
        }
        if (room) {
            handle = win32::local::OpenFile(decoded.Name, &status);
        }
        if (handle != 0) {
            std::lock_guard<std::mutex> guard(Lock);
            Handles[handle] = decoded.Name;
        }
        Reply(Type::Open, decoded.Tag,
              Writer().U32(static_cast<uint32_t>(status)).U32(handle).Take());
        return true;
    }
    case Type::Request: {
        bool twice = false;
        {
            std::lock_guard<std::mutex> guard(Lock);
            twice = Outstanding.count(decoded.Tag) != 0;
        }
        if (twice) {
            *why = "request id " + std::to_string(decoded.Tag) + " while it is outstanding";
            return false;
        }
        StartRequest(decoded);
        return true;
    }
    case Type::Cancel: {
        std::shared_ptr<PendingRequest> request;
        {
            std::lock_guard<std::mutex> guard(Lock);
            auto it = Outstanding.find(decoded.RequestId);
            if (it != Outstanding.end()) {
                request = it->second;
            }
        }
        const bool cancelled = request != nullptr && request->Cancel();
        Reply(Type::Cancel, decoded.Tag, Writer().U32(cancelled ? 1 : 0).Take());
        return true;
    }
    case Type::CancelFile:
    case Type::Close: {
        bool known = false;
        {
            std::lock_guard<std::mutex> guard(Lock);
            known = Handles.count(decoded.Handle) != 0;
            if (known && decoded.What == Type::Close) {
                Handles.erase(decoded.Handle);
            }
        }
        int32_t status = NT_INVALID_HANDLE;
        if (known) {
            status = decoded.What == Type::Close ? win32::local::CloseFile(decoded.Handle)
                                                 : win32::local::CancelFile(decoded.Handle);
        }
        Reply(decoded.What, decoded.Tag, Writer().U32(static_cast<uint32_t>(status)).Take());
        return true;
    }
    case Type::QueryRegistry: {
        Writer body;
        const bool exists = win32::local::RegistryKeyExists(decoded.Name);
        const std::vector<win32::RegistryValue> values =
            exists ? win32::local::RegistryValues(decoded.Name)
                   : std::vector<win32::RegistryValue>();
        body.U32(exists ? 1 : 0).U32(static_cast<uint32_t>(values.size()));
        for (const win32::RegistryValue& value : values) {
            body.Name(value.Name).U32(value.Type).U32(static_cast<uint32_t>(value.Data.size()));
            body.Bytes(value.Data);
        }
        Reply(Type::QueryRegistry, decoded.Tag, body.Take());
        return true;
    }
    case Type::QueryDosDevices: {
        const auto devices = win32::local::DosDevices();
        Writer body;
        body.U32(static_cast<uint32_t>(devices.size()));
        for (const auto& [name, target] : devices) {
            body.Name(name).Name(target);
        }
        Reply(Type::QueryDosDevices, decoded.Tag, body.Take());
        return true;
    }
    case Type::QueryStatus: {
        Writer body;
        EncodePorts(body, Owner->Ports());
        Reply(Type::QueryStatus, decoded.Tag, body.Take());
        return true;
    }
    case Type::Started:
    case Type::Failure:
        break;
    }
    *why = "a message only the service sends";
    return false;
}

void Connection::Read()
{
    Deframer deframer;
    std::vector<uint8_t> buffer(65536);
    std::string why;
    for (;;) {
        const ssize_t count = recv(Fd, buffer.data(), buffer.size(), 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        deframer.Feed(buffer.data(), static_cast<size_t>(count));
        Message message;
        while (why.empty() && deframer.Next(&message, &why) == Deframer::Result::Message) {
            if (!Serve(message, &why) && why.empty()) {
                why = "a broken message";
            }
        }
        if (!why.empty()) {
            break;
        }
    }
    Depart(why);
}

// However the client went, its handles are closed as a process's are at its exit: what they
// have outstanding is cancelled, cleanup and close reach the driver.
void Connection::Depart(const std::string& why)
{
    bool overflowed = false;
    std::map<uint32_t, std::u16string> handles;
    {
        std::lock_guard<std::mutex> guard(Lock);
        overflowed = Overflowed;
        handles.swap(Handles);
    }
    if (!why.empty()) {
        Owner->Notice("quarvex service: " + Who() + " dropped: it sent " + why);
        Push(Frame(static_cast<uint16_t>(Type::Failure), 0, Writer().Text(why).Take()));
    } else if (overflowed) {
        Owner->Notice("quarvex service: " + Who() +
                      " dropped: it left more replies unread than the service holds");
    }
    for (const auto& [handle, name] : handles) {
        (void)win32::local::CancelFile(handle);
        (void)win32::local::CloseFile(handle);
    }
    std::unique_lock<std::mutex> guard(Lock);
    if (!Changed.wait_for(guard, DEPARTURE_GRACE, [this] { return Outstanding.empty(); })) {
        Owner->Notice("quarvex service: " + Who() + ": " + std::to_string(Outstanding.size()) +
                      " request(s) did not end after its handles closed");
    }
    Finishing = true;
    Changed.notify_all();
    if (!Changed.wait_for(guard, DEPARTURE_GRACE, [this] { return WriterDone; })) {
        shutdown(Fd, SHUT_RDWR);
    }
    guard.unlock();
    WriterThread.join();
    shutdown(Fd, SHUT_RDWR);
    if (why.empty() && !overflowed) {
        Owner->Notice("quarvex service: " + Who() + " left; " + std::to_string(handles.size()) +
                      " handle(s) closed");
    }
    Finished = true;
}

void Service::State::Accept()
{
    for (;;) {
        const int fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        auto connection = std::make_shared<Connection>();
        connection->Owner = this;
        connection->Fd = fd;
        ucred credentials = {};
        socklen_t size = sizeof(credentials);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
            connection->Pid = static_cast<uint32_t>(credentials.pid);
            connection->Uid = static_cast<uint32_t>(credentials.uid);
        }
        std::vector<std::shared_ptr<Connection>> finished;
        bool refused = false;
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (Stopped) {
                close(fd);
                return;
            }
            for (auto it = Connections.begin(); it != Connections.end();) {
                if ((*it)->Finished) {
                    finished.push_back(std::move(*it));
                    it = Connections.erase(it);
                } else {
                    ++it;
                }
            }
            size_t live = 0;
            for (const std::shared_ptr<Connection>& other : Connections) {
                live += other->Finished ? 0 : 1;
            }
            refused = live >= Options.MaxClients;
            if (!refused) {
                Connections.push_back(connection);
            }
        }
        for (const std::shared_ptr<Connection>& gone : finished) {
            gone->ReaderThread.join();
            close(gone->Fd);
        }
        if (refused) {
            Notice("quarvex service: " + connection->Who() + " refused: too many clients");
            const std::vector<uint8_t> refusal =
                Frame(static_cast<uint16_t>(Type::Failure), 0,
                      Writer().Text("the service has too many clients").Take());
            (void)!send(fd, refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            close(fd);
            continue;
        }
        Notice("quarvex service: " + connection->Who() + " connected");
        Connection* raw = connection.get();
        raw->WriterThread = std::thread([raw] { raw->Write(); });
        raw->ReaderThread = std::thread([raw] { raw->Read(); });
    }
}

std::vector<PortState> Service::State::Ports() const
{
    std::vector<PortState> ports;
    if (Options.Ports) {
        ports = Options.Ports();
    } else {
        for (const auto& [name, target] : win32::local::DosDevices()) {
            const std::string text = Narrow(name);
            if (text.rfind("COM", 0) == 0) {
                PortState port;
                port.PortName = text;
                port.DeviceName = Narrow(target);
                ports.push_back(std::move(port));
            }
        }
    }
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> guard(Lock);
        connections = Connections;
    }
    for (const std::shared_ptr<Connection>& connection : connections) {
        std::map<uint32_t, std::u16string> handles;
        {
            std::lock_guard<std::mutex> guard(connection->Lock);
            handles = connection->Handles;
        }
        for (const auto& [handle, name] : handles) {
            const std::string opened = LastComponent(name);
            for (PortState& port : ports) {
                if (port.PortName != opened || port.Open) {
                    continue;
                }
                port.Open = true;
                port.Pid = connection->Pid;
                port.Uid = connection->Uid;
                // The driver's counters, through the client's own handle.
                const win32::Completion stats =
                    win32::local::StartRequest(handle, RequestKind::Control, IOCTL_SERIAL_GET_STATS,
                                               {}, sizeof(SERIALPERF_STATS))
                        ->Wait();
                if (stats.Status == 0 && stats.Data.size() >= sizeof(SERIALPERF_STATS)) {
                    SERIALPERF_STATS counters;
                    std::memcpy(&counters, stats.Data.data(), sizeof(counters));
                    port.Received = counters.ReceivedCount;
                    port.Transmitted = counters.TransmittedCount;
                    port.Errors = uint64_t{counters.FrameErrorCount} +
                                  counters.SerialOverrunErrorCount +
                                  counters.BufferOverrunErrorCount + counters.ParityErrorCount;
                }
            }
        }
    }
    return ports;
}

std::string DefaultSocketPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
    if (runtime != nullptr && runtime[0] != '\0') {
        return std::string(runtime) + "/quarvex.sock";
    }
    if (geteuid() == 0) {
        return "/run/quarvex/quarvex.sock";
    }
    return std::string();
}

Service::Service() : state_(std::make_unique<State>()) {}

Service::~Service()
{
    Stop();
}

namespace {

// Makes the socket's folder when it is missing (0700: ours alone, the socket's mode opens it
// to a group); checks what is at the path: a live service refuses, a stale socket goes.
bool PreparePath(const std::string& path, const sockaddr_un& address, std::string* error,
                 std::string* notice)
{
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash != 0) {
        const std::string folder = path.substr(0, slash);
        struct stat info = {};
        if (stat(folder.c_str(), &info) != 0) {
            if (mkdir(folder.c_str(), 0700) != 0) {
                *error = "cannot create " + folder + ": " + std::generic_category().message(errno);
                return false;
            }
        } else if (!S_ISDIR(info.st_mode)) {
            *error = folder + " is not a folder";
            return false;
        }
    }
    struct stat info = {};
    if (lstat(path.c_str(), &info) != 0) {
        return true;
    }
    if (!S_ISSOCK(info.st_mode)) {
        *error = path + " exists and is not a socket";
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        *error = std::string("socket: ") + std::generic_category().message(errno);
        return false;
    }
    const int connected =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int probeError = errno;
    close(probe);
    if (connected == 0) {
        *error = "another quarvex service is running on " + path;
        return false;
    }
    if (probeError != ECONNREFUSED) {
        *error = "cannot check " + path + ": " + std::generic_category().message(probeError);
        return false;
    }
    if (unlink(path.c_str()) != 0) {
        *error = "cannot replace the stale socket " + path + ": " +
                 std::generic_category().message(errno);
        return false;
    }
    *notice = "quarvex service: replaced the stale socket " + path;
    return true;
}

} // namespace

std::unique_ptr<Service> Service::Start(const ServiceOptions& options, std::string* error)
{
    sockaddr_un address;
    if (!FillAddress(options.SocketPath, &address, error)) {
        return nullptr;
    }
    std::string notice;
    if (!PreparePath(options.SocketPath, address, error, &notice)) {
        return nullptr;
    }
    std::unique_ptr<Service> service(new Service());
    State& state = *service->state_;
    state.Options = options;
    if (!notice.empty()) {
        state.Notice(notice);
    }
    state.ListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (state.ListenFd < 0 ||
        bind(state.ListenFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        *error = "cannot listen on " + options.SocketPath + ": " +
                 std::generic_category().message(errno);
        return nullptr;
    }
    if (chmod(options.SocketPath.c_str(), 0660) != 0 || listen(state.ListenFd, 64) != 0) {
        *error = "cannot listen on " + options.SocketPath + ": " +
                 std::generic_category().message(errno);
        unlink(options.SocketPath.c_str());
        return nullptr;
    }
    state.Acceptor = std::thread([&state] { state.Accept(); });
    return service;
}

void Service::Stop()
{
    State& state = *state_;
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        if (state.Stopped) {
            return;
        }
        state.Stopped = true;
    }
    if (state.ListenFd >= 0) {
        shutdown(state.ListenFd, SHUT_RDWR);
    }
    if (state.Acceptor.joinable()) {
        state.Acceptor.join();
    }
    if (state.ListenFd >= 0) {
        close(state.ListenFd);
        unlink(state.Options.SocketPath.c_str());
    }
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        connections.swap(state.Connections);
    }
    // Each client's reader sees the end of its input and closes the client's handles; the
    // cancelled requests' completions still reach the client before it is hung up on.
    for (const std::shared_ptr<Connection>& connection : connections) {
        shutdown(connection->Fd, SHUT_RD);
    }
    for (const std::shared_ptr<Connection>& connection : connections) {
        connection->ReaderThread.join();
        close(connection->Fd);
    }
}

const std::string& Service::SocketPath() const
{
    return state_->Options.SocketPath;
}

size_t Service::ClientCount() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    size_t count = 0;
    for (const std::shared_ptr<Connection>& connection : state_->Connections) {
        count += connection->Finished ? 0 : 1;
    }
    return count;
}

std::vector<PortState> Service::Ports() const
{
    return state_->Ports();
}

} // namespace qvx::service
