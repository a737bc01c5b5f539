// The pseudo-terminal bridge: a stable link that comes and goes with the peer, the announced
// rate seen by the terminal, a megabyte each way with socat and with a pySerial script, and a
// tool that stops reading while the port uses Xon/Xoff.

#include "bridge_fixture.h"

#include "support/watchdog.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <termios.h>

namespace qvx {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* SOCAT = "/usr/bin/socat";
constexpr const char* PYTHON = "/usr/bin/python3";

class PtyBridgeTest : public BridgeTest
{
  protected:
    PtyBridgeTest() : dir_("/tmp/quarvex-peers-" + std::to_string(getpid())), Link(dir_ + "/COM5")
    {
    }
    void TearDown() override
    {
        BridgeTest::TearDown();
        unlink(Link.c_str());
        rmdir(dir_.c_str());
    }

    // The speed the terminal's own settings hold, as a tool on it reads them.
    speed_t TerminalSpeed() const
    {
        const int fd = open(Link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings = {};
        const bool ok = fd >= 0 && tcgetattr(fd, &settings) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return ok ? cfgetospeed(&settings) : B0;
    }

    bool HavePySerial()
    {
        Child probe({PYTHON, "-c", "import serial"});
        return HaveProgram(PYTHON) && probe.Wait() == 0;
    }

    std::string dir_;
    std::string Link;
};

// The link points at the terminal while the peer lives and goes with it, with the folder made
// for it; a second claim on the path names the owner; anything at the path that the bridge did
// not make (a file, a link) is refused and left alone.
TEST_F(PtyBridgeTest, LinkComesAndGoesAndNeverClobbersAFile)
{
    Watchdog watchdog("pty link");
    StartPorts({u"COM5", u"COM6"});
    ASSERT_EQ(Attach({{u"COM5", "pty:" + Link}}), "");
    char target[256] = {};
    ASSERT_GT(readlink(Link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_THAT(target, StartsWith("/dev/pts/"));
    EXPECT_THAT(Peers[0]->Describe(), HasSubstr("pty " + Link + " -> /dev/pts/"));
    std::vector<std::unique_ptr<Peer>> first;
    first.swap(Peers);
    EXPECT_THAT(Attach({{u"COM6", "pty:" + Link}}),
                HasSubstr("COM6: " + Link + " is in use by process " + std::to_string(getpid())));
    first.clear();
    struct stat gone;
    EXPECT_NE(lstat(Link.c_str(), &gone), 0) << "the link outlived its peer";
    EXPECT_NE(lstat(dir_.c_str(), &gone), 0) << "the folder made for the link stayed";

    mkdir(dir_.c_str(), 0755);
    ASSERT_EQ(symlink("/dev/pts/nowhere", Link.c_str()), 0);
    EXPECT_THAT(Attach({{u"COM5", "pty:" + Link}}),
                HasSubstr("COM5: " + Link + " is a link that quarvex did not make"));
    ASSERT_GT(readlink(Link.c_str(), target, sizeof(target) - 1), 0);
    unlink(Link.c_str());
    std::ofstream(Link) << "keep me";
    EXPECT_THAT(Attach({{u"COM5", "pty:" + Link}}),
                HasSubstr("COM5: " + Link + " exists and is not a symbolic link"));
    std::string kept;
    std::ifstream(Link) >> kept;
    EXPECT_EQ(kept, "keep");
    EXPECT_THAT(Attach({{u"COM5", "pty:/proc/quarvex/COM5"}}), HasSubstr("cannot"));
}

// Each rate the application sets is the terminal's speed; a rate no terminal has is traced.
TEST_F(PtyBridgeTest, AnnouncedRateReachesTheTerminalSettings)
{
    Watchdog watchdog("pty baud");
    TraceCapture trace(Sim());
    StartCom5("pty:" + Link);
    ASSERT_TRUE(WaitFor([&] { return TerminalSpeed() == B4000000; }));
    SetBaud(Port, 57600);
    EXPECT_TRUE(WaitFor([&] { return TerminalSpeed() == B57600; }));
    SetBaud(Port, 1200);
    EXPECT_TRUE(WaitFor([&] { return TerminalSpeed() == B1200; }));
    SetBaud(Port, 12345);
    EXPECT_TRUE(WaitFor([&] { return trace.Contains("no terminal speed for 12345 baud"); }));
    EXPECT_EQ(TerminalSpeed(), B1200);
}

// socat on the terminal echoes a megabyte: every byte comes back in order.
TEST_F(PtyBridgeTest, SocatEchoesAMegabyte)
{
    if (!HaveProgram(SOCAT)) {
        GTEST_SKIP() << "socat is not installed (scripts/install-deps.sh installs it)";
    }
    Watchdog watchdog("pty socat", std::chrono::seconds(120));
    // Without flow control a far side slowed by a loaded machine would cost bytes: the bridge
    // holds the whole megabyte instead.
    StartCom5("pty:" + Link + ",buffer=4194304");
    Child socat({SOCAT, Link + ",raw,echo=0", "EXEC:cat"});
    Echo(Pattern(1024 * 1024, 8));
    EXPECT_EQ(Peers[0]->Stats().Dropped, 0u);
}

// A pySerial program on the terminal echoes a megabyte.
TEST_F(PtyBridgeTest, PySerialEchoesAMegabyte)
{
    if (!HavePySerial()) {
        GTEST_SKIP() << "pySerial is not installed for /usr/bin/python3 (install-deps installs it)";
    }
    Watchdog watchdog("pty pyserial", std::chrono::seconds(250));
    StartCom5("pty:" + Link + ",buffer=4194304");
    const size_t size = 1024 * 1024;
    Child echo({PYTHON, "-c",
                "import serial, sys\n"
                "s = serial.Serial(sys.argv[1], 115200, timeout=20)\n"
                "s.write(b'R')\n" // ready: opening flushed what came before
                "left = int(sys.argv[2])\n"
                "while left > 0:\n"
                "    data = s.read(min(left, 4096))\n"
                "    if not data: sys.exit(2)\n"
                "    s.write(data)\n"
                "    left -= len(data)\n"
                "s.flush()\n",
                Link, std::to_string(size)});
    ASSERT_TRUE(echo.Started());
    const IoResult ready = Sim().Io().Read(Port, 1);
    ASSERT_EQ(ready.Data, std::vector<UCHAR>{'R'});
    Echo(Pattern(size, 9));
    EXPECT_EQ(echo.Wait(), 0);
    EXPECT_EQ(Peers[0]->Stats().Dropped, 0u);
}

// A reader that stops for a while: with Xon/Xoff on the port the bridge holds the port's
// transmitter instead of dropping, and the reader gets every byte once it reads again.
TEST_F(PtyBridgeTest, StalledReaderCostsNoByteWithXonXoff)
{
    if (!HaveProgram(SOCAT)) {
        GTEST_SKIP() << "socat is not installed (scripts/install-deps.sh installs it)";
    }
    Watchdog watchdog("pty stalled reader", std::chrono::seconds(120));
    StartCom5("pty:" + Link + ",xonxoff,buffer=16384");
    UseXonXoff(Port);
    // Text only: the flow characters never occur in it.
    std::vector<UCHAR> data(512 * 1024);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<UCHAR>('A' + (i * 7 + i / 1000) % 26);
    }
    IoRequestPtr write = Sim().Io().WriteAsync(Port, data);
    // The terminal's own queue fills, then half the bridge's buffer; then the port is held.
    uint64_t held = 0;
    EXPECT_TRUE(WaitFor([&] {
        const uint64_t before = Peers[0]->Stats().FromPort;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        held = Peers[0]->Stats().FromPort;
        return held == before && held > 0;
    })) << "nothing held the port back";
    EXPECT_LT(held, data.size());
    EXPECT_FALSE(write->Done());
    const std::string out = dir_ + "/out";
    Child reader({SOCAT, "-u", Link + ",raw,echo=0", "CREATE:" + out});
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] {
        struct stat info;
        return stat(out.c_str(), &info) == 0 && static_cast<size_t>(info.st_size) >= data.size();
    })) << "the reader got "
        << Peers[0]->Stats().FromPort << " bytes from the port";
    reader.Stop();
    std::ifstream file(out, std::ios::binary);
    const std::vector<UCHAR> got((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
    ExpectSame(got, data);
    EXPECT_EQ(Peers[0]->Stats().Dropped, 0u);
    unlink(out.c_str());
}

} // namespace
} // namespace qvx
