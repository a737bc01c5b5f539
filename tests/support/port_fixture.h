// A started port assembled by hand, as add device and start will: a device object with its
// port record, queues, gate, timers and DPCs, the UART, the peer callbacks, the symbolic link
// \??\COM5, and a peer endpoint on the far side. Requests reach it through the application
// side of the I/O manager with a test dispatch table: the driver's own create, close,
// cleanup, read, write, flush and device-control routines.
#pragma once

#include "machine_fixture.h"
#include "platform/machine/machine.h"
#include "port/port.h"
#include "recording_peer.h"
#include "test_port.h"

#include <memory>
#include <string>
#include <vector>

namespace qvx {

class PortTest : public SimMachineTest
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the port (SetUp does it with the defaults below unless StartInSetUp is false).
    void StartPort();
    void StopPort();

    PortDeviceRecord* Port() const { return testPort_->Port(); }
    PDEVICE_OBJECT Device() const { return testPort_->Device(); }
    RecordingPeer& Peer() { return *peer_; }
    IoManager& Io() { return Sim().Io(); }

    // Opens \\.\<PortName>; the handle is closed at teardown if the test did not.
    FileHandle OpenPort(NTSTATUS* status = nullptr);
    void ClosePort(FileHandle handle);
    // Sets "ComPeriod" under the driver's service key (REG_DWORD).
    void SetComPeriod(ULONG milliseconds);

    // Device-control helpers.
    IoResult Control(FileHandle handle, ULONG code, const void* input = nullptr,
                     ULONG inputLength = 0, ULONG outputLength = 0);
    void SetTimeouts(FileHandle handle, ULONG interval, ULONG multiplier, ULONG constant);
    void SetHandFlow(FileHandle handle, ULONG controlHandShake, ULONG flowReplace, LONG xonLimit,
                     LONG xoffLimit);

    // Runs the code under PortLock at DISPATCH_LEVEL, as the control paths do.
    template <class F> void UnderPortLock(F&& body)
    {
        KIRQL old = KfAcquireSpinLock(&Port()->PortLock);
        body();
        KfReleaseSpinLock(&Port()->PortLock, old);
    }

    static std::vector<UCHAR> Bytes(const std::string& text)
    {
        return std::vector<UCHAR>(text.begin(), text.end());
    }

    // Settings used by StartPort.
    std::u16string PortName = u"COM5";
    bool StartInSetUp = true;
    bool AttachPeer = true;

  private:
    std::unique_ptr<TestPort> testPort_;
    std::unique_ptr<RecordingPeer> peer_;
    std::vector<FileHandle> handles_;
};

// The same port, opened in SetUp (handle in Handle) and closed in TearDown unless the test
// closed it and set Handle to INVALID_FILE_HANDLE.
class OpenPortTest : public PortTest
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Takes up to `count` bytes out of the input ring as a read that returns at once.
    std::vector<UCHAR> ReadNow(ULONG count);
    NTSTATUS SetWaitMask(ULONG mask);
    IoRequestPtr WaitOnMask();
    // The event mask a completed wait returned (0xDEADBEEF when it returned none).
    static ULONG Events(const IoResult& result);
    static ULONG Events(const IoRequestPtr& wait) { return Events(wait->Result()); }

    FileHandle Handle = INVALID_FILE_HANDLE;
};

} // namespace qvx
