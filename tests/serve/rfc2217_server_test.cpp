// ctest-labels: tool stress
// The RFC 2217 server against a raw telnet client, on a real-time machine whose port has a
// loopback peer: what the client sets must come back as the value in effect, and the line
// must show it (CTS follows RTS, data echoes).
#include "host/serve/rfc2217_server.h"
#include "host/system.h"
#include "serve/support/serve_client.h"
#include "support/seeds.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

namespace qvx {
namespace {

using telnet::IAC;
using test::ServeClient;

constexpr uint8_t SET_BAUDRATE = 1;
constexpr uint8_t SET_DATASIZE = 2;
constexpr uint8_t SET_PARITY = 3;
constexpr uint8_t SET_STOPSIZE = 4;
constexpr uint8_t SET_CONTROL = 5;
constexpr uint8_t FLOWCONTROL_SUSPEND = 8;
constexpr uint8_t FLOWCONTROL_RESUME = 9;
constexpr uint8_t SET_LINESTATE_MASK = 10;
constexpr uint8_t SET_MODEMSTATE_MASK = 11;
constexpr uint8_t PURGE_DATA = 12;
constexpr uint8_t CTS = 0x10;
constexpr uint8_t DATA_READY = 0x01;

const char* const LOOPBACK_CONFIGURATION =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
    "Parameters]\n"
    "\"PortName\"=\"COM9\"\n\"Peer\"=\"loopback\"\n";

uint32_t BaudOf(const std::vector<uint8_t>& value)
{
    uint32_t baud = 0;
    for (uint8_t byte : value) {
        baud = (baud << 8) | byte;
    }
    return value.size() == 4 ? baud : 0;
}

std::vector<uint8_t> Baud(uint32_t baud)
{
    return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
            static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
}

std::vector<uint8_t> EveryByteValue(int rounds)
{
    std::vector<uint8_t> bytes;
    for (int round = 0; round < rounds; ++round) {
        for (int value = 0; value < 256; ++value) {
            bytes.push_back(static_cast<uint8_t>(value));
        }
    }
    return bytes;
}

class Rfc2217ServerTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        SystemOptions options;
        options.Verify = true; // the verifier runs in every test
        options.Mode = SystemMode::RealTime;
        options.Configuration = LOOPBACK_CONFIGURATION;
        std::string error;
        system_ = System::Boot(options, &error);
        ASSERT_NE(system_, nullptr) << error;
        server_ = std::make_unique<Rfc2217Server>("COM9", "127.0.0.1:0");
        ASSERT_TRUE(server_->Start(&error)) << error;
        ASSERT_NE(server_->Port(), 0);
    }

    void TearDown() override
    {
        if (server_) {
            server_->Stop();
        }
        if (system_) {
            EXPECT_EQ(system_->Shutdown(), "");
        }
    }

    // Connects and negotiates; the session is ready for commands.
    void Open(ServeClient* client)
    {
        ASSERT_TRUE(client->Connect(server_->Port()));
        ASSERT_TRUE(client->Negotiate());
    }

    // 8N1, no flow control: what the data tests need (a new port has 7 data bits).
    void EightBitsNoFlow(ServeClient* client)
    {
        EXPECT_EQ(client->Ask(SET_DATASIZE, 8), 8);
        EXPECT_EQ(client->Ask(SET_PARITY, 1), 1);
        EXPECT_EQ(client->Ask(SET_STOPSIZE, 1), 1);
        EXPECT_EQ(client->Ask(SET_CONTROL, 1), 1);
    }

    Watchdog watchdog_{"Rfc2217ServerTest"};
    std::unique_ptr<System> system_;
    std::unique_ptr<Rfc2217Server> server_;
};

// The server offers binary mode, accepts the option both ways, reports the modem lines at
// once, and each line setting comes back as the value the port then has: accepted values as
// sent (including a rate whose bytes need IAC doubling), refused ones as the value kept.
TEST_F(Rfc2217ServerTest, LineSettingsReplyWithTheValueInEffect)
{
    ServeClient client;
    Open(&client);
    EXPECT_TRUE(client.Saw(telnet::WILL, telnet::OPTION_BINARY));
    EXPECT_TRUE(client.Saw(telnet::DO, telnet::OPTION_BINARY));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.WaitReply(107, &reply)) << "no modem state after negotiation";

    client.SendCommand(SET_BAUDRATE, Baud(115200));
    ASSERT_TRUE(client.WaitReply(101, &reply));
    EXPECT_EQ(BaudOf(reply), 115200u);
    client.SendCommand(SET_BAUDRATE, Baud(0));
    ASSERT_TRUE(client.WaitReply(101, &reply));
    EXPECT_EQ(BaudOf(reply), 115200u) << "a query must not change the rate";

    // 0x0001FF00: an IAC inside the value, doubled on the wire both ways.
    client.SendCommand(SET_BAUDRATE, Baud(0x0001FF00));
    ASSERT_TRUE(client.WaitReply(101, &reply));
    const uint32_t odd = BaudOf(reply);
    EXPECT_TRUE(odd == 0x0001FF00 || odd == 115200) << odd;
    client.SendCommand(SET_BAUDRATE, Baud(0));
    ASSERT_TRUE(client.WaitReply(101, &reply));
    EXPECT_EQ(BaudOf(reply), odd);

    EXPECT_EQ(client.Ask(SET_DATASIZE, 7), 7);
    EXPECT_EQ(client.Ask(SET_DATASIZE, 9), 7) << "a size the port cannot take keeps the old";
    EXPECT_EQ(client.Ask(SET_DATASIZE, 0), 7);
    EXPECT_EQ(client.Ask(SET_PARITY, 3), 3); // even
    EXPECT_EQ(client.Ask(SET_PARITY, 2), 2); // odd
    EXPECT_EQ(client.Ask(SET_PARITY, 6), 2); // no such parity
    EXPECT_EQ(client.Ask(SET_STOPSIZE, 2), 2);
    const int oneAndHalf = client.Ask(SET_STOPSIZE, 3);
    EXPECT_TRUE(oneAndHalf == 3 || oneAndHalf == 2) << oneAndHalf;
    EXPECT_EQ(client.Ask(SET_STOPSIZE, 0), oneAndHalf);
    EXPECT_EQ(client.Ask(SET_DATASIZE, 8), 8);
    EXPECT_EQ(client.Ask(SET_PARITY, 1), 1);
    EXPECT_EQ(client.Ask(SET_STOPSIZE, 1), 1);

    // The settings belong to the port: the next client finds them.
    client.Abort();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        ServeClient next;
        ASSERT_TRUE(next.Connect(server_->Port()));
        served = next.Negotiate(); // refused while the first session winds down
        if (served) {
            EXPECT_EQ(next.Ask(SET_DATASIZE, 0), 8);
            next.SendCommand(SET_BAUDRATE, Baud(0));
            ASSERT_TRUE(next.WaitReply(101, &reply));
            EXPECT_EQ(BaudOf(reply), odd);
        }
    }
    EXPECT_TRUE(served);
}

// RTS is looped to CTS, so toggling it must be answered and then notified as a CTS change;
// DTR and BREAK answer with the state the port drives; hardware flow control shows in both
// directions; purges are acknowledged; a zero modem mask silences notifications.
TEST_F(Rfc2217ServerTest, ControlLinesBreakFlowAndPurge)
{
    ServeClient client;
    Open(&client);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.WaitReply(107, &reply));

    for (bool on : {false, true, false, true}) {
        client.TakeModemNotifications();
        ASSERT_EQ(client.Ask(SET_CONTROL, on ? 11 : 12), on ? 11 : 12);
        EXPECT_EQ(client.Ask(SET_CONTROL, 10), on ? 11 : 12);
        bool seen = false;
        for (int wait = 0; wait < 100 && !seen; ++wait) {
            client.Drain(20);
            for (uint8_t state : client.TakeModemNotifications()) {
                seen = seen || ((state & CTS) != 0) == on;
            }
        }
        EXPECT_TRUE(seen) << "no notification of CTS " << (on ? "on" : "off");
    }
    for (bool on : {false, true}) {
        EXPECT_EQ(client.Ask(SET_CONTROL, on ? 8 : 9), on ? 8 : 9);
        EXPECT_EQ(client.Ask(SET_CONTROL, 7), on ? 8 : 9);
    }
    EXPECT_EQ(client.Ask(SET_CONTROL, 5), 5);
    EXPECT_EQ(client.Ask(SET_CONTROL, 4), 5);
    EXPECT_EQ(client.Ask(SET_CONTROL, 6), 6);
    EXPECT_EQ(client.Ask(SET_CONTROL, 4), 6);

    EXPECT_EQ(client.Ask(SET_CONTROL, 3), 3);
    EXPECT_EQ(client.Ask(SET_CONTROL, 13), 16) << "hardware flow control is both ways";
    EXPECT_EQ(client.Ask(SET_CONTROL, 17), 3) << "DCD flow control cannot be had";
    EXPECT_EQ(client.Ask(SET_CONTROL, 2), 2);
    EXPECT_EQ(client.Ask(SET_CONTROL, 13), 15);
    EXPECT_EQ(client.Ask(SET_CONTROL, 1), 1);
    EXPECT_EQ(client.Ask(SET_CONTROL, 0), 1);
    EXPECT_EQ(client.Ask(SET_CONTROL, 13), 14);

    for (uint8_t which : {1, 2, 3}) {
        EXPECT_EQ(client.Ask(PURGE_DATA, which), which);
    }

    EXPECT_EQ(client.Ask(SET_MODEMSTATE_MASK, 0), 0);
    // What changed before the mask (DSR and DCD follow DTR) was sent ahead of the reply.
    client.TakeModemNotifications();
    ASSERT_EQ(client.Ask(SET_CONTROL, 12), 12);
    ASSERT_EQ(client.Ask(SET_CONTROL, 11), 11);
    client.Drain(400);
    EXPECT_TRUE(client.TakeModemNotifications().empty()) << "masked changes were notified";
}

// Every byte value goes to the port and comes back through the loopback peer; 0xFF travels
// doubled both ways. Data sent while the client has suspended the flow arrives on resume.
// The line state notifies the bits of the client's mask.
TEST_F(Rfc2217ServerTest, EveryByteValueEchoesWithIacDoubled)
{
    ServeClient client;
    Open(&client);
    EightBitsNoFlow(&client);
    const std::vector<uint8_t> bytes = EveryByteValue(16);
    client.SendData(bytes);
    EXPECT_EQ(client.TakeData(bytes.size()), bytes);
    const std::vector<uint8_t>& raw = client.Raw();
    const uint8_t doubled[] = {0xFE, IAC, IAC, 0x00};
    EXPECT_NE(std::search(raw.begin(), raw.end(), std::begin(doubled), std::end(doubled)),
              raw.end());

    // While suspended the echo waits in the port, which the line state shows as data ready.
    EXPECT_EQ(client.Ask(SET_LINESTATE_MASK, DATA_READY), DATA_READY);
    client.SendCommand(FLOWCONTROL_SUSPEND, {});
    client.Drain(200);
    client.SendData({'a', IAC, 'b'});
    // A notification of the earlier echo leaving the port may come first.
    std::vector<uint8_t> line;
    do {
        ASSERT_TRUE(client.WaitReply(106, &line)) << "no line state notification";
    } while (line == std::vector<uint8_t>{0});
    EXPECT_EQ(line, std::vector<uint8_t>{DATA_READY});
    EXPECT_TRUE(client.TakeData(3, 0).empty()) << "data sent while suspended";
    client.SendCommand(FLOWCONTROL_RESUME, {});
    EXPECT_EQ(client.TakeData(3), (std::vector<uint8_t>{'a', IAC, 'b'}));
}

// With hardware flow control and CTS off (RTS looped to it), client data cannot leave: the
// server asks the client to suspend, still answers commands, and once RTS is raised again
// the data goes out, echoes whole, and the client is asked to resume.
TEST_F(Rfc2217ServerTest, FlowControlHeldDataLeavesCommandsAnswered)
{
    ServeClient client;
    Open(&client);
    EightBitsNoFlow(&client);
    client.SendCommand(SET_BAUDRATE, Baud(921600));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.WaitReply(101, &reply));
    ASSERT_EQ(client.Ask(SET_CONTROL, 3), 3);   // RTS/CTS both ways
    ASSERT_EQ(client.Ask(SET_CONTROL, 14), 14); // inbound none: RTS back under our control
    ASSERT_EQ(client.Ask(SET_CONTROL, 12), 12); // RTS off, so CTS off
    const std::vector<uint8_t> bytes = EveryByteValue(96); // 24 KiB
    client.SendData(bytes);
    ASSERT_TRUE(client.WaitReply(108, &reply, 30000)) << "no request to suspend";
    EXPECT_EQ(client.Ask(SET_CONTROL, 0), 3) << "commands held up behind data";
    EXPECT_EQ(client.Ask(SET_CONTROL, 11), 11);
    EXPECT_EQ(client.TakeData(bytes.size(), 30000), bytes);
    EXPECT_TRUE(client.WaitReply(109, &reply)) << "no request to resume";
}

// A client that sends and closes at once still has its data written to the port.
TEST_F(Rfc2217ServerTest, DataOfAClientThatClosesAtOnceReachesThePort)
{
    {
        ServeClient client;
        Open(&client);
        EightBitsNoFlow(&client);
        client.SendData(EveryByteValue(32));
    }
    std::string status;
    for (int wait = 0; wait < 500; ++wait) {
        status = server_->Status();
        if (status.find("no client") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(status.find("no client, 8192 bytes to the port"), std::string::npos) << status;
    EXPECT_EQ(status.find("not written"), std::string::npos) << status;
}

// A second client is told the port is taken and closed, without disturbing the first; once
// the first vanishes (a reset in the middle of a command), the next client is served.
TEST_F(Rfc2217ServerTest, SecondClientRefusedUntilTheFirstLeaves)
{
    ServeClient first;
    Open(&first);
    EightBitsNoFlow(&first);
    ServeClient second;
    ASSERT_TRUE(second.Connect(server_->Port()));
    ASSERT_TRUE(second.WaitClosed());
    const std::string text(second.Raw().begin(), second.Raw().end());
    EXPECT_EQ(text, "COM9 is in use by another client\r\n");
    EXPECT_EQ(first.Ask(SET_DATASIZE, 0), 8);
    EXPECT_NE(server_->Status().find("1 refused"), std::string::npos) << server_->Status();

    // The next client is served at once, even before the session has noticed the reset.
    first.SendRaw({IAC, telnet::SB, test::COM_PORT, SET_BAUDRATE, 0});
    first.Abort();
    ServeClient third;
    ASSERT_TRUE(third.Connect(server_->Port()));
    ASSERT_TRUE(third.Negotiate()) << "the port was not released after the client vanished";
    const std::vector<uint8_t> bytes = {'o', 'k'};
    third.SendData(bytes);
    EXPECT_EQ(third.TakeData(2), bytes);
}

// Random telnet garbage (cut-off commands, stray verbs, endless subnegotiations, random
// com-port commands) must leave the session answering and echoing once the client restores
// the settings.
TEST_F(Rfc2217ServerTest, TelnetGarbageLeavesTheSessionUsable)
{
    const uint32_t seed = ScenarioSeed(0x2217u);
    watchdog_.Describe("TelnetGarbageLeavesTheSessionUsable, replay with QVX_SEED=" +
                       std::to_string(seed));
    SCOPED_TRACE("replay with QVX_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    ServeClient client;
    Open(&client);
    const uint8_t interesting[] = {IAC,
                                   telnet::SB,
                                   telnet::SE,
                                   telnet::WILL,
                                   telnet::DO,
                                   telnet::WONT,
                                   telnet::DONT,
                                   test::COM_PORT,
                                   0,
                                   13};
    for (int burst = 0; burst < 40; ++burst) {
        std::vector<uint8_t> garbage(random() % 200);
        for (uint8_t& byte : garbage) {
            byte = random() % 2 ? interesting[random() % sizeof(interesting)]
                                : static_cast<uint8_t>(random());
        }
        if (random() % 4 == 0) {
            garbage.insert(garbage.end(), 300, 'x'); // inside a subnegotiation, too long
        }
        client.SendRaw(garbage);
        client.Drain(5);
    }
    // Whatever state the parser is in, this ends it: two bytes finish a verb or go into a
    // subnegotiation, which IAC SE then closes.
    client.SendRaw({0, 0, IAC, telnet::SE});
    client.SendCommand(FLOWCONTROL_RESUME, {});
    client.SendCommand(SET_MODEMSTATE_MASK, {0xFF});
    EXPECT_EQ(client.Ask(SET_CONTROL, 6), 6);
    EXPECT_EQ(client.Ask(SET_CONTROL, 1), 1);
    EXPECT_EQ(client.Ask(SET_CONTROL, 11), 11);
    client.SendCommand(SET_BAUDRATE, Baud(115200));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.WaitReply(101, &reply));
    EXPECT_EQ(BaudOf(reply), 115200u);
    EXPECT_EQ(client.Ask(SET_DATASIZE, 8), 8);
    EXPECT_EQ(client.Ask(SET_PARITY, 1), 1);
    EXPECT_EQ(client.Ask(SET_STOPSIZE, 1), 1);
    // The garbage's data bytes still queued are dropped; those already on the line echo
    // until the line is quiet.
    EXPECT_EQ(client.Ask(PURGE_DATA, 2), 2);
    for (int quiet = 0; quiet < 3;) {
        client.Drain(300);
        quiet = client.TakeData(1 << 20, 0).empty() ? quiet + 1 : 0;
    }
    const std::vector<uint8_t> bytes = EveryByteValue(2);
    client.SendData(bytes);
    EXPECT_EQ(client.TakeData(bytes.size()), bytes);
}

// Start names a bad or busy address in one line; Stop closes the client's connection.
TEST_F(Rfc2217ServerTest, StartErrorsAndStopClosesTheClient)
{
    std::string error;
    for (const char* bad :
         {"", "x", "127.0.0.1:", "127.0.0.1:70000", ":80", "no.such.host.invalid:1"}) {
        Rfc2217Server server("COM9", bad);
        EXPECT_FALSE(server.Start(&error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    Rfc2217Server busy("COM9", "127.0.0.1:" + std::to_string(server_->Port()));
    EXPECT_FALSE(busy.Start(&error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;

    ServeClient client;
    Open(&client);
    EXPECT_NE(server_->Status().find("client 127.0.0.1:"), std::string::npos) << server_->Status();
    server_->Stop();
    EXPECT_TRUE(client.WaitClosed());
    ServeClient late;
    EXPECT_FALSE(late.Connect(server_->Port()));

    // A port that does not exist: the client is told and closed.
    Rfc2217Server missing("COM77", "127.0.0.1:0");
    ASSERT_TRUE(missing.Start(&error)) << error;
    ServeClient lost;
    ASSERT_TRUE(lost.Connect(missing.Port()));
    ASSERT_TRUE(lost.WaitClosed());
    EXPECT_EQ(std::string(lost.Raw().begin(), lost.Raw().end()),
              "cannot open COM77: no such port\r\n");
}

} // namespace
} // namespace qvx
