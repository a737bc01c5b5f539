// Device names and port names: numbering within a load, what each port publishes, where the
// port name comes from, names that cannot be used, and a name changed while the port runs.
// ctest-labels: pnp

#include "support/frame_fixture.h"

#include "host/peers/peer_endpoint.h"
#include "platform/machine/machine.h"
#include "support/recording_peer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qvx {
namespace {

using NamingTest = FrameTest;

std::vector<UCHAR> Utf16Bytes(const std::u16string& text, bool terminated)
{
    std::vector<UCHAR> bytes((text.size() + (terminated ? 1 : 0)) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
    return bytes;
}

// Numbers count successful add devices of this load: a removed device's number is not given
// again, and an add device that fails (creation, work item or attach) consumes none.
TEST_F(NamingTest, DeviceNumbersCountSuccessfulAddDevicesOnly)
{
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(Plug(u"COM5", &first), STATUS_SUCCESS);
    ASSERT_EQ(Plug(u"COM6", &second), STATUS_SUCCESS);
    EXPECT_EQ(DeviceName(first), u"\\Device\\QuarvexDevice0");
    EXPECT_EQ(DeviceName(second), u"\\Device\\QuarvexDevice1");
    Unplug(first);

    PDEVICE_OBJECT third = Report(u"COM7");
    Io().InjectFailure(IoFault::AttachDevice);
    EXPECT_EQ(Pnp().AddDevice(third, Driver()), STATUS_DEVICE_REMOVED);
    Io().InjectFailure(IoFault::AllocateWorkItem);
    EXPECT_EQ(Pnp().AddDevice(third, Driver()), STATUS_INSUFFICIENT_RESOURCES);
    Io().InjectFailure(IoFault::CreateDevice, 1, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Pnp().AddDevice(third, Driver()), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Fdo(third), nullptr);
    EXPECT_EQ(Io().DeviceName(Driver()->DeviceObject), u"\\Device\\QuarvexDevice1")
        << "a failed add device leaves no device object behind";
    EXPECT_EQ(Driver()->DeviceObject->NextDevice, nullptr);

    ASSERT_EQ(Pnp().AddDevice(third, Driver()), STATUS_SUCCESS);
    EXPECT_EQ(DeviceName(third), u"\\Device\\QuarvexDevice2");
    const ULONG flags = Fdo(third)->Flags;
    EXPECT_EQ(flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              ULONG{DO_BUFFERED_IO | DO_POWER_PAGABLE});
    EXPECT_EQ(Io().DevicePowerStateOf(Fdo(third)), PowerDeviceD3);
    EXPECT_EQ(PortOf(third)->PnpState, PNP_NOT_STARTED);
    ASSERT_EQ(Pnp().Start(third), STATUS_SUCCESS);
    EXPECT_EQ(PortOf(third)->PnpState, PNP_STARTED);
}

// Each port has its own link, SERIALCOMM value, interface and callback objects, and data goes
// to its own peer; removing one leaves the other's names alone.
TEST_F(NamingTest, TwoPortsPublishTheirOwnNames)
{
    PDEVICE_OBJECT com5 = nullptr;
    PDEVICE_OBJECT com6 = nullptr;
    ASSERT_EQ(Plug(u"COM5", &com5), STATUS_SUCCESS);
    ASSERT_EQ(Plug(u"COM6", &com6), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\QuarvexDevice0");
    EXPECT_EQ(LinkTarget(u"COM6"), u"\\Device\\QuarvexDevice1");
    EXPECT_EQ(SerialComm(u"\\Device\\QuarvexDevice0"), u"COM5");
    EXPECT_EQ(SerialComm(u"\\Device\\QuarvexDevice1"), u"COM6");
    std::vector<DeviceInterfaceInfo> interfaces;
    for (const DeviceInterfaceInfo& info : Sim().Names().DeviceInterfaces()) {
        if (info.Enabled) {
            interfaces.push_back(info);
        }
    }
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0].Pdo, com5);
    EXPECT_EQ(interfaces[1].Pdo, com6);
    EXPECT_TRUE(interfaces[0].ReferenceString.empty());
    EXPECT_EQ(ReceiveRegistrations(u"COM5"), 1u);
    EXPECT_EQ(ReceiveRegistrations(u"COM6"), 1u);
    EXPECT_EQ(PortOf(com5)->ComNumber, 5);
    EXPECT_EQ(PortOf(com6)->ComNumber, 6);
    EXPECT_EQ(PortOf(com5)->PortNameString, nullptr) << "the peer channel released the name";

    {
        RecordingPeer peer5(u"COM5");
        RecordingPeer peer6(u"COM6");
        const FileHandle handle = Open(u"COM6");
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        ASSERT_EQ(Io().Write(handle, {'h', 'i'}).Status, STATUS_SUCCESS);
        Sim().AdvanceMs(40);
        EXPECT_EQ(peer6.Received(), (std::vector<uint8_t>{'h', 'i'}));
        EXPECT_TRUE(peer5.Received().empty());
        Close(handle);
    }

    Unplug(com5);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_FALSE(SerialComm(u"\\Device\\QuarvexDevice0").has_value());
    EXPECT_EQ(LinkTarget(u"COM6"), u"\\Device\\QuarvexDevice1");
    EXPECT_EQ(SerialComm(u"\\Device\\QuarvexDevice1"), u"COM6");
    EXPECT_EQ(EnabledComPorts().size(), 1u);
    EXPECT_EQ(ReceiveRegistrations(u"COM6"), 1u);
}

// "Identifier" stands in when "PortName" is absent or unusable; a REG_SZ stored without its
// terminator and a REG_EXPAND_SZ are read as names.
TEST_F(NamingTest, NameComesFromIdentifierWhenPortNameIsAbsentOrUnusable)
{
    struct Case
    {
        const char* What;
        bool WithPortName;
        ULONG Type;
        std::vector<UCHAR> Data;
        std::u16string Expected;
    };
    const std::vector<Case> cases = {
        {"no PortName", false, REG_NONE, {}, u"COM9"},
        {"numeric PortName", true, REG_DWORD, {5, 0, 0, 0}, u"COM9"},
        {"PortName without terminator", true, REG_SZ, Utf16Bytes(u"COM7", false), u"COM7"},
        {"expandable PortName", true, REG_EXPAND_SZ, Utf16Bytes(u"COM8", true), u"COM8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        PDEVICE_OBJECT pdo = Report(HardwareValues{{u"Identifier", u"COM9"}});
        if (c.WithPortName) {
            ASSERT_TRUE(Sim().Reg().SetValue(HardwareKey(pdo), u"PortName", c.Type, c.Data));
        }
        ASSERT_EQ(Pnp().AddDevice(pdo, Driver()), STATUS_SUCCESS);
        ASSERT_EQ(Pnp().Start(pdo), STATUS_SUCCESS);
        EXPECT_EQ(LinkTarget(c.Expected), DeviceName(pdo));
        EXPECT_EQ(SerialComm(DeviceName(pdo)), c.Expected);
        EXPECT_EQ(ReceiveRegistrations(c.Expected), 1u);
        Unplug(pdo);
        EXPECT_TRUE(NothingPublished());
    }
}

// A name that is not a non-empty string, that holds a backslash or whose link would not fit
// 256 characters fails the start with STATUS_INSUFFICIENT_RESOURCES and publishes nothing;
// the longest name that fits is published whole. A string of an odd number of bytes is no
// name either (its last character would be half outside the value).
TEST_F(NamingTest, UnusableNamesFailTheStartWithNothingPublished)
{
    // A string value whose length is not whole characters.
    auto Odd = [](std::vector<UCHAR> bytes) {
        bytes.push_back('X');
        return bytes;
    };
    struct Case
    {
        const char* What;
        ULONG Type;
        std::vector<UCHAR> Data;
    };
    const std::u16string longest(252, u'X'); // "\??\" and 252 characters: 512 bytes
    const std::vector<Case> cases = {
        {"binary", REG_BINARY, Utf16Bytes(u"COM5", false)},
        {"numeric", REG_DWORD, {5, 0, 0, 0}},
        {"multi-string", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"COM5\0", 5), true)},
        {"empty", REG_SZ, Utf16Bytes(u"", true)},
        {"no data", REG_SZ, {}},
        {"too long", REG_SZ, Utf16Bytes(longest + u"X", true)},
        {"backslash", REG_SZ, Utf16Bytes(u"..\\COM5", true)},
        {"trailing backslash", REG_SZ, Utf16Bytes(u"COM5\\", true)},
        {"odd length", REG_SZ, Odd(Utf16Bytes(u"COM5", false))},
        {"odd length, terminated", REG_SZ, Odd(Utf16Bytes(u"COM5", true))},
    };
    for (const Case& c : cases) {
        for (const char16_t* value : {u"PortName", u"Identifier"}) {
            SCOPED_TRACE(std::string(c.What) + " " + Utf16ToUtf8(value));
            PDEVICE_OBJECT pdo = Report(HardwareValues{});
            ASSERT_TRUE(Sim().Reg().SetValue(HardwareKey(pdo), value, c.Type, c.Data));
            ASSERT_EQ(Pnp().AddDevice(pdo, Driver()), STATUS_SUCCESS);
            EXPECT_EQ(Pnp().Start(pdo), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(Fdo(pdo), nullptr) << "a failed start is followed by removal";
            EXPECT_TRUE(NothingPublished());
            Unplug(pdo);
        }
    }

    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(Plug(longest, &pdo), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(longest), DeviceName(pdo));
    EXPECT_EQ(SerialComm(DeviceName(pdo)), longest);
}

// A "PortName" changed while the port runs takes effect at the next start; the stop deletes
// the link the start created, not one named after the new value.
TEST_F(NamingTest, WithdrawalDeletesTheLinkThatWasCreated)
{
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(Plug(u"COM5", &pdo), STATUS_SUCCESS);
    ASSERT_TRUE(Sim().Reg().SetString(HardwareKey(pdo), u"PortName", u"COM8"));
    // Another device's link of the new name must survive the withdrawal.
    std::u16string otherLinkText = u"\\??\\COM8";
    std::u16string otherTargetText = u"\\Device\\Elsewhere";
    UNICODE_STRING otherLink = Counted(otherLinkText);
    UNICODE_STRING otherTarget = Counted(otherTargetText);
    ASSERT_EQ(IoCreateSymbolicLink(&otherLink, &otherTarget), STATUS_SUCCESS);

    ASSERT_EQ(Pnp().QueryStop(pdo), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_EQ(LinkTarget(u"COM8"), u"\\Device\\Elsewhere");
    EXPECT_FALSE(SerialComm(DeviceName(pdo)).has_value());
    EXPECT_TRUE(EnabledComPorts().empty());
    EXPECT_EQ(ReceiveRegistrations(u"COM5"), 0u);

    ASSERT_EQ(IoDeleteSymbolicLink(&otherLink), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Start(pdo, false), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(u"COM8"), DeviceName(pdo));
    EXPECT_EQ(SerialComm(DeviceName(pdo)), u"COM8");
    EXPECT_EQ(ReceiveRegistrations(u"COM8"), 1u);

    ASSERT_TRUE(Sim().Reg().SetString(HardwareKey(pdo), u"PortName", u"COM5"));
    Unplug(pdo);
    EXPECT_TRUE(NothingPublished());
}

} // namespace
} // namespace qvx
