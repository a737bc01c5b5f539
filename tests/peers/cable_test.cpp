// Descriptions, and the peers that stay inside the machine: loopback and the null-modem pair,
// as fast as the send ticks allow or at line speed, with a bounded buffer that throttles a
// port using Xon/Xoff and counts what it must drop otherwise.

// ctest-labels: kpeer

#include "peers_fixture.h"

#include "host/peers/peer_description.h"
#include "support/watchdog.h"

#include <gmock/gmock.h>

namespace qvx {
namespace {

using ::testing::HasSubstr;

// Every kind with its arguments and options is read, and every malformed piece is named.
TEST(PeerDescriptionTest, AcceptsEachKindAndNamesWhatIsWrong)
{
    PeerConfig config;
    std::string error;
    ASSERT_TRUE(ParsePeerDescription("pair:COM6,line-speed,buffer=4096,xonxoff", &config, &error))
        << error;
    EXPECT_EQ(config.Kind, PeerKind::Pair);
    EXPECT_EQ(config.PairPort, "COM6");
    EXPECT_TRUE(config.LineSpeed);
    EXPECT_TRUE(config.XonXoff);
    EXPECT_EQ(config.Buffer, 4096u);
    ASSERT_TRUE(ParsePeerDescription("tcp-server:127.0.0.1:7000", &config, &error)) << error;
    EXPECT_EQ(config.Host, "127.0.0.1");
    EXPECT_EQ(config.TcpPort, 7000);
    // Listening is local unless an address says otherwise; IPv6 goes in brackets.
    ASSERT_TRUE(ParsePeerDescription("tcp-server:7001,allow=10.0.0.0/8,allow=::1", &config, &error))
        << error;
    EXPECT_EQ(config.Host, "127.0.0.1");
    EXPECT_EQ(config.Allow, (std::vector<std::string>{"10.0.0.0/8", "::1"}));
    ASSERT_TRUE(ParsePeerDescription("tcp-server:[::]:7001", &config, &error)) << error;
    EXPECT_EQ(config.Host, "::");
    ASSERT_TRUE(ParsePeerDescription("tcp-client:[::1]:7001", &config, &error)) << error;
    EXPECT_EQ(AddressText(config.Host, config.TcpPort), "[::1]:7001");
    ASSERT_TRUE(ParsePeerDescription("rfc2217:serial-box.lan:2217,retry=50", &config, &error));
    EXPECT_EQ(config.RetryMs, 50u);
    ASSERT_TRUE(ParsePeerDescription("pty:/tmp/quarvex/COM5", &config, &error));
    EXPECT_EQ(config.Path, "/tmp/quarvex/COM5");
    ASSERT_TRUE(ParsePeerDescription("pty", &config, &error)) << error;
    EXPECT_EQ(config.Path, "");
    ASSERT_TRUE(ParsePeerDescription("pty:ttyV0", &config, &error)) << error;

    const struct
    {
        std::string Text;
        const char* Message;
    } bad[] = {
        {"modem", "unknown peer kind \"modem\""},
        {"", "unknown peer kind \"\""},
        {"loopback:COM5", "takes no argument"},
        {"pair", "needs an argument"},
        {"tcp-client:localhost", "needs host:port"},
        {"tcp-client:localhost:0", "bad TCP port \"0\""},
        {"tcp-client:localhost:65536", "bad TCP port"},
        {"tcp-client:localhost:80x", "bad TCP port \"80x\""},
        {"rfc2217:bad host:2217", "bad host name \"bad host\""},
        {"tcp-server:", "needs an argument"},
        {"pty:relative/COM5", "absolute path"},
        {"pty:", "absolute path or a bare name"},
        {"pair:LPT1", "\"LPT1\" is not a port name"},
        {"pair:COM4097", "not a port name"},
        {"tcp-client:::1:80", "an IPv6 address goes in brackets"},
        {"tcp-client:[nonsense]:80", "bad IPv6 address"},
        {"tcp-server:7000,allow=10.0.0.0/33", "bad prefix"},
        {"tcp-server:7000,allow=eleven", "bad address in allow list"},
        {"tcp-client:h:1,allow=::1", "misplaced option"},
        {"modem" + std::string(200000, 'x'), "(200005 characters)"},
        {"loopback,buffer=12", "bad buffer size \"12\""},
        {"loopback,buffer=99999999999", "bad buffer size"},
        {"loopback,fast", "unknown or misplaced option \"fast\""},
        {"pty:/tmp/x,line-speed", "misplaced option \"line-speed\""},
        {"tcp-server:7000,retry=100", "misplaced option \"retry=100\""},
        {"tcp-client:h:1,retry=5", "bad retry interval"},
        {"none,xonxoff", "takes no options"},
    };
    for (const auto& entry : bad) {
        error.clear();
        EXPECT_FALSE(ParsePeerDescription(entry.Text, &config, &error)) << entry.Text;
        EXPECT_THAT(error, HasSubstr(entry.Message)) << entry.Text;
        EXPECT_LT(error.size(), 400u) << "a message echoes what it was given whole";
        EXPECT_EQ(CheckPeerDescription(entry.Text, &error), false);
    }
}

// Each cable test runs against the host's peers and against quarvexpeer.sys.
class CableTest : public PeersTest, public ::testing::WithParamInterface<PeerSide>
{
};

// A pair or a loopback at 9600 baud carries 10 kB in 10000 / 960 s, not faster, and whole.
TEST_P(CableTest, LineSpeedAt9600Takes10Point4SecondsFor10Kilobytes)
{
    Watchdog watchdog("line-speed pair");
    ASSERT_EQ(StartCable(GetParam(), {{u"COM5", "pair:COM6,line-speed"},
                                      {u"COM6", "pair:COM5,line-speed"},
                                      {u"COM7", "loopback,line-speed"}}),
              "");
    const FileHandle a = Open(u"COM5");
    const FileHandle b = Open(u"COM6");
    const FileHandle c = Open(u"COM7");
    for (FileHandle handle : {a, b, c}) {
        SetBaud(handle, 9600);
        WaitWhole(handle);
    }
    const std::vector<UCHAR> data = Pattern(10000, 1);
    const LONGLONG pair = Carry(a, b, data);
    EXPECT_GE(pair, 10416);
    EXPECT_LE(pair, 10500);
    const LONGLONG loop = Carry(c, c, data);
    EXPECT_GE(loop, 10416);
    EXPECT_LE(loop, 10500);
    // Back the other way at 19200: twice as fast.
    SetBaud(b, 19200);
    const LONGLONG back = Carry(b, a, data);
    EXPECT_GE(back, 5208);
    EXPECT_LE(back, 5300);
    EXPECT_EQ(CableStats(u"COM5").Dropped, 0u);
    EXPECT_EQ(CableStats(u"COM5").ToPort, 20000u);
}

// Without line speed the pair is as fast as the send ticks: every byte value arrives in order.
TEST_P(CableTest, PairAndLoopbackCarryEveryByteValue)
{
    Watchdog watchdog("pair");
    ASSERT_EQ(StartCable(GetParam(),
                         {{u"COM5", "pair:COM6"}, {u"COM6", "pair:COM5"}, {u"COM7", "loopback"}}),
              "");
    const FileHandle a = Open(u"COM5");
    const FileHandle b = Open(u"COM6");
    const FileHandle c = Open(u"COM7");
    std::vector<UCHAR> all;
    for (int i = 0; i < 4096; ++i) {
        all.push_back(static_cast<UCHAR>(i));
    }
    for (FileHandle handle : {a, b, c}) {
        WaitWhole(handle);
    }
    EXPECT_LT(Carry(a, b, all), 1000);
    EXPECT_LT(Carry(b, a, all), 1000);
    EXPECT_LT(Carry(c, c, all), 1000);
    EXPECT_EQ(CableStats(u"COM5").ToPort, 2 * all.size());
    EXPECT_EQ(CableStats(u"COM7").ToPort, all.size());
}

// A sender faster than the line overflows a small buffer: the loss is counted and traced.
// With Xon/Xoff the same sender is held back and nothing is lost.
TEST_P(CableTest, FullBufferDropsCountedOrThrottlesAnXonXoffSender)
{
    Watchdog watchdog("bounded cable");
    TraceCapture trace(Sim());
    ASSERT_EQ(StartCable(GetParam(), {{u"COM5", "pair:COM6,line-speed,buffer=2048"},
                                      {u"COM6", "pair:COM5,line-speed,buffer=2048"},
                                      {u"COM7", "pair:COM8,line-speed,buffer=2048,xonxoff"},
                                      {u"COM8", "pair:COM7,line-speed,buffer=2048,xonxoff"}}),
              "");
    const std::vector<UCHAR> data = Pattern(10000, 2);

    const FileHandle a = Open(u"COM5");
    const FileHandle b = Open(u"COM6");
    SERIAL_TIMEOUTS quiet = {200, 0, 0, 0, 0}; // a read ends once the line has been quiet
    ASSERT_EQ(Control(b, IOCTL_SERIAL_SET_TIMEOUTS, &quiet, sizeof(quiet)), STATUS_SUCCESS);
    IoRequestPtr read = Sim().Io().ReadAsync(b, 10000);
    ASSERT_EQ(Sim().Io().Write(a, data).Status, STATUS_SUCCESS);
    const IoResult& got = read->Wait();
    const PeerStats lossy = CableStats(u"COM5");
    EXPECT_GT(lossy.Dropped, 0u);
    EXPECT_EQ(got.Data.size() + lossy.Dropped, data.size()) << "a byte vanished uncounted";
    EXPECT_TRUE(trace.Contains(GetParam() == PeerSide::Host
                                   ? "peer COM5: far side buffer full (2048 bytes)"
                                   : "QuarvexPeerSend COM5: far side's buffer full"))
        << trace.Dump();

    const FileHandle c = Open(u"COM7");
    const FileHandle d = Open(u"COM8");
    UseXonXoff(c);
    WaitWhole(d);
    EXPECT_GE(Carry(c, d, data), 10416);
    EXPECT_EQ(CableStats(u"COM7").Dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothPeers, CableTest, ::testing::Values(PeerSide::Host, PeerSide::Kernel),
                         PeerSideName);

// A pair must be named from both ends with the same options; the first fault is reported and
// nothing is attached.
TEST_F(PeersTest, MismatchedPairIsRefusedWithAMessage)
{
    StartPorts({u"COM5", u"COM6"});
    EXPECT_THAT(Attach({{u"COM5", "pair:COM6"}, {u"COM6", "loopback"}}),
                HasSubstr("COM5: its pair COM6 must exist and name it back (pair:COM5)"));
    EXPECT_THAT(Attach({{u"COM5", "pair:COM6,line-speed"}, {u"COM6", "pair:COM5"}}),
                HasSubstr("must have the same options"));
    EXPECT_THAT(Attach({{u"COM5", "pair:COM5"}, {u"COM6", "none"}}), HasSubstr("name it back"));
    EXPECT_THAT(Attach({{u"COM5", "tcp-client:localhost:7"}, {u"COM6", "serial"}}),
                HasSubstr("COM6: unknown peer kind \"serial\""));
    EXPECT_TRUE(Peers.empty());
}

} // namespace
} // namespace qvx
