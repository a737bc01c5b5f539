#include "port_fixture.h"
#include "platform/machine/machine.h"

#include <cstring>

namespace qvx {

void PortTest::SetUp()
{
    SimMachineTest::SetUp();
    if (StartInSetUp) {
        StartPort();
    }
}

void PortTest::TearDown()
{
    StopPort();
    SimMachineTest::TearDown();
}

void PortTest::StartPort()
{
    testPort_ = std::make_unique<TestPort>(PortName);
    ASSERT_EQ(testPort_->Start(), STATUS_SUCCESS);
    if (AttachPeer) {
        peer_ = std::make_unique<RecordingPeer>(PortName);
    }
}

void PortTest::StopPort()
{
    if (testPort_ == nullptr) {
        return;
    }
    for (FileHandle handle : handles_) {
        Io().Close(handle);
    }
    handles_.clear();
    Io().RunPassiveWork();
    peer_.reset();
    testPort_.reset();
}

FileHandle PortTest::OpenPort(NTSTATUS* status)
{
    FileHandle handle = Io().Open(u"\\\\.\\" + PortName, 0, status);
    if (handle != INVALID_FILE_HANDLE) {
        handles_.push_back(handle);
    }
    return handle;
}

void PortTest::ClosePort(FileHandle handle)
{
    for (auto it = handles_.begin(); it != handles_.end(); ++it) {
        if (*it == handle) {
            handles_.erase(it);
            break;
        }
    }
    Io().Close(handle);
    Io().RunPassiveWork();
}

void PortTest::SetComPeriod(ULONG milliseconds)
{
    Sim().Reg().CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex");
    Sim().Reg().SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex",
                         u"ComPeriod", milliseconds);
}

IoResult PortTest::Control(FileHandle handle, ULONG code, const void* input, ULONG inputLength,
                           ULONG outputLength)
{
    const auto* bytes = static_cast<const UCHAR*>(input);
    return Io().DeviceIoControl(handle, code, std::vector<UCHAR>(bytes, bytes + inputLength),
                                outputLength);
}

void PortTest::SetTimeouts(FileHandle handle, ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)).Status,
              STATUS_SUCCESS);
}

void PortTest::SetHandFlow(FileHandle handle, ULONG controlHandShake, ULONG flowReplace,
                           LONG xonLimit, LONG xoffLimit)
{
    SERIAL_HANDFLOW handFlow = {controlHandShake, flowReplace, xonLimit, xoffLimit};
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow)).Status,
              STATUS_SUCCESS);
}

void OpenPortTest::SetUp()
{
    PortTest::SetUp();
    Handle = OpenPort();
    ASSERT_NE(Handle, INVALID_FILE_HANDLE);
}

void OpenPortTest::TearDown()
{
    if (Handle != INVALID_FILE_HANDLE) {
        ClosePort(Handle);
        Handle = INVALID_FILE_HANDLE;
    }
    PortTest::TearDown();
}

std::vector<UCHAR> OpenPortTest::ReadNow(ULONG count)
{
    SetTimeouts(Handle, MAXULONG, 0, 0);
    IoResult result = Io().Read(Handle, count);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    return result.Data;
}

NTSTATUS OpenPortTest::SetWaitMask(ULONG mask)
{
    return Control(Handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)).Status;
}

IoRequestPtr OpenPortTest::WaitOnMask()
{
    return Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
}

ULONG OpenPortTest::Events(const IoResult& result)
{
    ULONG events = 0xDEADBEEF;
    if (result.Data.size() == sizeof(ULONG)) {
        memcpy(&events, result.Data.data(), sizeof(events));
    }
    return events;
}

} // namespace qvx
