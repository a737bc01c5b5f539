// ctest-labels: read
// A long stream paced by Xon/Xoff flow control, read back in pieces of random length with
// random timeouts: it must arrive whole, in order and without an overrun.

#include "support/port_fixture.h"
#include "support/seeds.h"

#include "serial/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace qvx {
namespace {

using ReadStreamTest = OpenPortTest;

// QVX_SEED replays a failure; QVX_FAST shortens the stream.
unsigned StreamSeed()
{
    return ScenarioSeed(0x5EEDu);
}

TEST_F(ReadStreamTest, PacedStreamArrivesWholeAndInOrder)
{
    const unsigned seed = StreamSeed();
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (replay with QVX_SEED=" << seed << ")");
    const size_t total = getenv("QVX_FAST") != nullptr ? 128 * 1024 : 1024 * 1024;
    std::mt19937 random(seed);
    auto below = [&random](ULONG bound) { return static_cast<ULONG>(random() % bound); };

    std::vector<UCHAR> stream(total);
    for (UCHAR& byte : stream) {
        do {
            byte = static_cast<UCHAR>(random());
        } while (byte == 0x11 || byte == 0x13); // the flow characters
    }

    UnderPortLock([&] { Port()->DataMask = 0xFF; });
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 2048, 512);
    Peer().HonourFlowControl(true);
    Peer().Queue(stream);
    // 22 bytes per ms: well under the 512 bytes of slack that one 20 ms send tick must cover.
    Peer().StartPacing(2, PeerEndpoint::MAX_BLOCK);

    size_t got = 0;
    for (size_t reads = 0; got < total; ++reads) {
        const ULONG remaining = static_cast<ULONG>(total - got);
        ULONG length = 1 + below(5000);
        ULONG interval = 0;
        ULONG multiplier = 0;
        ULONG constant = 0;
        switch (below(6)) {
        case 0: // whatever the ring holds
            interval = MAXULONG;
            break;
        case 1: // until full: never more than is still to come
            interval = below(2) != 0 ? MAXULONG : 0;
            constant = interval == MAXULONG ? MAXULONG : 0;
            length = std::min(length, remaining);
            break;
        case 2: // the first byte
            interval = MAXULONG;
            multiplier = MAXULONG;
            constant = 1 + below(200);
            break;
        case 3:
            interval = MAXULONG;
            multiplier = 1 + below(2);
            constant = 1 + below(200);
            break;
        case 4:
            multiplier = below(3);
            constant = 1 + below(300);
            break;
        default:
            interval = 1 + below(40);
            multiplier = below(2);
            constant = below(2) != 0 ? 0 : 1 + below(300);
            break;
        }
        SetTimeouts(Handle, interval, multiplier, constant);
        const IoResult result = Io().Read(Handle, length);
        const auto context = testing::Message()
                             << "read " << reads << " at offset " << got << ": length " << length
                             << ", timeouts " << interval << "/" << multiplier << "/" << constant;
        ASSERT_TRUE(result.Status == STATUS_SUCCESS || result.Status == STATUS_TIMEOUT)
            << context << ", status " << std::hex << result.Status;
        ASSERT_EQ(result.Information, result.Data.size()) << context;
        ASSERT_LE(result.Data.size(), std::min(length, remaining)) << context;
        ASSERT_TRUE(std::equal(result.Data.begin(), result.Data.end(), stream.begin() + got))
            << context;
        got += result.Data.size();

        if (result.Data.empty() || below(8) == 0) {
            Sim().AdvanceMs(1 + below(4));
        }
        if (below(25) == 0) {
            Sim().AdvanceMs(100 + below(300)); // falls behind: the ring fills up to Xoff
        }
    }
    Peer().StopPacing();

    EXPECT_EQ(Port()->Stats.ReceivedCount, total);
    EXPECT_EQ(Port()->Stats.BufferOverrunErrorCount, 0u);
    const IoResult status =
        Control(Handle, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    ASSERT_EQ(status.Data.size(), sizeof(SERIAL_STATUS));
    SERIAL_STATUS serialStatus;
    memcpy(&serialStatus, status.Data.data(), sizeof(serialStatus));
    EXPECT_EQ(serialStatus.Errors, 0u);
    // The stream really was paced by flow control.
    size_t xoffs = 0;
    for (const PeerRecorder::Block& block : Peer().Blocks()) {
        xoffs += static_cast<size_t>(std::count(block.Bytes.begin(), block.Bytes.end(), 0x13));
    }
    EXPECT_GT(xoffs, 0u);
}

} // namespace
} // namespace qvx
