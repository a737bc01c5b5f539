// ctest-labels: swarm
// Seeded random scenarios of the data path: the peer delivers, the application reads (at once,
// or with a read that waits and is filled directly) and writes, the clock runs, breaks, RTS
// (CTS follows it) and the flow-control settings change; a wait mask switches the receive path
// between runs stored in copies and byte by byte. After every step: no receive hold left once
// a read drained the ring, no flow character left pending past two ticks while nothing holds
// it; at the end: every byte delivered was read in order and counted once, every byte written
// reached the peer in order, and nobody stays paused. A watchdog turns a hang into a failure;
// a failure prints its seed and the command that replays it.
//
// QVX_SEED=<n> replays a seed, QVX_SEEDS=<first>:<count> runs others (support/seeds.h); the
// default list runs in CI.

#include "support/ledger.h"
#include "support/port_fixture.h"
#include "support/seeds.h"
#include "support/watchdog.h"

#include "serial/interrupt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qvx {
namespace {

constexpr int STEPS = 400;

class DataPathSwarmTest : public OpenPortTest
{
  protected:
    void SetUp() override
    {
        OpenPortTest::SetUp();
        UnderPortLock([&] { Port()->DataMask = 0xFF; });
        Peer().HonourFlowControl(true);
    }

    // Random bytes that are never a flow character (they would be taken out on either side).
    std::vector<UCHAR> RandomBytes(size_t count)
    {
        std::vector<UCHAR> bytes(count);
        for (auto& b : bytes) {
            do {
                b = static_cast<UCHAR>(rng_() & 0xFF);
            } while (b == XON || b == XOFF);
        }
        return bytes;
    }

    size_t Pick(size_t low, size_t high)
    {
        return std::uniform_int_distribution<size_t>(low, high)(rng_);
    }

    void Deliver()
    {
        // Never more than the ring can take: a loss there is a separate, reported event.
        const size_t room = Port()->InputBufferSize - Port()->InputCount;
        if (room == 0) {
            return;
        }
        const std::vector<UCHAR> bytes = RandomBytes(Pick(1, std::min<size_t>(room, 300)));
        inbound_.Append(bytes, false);
        Peer().Deliver(bytes);
    }

    // Feeds what a reader got to its stream; FALSE at the first byte that cannot come next.
    static bool Consume(Stream* stream, const std::vector<UCHAR>& got)
    {
        for (UCHAR b : got) {
            if (!stream->Read(b)) {
                return false;
            }
        }
        return true;
    }

    // A read that waits, ended by one of three timeouts within 30 ms: total, any byte, interval.
    void StartRead()
    {
        if (pendingRead_ != nullptr) {
            return;
        }
        static const ULONG timeouts[][3] = {{0, 0, 30}, {MAXULONG, MAXULONG, 30}, {5, 0, 30}};
        const ULONG* chosen = timeouts[Pick(0, 2)];
        SetTimeouts(Handle, chosen[0], chosen[1], chosen[2]);
        pendingRead_ = Io().ReadAsync(Handle, static_cast<ULONG>(Pick(1, 400)));
    }

    void CollectRead()
    {
        if (pendingRead_ == nullptr || !pendingRead_->Done()) {
            return;
        }
        const IoResult& result = pendingRead_->Result();
        EXPECT_TRUE(result.Status == STATUS_SUCCESS || result.Status == STATUS_TIMEOUT)
            << std::hex << result.Status;
        ASSERT_TRUE(Consume(&inbound_, result.Data))
            << "a waiting read got bytes out of order or corrupted, byte " << inbound_.Owed();
        pendingRead_ = nullptr;
    }

    void Read()
    {
        if (pendingRead_ != nullptr) {
            // Its bytes come first.
            Sim().AdvanceMs(31);
            CollectRead();
            return;
        }
        const std::vector<UCHAR> got = ReadNow(static_cast<ULONG>(Pick(1, 400)));
        ASSERT_TRUE(Consume(&inbound_, got))
            << "the application read bytes out of order or corrupted, byte " << inbound_.Owed();
        // A read that drained the ring to XonLimit ends a receive hold by Xoff: the Xon is
        // on its way.
        const PortDeviceRecord* port = Port();
        if ((port->RxHoldReasons & RX_HOLD_XOFF) != 0 &&
            port->InputCount <= static_cast<ULONG>(port->HandFlow.XonLimit)) {
            EXPECT_TRUE(port->SendXonPending) << "receive hold without a reason";
        }
    }

    void Write()
    {
        if (writes_.size() - completedWrites_ >= 3) {
            return;
        }
        const std::vector<UCHAR> bytes = RandomBytes(Pick(1, 700));
        outbound_.Append(bytes, false);
        writes_.push_back(Io().WriteAsync(Handle, bytes));
    }

    void SetFlow()
    {
        static const ULONG handShakes[] = {SERIAL_DTR_CONTROL, SERIAL_DTR_CONTROL,
                                           SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE};
        static const ULONG flows[] = {SERIAL_RTS_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE,
                                      SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE |
                                          SERIAL_XOFF_CONTINUE};
        // Low Xoff points as well, so that flow control is busy and not a rare event.
        static const LONG limits[][2] = {{2048, 512}, {50, 3900}, {10, 4000}};
        const size_t limit = Pick(0, 2);
        SetHandFlow(Handle, handShakes[Pick(0, 2)], flows[Pick(0, 2)], limits[limit][0],
                    limits[limit][1]);
        // A mask sends every byte through the receive path one by one; without one, runs of
        // plain bytes are stored in copies. Both must store the same.
        ASSERT_EQ(SetWaitMask(Pick(0, 1) == 0 ? 0 : SERIAL_EV_BREAK), STATUS_SUCCESS);
    }

    void Line(ULONG code) { ASSERT_EQ(Control(Handle, code).Status, STATUS_SUCCESS); }

    void CheckInvariants(bool ranTwoTicks)
    {
        CollectRead();
        const PortDeviceRecord* port = Port();
        EXPECT_LE(port->InputCount, port->InputBufferSize);
        EXPECT_LE(port->Uart.TxCount, UART_TX_CAPACITY);
        if (ranTwoTicks) {
            const ULONG holds = port->TxHoldReasons;
            EXPECT_FALSE(port->SendXonPending && (holds & ~TX_HOLD_XOFF) == 0)
                << "an Xon nothing holds was not sent by the next tick";
            EXPECT_FALSE(port->SendXoffPending && holds == 0)
                << "an Xoff nothing holds was not sent by the next tick";
        }
        for (; completedWrites_ < writes_.size() && writes_[completedWrites_]->Done();
             ++completedWrites_) {
            EXPECT_EQ(writes_[completedWrites_]->Result().Status, STATUS_SUCCESS);
        }
        // Whatever reached the peer continues what was written, in order.
        ASSERT_TRUE(Consume(&outbound_, Peer().TakeReceived()))
            << "the peer received bytes out of order or corrupted, byte " << outbound_.Owed();
    }

    void Finish()
    {
        // Nothing holds any more; then the clock runs until everything is out.
        Line(IOCTL_SERIAL_SET_BREAK_OFF);
        Line(IOCTL_SERIAL_SET_RTS);
        SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 2048,
                    512);
        Sim().AdvanceMs(31);
        CollectRead();
        for (int i = 0; i < 40 && inbound_.ReadCount() < inbound_.Size(); ++i) {
            Read();
        }
        for (int tick = 0; tick < 2000 && completedWrites_ < writes_.size(); ++tick) {
            Sim().AdvanceMs(20);
            CheckInvariants(false);
        }
        Sim().AdvanceMs(40);
        CheckInvariants(true);
        EXPECT_EQ(completedWrites_, writes_.size()) << "a write never completed";
        EXPECT_TRUE(outbound_.Complete())
            << "the peer lacks written bytes from " << outbound_.Owed();
        EXPECT_TRUE(inbound_.Complete())
            << "delivered bytes were not read from " << inbound_.Owed();
        EXPECT_EQ(Port()->Stats.ReceivedCount, inbound_.Size());
        EXPECT_FALSE(Peer().Paused()) << "the peer stays paused by the port";
        EXPECT_EQ(Port()->RxHoldReasons, 0u);
        EXPECT_EQ(Port()->TxHoldReasons, 0u);
    }

    void Run(uint32_t seed)
    {
        rng_.seed(seed);
        bool breakOn = false;
        bool rtsOn = true;
        for (int step = 0; step < STEPS && !HasFatalFailure(); ++step) {
            bool ranTwoTicks = false;
            switch (Pick(0, 9)) {
            case 0:
            case 1:
                Deliver();
                break;
            case 2:
                Read();
                break;
            case 3:
                StartRead();
                break;
            case 4:
                Write();
                break;
            case 5:
            case 6: {
                const size_t ms = Pick(1, 70);
                Sim().AdvanceMs(static_cast<LONGLONG>(ms));
                ranTwoTicks = ms >= 40;
                break;
            }
            case 7:
                breakOn = !breakOn;
                Line(breakOn ? IOCTL_SERIAL_SET_BREAK_ON : IOCTL_SERIAL_SET_BREAK_OFF);
                break;
            case 8:
                rtsOn = !rtsOn;
                Line(rtsOn ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);
                break;
            default:
                SetFlow();
                break;
            }
            CheckInvariants(ranTwoTicks);
        }
        if (!HasFatalFailure()) {
            Finish();
        }
    }

    std::mt19937 rng_;
    Stream inbound_;  // delivered by the peer, read by the application
    Stream outbound_; // written by the application, received by the peer
    std::vector<IoRequestPtr> writes_;
    IoRequestPtr pendingRead_;
    size_t completedWrites_ = 0;
};

std::vector<uint32_t> Seeds()
{
    return ScenarioSeeds(SeedRange(1, 24));
}

class DataPathSwarm : public DataPathSwarmTest, public ::testing::WithParamInterface<uint32_t>
{
};

// Every seed ends with all data across in order, no hold left and no hang.
TEST_P(DataPathSwarm, RandomScenarioKeepsDataAndFlowControlSound)
{
    const uint32_t seed = GetParam();
    const std::string replay = ReplayLine(seed, "serial_data_path_swarm_test");
    SCOPED_TRACE(replay);
    Watchdog watchdog(replay);
    Run(seed);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DataPathSwarm, ::testing::ValuesIn(Seeds()));

} // namespace
} // namespace qvx
