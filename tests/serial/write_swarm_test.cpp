// ctest-labels: write purge
// Seeded random mixes of writes, flushes, immediate characters, Xoff counters, purges, cancels,
// CTS and Xoff holds, timeouts, received characters, clock steps and held DPCs. After every
// step the reference sets and the output count must agree; at the end every request has
// completed once and the peer has exactly the bytes each write reported, in order.

#include "support/seeds.h"
#include "support/write_fixture.h"

#include "port/kcompat.h"

#include <random>

namespace qvx {
namespace {

constexpr UCHAR IMMEDIATE_CHAR = 0x01;
constexpr UCHAR XOFF_CHAR = DEFAULT_XOFF_CHAR;

class WriteSwarmTest : public WritePathTest
{
  protected:
    enum class Kind { Write, Flush, Immediate, Xoff, Purge };
    struct Request
    {
        Kind kind;
        IoRequestPtr io;
        std::vector<UCHAR> data;
    };

    void Run(uint32_t seed, int steps)
    {
        std::mt19937 random(seed);
        auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
        UseCtsHandshake();
        size_t offset = 0;
        int heldSteps = 0;
        for (int step = 0; step < steps && !HasFatalFailure(); ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            // Weights: writes 5, received characters 2, clock and DPC steps 5, the rest 1.
            static const int OPERATIONS[20] = {0, 0, 0, 0, 0,  2,  3,  4,  5,  6,
                                               7, 7, 8, 9, 10, 11, 11, 11, 11, 11};
            switch (OPERATIONS[pick(20)]) {
            case 0:
            case 1: {
                const size_t length = 1 + static_cast<size_t>(pick(200));
                std::vector<UCHAR> data = Pattern(length, offset);
                offset += length;
                requests_.push_back({Kind::Write, Io().WriteAsync(Handle, data), data});
                break;
            }
            case 2:
                requests_.push_back({Kind::Flush, Io().FlushAsync(Handle), {}});
                break;
            case 3:
                requests_.push_back({Kind::Immediate, Immediate(IMMEDIATE_CHAR), {}});
                break;
            case 4:
                requests_.push_back(
                    {Kind::Xoff,
                     XoffCounter(pick(2) == 0 ? 0 : 1 + pick(2000), 1 + pick(5), XOFF_CHAR),
                     {}});
                break;
            case 5:
                requests_.push_back(
                    {Kind::Purge, PurgeAsync(1 + static_cast<ULONG>(pick(15))), {}});
                break;
            case 6:
                if (!requests_.empty()) {
                    const Request& victim =
                        requests_[static_cast<size_t>(pick(static_cast<int>(requests_.size())))];
                    if (!victim.io->Done()) {
                        (void)IoCancelIrp(victim.io->Irp());
                    }
                }
                break;
            case 7:
                Peer().Deliver(std::string(1 + static_cast<size_t>(pick(10)), 'r'));
                break;
            case 8:
                if (pick(3) == 0) {
                    DropCts();
                } else {
                    RaiseCts();
                }
                break;
            case 9:
                if (pick(3) == 0) {
                    SetWriteTimeouts(0, 0);
                } else {
                    SetWriteTimeouts(static_cast<ULONG>(pick(5)), static_cast<ULONG>(pick(100)));
                }
                break;
            case 10:
                ASSERT_EQ(
                    Control(Handle, pick(2) == 0 ? IOCTL_SERIAL_SET_XOFF : IOCTL_SERIAL_SET_XON)
                        .Status,
                    STATUS_SUCCESS);
                break;
            default:
                if (heldSteps == 0 && pick(3) == 0) {
                    Sim().HoldDpcs(true);
                    heldSteps = 1 + pick(5);
                } else if (Sim().DpcsHeld() && pick(2) == 0) {
                    (void)Sim().RunNextDpc();
                } else {
                    Sim().AdvanceMs(pick(150));
                }
                break;
            }
            if (heldSteps > 0 && --heldSteps == 0) {
                Sim().HoldDpcs(false);
                Sim().DrainDpcs();
            }
            CheckInvariants();
        }
        Finish();
    }

    void CheckInvariants()
    {
        ULONG pendingOutput = 0;
        for (const Request& request : requests_) {
            if (request.io->Done()) {
                continue;
            }
            if (request.kind == Kind::Write) {
                pendingOutput += static_cast<ULONG>(request.data.size());
            } else if (request.kind == Kind::Xoff || request.kind == Kind::Immediate) {
                pendingOutput += 1;
            }
        }
        UnderPortLock([&] {
            PortDeviceRecord* port = Port();
            if (port->WriteRefs == 0) {
                EXPECT_EQ(port->WriteLength, 0u);
            }
            if (port->WriteLength != 0) {
                EXPECT_NE(port->WriteRefs & WRITE_REF_ISR, 0u);
            }
            if (port->ImmediateIrp == NULL) {
                EXPECT_EQ(port->ImmediateRefs, 0u);
                EXPECT_FALSE(port->ImmediatePending);
            }
            if (port->ImmediatePending) {
                EXPECT_NE(port->ImmediateRefs & IMMEDIATE_REF_ISR, 0u);
            }
            if (port->XoffIrp == NULL) {
                EXPECT_EQ(port->XoffCountdown, 0u);
            }
            if (port->XoffCountdown != 0) {
                EXPECT_NE(port->XoffRefs & XOFF_REF_COUNTER, 0u);
            }
            EXPECT_LE(port->TxQueuedCount, pendingOutput);
        });
    }

    void Finish()
    {
        Sim().HoldDpcs(false);
        Sim().DrainDpcs();
        SetWriteTimeouts(0, 0);
        RaiseCts();
        ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_XON).Status, STATUS_SUCCESS);
        for (const Request& request : requests_) {
            if (!request.io->Done()) {
                (void)IoCancelIrp(request.io->Irp());
            }
        }
        // Watchdog in simulated time: everything ends within ten seconds of line time.
        for (int ms = 0; ms < 10000 && !AllDone(); ++ms) {
            Sim().AdvanceMs(1);
        }
        ASSERT_TRUE(AllDone()) << "requests still pending";
        Sim().AdvanceMs(100);
        EXPECT_EQ(OutAmount(), 0u);

        // The peer has each write's reported bytes, in order, and nothing else but the
        // transmitter's own single characters.
        std::vector<UCHAR> expected;
        size_t immediates = 0;
        for (const Request& request : requests_) {
            const IoResult result = request.io->Result();
            if (request.kind == Kind::Write) {
                ASSERT_LE(result.Information, request.data.size());
                if (result.Status == STATUS_SUCCESS) {
                    EXPECT_EQ(result.Information, request.data.size());
                }
                expected.insert(expected.end(), request.data.begin(),
                                request.data.begin() + static_cast<long>(result.Information));
            } else if (request.kind == Kind::Immediate && result.Status == STATUS_SUCCESS) {
                ++immediates;
            }
        }
        std::vector<UCHAR> data;
        size_t immediatesSeen = 0;
        for (UCHAR byte : Peer().Received()) {
            if (byte == IMMEDIATE_CHAR) {
                ++immediatesSeen;
            } else if (byte != XOFF_CHAR) {
                data.push_back(byte);
            }
        }
        EXPECT_EQ(data, expected);
        EXPECT_EQ(immediatesSeen, immediates);
    }

    bool AllDone() const
    {
        for (const Request& request : requests_) {
            if (!request.io->Done()) {
                return false;
            }
        }
        return true;
    }

    std::vector<Request> requests_;
};

// A fixed list of seeds in CI; QVX_SEED=<n> replays one (support/seeds.h).
TEST_F(WriteSwarmTest, RandomMixesKeepTheOutputConsistent)
{
    for (uint32_t seed : ScenarioSeeds({1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233})) {
        SCOPED_TRACE(ReplayLine(seed, "serial_write_swarm_test"));
        Run(seed, 400);
        if (HasFailure()) {
            return;
        }
        // A fresh start for the next seed: no handle, no request, an empty peer.
        ASSERT_EQ(Port()->TxQueuedCount, 0u);
        requests_.clear();
        (void)Peer().TakeReceived();
        (void)ReadNow(4096);
    }
}

} // namespace
} // namespace qvx
