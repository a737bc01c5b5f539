// A mutex whose users the compiler checks: with clang (the clang preset builds with
// -Wthread-safety) a member declared QVX_GUARDED_BY(lock) may only be touched while a
// MutexLock on that lock is in scope; other compilers see a plain std::mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#ifdef __clang__
#define QVX_LOCKING(x) __attribute__((x))
#else
#define QVX_LOCKING(x)
#endif
#define QVX_GUARDED_BY(lock) QVX_LOCKING(guarded_by(lock))
// For the few reads the analysis cannot follow; the routine says why they are safe.
#define QVX_NOT_CHECKED QVX_LOCKING(no_thread_safety_analysis)

namespace qvx {

class QVX_LOCKING(capability("mutex")) Mutex
{
  private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope. The waits release it while they sleep, as std::unique_lock's
// do, and hold it again when they return.
class QVX_LOCKING(scoped_lockable) MutexLock
{
  public:
    explicit MutexLock(Mutex& mutex) QVX_LOCKING(acquire_capability(mutex)) : lock_(mutex.mutex_) {}
    ~MutexLock() QVX_LOCKING(release_capability()) {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Wait(std::condition_variable& wake) { wake.wait(lock_); }
    // FALSE once the deadline has passed.
    bool WaitUntil(std::condition_variable& wake, std::chrono::steady_clock::time_point deadline)
    {
        return wake.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

} // namespace qvx
