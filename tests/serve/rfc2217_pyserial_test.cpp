// ctest-labels: tool
// pySerial's rfc2217:// client (Debian's python3-serial) against the server, the port
// behind it with a loopback peer: every feature the client offers must work.
#include "host/serve/rfc2217_server.h"
#include "host/system.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace qvx {
namespace {

const char* const PYTHON = "/usr/bin/python3";

std::string ScriptPath()
{
    const std::string source = __FILE__;
    return source.substr(0, source.rfind('/') + 1) + "pyserial_client.py";
}

// Runs a command; its exit status and output.
int RunCommand(const std::string& command, std::string* output)
{
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        *output += buffer;
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The client's script checks settings, RTS seen as CTS, DTR, break, buffer resets, every byte
// value echoed, read time-outs and the refusal of a second client.
TEST(Rfc2217PySerialTest, ClientFeaturesWorkAgainstALoopbackPort)
{
    std::string output;
    if (RunCommand(std::string(PYTHON) + " -c 'import serial'", &output) != 0) {
        GTEST_SKIP() << "no python3-serial in " << PYTHON;
    }
    Watchdog watchdog("Rfc2217PySerialTest", std::chrono::seconds(120));
    SystemOptions options;
    options.Verify = true; // the verifier runs in every test
    options.Mode = SystemMode::RealTime;
    options.Configuration =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
        "Parameters]\n"
        "\"PortName\"=\"COM9\"\n\"Peer\"=\"loopback\"\n";
    std::string error;
    std::unique_ptr<System> system = System::Boot(options, &error);
    ASSERT_NE(system, nullptr) << error;
    Rfc2217Server server("COM9", "127.0.0.1:0");
    ASSERT_TRUE(server.Start(&error)) << error;

    output.clear();
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(RunCommand(std::string(PYTHON) + " " + ScriptPath() + " " + url, &output), 0)
        << output;
    EXPECT_NE(server.Status().find("1 refused"), std::string::npos) << server.Status();
    server.Stop();
    EXPECT_EQ(system->Shutdown(), "");
}

} // namespace
} // namespace qvx
