// The I/O manager: driver and device objects, requests and their completion, cancellation,
// work items, and the application side of I/O.
//
// Requests are IRPs the manager allocates itself, followed in memory by a guard location and
// their stack locations. Each IRP has a record in a side table; after its final completion
// the IRP is poisoned and kept in a quarantine for a while, so a second completion or a late
// cancel is recognised instead of touching reused memory (and under ASan any driver access
// to a completed IRP is reported). Deleted device objects are kept poisoned the same way.
//
// Threads: every routine may be called from any thread. One mutex guards the tables; it is
// never held while driver code, a completion callback or another component runs.
//
// Simulated mode: the application side runs on the test thread at PASSIVE_LEVEL and waits
// by driving the machine. Work items and deferred closes run at PASSIVE_LEVEL from the
// machine's progress hook (any blocked wait), at the end of every application call and PnP
// operation, and from RunPassiveWork. Real-time mode: they run on a worker thread and the
// application calls block on the completion.
#pragma once

#include "platform/io/faults.h"
#include "platform/machine/machine.h"
#include "platform/verifier/verifier.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

// The platform's work item; opaque to the driver. Guarded by the I/O manager's mutex.
struct _IO_WORKITEM
{
    PDEVICE_OBJECT DeviceObject;
    PDRIVER_OBJECT DriverObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    bool Queued;
    bool FreeAfterRun; // freed while queued: released once it has run
};

namespace qvx {

// An application's handle to an open file object; 0 is never a valid handle.
using FileHandle = ULONG;
constexpr FileHandle INVALID_FILE_HANDLE = 0;

// The end of a request as the application sees it.
struct IoResult
{
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    // Bytes returned to the caller: read data or control output, min(Information, buffer)
    // bytes, and only when the status is not an error.
    std::vector<UCHAR> Data;
};

struct IoRequestState;

// An overlapped request. Waiting drives the simulated machine (or blocks in real time).
class IoRequest
{
  public:
    explicit IoRequest(std::shared_ptr<IoRequestState> state) : state_(std::move(state)) {}

    bool Done() const;
    // The result so far: Status is STATUS_PENDING until the request has completed.
    IoResult Result() const;
    const IoResult& Wait();
    // The status the driver's dispatch routine returned (STATUS_PENDING when it queued it).
    NTSTATUS DispatchStatus() const;
    // The IRP while it is outstanding, NULL afterwards.
    PIRP Irp() const;

  private:
    std::shared_ptr<IoRequestState> state_;
};
using IoRequestPtr = std::shared_ptr<IoRequest>;

// A request of any major function, for what the named helpers do not cover.
struct RequestArgs
{
    UCHAR MajorFunction = IRP_MJ_READ;
    UCHAR MinorFunction = 0;
    ULONG CreateOptions = 0;  // create: Parameters.Create.Options
    ULONG IoControlCode = 0;  // device control
    std::vector<UCHAR> Input; // write data or control input
    ULONG OutputLength = 0;   // read length or control output length
};

// Told of every request at its final completion, while the IRP is still readable (the PnP
// manager's filter drivers check there that their completion routines ran).
class IrpFinishObserver
{
  public:
    virtual void OnIrpFinished(PIRP irp) = 0;

  protected:
    IrpFinishObserver() = default;
    ~IrpFinishObserver() = default;
    IrpFinishObserver(const IrpFinishObserver&) = default;
    IrpFinishObserver& operator=(const IrpFinishObserver&) = default;
};

// Calls of the I/O manager's routines that a test can make fail.
enum class IoFault {
    CreateDevice,    // IoCreateDevice returns the status
    AttachDevice,    // IoAttachDeviceToDeviceStack returns NULL
    AllocateWorkItem // IoAllocateWorkItem returns NULL
};

class IoManager
{
  public:
    explicit IoManager(Machine& machine);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // --- Drivers ---------------------------------------------------------------------------
    // Creates the driver object (every major function rejected by the default routine),
    // makes sure the service key exists and calls DriverEntry with
    // \Registry\Machine\System\CurrentControlSet\Services\<serviceName> at PASSIVE_LEVEL.
    // NULL when DriverEntry fails (its status goes to `status`). `poolTags` names the
    // driver's pool tags for the leak check at unload; empty means every outstanding block.
    PDRIVER_OBJECT LoadDriver(std::u16string_view serviceName, PDRIVER_INITIALIZE driverEntry,
                              NTSTATUS* status = nullptr, std::vector<ULONG> poolTags = {});
    // Calls DriverUnload and releases the driver object, then reports the driver's pool
    // still allocated (POOL_LEAK_AT_UNLOAD) and work items not freed. Refused with
    // STATUS_INVALID_DEVICE_STATE while the driver has a device object (delete-pending ones too),
    // and with STATUS_INVALID_DEVICE_REQUEST when it has no unload routine.
    NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);
    // A driver object for a driver built into the platform (the root bus): no DriverEntry,
    // no service key. Released by ReleaseBuiltInDriver or at teardown.
    PDRIVER_OBJECT CreateBuiltInDriver(std::u16string_view name);
    void ReleaseBuiltInDriver(PDRIVER_OBJECT driver);
    bool IsDriverLoaded(PDRIVER_OBJECT driver) const;

    // --- Devices -----------------------------------------------------------------------------
    // A device object that exists and has not been deleted.
    bool IsDeviceLive(PDEVICE_OBJECT device) const;
    // Deleted while file objects referenced it, and not yet released.
    bool IsDeletePending(PDEVICE_OBJECT device) const;
    // The top of the stack that `device` belongs to (following AttachedDevice).
    PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) const;
    std::u16string DeviceName(PDEVICE_OBJECT device) const;
    // What PoSetPowerState recorded (PowerDeviceUnspecified until then).
    DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device) const;
    // "in the extension of device <p> + offset" for an address inside a live device's
    // extension; empty otherwise.
    std::string DescribeAddress(const void* address) const;
    // A device object of a built-in driver (a bus PDO): unnamed, ready for requests, not
    // subject to fault injection. NULL when out of memory.
    PDEVICE_OBJECT CreatePlatformDevice(PDRIVER_OBJECT driver, ULONG extensionSize,
                                        DEVICE_TYPE deviceType, ULONG flags);
    // Deletes a device object without the verifier's checks (the platform's own devices).
    void DestroyDeviceQuietly(PDEVICE_OBJECT device);
    // IoAttachDeviceToDeviceStack for the platform's own devices: not subject to fault
    // injection.
    PDEVICE_OBJECT AttachPlatformDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    // The devices attached above `bottom`, bottom up.
    std::vector<PDEVICE_OBJECT> DevicesAbove(PDEVICE_OBJECT bottom) const;
    // One observer at a time (NULL removes it); it must outlive its registration.
    void SetFinishObserver(IrpFinishObserver* observer);

    // --- Requests built by tests and the PnP manager -------------------------------------
    // Called once, past the top of the stack, with the IRP still readable; at the IRQL of
    // whoever completed it. The IRP is released right after.
    using CompletionCallback = std::function<void(PIRP irp)>;
    // An IRP of `stackSize` locations, positioned before the top driver, IoStatus zero.
    // The caller fills IoGetNextIrpStackLocation and calls IofCallDriver; the manager
    // releases the IRP at its final completion. NULL for a size outside 1..64.
    PIRP AllocateIrp(CCHAR stackSize, CompletionCallback onComplete = {});
    // Requests not yet finally completed; with a device, only those it holds (its stack
    // location is current or above the current one).
    size_t OutstandingIrps(PDEVICE_OBJECT device = nullptr) const;

    // --- Application side --------------------------------------------------------------
    // Opens a name such as \\.\COM5, \??\COM5 or \Device\X: one file object per open,
    // IRP_MJ_CREATE to the top of the device's stack with Parameters.Create.Options =
    // createOptions (the disposition FILE_OPEN is added when the top byte is 0).
    // INVALID_FILE_HANDLE on failure, with the reason in `status`.
    FileHandle Open(std::u16string_view name, ULONG createOptions = 0, NTSTATUS* status = nullptr);
    IoResult Read(FileHandle handle, ULONG length);
    IoResult Write(FileHandle handle, const std::vector<UCHAR>& data);
    IoResult Flush(FileHandle handle);
    IoResult DeviceIoControl(FileHandle handle, ULONG code, const std::vector<UCHAR>& input,
                             ULONG outputLength);
    IoResult Send(FileHandle handle, const RequestArgs& args);
    IoRequestPtr ReadAsync(FileHandle handle, ULONG length);
    IoRequestPtr WriteAsync(FileHandle handle, const std::vector<UCHAR>& data);
    IoRequestPtr FlushAsync(FileHandle handle);
    IoRequestPtr DeviceIoControlAsync(FileHandle handle, ULONG code,
                                      const std::vector<UCHAR>& input, ULONG outputLength);
    IoRequestPtr SendAsync(FileHandle handle, const RequestArgs& args);
    // Cancels every outstanding request of the handle with IoCancelIrp.
    NTSTATUS CancelIo(FileHandle handle);
    // Cancels this one request, as CancelIoEx with its OVERLAPPED does; FALSE when it has
    // completed already. Safe against a completion on another processor: an IRP that has
    // completed is never the one cancelled, even if its memory is reused.
    bool CancelRequest(const IoRequestPtr& request);
    // IRP_MJ_CLEANUP now; IRP_MJ_CLOSE once every request of the file object has completed
    // (at once when none is outstanding, else later at PASSIVE_LEVEL).
    NTSTATUS Close(FileHandle handle);
    PFILE_OBJECT FileObjectOf(FileHandle handle) const;
    // Open handles, or with a device only those whose stack it belongs to.
    size_t OpenHandleCount(PDEVICE_OBJECT device = nullptr) const;
    // File objects whose handle is closed but whose IRP_MJ_CLOSE has not been sent yet.
    size_t PendingCloseCount() const;

    // --- Passive-level work ----------------------------------------------------------------
    // Simulated mode: runs queued work items and deferred closes if the IRQL is
    // PASSIVE_LEVEL; returns how many ran. Real-time mode: waits until the worker is idle.
    size_t RunPassiveWork();
    size_t QueuedWorkCount() const;
    // Simulated mode at PASSIVE_LEVEL: what a return to the application lets run (queued
    // passive work). Called after every application call and PnP operation.
    void AfterApplicationCall();

    // --- Fault injection ---------------------------------------------------------------------
    // Make the nth call from now (1 = the next one) of that routine fail.
    void InjectFailure(IoFault fault, ULONG nth = 1,
                       NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void ClearFailures();

    // The I/O manager's cancel spin lock.
    PKSPIN_LOCK CancelSpinLock() { return &cancelLock_; }

    // --- Kernel face: the routines of platform/io/io.cpp, po.cpp and wmilib.cpp ---------
    NTSTATUS CreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                          PUNICODE_STRING deviceName, DEVICE_TYPE deviceType, ULONG characteristics,
                          BOOLEAN exclusive, PDEVICE_OBJECT* deviceObject);
    void DeleteDevice(PDEVICE_OBJECT device);
    PDEVICE_OBJECT AttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void DetachDevice(PDEVICE_OBJECT lower);
    // `viaPoCallDriver`: the call came through PoCallDriver.
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver = false);
    void CompleteRequest(PIRP irp);
    BOOLEAN CancelIrp(PIRP irp);
    void AcquireCancelSpinLock(PKIRQL irql);
    void ReleaseCancelSpinLock(KIRQL irql);
    PIO_WORKITEM AllocateWorkItem(PDEVICE_OBJECT device);
    void FreeWorkItem(PIO_WORKITEM item);
    void QueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context);
    POWER_STATE SetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
    void StartNextPowerIrp(PIRP irp);

    struct IrpRecord;
    struct FileRecord;

  private:
    struct DriverRecord;
    struct DeviceRecord;

    // Consults the fault switchboard under the tables' mutex.
    bool ConsumeFault(IoFault fault, NTSTATUS* status);

    NTSTATUS CreateDeviceCore(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                              const std::u16string& name, DEVICE_TYPE deviceType,
                              ULONG characteristics, ULONG flags, PDEVICE_OBJECT* deviceObject);
    std::shared_ptr<IrpRecord> NewIrp(CCHAR stackSize);
    std::shared_ptr<IrpRecord> FindIrpLocked(PIRP irp) const;
    DeviceRecord* FindDeviceLocked(PDEVICE_OBJECT device) const;
    PDEVICE_OBJECT TopLocked(PDEVICE_OBJECT device) const;
    bool HeldByDeviceLocked(const IrpRecord& record, PDEVICE_OBJECT device) const;
    // A device requests can still reach: not deleted, or deleted with file objects open.
    static bool ReachableLocked(const DeviceRecord* record);
    bool ReferencedByFileLocked(PDEVICE_OBJECT device) const;
    // Referenced by a file object or by a device still attached above it.
    bool StillReferencedLocked(PDEVICE_OBJECT device) const;
    // Frees a delete-pending device once no file object references it any more.
    void FinishDeletePending(PDEVICE_OBJECT device);
    void Finish(const std::shared_ptr<IrpRecord>& record);
    void ReleaseIrpLocked(const std::shared_ptr<IrpRecord>& record);
    void DropCancelReference(const std::shared_ptr<IrpRecord>& record);
    BOOLEAN CancelIrpRecord(const std::shared_ptr<IrpRecord>& record);
    void BuryDeviceLocked(DeviceRecord* record);
    void FreeDeviceMemory(DeviceRecord* record);
    void ReleaseDriverObject(PDRIVER_OBJECT driver);

    std::shared_ptr<IoRequestState> Issue(FileHandle handle, const RequestArgs& args);
    std::shared_ptr<IoRequestState> IssueToFile(const std::shared_ptr<FileRecord>& file,
                                                const RequestArgs& args);
    void SendClose(const std::shared_ptr<FileRecord>& file);
    void ReleaseFileObject(const std::shared_ptr<FileRecord>& file);
    void PostPassive(std::function<void()> work);
    void RunPassiveWorkItem(PIO_WORKITEM item);
    void WorkerLoop();
    void ReportLeftovers();

    Machine& machine_;
    mutable std::mutex mutex_;
    std::condition_variable workChanged_; // passive work queued or finished (real time)
    KSPIN_LOCK cancelLock_ = 0;
    int progressHook_ = 0;

    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers_;
    std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices_; // deleted ones too
    std::deque<PDEVICE_OBJECT> deletedDevices_;
    std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> irps_; // live and quarantined
    std::deque<std::shared_ptr<IrpRecord>> irpQuarantine_;
    std::map<FileHandle, std::shared_ptr<FileRecord>> handles_;
    std::set<std::shared_ptr<FileRecord>> closing_; // handle closed, close not yet sent
    std::set<std::shared_ptr<FileRecord>> opening_; // create sent, no handle yet
    FileHandle nextHandle_ = 1;
    ULONGLONG nextSequence_ = 1;
    std::thread::id workerId_;
    std::set<PIO_WORKITEM> workItems_;
    std::deque<std::function<void()>> passiveWork_;
    size_t passiveRunning_ = 0;
    FaultSwitchboard<IoFault> faults_; // under mutex_
    std::thread worker_;
    bool stopping_ = false;
    std::atomic<IrpFinishObserver*> finishObserver_{nullptr};
};

struct IoManager::IrpRecord
{
    PIRP Irp = nullptr;
    void* Memory = nullptr; // the IRP, its guard location and its stack locations
    size_t Bytes = 0;
    CompletionCallback OnComplete;
    std::shared_ptr<FileRecord> File; // application requests
    void* SystemBuffer = nullptr;
    size_t SystemBufferBytes = 0;
    bool LimitInformation = false; // buffered read or control request
    ULONG OutputLength = 0;
    UCHAR Major = 0;
    UCHAR Minor = 0;
    ULONGLONG Sequence = 0; // allocation order
    // State, guarded by the manager's mutex.
    bool Finished = false;
    NTSTATUS FinalStatus = STATUS_PENDING;
    int CancelReferences = 0; // callers inside IoCancelIrp; the release waits for them
    bool ReleaseWhenUnreferenced = false;
    RequestTrack Track; // the verifier's, guarded by the manager's mutex too
};

struct IoManager::FileRecord
{
    PFILE_OBJECT Object = nullptr;
    PDEVICE_OBJECT Device = nullptr; // the device that was opened
    PDEVICE_OBJECT Target = nullptr; // top of its stack at open: where requests go
    std::u16string Name;
    std::string NarrowName; // for reports
    FileHandle Handle = INVALID_FILE_HANDLE;
    std::set<IrpRecord*> LiveIrps; // guarded by the manager's mutex
    bool Closing = false;
    bool CloseQueued = false;
};

struct IoManager::DriverRecord
{
    DRIVER_OBJECT Object;
    DRIVER_EXTENSION Extension;
    std::u16string DriverName; // \Driver\<name>
    std::u16string ServiceName;
    std::vector<ULONG> PoolTags;
    bool BuiltIn = false;
};

struct IoManager::DeviceRecord
{
    PDEVICE_OBJECT Device = nullptr;
    void* Memory = nullptr; // the object and its extension
    size_t Bytes = 0;
    std::u16string Name;
    bool Deleted = false;
    // Deleted while file objects still referenced it: the object and its extension stay
    // until the last of them is released, and requests on their handles still reach it.
    bool DeletePending = false;
    bool Poisoned = false;
    DEVICE_POWER_STATE PowerState = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE SystemState = PowerSystemWorking;
};

// TRUE while a dispatch routine runs in the context of an application's thread (a request
// the I/O manager issued for an application, other than a close).
bool InApplicationContext();

namespace io_detail {

// Fills released memory with a pattern and, under ASan, makes every access to it an error.
void Poison(void* memory, size_t bytes);
void Unpoison(void* memory, size_t bytes);
// The I/O manager's placeholder in every MajorFunction slot a driver leaves alone.
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

} // namespace io_detail

} // namespace qvx
