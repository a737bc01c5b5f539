// Raw TCP bridges against socat: as server and as client, every byte echoed back in order,
// and the link made again after the other side went away.

#include "bridge_fixture.h"

#include "support/watchdog.h"

#include <gmock/gmock.h>

namespace qvx {
namespace {

using ::testing::HasSubstr;

constexpr const char* SOCAT = "/usr/bin/socat";

class TcpBridgeTest : public BridgeTest
{
  protected:
    // The machine comes up first: a skipped test still runs the fixture's teardown.
    void SetUp() override
    {
        BridgeTest::SetUp();
        if (!HaveProgram(SOCAT)) {
            GTEST_SKIP() << "socat is not installed (scripts/install-deps.sh installs it)";
        }
    }
};

// The port listens; socat connects and echoes; a second socat after the first is the next
// connection, while a caller during a connection is turned away.
TEST_F(TcpBridgeTest, ServerEchoesEveryByteAndTakesTheNextConnection)
{
    Watchdog watchdog("tcp-server bridge");
    TraceCapture trace(Sim());
    const std::string port = std::to_string(FreeTcpPort());
    StartCom5("tcp-server:127.0.0.1:" + port);
    // Sent before anyone connects: held for the first connection.
    const std::vector<UCHAR> early = Pattern(10 * 1024, 2);
    ASSERT_EQ(Sim().Io().Write(Port, early).Status, STATUS_SUCCESS);
    {
        Child socat({SOCAT, "TCP:127.0.0.1:" + port, "EXEC:cat"});
        ASSERT_TRUE(socat.Started());
        ExpectSame(Sim().Io().Read(Port, static_cast<ULONG>(early.size())).Data, early);
        Echo(Pattern(256 * 1024, 3));
        Child intruder({SOCAT, "-u", "TCP:127.0.0.1:" + port, "OPEN:/dev/null"});
        EXPECT_TRUE(WaitFor([&] { return trace.Contains("refused a second connection"); }));
        intruder.Wait();
    }
    ASSERT_TRUE(WaitFor([&] { return trace.Contains("closed by the far side"); }));
    Child again({SOCAT, "TCP:127.0.0.1:" + port, "EXEC:cat"});
    Echo(Pattern(64 * 1024, 4));
    const PeerStats stats = Peers[0]->Stats();
    EXPECT_EQ(stats.Connections, 2u);
    EXPECT_EQ(stats.Dropped, 0u);
    EXPECT_EQ(stats.ToPort, 330u * 1024);
}

// The port dials out: nobody listens at first (the reason is traced and the peer keeps
// trying), then socat echoes, goes, and its successor is reached again.
TEST_F(TcpBridgeTest, ClientRetriesUntilReachedAndReconnects)
{
    Watchdog watchdog("tcp-client bridge");
    TraceCapture trace(Sim());
    const std::string port = std::to_string(FreeTcpPort());
    StartCom5("tcp-client:127.0.0.1:" + port + ",retry=20");
    ASSERT_TRUE(WaitFor([&] { return trace.Contains("Connection refused"); })) << trace.Dump();
    EXPECT_THAT(Peers[0]->Describe(), HasSubstr("cannot connect to 127.0.0.1:" + port));
    for (unsigned round = 0; round < 2; ++round) {
        Child socat({SOCAT, "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr", "EXEC:cat"});
        Echo(Pattern(128 * 1024, 5 + round));
        socat.Stop();
        ASSERT_TRUE(WaitFor([&] { return trace.Count("closed by the far side") > round; }))
            << trace.Dump();
    }
    EXPECT_EQ(Peers[0]->Stats().Connections, 2u);
    EXPECT_EQ(Peers[0]->Stats().Dropped, 0u);
}

// A server that takes part of the stream and hangs up: the bridge says so, keeps the rest
// for the next connection, and neither hangs nor crashes.
TEST_F(TcpBridgeTest, ServerClosingMidStreamIsReportedAndTheRestGoesToTheNextOne)
{
    Watchdog watchdog("mid-stream close");
    TraceCapture trace(Sim());
    const std::string port = std::to_string(FreeTcpPort());
    StartCom5("tcp-client:127.0.0.1:" + port + ",retry=20");
    const std::vector<UCHAR> data = Pattern(64 * 1024, 7);
    IoRequestPtr write = Sim().Io().WriteAsync(Port, data);
    {
        // Takes 1000 bytes, then goes.
        Child first({SOCAT, "-u", "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr",
                     "SYSTEM:head -c 1000 >/dev/null"});
        ASSERT_TRUE(WaitFor([&] { return trace.Contains("closed by the far side"); }))
            << trace.Dump();
    }
    Child second(
        {SOCAT, "-u", "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr", "OPEN:/dev/null"});
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitFor([&] { return Peers[0]->Stats().Connections == 2; })) << trace.Dump();
}

} // namespace
} // namespace qvx
