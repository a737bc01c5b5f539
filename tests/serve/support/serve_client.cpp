#include "serve/support/serve_client.h"

#include <algorithm>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qvx::test {
namespace {

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ServeClient::~ServeClient()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ServeClient::Connect(uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

void ServeClient::Abort()
{
    linger reset = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::close(fd_);
    fd_ = -1;
}

void ServeClient::SendRaw(const std::vector<uint8_t>& bytes)
{
    size_t offset = 0;
    while (offset < bytes.size()) {
        const ssize_t sent =
            ::send(fd_, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        offset += static_cast<size_t>(sent);
    }
}

void ServeClient::SendData(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> out;
    telnet::AppendEscaped(&out, bytes.data(), bytes.size());
    SendRaw(out);
}

void ServeClient::SendCommand(uint8_t command, const std::vector<uint8_t>& value)
{
    std::vector<uint8_t> out;
    telnet::AppendSubnegotiation(&out, COM_PORT, command, value);
    SendRaw(out);
}

bool ServeClient::Negotiate()
{
    SendRaw({telnet::IAC, telnet::WILL, COM_PORT, telnet::IAC, telnet::DO, COM_PORT});
    const int64_t deadline = NowMs() + 5000;
    while (!(Saw(telnet::DO, COM_PORT) && Saw(telnet::WILL, COM_PORT))) {
        if (NowMs() >= deadline || !Pump(50)) {
            return false;
        }
    }
    return true;
}

bool ServeClient::WaitReply(uint8_t code, std::vector<uint8_t>* value, int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        for (auto it = replies_.begin(); it != replies_.end(); ++it) {
            if (it->first == code) {
                *value = it->second;
                replies_.erase(it);
                return true;
            }
        }
        if (NowMs() >= deadline || !Pump(20)) {
            return false;
        }
    }
}

int ServeClient::Ask(uint8_t command, uint8_t value)
{
    SendCommand(command, {value});
    std::vector<uint8_t> reply;
    if (!WaitReply(static_cast<uint8_t>(command + 100), &reply) || reply.size() != 1) {
        return -1;
    }
    return reply[0];
}

std::vector<uint8_t> ServeClient::TakeData(size_t count, int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    while (data_.size() < count && NowMs() < deadline && Pump(20)) {
    }
    const size_t taken = std::min(count, data_.size());
    std::vector<uint8_t> out(data_.begin(), data_.begin() + static_cast<ptrdiff_t>(taken));
    data_.erase(data_.begin(), data_.begin() + static_cast<ptrdiff_t>(taken));
    return out;
}

bool ServeClient::WaitClosed(int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    while (!closed_ && NowMs() < deadline) {
        Pump(20);
    }
    return closed_;
}

void ServeClient::Drain(int timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    while (NowMs() < deadline && Pump(20)) {
    }
}

bool ServeClient::Saw(uint8_t verb, uint8_t option) const
{
    return std::find(options_.begin(), options_.end(), std::make_pair(verb, option)) !=
           options_.end();
}

std::vector<uint8_t> ServeClient::TakeModemNotifications()
{
    std::vector<uint8_t> states;
    for (auto it = replies_.begin(); it != replies_.end();) {
        if (it->first == 107 && it->second.size() == 1) {
            states.push_back(it->second[0]);
            it = replies_.erase(it);
        } else {
            ++it;
        }
    }
    return states;
}

// FALSE once the server has closed.
bool ServeClient::Pump(int timeoutMs)
{
    if (closed_) {
        return false;
    }
    pollfd waiting = {fd_, POLLIN, 0};
    if (::poll(&waiting, 1, timeoutMs) <= 0) {
        return true;
    }
    uint8_t buffer[4096];
    const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (got <= 0) {
        closed_ = true;
        return false;
    }
    raw_.insert(raw_.end(), buffer, buffer + got);
    parser_.Feed(buffer, static_cast<size_t>(got), this);
    return true;
}

void ServeClient::OnData(const uint8_t* data, size_t length)
{
    data_.insert(data_.end(), data, data + length);
}

void ServeClient::OnOption(uint8_t verb, uint8_t option)
{
    options_.emplace_back(verb, option);
}

void ServeClient::OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body)
{
    if (option == COM_PORT && !body.empty()) {
        replies_.emplace_back(body[0], std::vector<uint8_t>(body.begin() + 1, body.end()));
    }
}

} // namespace qvx::test
