// Windows programs against an embedded system: the default configuration's COM5 and COM6
// null-modem pair, configurations with mistakes, and teardown reports.
// ctest-labels: host

#include "host/system.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qvx {
namespace {

std::unique_ptr<System> BootSimulated(const std::string& configuration = std::string(),
                                      std::string* error = nullptr)
{
    SystemOptions options;
    options.Verify = true; // the verifier runs in every test
    options.Mode = SystemMode::Simulated;
    options.Configuration = configuration;
    options.ConfigurationName = "test.reg";
    std::string message;
    std::unique_ptr<System> system = System::Boot(options, &message);
    if (error != nullptr) {
        *error = message;
    }
    return system;
}

HANDLE Open(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

// What a program does: open both ends, 115200 8N1, write on one, read the answer on the other.
TEST(SystemTest, DefaultPairCarriesBytesBothWaysAndEndsClean)
{
    std::unique_ptr<System> system = BootSimulated();
    ASSERT_NE(system, nullptr);
    ASSERT_EQ(system->Ports().size(), 2u);
    EXPECT_EQ(system->Ports()[0].PortName, "COM5");
    EXPECT_EQ(system->Ports()[1].DeviceName, "\\Device\\QuarvexDevice1");

    HANDLE com5 = Open("\\\\.\\COM5");
    HANDLE com6 = Open("COM6");
    ASSERT_NE(com5, INVALID_HANDLE_VALUE);
    ASSERT_NE(com6, INVALID_HANDLE_VALUE);
    for (HANDLE port : {com5, com6}) {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        ASSERT_TRUE(SetCommState(port, &dcb));
        // Reads return what has come after 200 ms at most.
        COMMTIMEOUTS timeouts = {0, 0, 200, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    }

    // More than one send tick's worth, and a short count when the data stops.
    std::string sent;
    for (int i = 0; i < 40; ++i) {
        sent += "line " + std::to_string(i) + " from COM5\r\n";
    }
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(com5, sent.data(), static_cast<DWORD>(sent.size()), &written, NULL));
    EXPECT_EQ(written, sent.size());
    std::vector<char> buffer(sent.size() + 100);
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(com6, buffer.data(), static_cast<DWORD>(buffer.size()), &read, NULL));
    EXPECT_EQ(std::string(buffer.data(), read), sent); // the baud blocks never reach the data

    const char answer[] = "OK\r\n";
    ASSERT_TRUE(WriteFile(com6, answer, 4, &written, NULL));
    ASSERT_TRUE(ReadFile(com5, buffer.data(), 100, &read, NULL));
    EXPECT_EQ(std::string(buffer.data(), read), "OK\r\n");

    // Listing the ports the way programs do.
    HKEY key;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        DWORD nameLength = sizeof(valueName);
        BYTE data[256];
        DWORD dataLength = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueA(key, index, valueName, &nameLength, NULL, &type, data, &dataLength) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(reinterpret_cast<const char*>(data));
    }
    RegCloseKey(key);
    EXPECT_EQ(names, (std::vector<std::string>{"COM5", "COM6"}));

    ASSERT_TRUE(CloseHandle(com5));
    ASSERT_TRUE(CloseHandle(com6));
    EXPECT_EQ(system->Shutdown(), "");
    EXPECT_EQ(system->Shutdown(), ""); // once only
}

TEST(SystemTest, ShutdownReportsAHandleLeftOpen)
{
    std::unique_ptr<System> system = BootSimulated();
    ASSERT_NE(system, nullptr);
    HANDLE com5 = Open("COM5");
    ASSERT_NE(com5, INVALID_HANDLE_VALUE);
    const std::string report = system->Shutdown();
    EXPECT_NE(report.find("COM5: 1 handle(s) still open"), std::string::npos) << report;
    // The machine is gone: the handle is dead, and a new system can boot.
    EXPECT_FALSE(CloseHandle(com5));
    system = BootSimulated();
    EXPECT_NE(system, nullptr);
}

// Mistakes are named with file and line, and nothing is left running after them.
TEST(SystemTest, BadConfigurationsNameTheirLine)
{
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string port0 =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
        "Parameters]\n";
    const std::string port1 =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0001\\Device "
        "Parameters]\n";
    struct Case
    {
        std::string Text;
        std::string Expected;
    };
    const std::vector<Case> cases = {
        {header + port0 + "\"PortName\"=\"COM7\"\n\"Peer\"=\"telepathy\"\n",
         "test.reg:5: unknown peer kind \"telepathy\""},
        {header + port0 + "\"Peer\"=\"loopback\"\n", "test.reg:3: this port has no \"PortName\""},
        {header + port0 + "\"PortName\"=\"COM7\"\n" + port1 + "\"PortName\"=\"com7\"\n",
         "test.reg:5: port name com7 is already used by the port at line 3"},
        {header + port0 + "\"PortName\"=\"COM7\"\n\"Peer\"=\"pair:COM8\"\n",
         "its pair COM8 must exist and name it back"},
        {header + port0 + "\"PortName\"=\"COM7\"\n\"Broken\"=dword:xyz\n", "test.reg:5: "},
        {header + port0 + "\"PortName\"=\"COM\\\\7\"\n",
         "test.reg:4: \"COM\\7\" is not a port name (COM1 to COM4096)"},
        {header + port0 + "\"PortName\"=\"COM7\"\n\"Pear\"=\"loopback\"\n",
         "test.reg:5: unknown value name \"Pear\" in a port's key; the nearest known name is "
         "\"Peer\""},
        {header + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
                  "\"ComPerod\"=dword:00000014\n",
         "test.reg:4: unknown value name \"ComPerod\" in the driver's key; the nearest known "
         "name is \"ComPeriod\""},
        {header + "[HKLM\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
                  "\"ComPeriod\"=dword:00000000\n",
         "test.reg:4: \"ComPeriod\" must be a dword from 1 to 429496"},
        {header + port0 + "\"PortName\"=\"COM7\"\n" + port0 + "\"Peer\"=\"loopback\"\n",
         "test.reg:5: a second key for the port instance 0000 (the first is at line 3)"},
        {header + port0 + "\"PortName\"=\"COM7\"\n\"PortName\"=\"COM8\"\n",
         "test.reg:5: a second \"PortName\" in this key (the first is at line 4)"},
        {header + port0 + "\"PortName\"=dword:00000007\n", "\"PortName\" must be a string"},
        {header + port0.substr(0, port0.size() - 3) + "rs]\n\"PortName\"=\"COM7\"\n",
         "test.reg:3: a port's key is Enum\\Root\\PORTS\\<instance>\\Device Parameters"},
        {header + port0 + "\"PortName\"=\"COM" + std::string(200000, '7') + "\"\n",
         "(200003 characters)\" is not a port name"},
        {std::string("\xFE\xFF\0W", 4), "UTF-16 big-endian"},
        {header + "[HKEY_NOWHERE\\" + std::string(300000, 'k') + "]\n",
         "test.reg:3: bad key path 'HKEY_NOWHERE\\kkk"},
        {header + std::string(1 << 20, ';'), "larger than 1048576 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text.substr(0, 300));
        std::string error;
        EXPECT_EQ(BootSimulated(c.Text, &error), nullptr);
        EXPECT_NE(error.find(c.Expected), std::string::npos) << error;
        EXPECT_LT(error.size(), 400u) << "a message echoes what it was given whole";
    }
    // A port more than the limit is refused at its key, before the registry sees the text.
    std::string many = header;
    for (int port = 0; port <= 256; ++port) {
        char key[160];
        std::snprintf(key, sizeof(key),
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\%04d"
                      "\\Device Parameters]\n\"PortName\"=\"COM%d\"\n",
                      port, port + 1);
        many += key;
    }
    std::string refused;
    EXPECT_EQ(BootSimulated(many, &refused), nullptr);
    EXPECT_NE(refused.find("test.reg:515: more than 256 ports"), std::string::npos) << refused;
    std::string error;
    EXPECT_TRUE(System::CheckConfiguration(System::DefaultConfiguration(), "default", &error))
        << error;
    EXPECT_FALSE(System::ReadConfiguration("/nonexistent/q.reg", &error, &error));
    // After every failure the process can still boot a system.
    EXPECT_NE(BootSimulated(), nullptr);
}

// The registry editor's own export: UTF-16 LE with its byte-order mark and CRLF line ends.
TEST(SystemTest, RegistryEditorExportBoots)
{
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\"
                             "0000\\Device Parameters]\r\n\"PortName\"=\"COM9\"\r\n"
                             "\"Peer\"=\"loopback\"\r\n";
    std::string wide = "\xFF\xFE";
    for (const char c : text) {
        wide += c;
        wide += '\0';
    }
    std::string error;
    std::unique_ptr<System> system = BootSimulated(wide, &error);
    ASSERT_NE(system, nullptr) << error;
    ASSERT_EQ(system->Ports().size(), 1u);
    EXPECT_EQ(system->Ports()[0].PortName, "COM9");
    EXPECT_EQ(system->Ports()[0].Peer, "loopback");
    EXPECT_EQ(system->Shutdown(), "");
    EXPECT_FALSE(System::CheckConfiguration(wide.substr(0, wide.size() - 1), "odd.reg", &error));
    EXPECT_NE(error.find("odd.reg: not valid UTF-16"), std::string::npos) << error;
}

TEST(SystemTest, LoopbackAndUnconnectedPorts)
{
    const std::string configuration =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
        "Parameters]\n"
        "\"PortName\"=\"COM9\"\n\"Peer\"=\"loopback\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0001\\Device "
        "Parameters]\n"
        "\"PortName\"=\"COM12\"\n";
    std::unique_ptr<System> system = BootSimulated(configuration);
    ASSERT_NE(system, nullptr);
    HANDLE com9 = Open("COM9");
    HANDLE com12 = Open("\\\\.\\COM12");
    ASSERT_NE(com9, INVALID_HANDLE_VALUE);
    ASSERT_NE(com12, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(com9, &timeouts));
    ASSERT_TRUE(SetCommTimeouts(com12, &timeouts));
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(com9, "echo", 4, &count, NULL));
    char buffer[16];
    ASSERT_TRUE(ReadFile(com9, buffer, sizeof(buffer), &count, NULL));
    EXPECT_EQ(std::string(buffer, count), "echo");
    ASSERT_TRUE(WriteFile(com12, "void", 4, &count, NULL));
    ASSERT_TRUE(ReadFile(com12, buffer, sizeof(buffer), &count, NULL));
    EXPECT_EQ(count, 0u);
    const std::vector<std::string> status = system->PeerStatus();
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(status[0], "loopback COM9: 4 bytes from the port, 4 to the port, 0 dropped");
    EXPECT_EQ(status[1], "none COM12: 4 bytes from the port, 0 to the port, 0 dropped");
    CloseHandle(com9);
    CloseHandle(com12);
    EXPECT_EQ(system->Shutdown(), "");
}

} // namespace
} // namespace qvx
