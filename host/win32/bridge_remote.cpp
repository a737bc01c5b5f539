// bridge.h over a service's socket: each call is a message, each request completes when its
// COMPLETED comes back. File ids are this process's own; each names the connection it was
// opened on, so a handle from a lost connection stays invalid after a reconnection.
#include "host/win32/bridge_remote.h"

#include "host/service/client.h"
#include "host/system.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace qvx::win32::remote {

namespace {

using service::Client;
using service::Kind;
using service::Reader;
using service::Type;
using service::Writer;

constexpr int32_t STATUS_INVALID_HANDLE = static_cast<int32_t>(0xC0000008u);
constexpr int32_t STATUS_INSUFFICIENT_RESOURCES = static_cast<int32_t>(0xC000009Au);
constexpr int32_t STATUS_OBJECT_NAME_NOT_FOUND = static_cast<int32_t>(0xC0000034u);

struct RemoteFile
{
    std::weak_ptr<Client> Connection;
    uint32_t Handle = 0;
};

std::mutex stateLock;
// Under stateLock.
bool chosen = false;    // UseService was called
std::string chosenPath; // its socket
std::shared_ptr<Client> connection;
std::map<uint32_t, RemoteFile> files;
// Apart from the machine's own handle numbers, which count up from 1.
constexpr uint32_t FIRST_FILE = 0x40000000;
uint32_t nextFile = FIRST_FILE;

std::string PathLocked()
{
    if (chosen) {
        return chosenPath;
    }
    const char* path = std::getenv("QUARVEX_SOCKET"); // NOLINT(concurrency-mt-unsafe)
    return path != nullptr ? std::string(path) : std::string();
}

// The connection, made (again) when `connect` and there is none.
std::shared_ptr<Client> Current(bool connect = true)
{
    std::lock_guard<std::mutex> guard(stateLock);
    if (connection != nullptr && connection->Alive()) {
        return connection;
    }
    const std::string path = PathLocked();
    if (!connect || path.empty()) {
        return nullptr;
    }
    std::string error;
    connection = Client::Connect(path, &error);
    return connection;
}

bool Lookup(uint32_t file, std::shared_ptr<Client>* client, uint32_t* handle)
{
    std::lock_guard<std::mutex> guard(stateLock);
    auto it = files.find(file);
    if (it == files.end()) {
        return false;
    }
    *client = it->second.Connection.lock();
    *handle = it->second.Handle;
    return *client != nullptr && (*client)->Alive();
}

class RemoteRequest final : public PendingRequest
{
  public:
    explicit RemoteRequest(std::weak_ptr<Client> client = {}) : client_(std::move(client)) {}

    bool Done() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return done_;
    }
    Completion Wait() override
    {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return done_; });
        return completion_;
    }
    Completion Result() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return done_ ? completion_ : Completion();
    }
    bool Cancel() override
    {
        std::shared_ptr<Client> client = client_.lock();
        if (Done() || client == nullptr) {
            return false;
        }
        std::vector<uint8_t> reply;
        uint32_t cancelled = 0;
        if (!client->Call(Type::Cancel, Writer().U32(id_).Take(), &reply)) {
            return false;
        }
        Reader reader(reply);
        return reader.U32(&cancelled) && cancelled != 0;
    }
    void OnCompletion(std::function<void()> notify) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!done_) {
                notify_ = std::move(notify);
                return;
            }
        }
        notify();
    }

    void SetId(uint32_t id) { id_ = id; }
    void Complete(int32_t status, uint64_t information, std::vector<uint8_t> data)
    {
        std::function<void()> notify;
        {
            std::lock_guard<std::mutex> guard(lock_);
            completion_.Status = status;
            completion_.Information = information;
            completion_.Data = std::move(data);
            done_ = true;
            notify = std::move(notify_);
        }
        changed_.notify_all();
        if (notify) {
            notify();
        }
    }

  private:
    std::weak_ptr<Client> client_;
    uint32_t id_ = 0;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    Completion completion_;
    std::function<void()> notify_;
};

std::shared_ptr<PendingRequest> Finished(int32_t status)
{
    auto request = std::make_shared<RemoteRequest>();
    request->Complete(status, 0, {});
    return request;
}

// A call's reply, or empty with FALSE when the connection is gone.
bool Ask(Type type, const std::vector<uint8_t>& body, std::vector<uint8_t>* reply)
{
    std::shared_ptr<Client> client = Current();
    return client != nullptr && client->Call(type, body, reply);
}

} // namespace

bool Selected(bool localMachine)
{
    std::lock_guard<std::mutex> guard(stateLock);
    if (chosen) {
        return true;
    }
    const char* path = std::getenv("QUARVEX_SOCKET"); // NOLINT(concurrency-mt-unsafe)
    return !localMachine && path != nullptr && path[0] != '\0';
}

bool Owns(uint32_t file)
{
    return file >= FIRST_FILE;
}

bool MachineRunning()
{
    return Current() != nullptr;
}

uint32_t OpenFile(const std::u16string& name, int32_t* status)
{
    std::shared_ptr<Client> client = Current();
    std::vector<uint8_t> reply;
    if (client == nullptr || !client->Call(Type::Open, Writer().U32(0).Name(name).Take(), &reply)) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return 0;
    }
    Reader reader(reply);
    uint32_t openStatus = 0;
    uint32_t handle = 0;
    if (!reader.U32(&openStatus) || !reader.U32(&handle)) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return 0;
    }
    *status = static_cast<int32_t>(openStatus);
    if (handle == 0) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(stateLock);
    const uint32_t file = nextFile++;
    files[file] = RemoteFile{client, handle};
    return file;
}

std::shared_ptr<PendingRequest> StartRequest(uint32_t file, RequestKind kind, uint32_t code,
                                             const std::vector<uint8_t>& input,
                                             uint32_t outputLength)
{
    if (input.size() > service::MAX_DATA || outputLength > service::MAX_DATA) {
        // Larger than a message carries: refused here, as a driver refuses what it cannot
        // allocate.
        return Finished(STATUS_INSUFFICIENT_RESOURCES);
    }
    std::shared_ptr<Client> client;
    uint32_t handle = 0;
    if (!Lookup(file, &client, &handle)) {
        return Finished(STATUS_INVALID_HANDLE);
    }
    auto request = std::make_shared<RemoteRequest>(client);
    const Kind wire = kind == RequestKind::Read    ? Kind::Read
                      : kind == RequestKind::Write ? Kind::Write
                      : kind == RequestKind::Flush ? Kind::Flush
                                                   : Kind::Control;
    request->SetId(
        client->Start(handle, wire, code, outputLength, input,
                      [request](int32_t status, uint64_t information, std::vector<uint8_t> data) {
                          request->Complete(status, information, std::move(data));
                      }));
    return request;
}

int32_t CancelFile(uint32_t file)
{
    std::shared_ptr<Client> client;
    uint32_t handle = 0;
    std::vector<uint8_t> reply;
    uint32_t status = static_cast<uint32_t>(STATUS_INVALID_HANDLE);
    if (Lookup(file, &client, &handle) &&
        client->Call(Type::CancelFile, Writer().U32(handle).Take(), &reply)) {
        Reader reader(reply);
        (void)reader.U32(&status);
    }
    return static_cast<int32_t>(status);
}

int32_t CloseFile(uint32_t file)
{
    std::shared_ptr<Client> client;
    uint32_t handle = 0;
    const bool live = Lookup(file, &client, &handle);
    {
        std::lock_guard<std::mutex> guard(stateLock);
        files.erase(file);
    }
    std::vector<uint8_t> reply;
    uint32_t status = static_cast<uint32_t>(STATUS_INVALID_HANDLE);
    if (live && client->Call(Type::Close, Writer().U32(handle).Take(), &reply)) {
        Reader reader(reply);
        (void)reader.U32(&status);
    }
    return static_cast<int32_t>(status);
}

bool WaitUntil(const std::function<bool()>& done, uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const bool limited = timeoutMs != UINT32_MAX;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        const Clock::time_point now = Clock::now();
        if (limited && now >= deadline) {
            return false;
        }
        // Completions wake the wait at once; an event set by another thread is seen within
        // the slice.
        Clock::time_point until = now + std::chrono::milliseconds(1);
        if (limited && deadline < until) {
            until = deadline;
        }
        if (std::shared_ptr<Client> client = Current(false)) {
            client->WaitForTraffic(until);
        } else {
            std::this_thread::sleep_until(until);
        }
    }
    return true;
}

bool RegistryKeyExists(const std::u16string& path)
{
    std::vector<uint8_t> reply;
    uint32_t exists = 0;
    if (!Ask(Type::QueryRegistry, Writer().Name(path).Take(), &reply)) {
        return false;
    }
    Reader reader(reply);
    return reader.U32(&exists) && exists != 0;
}

std::vector<RegistryValue> RegistryValues(const std::u16string& path)
{
    std::vector<RegistryValue> values;
    std::vector<uint8_t> reply;
    if (!Ask(Type::QueryRegistry, Writer().Name(path).Take(), &reply)) {
        return values;
    }
    Reader reader(reply);
    uint32_t exists = 0;
    uint32_t count = 0;
    if (!reader.U32(&exists) || !reader.U32(&count)) {
        return values;
    }
    for (uint32_t i = 0; i < count; ++i) {
        RegistryValue value;
        std::string data;
        if (!reader.Name(&value.Name) || !reader.U32(&value.Type) || !reader.Text(&data)) {
            break;
        }
        value.Data.assign(data.begin(), data.end());
        values.push_back(std::move(value));
    }
    return values;
}

std::vector<std::pair<std::u16string, std::u16string>> DosDevices()
{
    std::vector<std::pair<std::u16string, std::u16string>> devices;
    std::vector<uint8_t> reply;
    uint32_t count = 0;
    if (!Ask(Type::QueryDosDevices, {}, &reply)) {
        return devices;
    }
    Reader reader(reply);
    if (!reader.U32(&count)) {
        return devices;
    }
    for (uint32_t i = 0; i < count; ++i) {
        std::u16string name, target;
        if (!reader.Name(&name) || !reader.Name(&target)) {
            break;
        }
        devices.emplace_back(std::move(name), std::move(target));
    }
    return devices;
}

} // namespace qvx::win32::remote

namespace qvx::win32 {

bool UseService(const std::string& socketPath, std::string* error)
{
    std::shared_ptr<service::Client> client = service::Client::Connect(socketPath, error);
    if (client == nullptr) {
        return false;
    }
    std::shared_ptr<service::Client> previous;
    {
        std::lock_guard<std::mutex> guard(remote::stateLock);
        remote::chosen = true;
        remote::chosenPath = socketPath;
        previous = std::move(remote::connection);
        remote::connection = std::move(client);
    }
    return true;
}

void StopUsingService()
{
    std::shared_ptr<service::Client> previous;
    {
        std::lock_guard<std::mutex> guard(remote::stateLock);
        remote::chosen = false;
        remote::chosenPath.clear();
        previous = std::move(remote::connection);
        remote::files.clear();
    }
    if (previous != nullptr) {
        previous->Disconnect();
    }
}

std::string ServiceSocket()
{
    std::lock_guard<std::mutex> guard(remote::stateLock);
    if (remote::chosen) {
        return remote::chosenPath;
    }
    return remote::connection != nullptr ? remote::connection->Path() : std::string();
}

} // namespace qvx::win32

namespace qvx {

bool ConnectToService(const std::string& socketPath, std::string* error)
{
    return win32::UseService(socketPath, error);
}

} // namespace qvx
