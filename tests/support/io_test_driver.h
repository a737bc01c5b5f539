#include "platform/machine/machine.h"
// A small WDM function driver for the I/O manager, Plug and Play and verifier tests, and a
// fixture that loads it and enumerates one device on the root bus.
//
// The driver does what a simple function driver does: create, cleanup and close succeed;
// reads are queued (cancellable with the cancel-spin-lock protocol) and completed from a
// timer DPC or on request; writes and flushes complete at once; a few control codes echo,
// complete with a chosen status or queue a work item. Start waits for the lower drivers
// (forward and wait), stop and removal pass down, power requests go down with
// PoCallDriver, system-control requests go through WmiSystemControl. Each fault switches on
// one deliberate violation. One driver instance at a time (its state is global, as a
// driver's is).
#pragma once

#include <ntddk.h>
#include <wmilib.h>

#include "support/machine_fixture.h"

#include <string>
#include <vector>

namespace qvx {

enum class TestDriverFault {
    None,
    CompleteTwice,             // IOCTL_TEST_ECHO completes the request twice
    CompleteWithCancelRoutine, // reads are completed with their cancel routine still set
    CompleteWithPendingStatus, // flushes are completed with STATUS_PENDING
    PendingNotMarked,          // reads are queued and pended without IoMarkIrpPending
    ReturnAtDispatchLevel,     // the write dispatch routine returns at DISPATCH_LEVEL
    InformationTooLarge,       // IOCTL_TEST_ECHO reports one byte more than the output
    LeakPoolAtUnload,          // DriverEntry allocates a block that unload does not free
    LeaveInitializing,         // AddDevice leaves DO_DEVICE_INITIALIZING set
    FailRemove,                // removal is failed and not passed down
    ChangeUnhandledPnpStatus,  // unhandled PnP requests go down with STATUS_SUCCESS
    DeleteWithPendingRead,     // removal deletes the device without ending queued reads
    SkipPoStartNext,           // power requests go down without PoStartNextPowerIrp
    PoStartNextTwice,          // PoStartNextPowerIrp is called twice per request
    DeleteAtSurpriseRemoval,   // surprise removal detaches and deletes the device at once
    PowerWithIofCallDriver,    // power requests go down with IofCallDriver
    NotPowerPagable,           // AddDevice leaves DO_POWER_PAGABLE clear
    OpenKeyAsUserHandle,       // create opens the service key without OBJ_KERNEL_HANDLE
    ForwardToPdo,              // unhandled PnP requests go to the PDO, past lower filters
    SkipThenSetCompletion,     // unhandled PnP requests skip the location, then set a routine
};

struct TestDriverConfig
{
    TestDriverFault Fault = TestDriverFault::None;
    // Queued reads complete this long after the last read arrived; 0: only when cancelled
    // or when the test calls CompleteTestReads.
    LONGLONG ReadDelayMs = 0;
    // Created when the device starts, deleted at stop, surprise removal and removal.
    std::u16string SymbolicLink = u"\\??\\COM5";
    // Cleanup leaves the handle's queued reads alone (they then hold up the close).
    bool CleanupLeavesReads = false;
};

// What the driver saw.
struct TestDriverLog
{
    std::vector<UCHAR> PnpMinors; // at the function device, in arrival order
    std::vector<std::vector<UCHAR>> Writes;
    int Creates = 0;
    int Cleanups = 0;
    int Closes = 0;
    bool StartWaited = false; // the start's forward-and-wait had to wait
    ULONG PowerRequests = 0;
    SYSCTL_IRP_DISPOSITION LastDisposition = IrpProcessed;
    int WorkItemRuns = 0;
    KIRQL WorkItemIrql = HIGH_LEVEL;
};

constexpr ULONG TEST_DRIVER_TAG = 0x74737651; // "Qvst" in memory order
constexpr ULONG IOCTL_TEST_ECHO =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Input: NTSTATUS then ULONG Information; the output is filled with 0x5A.
constexpr ULONG IOCTL_TEST_COMPLETE_WITH =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TEST_QUEUE_WORK_ITEM =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TEST_NEITHER_ECHO =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);

// Loads the driver as service "QvxTest" with the given configuration (NULL on failure).
PDRIVER_OBJECT LoadTestDriver(const TestDriverConfig& config = TestDriverConfig());
TestDriverConfig& TestDriverSettings();
const TestDriverLog& TestDriverEvents();
// Completes every queued read with the byte pattern 'a', 'b', ... (at DISPATCH_LEVEL).
size_t CompleteTestReads();
size_t QueuedTestReads();
// The block LeakPoolAtUnload left behind, for the test to free after the check.
PVOID TestDriverLeakedBlock();
// Detaches and deletes a function device the driver failed to remove.
void DestroyTestDevice(PDEVICE_OBJECT fdo);

// A simulated machine with the test driver loaded and one device (\??\COM5 on
// ROOT\PORTS\0000) enumerated and started in SetUp. TearDown closes the handles the test
// left open, removes the device, unloads the driver, and fails the test for a request
// still outstanding or a close never sent.
class IoDriverTest : public SimMachineTest
{
  protected:
    void SetUp() override;
    void TearDown() override;

    IoManager& Io() { return Sim().Io(); }
    PnpManager& Pnp() { return Sim().Pnp(); }
    PDEVICE_OBJECT Fdo() { return Pnp().FunctionDevice(pdo_); }

    // Set in a derived constructor or before SetUp runs.
    TestDriverConfig Config;
    // The device Boot enumerates (filters, hardware values).
    BusDeviceConfig Device;
    bool StartInSetUp = true;

    // Opens \\.\COM5; the handle is closed at teardown unless the test closes it.
    FileHandle OpenCom5(NTSTATUS* status = nullptr);
    void ForgetHandle(FileHandle handle);
    // Removes every recorded violation of `rule`; returns how many there were.
    size_t TakeAll(Rule rule);
    // Loads the driver and enumerates the device (SetUp does it unless StartInSetUp is
    // false).
    NTSTATUS Boot();

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<FileHandle> handles_;
};

} // namespace qvx
