// The RFC 2217 client: its telnet layer alone (negotiation, escaping, SET-BAUDRATE, and a
// seeded stream of garbage), then the bridge against ser2net in front of a pseudo-terminal and
// against a server that talks nonsense.

#include "bridge_fixture.h"

#include "host/peers/telnet_client.h"
#include "support/watchdog.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <random>
#include <termios.h>

namespace qvx {
namespace {

using ::testing::HasSubstr;
namespace T = telnet;

std::string Bytes(std::initializer_list<int> values)
{
    std::string text;
    for (const int value : values) {
        text.push_back(static_cast<char>(value));
    }
    return text;
}

std::string Feed(TelnetClient& telnet, const std::string& wire, std::vector<uint8_t>* data)
{
    std::string out;
    telnet.Decode(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), data, &out);
    return out;
}

// Opening, acceptance and the rates: a rate set before acceptance goes once the server says
// DO COM-PORT-OPTION; 0 never goes; 0xFF inside a value is doubled.
TEST(TelnetClientTest, NegotiatesAndSendsEachRateOnceAccepted)
{
    TelnetClient telnet;
    std::string out;
    telnet.Start(&out);
    EXPECT_EQ(out, Bytes({T::IAC, T::WILL, 0, T::IAC, T::WILL, 3, T::IAC, T::WILL, 44, T::IAC,
                          T::DO, 0, T::IAC, T::DO, 3}));
    out.clear();
    telnet.SetBaudRate(9600, &out);
    telnet.SetBaudRate(0, &out);
    EXPECT_EQ(out, "") << "nothing before acceptance";
    std::vector<uint8_t> data;
    // Answers to our own requests need no reply; the acceptance releases the rate.
    EXPECT_EQ(Feed(telnet, Bytes({T::IAC, T::DO, 0, T::IAC, T::WILL, 0, T::IAC, T::DO, 44}), &data),
              Bytes({T::IAC, T::SB, 44, 1, 0, 0, 0x25, 0x80, T::IAC, T::SE}));
    EXPECT_TRUE(telnet.ComPortAccepted());
    out.clear();
    telnet.SetBaudRate(0x0001FF00, &out);
    EXPECT_EQ(out, Bytes({T::IAC, T::SB, 44, 1, 0, 1, 255, 255, 0, T::IAC, T::SE}));
    // The server's confirmation, with its own doubled 0xFF.
    Feed(telnet, Bytes({T::IAC, T::SB, 44, 101, 0, 1, 255, 255, 0, T::IAC, T::SE}), &data);
    EXPECT_EQ(telnet.ServerBaudRate(), 0x0001FF00u);
    EXPECT_TRUE(data.empty());
    // Options we do not speak are refused once, however often they are asked for.
    EXPECT_EQ(
        Feed(telnet, Bytes({T::IAC, T::DO, 24, T::IAC, T::DO, 24, T::IAC, T::WILL, 1}), &data),
        Bytes({T::IAC, T::WONT, 24, T::IAC, T::DONT, 1}));
    // A new connection starts over but keeps the rate to send.
    out.clear();
    telnet.Start(&out);
    out.clear();
    EXPECT_EQ(Feed(telnet, Bytes({T::IAC, T::DO, 44}), &data),
              Bytes({T::IAC, T::SB, 44, 1, 0, 1, 255, 255, 0, T::IAC, T::SE}));
}

// Data: 0xFF is doubled going out and collapsed coming in; commands in the middle of data do
// not disturb it; an overlong or broken subnegotiation is thrown away and the stream goes on.
TEST(TelnetClientTest, EscapesDataAndSurvivesBrokenCommands)
{
    const uint8_t out[] = {0x41, 0xFF, 0x42, 0xFF, 0xFF};
    std::string wire;
    TelnetClient::Escape(out, sizeof(out), &wire);
    EXPECT_EQ(wire, Bytes({0x41, 255, 255, 0x42, 255, 255, 255, 255}));

    TelnetClient telnet;
    std::vector<uint8_t> data;
    std::string in =
        Bytes({'a', T::IAC, T::IAC, 'b', T::IAC, 241, 'c', T::IAC, 7, 'd', T::IAC, T::SB, 44, 101});
    in += std::string(1000, 'x');
    in += Bytes({T::IAC, T::SE, 'e'});
    EXPECT_EQ(Feed(telnet, in, &data), "");
    EXPECT_EQ(std::string(data.begin(), data.end()), "a\xff"
                                                     "bcde");
    EXPECT_GT(telnet.Discarded(), 900u);
    EXPECT_EQ(telnet.ServerBaudRate(), 0u);

    // A subnegotiation cut short by a command is dropped whole, and the command is obeyed:
    // the rate it carried is not taken, and none of the command's bytes become data.
    data.clear();
    EXPECT_EQ(Feed(telnet,
                   Bytes({T::IAC, T::SB, 44, 101, 0, 0, 0x25, 0x80, T::IAC, T::WILL, 3, 'z'}),
                   &data),
              Bytes({T::IAC, T::DO, 3}));
    EXPECT_EQ(std::string(data.begin(), data.end()), "z");
    EXPECT_EQ(telnet.ServerBaudRate(), 0u);
}

// Seeded garbage in small pieces: no crash, at most one reply per command, never more data
// than came in, and a clean stream afterwards still passes whole.
TEST(TelnetClientTest, RandomGarbageIsBoundedAndTheStreamRecovers)
{
    for (unsigned seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE("replay: --gtest_filter=*RandomGarbage* seed " + std::to_string(seed));
        std::mt19937 random(seed);
        TelnetClient telnet;
        std::string out;
        telnet.Start(&out);
        size_t in = 0;
        size_t replies = 0;
        std::vector<uint8_t> data;
        for (int piece = 0; piece < 50; ++piece) {
            std::string wire;
            const size_t length = random() % 64;
            for (size_t i = 0; i < length; ++i) {
                // Mostly telnet-ish bytes, so that commands and options really occur.
                const unsigned pick = random() % 4;
                wire.push_back(static_cast<char>(pick == 0   ? random() % 256
                                                 : pick == 1 ? 240 + random() % 16
                                                             : random() % 48));
            }
            in += wire.size();
            replies += Feed(telnet, wire, &data).size();
        }
        EXPECT_LE(data.size(), in);
        EXPECT_LE(replies, in * 11 / 3 + 10);
        // End whatever was open (a subnegotiation, a command), then clean data passes.
        Feed(telnet, Bytes({T::IAC, T::SE, T::IAC, T::SE}), &data);
        data.clear();
        Feed(telnet, Bytes({'o', 'k', T::IAC, T::IAC}), &data);
        EXPECT_EQ(std::string(data.begin(), data.end()), "ok\xff");
    }
}

constexpr const char* SER2NET = "/usr/sbin/ser2net";

class Rfc2217BridgeTest : public BridgeTest
{
  protected:
    ~Rfc2217BridgeTest() override
    {
        if (master_ >= 0) {
            close(master_);
        }
    }

    // A pseudo-terminal standing in for the device behind the server; its name.
    std::string MakeDevice()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        char name[128] = {};
        EXPECT_GE(master_, 0);
        EXPECT_EQ(grantpt(master_), 0);
        EXPECT_EQ(unlockpt(master_), 0);
        EXPECT_EQ(ptsname_r(master_, name, sizeof(name)), 0);
        return name;
    }

    speed_t DeviceSpeed() const
    {
        termios settings = {};
        return tcgetattr(master_, &settings) == 0 ? cfgetospeed(&settings) : B0;
    }

    std::vector<UCHAR> ReadDevice(size_t count)
    {
        std::vector<UCHAR> got;
        WaitFor([&] {
            UCHAR buffer[4096];
            const ssize_t n = read(master_, buffer, sizeof(buffer));
            if (n > 0) {
                got.insert(got.end(), buffer, buffer + n);
            }
            return got.size() >= count;
        });
        return got;
    }

    int master_ = -1;
};

// ser2net in front of a terminal: every byte value both ways, and each rate the application
// sets becomes the terminal's speed.
TEST_F(Rfc2217BridgeTest, Ser2netCarriesEveryByteAndEachBaudChange)
{
    if (!HaveProgram(SER2NET)) {
        GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh installs it)";
    }
    Watchdog watchdog("rfc2217 against ser2net", std::chrono::seconds(120));
    const std::string device = MakeDevice();
    const std::string port = std::to_string(FreeTcpPort());
    const std::string pid = "/tmp/quarvex-ser2net-" + port + ".pid";
    Child server({SER2NET, "-n", "-u", "-P", pid, "-Y", "connection: &quarvex", "-Y",
                  "  accepter: telnet(rfc2217),tcp,127.0.0.1," + port, "-Y",
                  "  connector: serialdev," + device + ",9600n81,local"});
    ASSERT_TRUE(server.Started());
    StartCom5("rfc2217:127.0.0.1:" + port + ",retry=50");
    ASSERT_TRUE(WaitFor([&] { return DeviceSpeed() == B4000000; })) << Peers[0]->Describe();
    for (const ULONG rate : {57600u, 19200u, 115200u}) {
        SetBaud(Port, rate);
        EXPECT_TRUE(WaitFor([&] {
            termios settings = {};
            tcgetattr(master_, &settings);
            return cfgetospeed(&settings) == (rate == 57600   ? B57600
                                              : rate == 19200 ? B19200
                                                              : B115200);
        })) << rate;
    }
    std::vector<UCHAR> all;
    for (int round = 0; round < 8; ++round) {
        for (int value = 0; value < 256; ++value) {
            all.push_back(static_cast<UCHAR>(value));
        }
    }
    ASSERT_EQ(Sim().Io().Write(Port, all).Status, STATUS_SUCCESS);
    ExpectSame(ReadDevice(all.size()), all);
    IoRequestPtr read = Sim().Io().ReadAsync(Port, static_cast<ULONG>(all.size()));
    ASSERT_EQ(write(master_, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    const IoResult& got = read->Wait();
    ExpectSame(got.Data, all);
    EXPECT_EQ(Peers[0]->Stats().Dropped, 0u);
    unlink(pid.c_str());
}

// A server that sends telnet garbage around its data: the data gets through, the garbage is
// counted, and the bridge neither hangs nor floods it with replies.
TEST_F(Rfc2217BridgeTest, GarbageFromTheNetworkIsDiscardedAndDataPasses)
{
    Watchdog watchdog("rfc2217 garbage");
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    StartCom5("rfc2217:127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    std::string garbage = Bytes({T::IAC, T::SB, 44, 101});
    garbage += std::string(500, '\x05');
    garbage += Bytes({T::IAC, T::SE, 'h', 'i', T::IAC, 3, T::IAC, T::DO, 99, T::IAC, T::IAC, '!',
                      T::IAC, T::SB, T::IAC, T::SE});
    ASSERT_EQ(write(server, garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
    const IoResult got = Sim().Io().Read(Port, 3);
    EXPECT_EQ(std::string(got.Data.begin(), got.Data.end()), "hi\xff");
    EXPECT_GE(Peers[0]->Stats().Discarded, 500u);
    close(server);
    close(listener);
}

} // namespace
} // namespace qvx
