// qvxbridge against quarvexpeer.sys on a real-time machine: COM5's "Peer" is bridge, the
// program attaches it through the control device and connects it to a raw TCP listener of
// the test or to the project's RFC 2217 server. Bytes each way exact, the far end going and
// coming back, the bridge stopped mid-transfer, and the service mode through the service
// control calls.
#include "peers/peers_fixture.h"
#include "peers/tools.h"
#include "service_calls.h"
#include "support/watchdog.h"

#include "host/qvxbridge/qvxbridge.h"
#include "host/serve/rfc2217_server.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <mutex>
#include <poll.h>
#include <thread>

namespace qvx {
namespace {

using bridge::Bridge;
using bridge::PortCounters;
using bridge::PortLink;

constexpr ULONG FAST_BAUD = 4000000;

// The test's end of a raw TCP link: listens on the loopback address, one caller at a time.
class FarEnd
{
  public:
    FarEnd()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        Port = ntohs(address.sin_port);
    }
    ~FarEnd()
    {
        Hang();
        close(listener_);
    }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    bool Accept()
    {
        pollfd waiting = {listener_, POLLIN, 0};
        if (poll(&waiting, 1, 20000) != 1) {
            return false;
        }
        connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return connection_ >= 0;
    }
    void Hang()
    {
        if (connection_ >= 0) {
            close(connection_);
            connection_ = -1;
        }
    }
    void Send(const std::vector<UCHAR>& data) const
    {
        size_t at = 0;
        while (at < data.size()) {
            const ssize_t sent =
                send(connection_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
            ASSERT_GT(sent, 0) << "the bridge stopped taking bytes after " << at;
            at += static_cast<size_t>(sent);
        }
    }
    // Reads `count` bytes, or what arrives before the end of the stream or 30 s of silence.
    std::vector<UCHAR> Receive(size_t count) const
    {
        std::vector<UCHAR> got(count);
        size_t at = 0;
        while (at < count) {
            pollfd readable = {connection_, POLLIN, 0};
            if (poll(&readable, 1, 30000) != 1) {
                break;
            }
            const ssize_t n = recv(connection_, got.data() + at, count - at, 0);
            if (n <= 0) {
                break;
            }
            at += static_cast<size_t>(n);
        }
        got.resize(at);
        return got;
    }

    uint16_t Port = 0;

  private:
    int listener_ = -1;
    int connection_ = -1;
};

class QvxBridgeTest : public PeersTest
{
  protected:
    QvxBridgeTest() { Options.Mode = MachineMode::RealTime; }

    void TearDown() override
    {
        if (bridge_) {
            StopBridge();
        }
        PeersTest::TearDown();
    }

    // quarvexpeer.sys, then COM5 with that "Peer" (and the ports in `more`) at a 1 ms send
    // period; COM5 opened for binary traffic at a rate that paces nothing.
    void StartCom5(const std::string& peer, const std::vector<PeerRequest>& more = {})
    {
        std::vector<PeerRequest> requests{{u"COM5", peer}};
        requests.insert(requests.end(), more.begin(), more.end());
        StartCable(PeerSide::Kernel, requests, 1);
        Port = Open(u"COM5");
        WaitWhole(Port);
        SetBaud(Port, FAST_BAUD);
    }

    void RunBridge(const std::string& link)
    {
        PortLink parsed;
        std::string error;
        ASSERT_TRUE(bridge::ParsePortLink(link, &parsed, &error)) << error;
        auto made = std::make_unique<Bridge>(std::vector<PortLink>{parsed},
                                             [this](const std::string& line) { Note(line); });
        ASSERT_TRUE(made->Start(&error)) << error;
        bridge_ = std::move(made);
        thread_ = std::thread([this] { bridge_->Run(); });
    }

    PortCounters StopBridge()
    {
        bridge_->Stop();
        thread_.join();
        const PortCounters counters = bridge_->Counters()[0];
        bridge_.reset();
        return counters;
    }

    void Note(const std::string& line)
    {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(line);
    }
    bool Said(const std::string& fragment)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::string& line : lines_) {
            if (line.find(fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::string Notes()
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::string all;
        for (const std::string& line : lines_) {
            all += line + "\n";
        }
        return all;
    }

    // Writes `data` on COM5 without waiting for it.
    IoRequestPtr WriteCom5(const std::vector<UCHAR>& data)
    {
        return Sim().Io().WriteAsync(Port, data);
    }

    FileHandle Port = INVALID_FILE_HANDLE;

  private:
    std::unique_ptr<Bridge> bridge_;
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

void ExpectSame(const std::vector<UCHAR>& got, const std::vector<UCHAR>& want)
{
    ASSERT_EQ(got.size(), want.size());
    const auto differ = std::mismatch(got.begin(), got.end(), want.begin());
    EXPECT_TRUE(differ.first == got.end())
        << "first difference at " << (differ.first - got.begin());
}

// 1 MiB each way at once, byte for byte; then the listener hangs up, COM5 writes while
// nobody listens, and the next connection gets exactly those bytes.
TEST_F(QvxBridgeTest, RawTcpCarriesAMebibyteEachWayAndReconnectsWithoutLoss)
{
    Watchdog watchdog("qvxbridge raw tcp");
    FarEnd far;
    StartCom5("bridge");
    RunBridge("COM5=tcp-client:127.0.0.1:" + std::to_string(far.Port) + ",retry=50");
    ASSERT_TRUE(far.Accept());
    const std::vector<UCHAR> up = Pattern(1 << 20, 1);
    const std::vector<UCHAR> down = Pattern(1 << 20, 2);
    IoRequestPtr read = Sim().Io().ReadAsync(Port, static_cast<ULONG>(down.size()));
    IoRequestPtr write = WriteCom5(up);
    std::thread sender([&] { far.Send(down); });
    ExpectSame(far.Receive(up.size()), up);
    sender.join();
    ExpectSame(read->Wait().Data, down);
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);

    far.Hang();
    ASSERT_TRUE(WaitFor([&] { return Said("closed by the far side"); })) << Notes();
    const std::vector<UCHAR> meanwhile = Pattern(size_t{10} * 1024, 3);
    EXPECT_EQ(WriteCom5(meanwhile)->Wait().Status, STATUS_SUCCESS);
    ASSERT_TRUE(far.Accept());
    ExpectSame(far.Receive(meanwhile.size()), meanwhile);

    const PortCounters counters = StopBridge();
    EXPECT_EQ(counters.Connections, 2u);
    EXPECT_EQ(counters.FromPort, up.size() + meanwhile.size());
    EXPECT_EQ(counters.ToPort, down.size());
    EXPECT_EQ(counters.Dropped + counters.Undelivered, 0u) << Notes();
}

// Through the project's RFC 2217 server on COM6 (looped back by the kernel peer): the rates
// COM5 announces reach COM6 as SET-BAUDRATE, and every byte value (0xFF doubled on the way)
// comes back.
TEST_F(QvxBridgeTest, Rfc2217ServerSeesTheBaudRatesAndEchoesEveryByte)
{
    Watchdog watchdog("qvxbridge rfc2217");
    StartCom5("bridge", {{u"COM6", "loopback"}});
    // Eight data bits on COM6 before the server takes it (the bridge carries no line format).
    NTSTATUS status = STATUS_SUCCESS;
    const FileHandle com6 = Sim().Io().Open(u"\\\\.\\COM6", 0, &status);
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    EXPECT_EQ(Control(com6, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)), STATUS_SUCCESS);
    Sim().Io().Close(com6);
    Rfc2217Server server("COM6", "127.0.0.1:0");
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    RunBridge("COM5=rfc2217:127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_TRUE(WaitFor([&] { return Said("connected to"); })) << Notes();
    auto com6Baud = [&] { return Kernel->Port(u"COM6")->LastBaud; };
    SetBaud(Port, 19200);
    EXPECT_TRUE(WaitFor([&] { return com6Baud() == 19200; })) << com6Baud();
    SetBaud(Port, FAST_BAUD);
    EXPECT_TRUE(WaitFor([&] { return com6Baud() == FAST_BAUD; })) << com6Baud();

    std::vector<UCHAR> data;
    for (int round = 0; round < 64; ++round) {
        for (int value = 0; value < 256; ++value) {
            data.push_back(static_cast<UCHAR>(value));
        }
    }
    IoRequestPtr read = Sim().Io().ReadAsync(Port, static_cast<ULONG>(data.size()));
    EXPECT_EQ(WriteCom5(data)->Wait().Status, STATUS_SUCCESS);
    ExpectSame(read->Wait().Data, data);
    const PortCounters counters = StopBridge();
    EXPECT_EQ(counters.LastBaud, FAST_BAUD);
    EXPECT_EQ(counters.Dropped + counters.Undelivered, 0u) << Notes();
    server.Stop();
}

// The bridge stopped while COM5 sends: every byte is either received, counted as
// undelivered, or held by the driver (its buffer holds all of them), which hands it to the
// next bridge.
TEST_F(QvxBridgeTest, StoppedMidTransferLosesNothingUncounted)
{
    Watchdog watchdog("qvxbridge stop");
    FarEnd far;
    StartCom5("bridge,buffer=262144");
    RunBridge("COM5=tcp-client:127.0.0.1:" + std::to_string(far.Port));
    ASSERT_TRUE(far.Accept());
    const std::vector<UCHAR> data = Pattern(size_t{192} * 1024, 4);
    IoRequestPtr write = WriteCom5(data);
    std::vector<UCHAR> got = far.Receive(size_t{16} * 1024);
    const PortCounters first = StopBridge();
    EXPECT_LT(first.FromPort, data.size()) << "COM5 sent everything before the stop";
    // What the stopped bridge had sent is still in the listener's socket.
    const std::vector<UCHAR> rest = far.Receive(data.size());
    got.insert(got.end(), rest.begin(), rest.end());
    far.Hang();
    EXPECT_EQ(got.size() + first.Undelivered, first.FromPort) << Notes();

    RunBridge("COM5=tcp-client:127.0.0.1:" + std::to_string(far.Port));
    ASSERT_TRUE(far.Accept());
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    const std::vector<UCHAR> after = far.Receive(data.size() - first.FromPort);
    const PortCounters second = StopBridge();
    EXPECT_EQ(first.FromPort + second.FromPort, data.size());
    EXPECT_EQ(after.size(), second.FromPort);
    EXPECT_EQ(first.Dropped + second.Dropped, 0u);
    EXPECT_EQ(Kernel->Port(u"COM5")->FromPort, data.size());
    EXPECT_EQ(Kernel->Port(u"COM5")->Dropped, 0u);
    if (first.Undelivered == 0) {
        got.insert(got.end(), after.begin(), after.end());
        ExpectSame(got, data);
    }
}

// Installed, started and stopped by the service calls, then removed; its command line carries
// the ports, and what it refuses it says.
TEST_F(QvxBridgeTest, ServiceInstallsStartsStopsAndUninstalls)
{
    Watchdog watchdog("qvxbridge service");
    FarEnd far;
    StartCom5("bridge", {{u"COM6", "loopback"}});
    auto say = [&](const std::string& line) { Note(line); };
    const std::string link = "COM5=tcp-client:127.0.0.1:" + std::to_string(far.Port);

    EXPECT_EQ(bridge::BridgeMain({"qvxbridge", "COM5=pty"}, say), 2);
    EXPECT_TRUE(Said("is not a network peer")) << Notes();
    EXPECT_EQ(bridge::BridgeMain({"qvxbridge", "COM6=tcp-client:127.0.0.1:1"}, say), 1);
    EXPECT_TRUE(Said("cannot attach COM6")) << Notes();

    ASSERT_EQ(bridge::BridgeMain({"qvxbridge", "--install", link}, say), 0) << Notes();
    EXPECT_EQ(bridge::BridgeMain({"qvxbridge", "--install", link}, say), 1);
    EXPECT_TRUE(Said("installed already")) << Notes();
    const std::u16string key =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QvxBridge";
    const std::optional<std::u16string> image = Sim().Reg().GetString(key, u"ImagePath");
    ASSERT_TRUE(image.has_value());
    EXPECT_THAT(Utf16ToUtf8(*image), ::testing::EndsWith("\" --service " + link));

    // The service manager's start: the program, run with its command line, offers the
    // dispatcher; StartService runs the service in it.
    int result = -1;
    std::thread program([&] {
        result = bridge::BridgeMain({"qvxbridge", "--service", link}, say);
    });
    EXPECT_EQ(bridgetest::StartBridgeService(), 0u);
    EXPECT_TRUE(
        WaitFor([] { return bridgetest::BridgeServiceState() == bridgetest::STATE_RUNNING; }));
    const bool accepted = far.Accept();
    EXPECT_TRUE(accepted) << Notes();
    const std::vector<UCHAR> data = Pattern(4096, 5);
    if (accepted) {
        EXPECT_EQ(WriteCom5(data)->Wait().Status, STATUS_SUCCESS);
        ExpectSame(far.Receive(data.size()), data);
    }
    EXPECT_EQ(bridgetest::StopBridgeService(), 0u);
    program.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bridgetest::BridgeServiceState(), bridgetest::STATE_STOPPED);
    EXPECT_TRUE(Said("4096 from it")) << Notes();

    EXPECT_EQ(bridge::BridgeMain({"qvxbridge", "--uninstall"}, say), 0) << Notes();
    EXPECT_FALSE(Sim().Reg().KeyExists(key));
    EXPECT_EQ(bridgetest::OpenBridgeServiceError(), 1060u); // ERROR_SERVICE_DOES_NOT_EXIST
    EXPECT_EQ(bridge::BridgeMain({"qvxbridge", "--uninstall"}, say), 1);
}

} // namespace
} // namespace qvx
