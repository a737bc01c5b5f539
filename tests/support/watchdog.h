// A watchdog for tests whose fault is a hang (a loop at DISPATCH_LEVEL, a wait that never
// ends): if the scope is still running after its limit, the process prints what hung (and
// the replay line it was given) and exits with a failure, so CI reports the test instead of
// stalling on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace qvx {

class Watchdog
{
  public:
    explicit Watchdog(std::string what, std::chrono::seconds limit = std::chrono::seconds(60))
        : what_(std::move(what)), thread_([this, limit] { Watch(limit); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Replaces the text printed when the scope hangs (a swarm test names its current seed).
    void Describe(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = what;
    }

  private:
    void Watch(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "WATCHDOG: still running after %lld s: %s\n",
                         static_cast<long long>(limit.count()), what_.c_str());
            std::fflush(stderr);
            std::_Exit(3);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::string what_;
    std::thread thread_;
};

} // namespace qvx
