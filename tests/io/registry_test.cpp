#include "platform/machine/machine.h"
// ctest-labels: platform registry
#include <gtest/gtest.h>

#include "support/machine_fixture.h"

#include <ntddk.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr const char16_t* SERVICE_KEY =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex";
constexpr const char* DEVICE_KEY =
    "HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000\\Device Parameters";

UNICODE_STRING Counted(const char16_t* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

NTSTATUS OpenKey(const char16_t* path, HANDLE* key, HANDLE root = nullptr)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
    return ZwOpenKey(key, KEY_READ, &oa);
}

// The partial-information buffer the driver reads "ComPeriod" with: 12 + 8 bytes.
struct SmallInfo
{
    KEY_VALUE_PARTIAL_INFORMATION* Info() { return reinterpret_cast<decltype(Info())>(Bytes); }
    alignas(8) UCHAR Bytes[20];
};

class RegistryTest : public qvx::SimMachineTest
{
  protected:
    void TearDown() override
    {
        EXPECT_TRUE(Sim().Reg().OpenHandles().empty());
        SimMachineTest::TearDown();
    }
};

// The three outcomes of a 20-byte query, the size probe without a buffer, and a bad class.
TEST_F(RegistryTest, PartialInformationQuerySucceedsOverflowsOrFindsNothing)
{
    Sim().Reg().SetDword(SERVICE_KEY, "ComPeriod", 50);
    Sim().Reg().SetValue(SERVICE_KEY, "Twelve", REG_BINARY,
                         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKey(u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\quarvex", &key),
              STATUS_SUCCESS);

    SmallInfo buffer{};
    ULONG result = 0;
    UNICODE_STRING name = Counted(u"comperiod");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.Bytes, 20, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(buffer.Info()->Type, ULONG(REG_DWORD));
    EXPECT_EQ(buffer.Info()->DataLength, 4u);
    ULONG period = 0;
    memcpy(&period, buffer.Info()->Data, 4);
    EXPECT_EQ(period, 50u);

    name = Counted(u"Twelve");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.Bytes, 20, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 24u);
    EXPECT_EQ(buffer.Info()->DataLength, 12u); // the full length, with the data that fits
    EXPECT_EQ(buffer.Bytes[19], 8);

    memset(buffer.Bytes, 0xCC, sizeof(buffer.Bytes));
    result = 0xDEAD;
    name = Counted(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.Bytes, 20, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0xDEADu);
    for (UCHAR byte : buffer.Bytes) {
        ASSERT_EQ(byte, 0xCC);
    }

    name = Counted(u"Twelve");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 24u);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.Bytes, 11, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer.Bytes[0], 0xCC);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer.Bytes, 20, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// Only existing keys open; handles are tracked, relative opens work, and handle misuse and
// high IRQL are reported.
TEST_F(RegistryTest, OpenKeyTracksHandlesAndReportsMisuse)
{
    HANDLE key = nullptr;
    EXPECT_EQ(OpenKey(SERVICE_KEY, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    Sim().Reg().CreateKey(SERVICE_KEY);
    HANDLE services = nullptr;
    ASSERT_EQ(OpenKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &services),
              STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(u"QUARVEX", &key, services), STATUS_SUCCESS);
    ASSERT_EQ(Sim().Reg().OpenHandles().size(), 2u);
    EXPECT_EQ(Sim().Reg().OpenHandles()[1].Path, SERVICE_KEY);
    EXPECT_EQ(Sim().Reg().OpenHandles()[1].Access, ULONG(KEY_READ));

    // A handle on a key deleted meanwhile answers STATUS_KEY_DELETED.
    Sim().Reg().DeleteKey(SERVICE_KEY);
    UNICODE_STRING name = Counted(u"ComPeriod");
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(services), STATUS_SUCCESS);

    UNICODE_STRING path = Counted(SERVICE_KEY);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    oa.Length = 0;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_INVALID_PARAMETER);

    Sim().Reg().CreateKey(SERVICE_KEY);
    Sim().Reg().InjectFailure(qvx::RegistryFault::OpenKey, 1, STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenKey(SERVICE_KEY, &key), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Sim().Reg().OpenHandles().empty());

    EXPECT_EQ(ZwClose(services), STATUS_INVALID_HANDLE); // closed twice
    EXPECT_TRUE(Sim().HasViolation(qvx::Rule::INVALID_KERNEL_HANDLE));
    {
        qvx::DispatchLevelScope dispatch;
        EXPECT_EQ(OpenKey(SERVICE_KEY, &key), STATUS_SUCCESS);
    }
    EXPECT_TRUE(Sim().HasViolation(qvx::Rule::IRQL_TOO_HIGH));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    Sim().ClearViolations();
}

// The device map value is written under a SERIALCOMM key created on the way, deleted once,
// and a missing parent is not created.
TEST_F(RegistryTest, WriteAndDeleteRelativeToTheDeviceMap)
{
    const char16_t portName[] = u"COM5";
    EXPECT_FALSE(Sim().Reg().KeyExists("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"));
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM",
                                    u"\\Device\\QuarvexDevice0", REG_SZ,
                                    const_cast<char16_t*>(portName), sizeof(portName)),
              STATUS_SUCCESS);
    EXPECT_EQ(Sim().Reg().GetString("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                    "\\device\\quarvexdevice0"),
              u"COM5");
    EXPECT_EQ(Sim()
                  .Reg()
                  .GetValue("HKLM\\Hardware\\DeviceMap\\SerialComm", u"\\Device\\QuarvexDevice0")
                  ->Data.size(),
              sizeof(portName));

    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoSuchParent\\Child", u"X", REG_DWORD,
                                    &one, sizeof(one)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(Sim().Reg().KeyExists("HKLM\\HARDWARE\\DEVICEMAP\\NoSuchParent"));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"Quarvex",
                                    u"ComPeriod", REG_DWORD, &one, sizeof(one)),
              STATUS_SUCCESS);
    EXPECT_EQ(Sim().Reg().GetDword(SERVICE_KEY, "ComPeriod"), 1u);

    EXPECT_EQ(
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\QuarvexDevice0"),
        STATUS_SUCCESS);
    EXPECT_EQ(
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\QuarvexDevice0"),
        STATUS_OBJECT_NAME_NOT_FOUND);

    Sim().Reg().InjectFailure(qvx::RegistryFault::WriteValue);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Other",
                                    REG_SZ, const_cast<char16_t*>(portName), sizeof(portName)),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Sim().Reg().ListValues("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM").empty());
}

// The PDO's hardware key opens with read-control access only and is probed for its size;
// an unknown device or a bad key type is refused. Deleted meanwhile, it is made again at its
// path by the next open.
TEST_F(RegistryTest, DeviceKeyOpensForKnownPdosOnly)
{
    DEVICE_OBJECT pdo{};
    DEVICE_OBJECT stranger{};
    Sim().Reg().SetDeviceKeyPath(&pdo, DEVICE_KEY);
    Sim().Reg().SetString(DEVICE_KEY, "PortName", "COM9");

    HANDLE key = nullptr;
    EXPECT_EQ(
        IoOpenDeviceRegistryKey(&stranger, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, 3, STANDARD_RIGHTS_READ, &key),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"PortName");
    ULONG size = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &size),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 12u + 10u);
    std::vector<UCHAR> info(size);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info.data(), size, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.data() + 12)), u"COM9");
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    ASSERT_TRUE(Sim().Reg().DeleteKey("HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\PORTS"));
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_TRUE(Sim().Reg().KeyExists(DEVICE_KEY));
}

// Every syntax of the format, applied.
TEST_F(RegistryTest, RegFileLoadsEverySyntax)
{
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; the port\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\r\n"
        "\"ComPeriod\"=dword:0000002a\r\n"
        "@=\"default\"\r\n"
        "\"Path\"=\"C:\\\\x \\\"q\\\"\"\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  ff\r\n"
        "\"Expand\"=hex(2):41,00,00,00\r\n"
        "\"Multi\"=hex(7):41,00,00,00,42,00,00,00,00,00\r\n"
        "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\"Gone\"=\"soon\"\r\n"
        "\"Gone\"=-\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\Scratch\\Deep]\r\n"
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\Scratch]\r\n";
    const qvx::RegLoadResult result = Sim().Reg().LoadRegText(text);
    ASSERT_TRUE(result) << result.Error;
    EXPECT_EQ(Sim().Reg().GetDword(SERVICE_KEY, "ComPeriod"), 42u);
    EXPECT_EQ(Sim().Reg().GetString(SERVICE_KEY, ""), u"default");
    EXPECT_EQ(Sim().Reg().GetString(SERVICE_KEY, "Path"), u"C:\\x \"q\"");
    EXPECT_EQ(Sim().Reg().GetValue(SERVICE_KEY, "Blob")->Data, (std::vector<UCHAR>{1, 2, 0xFF}));
    EXPECT_EQ(Sim().Reg().GetValue(SERVICE_KEY, "Expand")->Type, ULONG(REG_EXPAND_SZ));
    EXPECT_EQ(Sim().Reg().GetValue(SERVICE_KEY, "Multi")->Type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(Sim().Reg().GetValue(SERVICE_KEY, "Big")->Type, ULONG(REG_QWORD));
    EXPECT_FALSE(Sim().Reg().GetValue(SERVICE_KEY, "Gone"));
    EXPECT_FALSE(Sim().Reg().KeyExists("HKLM\\SYSTEM\\Scratch"));

    // The same text as UTF-16LE with its byte-order mark, from a file.
    const std::string path = ::testing::TempDir() + "qvx_registry_test.reg";
    {
        std::ofstream file(path, std::ios::binary);
        file << "\xFF\xFE";
        for (char c : std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\X]\n\"A\"=\"b\"\n")) {
            file << c << '\0';
        }
    }
    ASSERT_TRUE(Sim().Reg().LoadRegFile(path)) << Sim().Reg().LoadRegFile(path).Error;
    EXPECT_EQ(Sim().Reg().GetString("HKLM\\Software\\X", "A"), u"b");
}

// A bad line refuses the whole file, names its line, and leaves the registry as it was.
TEST_F(RegistryTest, RegFileWithASyntaxErrorIsRefusedWithItsLineAndAppliesNothing)
{
    const std::string text = "REGEDIT4\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
                             "\"ComPeriod\"=dword:00000032\n"
                             "\n"
                             "\"Broken\"=dword:xyz\n";
    qvx::RegLoadResult result = Sim().Reg().LoadRegText(text);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.Line, 5);
    EXPECT_NE(result.Error.find("line 5"), std::string::npos) << result.Error;
    EXPECT_FALSE(Sim().Reg().KeyExists(SERVICE_KEY));

    for (const auto& [bad, line] : std::vector<std::pair<std::string, int>>{
             {"[HKEY_LOCAL_MACHINE\\X]\n", 1},
             {"REGEDIT4\n\"A\"=\"b\"\n", 2},
             {"REGEDIT4\n[HKEY_NOWHERE\\X]\n", 2},
             {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"bad \\q escape\"\n", 3},
             {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:01,2g3\n", 3},
             {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:01,\\\n", 3},
             {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", 2}}) {
        result = Sim().Reg().LoadRegText(bad);
        EXPECT_FALSE(result) << bad;
        EXPECT_EQ(result.Line, line) << bad << result.Error;
    }
    EXPECT_FALSE(Sim().Reg().KeyExists("HKLM\\X"));
    EXPECT_FALSE(Sim().Reg().LoadRegFile("/nonexistent/qvx.reg"));
}

} // namespace
