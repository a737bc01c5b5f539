// A configuration as a registry editor file: the driver's service key, one device per port
// with its "PortName" and its peer, loaded into the machine's registry; errors name the file
// and the line.
// ctest-labels: host

#include "support/win32_port.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace qvx::win32test {
namespace {

const char* const serviceKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Quarvex";
const char* const port0Key = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\Root\\"
                             "PORTS\\0000\\Device Parameters";

const char* const configuration = R"(Windows Registry Editor Version 5.00

; Two ports wired to each other.
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Quarvex]
"ComPeriod"=dword:00000014

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\Root\PORTS\0000\Device Parameters]
"PortName"="COM5"
"Peer"="null-modem COM6"
"Settings"=hex:01,02,03,\
  04,05

[HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM]
"\\Device\\QuarvexDevice0"="COM5"
)";

class Win32Configuration : public Win32PortTest
{
  protected:
    std::string WriteRegFile(const std::string& text)
    {
        const std::string path = ::testing::TempDir() + "win32_config.reg";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

TEST_F(Win32Configuration, LoadsServicePortsAndKeepsUnknownValues)
{
    std::string error;
    ASSERT_TRUE(LoadRegFile(WriteRegFile(configuration), &error)) << error;
    EXPECT_EQ(RegDword(serviceKey, "ComPeriod"), 20u);
    EXPECT_EQ(RegString(port0Key, "PortName"), "COM5");
    EXPECT_EQ(RegString(port0Key, "Peer"), "null-modem COM6");
    EXPECT_EQ(RegBinary(port0Key, "Settings"), (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    // A Windows program finds the port the file published.
    HKEY key;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    char port[16];
    DWORD size = sizeof(port);
    ASSERT_EQ(RegQueryValueExA(key, "\\Device\\QuarvexDevice0", NULL, NULL,
                               reinterpret_cast<BYTE*>(port), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(port, "COM5");
    RegCloseKey(key);

    // REGEDIT4 files load the same way.
    ASSERT_TRUE(LoadRegText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\"
                            "Services\\Quarvex]\n\"ComPeriod\"=dword:00000032\n",
                            &error))
        << error;
    EXPECT_EQ(RegDword(serviceKey, "ComPeriod"), 50u);
}

TEST_F(Win32Configuration, ErrorsNameFileAndLineAndApplyNothing)
{
    struct Case
    {
        std::string Text;
        std::string Line;
    } const cases[] = {
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Q]\n"
         "\"ComPeriod\"=dword:xyz\n",
         "line 4:"},
        {"REGEDIT4\n\"Orphan\"=\"value before any key\"\n", "line 2:"},
        {"not a registry file\n", "line 1:"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Q]\n\"Bytes\"=hex:01,\\\n", "line 3:"},
    };
    for (const Case& c : cases) {
        const std::string path = WriteRegFile(c.Text);
        std::string error;
        EXPECT_FALSE(LoadRegFile(path, &error)) << c.Text;
        EXPECT_EQ(error.rfind(path + ": " + c.Line, 0), 0u) << error;
    }
    EXPECT_FALSE(RegDword("HKEY_LOCAL_MACHINE\\Software\\Q", "ComPeriod").has_value());

    std::string error;
    EXPECT_FALSE(LoadRegFile(::testing::TempDir() + "absent.reg", &error));
    EXPECT_NE(error.find("absent.reg"), std::string::npos) << error;
}

} // namespace
} // namespace qvx::win32test
