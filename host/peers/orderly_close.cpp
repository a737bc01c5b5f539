// Refused connections closed in order (Linux only: the Windows bridge never refuses this way).
#include "host/peers/allow_list.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qvx {

namespace {

// How long a refused client may take to close its side, and how many may wait at once.
constexpr auto CLOSING_WAIT = std::chrono::seconds(2);
constexpr size_t MOST_CLOSING = 16;

} // namespace

OrderlyClose::~OrderlyClose()
{
    for (const Entry& entry : entries_) {
        close(entry.Fd);
    }
}

void OrderlyClose::Add(int fd, const std::string& text)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (!text.empty()) {
        [[maybe_unused]] const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
    shutdown(fd, SHUT_WR);
    if (entries_.size() >= MOST_CLOSING) {
        close(entries_.front().Fd);
        entries_.erase(entries_.begin());
    }
    entries_.push_back({fd, std::chrono::steady_clock::now()});
}

void OrderlyClose::Descriptors(std::vector<int>* fds) const
{
    for (const Entry& entry : entries_) {
        fds->push_back(entry.Fd);
    }
}

void OrderlyClose::Service()
{
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < entries_.size();) {
        char scratch[4096];
        ssize_t got;
        while ((got = recv(entries_[i].Fd, scratch, sizeof(scratch), 0)) > 0) {
        }
        const bool waiting = got < 0 && (errno == EAGAIN || errno == EINTR);
        if (waiting && now - entries_[i].Since < CLOSING_WAIT) {
            ++i;
            continue;
        }
        close(entries_[i].Fd);
        entries_.erase(entries_.begin() + static_cast<long>(i));
    }
}

} // namespace qvx
