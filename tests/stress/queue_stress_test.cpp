#include "platform/machine/machine.h"
// Request queues under real concurrency: applications on several threads start, cancel and
// clean up requests while an owner thread and the processors' DPCs end them.
// ctest-labels: queue

#include "support/queue_helpers.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace qvx {
namespace {

constexpr int CLIENTS = 3;
constexpr int ROUNDS = 120;
constexpr int REQUESTS_PER_ROUND = 6;
constexpr auto TIME_BOUND = std::chrono::seconds(4);

class QueueStressTest : public SimMachineTest
{
  protected:
    QueueStressTest() { Options.Mode = MachineMode::RealTime; }
};

// Every request ends exactly once (a second completion is a verifier violation), with success
// or STATUS_CANCELLED, and the queues end idle and empty.
TEST_F(QueueStressTest, StartCancelCleanupAndStartNextFromSeveralThreads)
{
    auto port = std::make_unique<QueuePort>(Sim(), u"\\Device\\QvxQueueStress");
    RequestQueue* read = port->Queue(Target::Read);
    RequestQueue* write = port->Queue(Target::Write);
    QuarvexQueueRestart(read);
    QuarvexQueueRestart(write);

    // Every third start ends its request in the start routine itself, from the dispatch
    // routine's thread or a processor's start DPC.
    std::atomic<unsigned> starts{0};
    port->OnStart = [&](Target target, int) {
        if (starts.fetch_add(1) % 3 == 0) {
            port->TryFinish(target);
        }
    };

    const auto deadline = std::chrono::steady_clock::now() + TIME_BOUND;
    std::atomic<int> clientsRunning{CLIENTS};
    std::atomic<int> succeeded{0};
    std::atomic<int> cancelled{0};
    std::atomic<int> unexpected{0};
    std::atomic<int> issued{0};

    auto client = [&](int index) {
        for (int round = 0; round < ROUNDS && std::chrono::steady_clock::now() < deadline;
             ++round) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            const FileHandle handle = Sim().Io().Open(u"\\Device\\QvxQueueStress", 0, &status);
            if (handle == INVALID_FILE_HANDLE) {
                ADD_FAILURE() << "open failed: " << std::hex << status;
                break;
            }
            std::vector<IoRequestPtr> requests;
            for (int i = 0; i < REQUESTS_PER_ROUND; ++i) {
                requests.push_back((i + index) % 2 == 0 ? Sim().Io().ReadAsync(handle, 1)
                                                        : Sim().Io().WriteAsync(handle, {0x55}));
                issued.fetch_add(1);
            }
            switch ((round + index) % 4) {
            case 0:
                Sim().Io().CancelIo(handle);
                break;
            case 1:
                std::this_thread::yield();
                break;
            case 2:
                // Everything goes through the owner and start-next.
                for (const IoRequestPtr& request : requests) {
                    request->Wait();
                }
                break;
            default:
                break;
            }
            // Cleanup cancels what still waits; the owner thread ends what is in service.
            Sim().Io().Close(handle);
            for (const IoRequestPtr& request : requests) {
                const NTSTATUS result = request->Wait().Status;
                if (result == STATUS_SUCCESS) {
                    succeeded.fetch_add(1);
                } else if (result == STATUS_CANCELLED) {
                    cancelled.fetch_add(1);
                } else {
                    unexpected.fetch_add(1);
                }
            }
        }
        clientsRunning.fetch_sub(1);
    };

    std::thread owner([&] {
        while (clientsRunning.load() > 0) {
            const bool endedRead = port->TryFinish(Target::Read);
            const bool endedWrite = port->TryFinish(Target::Write);
            if (!endedRead && !endedWrite) {
                std::this_thread::yield();
            }
        }
    });
    std::vector<std::thread> clients;
    for (int i = 0; i < CLIENTS; ++i) {
        clients.emplace_back(client, i);
    }
    for (std::thread& thread : clients) {
        thread.join();
    }
    owner.join();
    Sim().Io().RunPassiveWork(); // the deferred closes
    Sim().Quiesce();

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(succeeded.load() + cancelled.load(), issued.load());
    EXPECT_GT(succeeded.load(), 0);
    EXPECT_GT(cancelled.load(), 0);
    EXPECT_EQ(Sim().Io().OutstandingIrps(), 0u);
    for (RequestQueue* queue : {read, write}) {
        EXPECT_EQ(queue->CurrentIrp, nullptr);
        EXPECT_TRUE(IsListEmpty(&queue->WaitingList));
    }
    port.reset();
}

} // namespace
} // namespace qvx
