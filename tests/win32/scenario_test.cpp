// A seeded random Windows program on COM5: the peer sends, the program reads with random
// time-outs and cancels some reads, writes, sleeps and polls the queue. Every byte arrives
// in order, except the bytes of cancelled reads, which the count reports. Set QVX_SEED to
// replay a run.
// ctest-labels: host

#include "support/seeds.h"
#include "support/win32_port.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace qvx::win32test {
namespace {

// Aborts the process, naming the seed, if the scenario has not ended in time.
class Watchdog
{
  public:
    Watchdog(unsigned seed, std::chrono::seconds limit)
        : thread_([this, seed, limit] {
              std::unique_lock<std::mutex> guard(lock_);
              if (!done_.wait_for(guard, limit, [this] { return finished_; })) {
                  std::fprintf(stderr, "scenario hung; replay with QVX_SEED=%u\n", seed);
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

  private:
    std::mutex lock_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

unsigned Seed()
{
    return ScenarioSeed(std::random_device{}());
}

using Win32Scenario = Win32PortTest;

TEST_F(Win32Scenario, RandomProgramKeepsEveryByteInOrder)
{
    const unsigned seed = Seed();
    SCOPED_TRACE("replay with QVX_SEED=" + std::to_string(seed));
    Watchdog watchdog(seed, std::chrono::seconds(120));
    std::mt19937 rng(seed);
    auto pick = [&](unsigned low, unsigned high) {
        return std::uniform_int_distribution<unsigned>(low, high)(rng);
    };

    HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);

    std::string sent, written, transmitted;
    size_t cursor = 0; // next byte of `sent` the program should read
    int cancelled = 0;
    for (int step = 0; step < 400 && !HasFatalFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        switch (pick(0, 4)) {
        case 0: { // the peer sends, without overrunning the 4096-byte input ring
            // Seven-bit bytes: the port starts with seven data bits.
            const size_t count = pick(1, 300);
            if (sent.size() - cursor + count <= 4000) {
                std::string chunk;
                for (size_t i = 0; i < count; ++i) {
                    chunk.push_back(static_cast<char>(pick(0, 127)));
                }
                sent += chunk;
                PeerSend(chunk);
            }
            break;
        }
        case 1: { // a read with a random time-out, cancelled now and then
            static const COMMTIMEOUTS choices[] = {
                {MAXDWORD, 0, 0, 0, 0}, {0, 0, 25, 0, 0}, {0, 1, 5, 0, 0}, {5, 0, 40, 0, 0}};
            COMMTIMEOUTS timeouts = choices[pick(0, 3)];
            ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
            std::string buffer(pick(1, 400), '\0');
            DWORD count = 0;
            BOOL ok = ReadFile(port, &buffer[0], static_cast<DWORD>(buffer.size()), &count, &ov);
            const bool pending = !ok && GetLastError() == ERROR_IO_PENDING;
            ASSERT_TRUE(ok || pending) << GetLastError();
            if (pending && pick(0, 2) == 0) {
                if (pick(0, 1) == 0) {
                    Sleep(pick(0, 10));
                }
                CancelIoEx(port, &ov);
            }
            ok = GetOverlappedResult(port, &ov, &count, TRUE);
            if (!ok) {
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
                ++cancelled;
                cursor += count; // consumed but not delivered, as Windows reports it
            } else {
                ASSERT_LE(cursor + count, sent.size());
                ASSERT_EQ(buffer.substr(0, count), sent.substr(cursor, count));
                cursor += count;
            }
            break;
        }
        case 2: { // the program writes
            std::string chunk(pick(1, 200), static_cast<char>('a' + step % 26));
            DWORD count = 0;
            if (!WriteFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), &count, &ov)) {
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                ASSERT_TRUE(GetOverlappedResult(port, &ov, &count, TRUE));
            }
            ASSERT_EQ(count, chunk.size());
            written += chunk;
            break;
        }
        case 3:
            Sleep(pick(0, 30));
            transmitted += PeerReceived();
            break;
        default: { // the queue matches what the program has not read yet
            COMSTAT stat = {};
            DWORD errors = 0;
            ASSERT_TRUE(ClearCommError(port, &errors, &stat));
            EXPECT_EQ(errors, 0u);
            EXPECT_EQ(stat.cbInQue, sent.size() - cursor);
            break;
        }
        }
    }

    // Whatever is left reads back in order; everything written reached the peer in order.
    COMMTIMEOUTS now = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &now));
    std::string rest(4096, '\0');
    DWORD count = 0;
    if (!ReadFile(port, &rest[0], static_cast<DWORD>(rest.size()), &count, &ov)) {
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &count, TRUE));
    }
    EXPECT_EQ(rest.substr(0, count), sent.substr(cursor));
    for (int i = 0; i < 100 && transmitted.size() < written.size(); ++i) {
        transmitted += PeerReceived();
    }
    EXPECT_EQ(transmitted, written);
    RecordProperty("cancelled_reads", cancelled);
    CloseHandle(ov.hEvent);
    ASSERT_TRUE(CloseHandle(port));
}

} // namespace
} // namespace qvx::win32test
