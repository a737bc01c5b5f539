#include "host/service/client.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace qvx::service {

namespace {

constexpr uint16_t COMPLETED = static_cast<uint16_t>(Type::Request) | REPLY;

// A socket connected to `path`, or -1 with errno set.
int ConnectTo(const std::string& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

std::shared_ptr<Client> Client::Connect(const std::string& path, std::string* error)
{
    std::shared_ptr<Client> client(new Client());
    client->path_ = path;
    client->fd_ = ConnectTo(path);
    if (client->fd_ < 0) {
        *error = "no service at " + path + ": " + std::generic_category().message(errno);
        return nullptr;
    }
    client->receiver_ = std::thread([raw = client.get()] { raw->Receive(); });
    std::vector<uint8_t> reply;
    uint32_t version = 0;
    uint32_t largest = 0;
    if (!client->Call(Type::Hello, Writer().U32(PROTOCOL_VERSION).Take(), &reply)) {
        *error = "the service at " + path + " did not answer: " + client->LostReason();
        return nullptr;
    }
    Reader reader(reply);
    if (!reader.U32(&version) || !reader.U32(&largest) || version != PROTOCOL_VERSION) {
        *error = "the service at " + path + " speaks another protocol version";
        return nullptr;
    }
    return client;
}

Client::~Client()
{
    Disconnect();
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Client::Disconnect()
{
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_RDWR);
    }
    if (receiver_.joinable() && receiver_.get_id() != std::this_thread::get_id()) {
        receiver_.join();
    }
    Lose("disconnected");
}

bool Client::Alive() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return alive_;
}

std::string Client::LostReason() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return lost_;
}

bool Client::Send(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> guard(sendLock_);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        sent += static_cast<size_t>(count);
    }
    return true;
}

void Client::Lose(const std::string& why)
{
    std::map<uint32_t, Done> orphans;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!alive_) {
            return;
        }
        alive_ = false;
        lost_ = why;
        orphans.swap(requests_);
    }
    // Outstanding requests end as cancelled, as a process's do when its handles go; their
    // callers in Start are released after.
    for (auto& [id, done] : orphans) {
        done(LOST_STATUS, 0, {});
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        started_.clear();
        ++arrivals_;
    }
    traffic_.notify_all();
}

void Client::Receive()
{
    Deframer deframer;
    std::vector<uint8_t> buffer(65536);
    std::string why;
    for (;;) {
        const ssize_t count = recv(fd_, buffer.data(), buffer.size(), 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            why = count == 0 ? "the service closed the connection"
                             : std::generic_category().message(errno);
            break;
        }
        deframer.Feed(buffer.data(), static_cast<size_t>(count));
        Message message;
        Deframer::Result result;
        while ((result = deframer.Next(&message, &why)) == Deframer::Result::Message) {
            if (message.Type == COMPLETED) {
                Reader reader(message.Body);
                uint32_t status = 0, pad = 0;
                uint64_t information = 0;
                (void)(reader.U32(&status) && reader.U32(&pad) && reader.U64(&information));
                std::vector<uint8_t> data = reader.Rest();
                Done done;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    auto it = requests_.find(message.Tag);
                    if (it != requests_.end()) {
                        done = std::move(it->second);
                        requests_.erase(it);
                    }
                }
                if (done) {
                    done(reader.Ok() ? static_cast<int32_t>(status) : LOST_STATUS, information,
                         std::move(data));
                }
                // Only now may Start return: its caller finds the request done.
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    started_.erase(message.Tag);
                    ++arrivals_;
                }
                traffic_.notify_all();
                continue;
            }
            if (message.Type == static_cast<uint16_t>(Type::Started)) {
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    auto it = started_.find(message.Tag);
                    if (it != started_.end()) {
                        it->second = true;
                    }
                    ++arrivals_;
                }
                traffic_.notify_all();
                continue;
            }
            if (message.Type == static_cast<uint16_t>(Type::Failure) ||
                message.Type == (static_cast<uint16_t>(Type::Failure) | REPLY)) {
                Reader reader(message.Body);
                std::string text;
                (void)reader.Text(&text, 1024);
                Lose("the service refused: " + text);
                return;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                auto it = awaited_.find(message.Tag);
                if (it != awaited_.end() && it->second == message.Type) {
                    replies_[message.Tag] = std::move(message.Body);
                    awaited_.erase(it);
                }
                ++arrivals_;
            }
            traffic_.notify_all();
        }
        if (result == Deframer::Result::Broken) {
            why.insert(0, "the service sent ");
            break;
        }
    }
    Lose(why);
}

bool Client::Call(Type type, const std::vector<uint8_t>& body, std::vector<uint8_t>* reply)
{
    uint32_t tag = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!alive_) {
            return false;
        }
        tag = nextTag_++;
        awaited_[tag] = static_cast<uint16_t>(static_cast<uint16_t>(type) | REPLY);
    }
    if (!Send(Frame(static_cast<uint16_t>(type), tag, body))) {
        shutdown(fd_, SHUT_RDWR);
    }
    std::unique_lock<std::mutex> guard(lock_);
    traffic_.wait(guard, [&] { return replies_.count(tag) != 0 || !alive_; });
    auto it = replies_.find(tag);
    if (it == replies_.end()) {
        awaited_.erase(tag);
        return false;
    }
    *reply = std::move(it->second);
    replies_.erase(it);
    return true;
}

uint32_t Client::Start(uint32_t handle, Kind kind, uint32_t code, uint32_t outputLength,
                       const std::vector<uint8_t>& input, Done done)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (!alive_) {
        guard.unlock();
        done(LOST_STATUS, 0, {});
        return 0;
    }
    const uint32_t id = nextTag_++;
    // Listed before it is sent: the completion may come back at once.
    requests_.emplace(id, std::move(done));
    started_.emplace(id, false);
    guard.unlock();
    ClientMessage request;
    request.What = Type::Request;
    request.Tag = id;
    request.Handle = handle;
    request.RequestKind = kind;
    request.Code = code;
    request.OutputLength = outputLength;
    request.Input = input;
    if (!Send(EncodeClient(request))) {
        // The receiving thread sees the end and completes the request.
        shutdown(fd_, SHUT_RDWR);
    }
    guard.lock();
    traffic_.wait(guard, [&] {
        auto it = started_.find(id);
        return it == started_.end() || it->second;
    });
    started_.erase(id);
    return id;
}

void Client::WaitForTraffic(std::chrono::steady_clock::time_point until)
{
    std::unique_lock<std::mutex> guard(lock_);
    const uint64_t seen = arrivals_;
    traffic_.wait_until(guard, until, [&] { return arrivals_ != seen || !alive_; });
}

} // namespace qvx::service
