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
// scheduler's progress hook (any blocked wait), at the end of every application call and PnP
// operation, and from RunPassiveWork. Real-time mode: they run on a worker thread and the
// application calls block on the completion.
#pragma once

#include "platform/io/faults.h"
#include "platform/io/io.h"
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

class IoManagerImpl final : public IoManager
{
  public:
    explicit IoManagerImpl(IoSide& side);
    ~IoManagerImpl();

    // --- The application face (platform/machine/machine.h) ---------------------------------
    PDRIVER_OBJECT LoadDriver(std::u16string_view serviceName, PDRIVER_INITIALIZE driverEntry,
                              NTSTATUS* status = nullptr,
                              std::vector<ULONG> poolTags = {}) override;
    NTSTATUS UnloadDriver(PDRIVER_OBJECT driver) override;
    PDRIVER_OBJECT CreateBuiltInDriver(std::u16string_view name) override;
    void ReleaseBuiltInDriver(PDRIVER_OBJECT driver) override;
    bool IsDriverLoaded(PDRIVER_OBJECT driver) const override;
    bool IsDeviceLive(PDEVICE_OBJECT device) const override;
    bool IsDeletePending(PDEVICE_OBJECT device) const override;
    std::u16string DeviceName(PDEVICE_OBJECT device) const override;
    DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device) const override;
    std::vector<PDEVICE_OBJECT> DevicesAbove(PDEVICE_OBJECT bottom) const override;
    PIRP AllocateIrp(CCHAR stackSize, CompletionCallback onComplete = {}) override;
    size_t OutstandingIrps(PDEVICE_OBJECT device = nullptr) const override;
    FileHandle Open(std::u16string_view name, ULONG createOptions = 0,
                    NTSTATUS* status = nullptr) override;
    IoResult Read(FileHandle handle, ULONG length) override;
    IoResult Write(FileHandle handle, const std::vector<UCHAR>& data) override;
    IoResult Flush(FileHandle handle) override;
    IoResult DeviceIoControl(FileHandle handle, ULONG code, const std::vector<UCHAR>& input,
                             ULONG outputLength) override;
    IoResult Send(FileHandle handle, const RequestArgs& args) override;
    IoRequestPtr ReadAsync(FileHandle handle, ULONG length) override;
    IoRequestPtr WriteAsync(FileHandle handle, const std::vector<UCHAR>& data) override;
    IoRequestPtr FlushAsync(FileHandle handle) override;
    IoRequestPtr DeviceIoControlAsync(FileHandle handle, ULONG code,
                                      const std::vector<UCHAR>& input, ULONG outputLength) override;
    IoRequestPtr SendAsync(FileHandle handle, const RequestArgs& args) override;
    NTSTATUS CancelIo(FileHandle handle) override;
    bool CancelRequest(const IoRequestPtr& request) override;
    NTSTATUS Close(FileHandle handle) override;
    PFILE_OBJECT FileObjectOf(FileHandle handle) const override;
    size_t OpenHandleCount(PDEVICE_OBJECT device = nullptr) const override;
    size_t PendingCloseCount() const override;
    size_t RunPassiveWork() override;
    size_t QueuedWorkCount() const override;
    void AfterApplicationCall() override;
    void SetCallersPrivileged(bool privileged) override;
    void InjectFailure(IoFault fault, ULONG nth = 1,
                       NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES) override;
    void ClearFailures() override;

    // --- For the other I/O components -------------------------------------------------------
    // The top of the stack that `device` belongs to (following AttachedDevice).
    PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) const;
    // "(extension of device <p> + offset)" for an address inside a live device's extension;
    // empty otherwise.
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
    // One observer at a time (NULL removes it); it must outlive its registration.
    void SetFinishObserver(IrpFinishObserver* observer);
    // Runs `work` at PASSIVE_LEVEL: the system worker (real time) or the next passive point.
    void PostPassive(std::function<void()> work);
    // TRUE, with the status to fail with, when an injected failure of that routine is due.
    bool ConsumeFault(IoFault fault, NTSTATUS* status);
    // SeSinglePrivilegeCheck: kernel-mode callers hold every privilege.
    bool CallerHoldsPrivilege(KPROCESSOR_MODE mode) const
    {
        return mode == KernelMode || callersPrivileged_.load(std::memory_order_relaxed);
    }

    // --- Kernel face: the routines of io_routines.cpp and po.cpp --------------------------
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
    // A deleted device's memory: checked for live timers and DPCs, then poisoned and kept a
    // while if nothing was found in it.
    void BuryIfClean(DeviceRecord* record);
    void BuryDeviceLocked(DeviceRecord* record);
    void FreeDeviceMemory(DeviceRecord* record);
    void ReleaseDriverObject(PDRIVER_OBJECT driver);
    void CollectLeftovers(PDRIVER_OBJECT driver, const std::vector<ULONG>& tags, bool alone,
                          UnloadLeftovers* left);

    std::shared_ptr<IoRequestState> Issue(FileHandle handle, const RequestArgs& args);
    std::shared_ptr<IoRequestState> IssueToFile(const std::shared_ptr<FileRecord>& file,
                                                const RequestArgs& args);
    void SendClose(const std::shared_ptr<FileRecord>& file);
    void ReleaseFileObject(const std::shared_ptr<FileRecord>& file);
    void RunPassiveWorkItem(PIO_WORKITEM item);
    void WorkerLoop();
    void ReportLeftovers();

    IoSide& side_;
    const bool simulated_; // the executive's scheduler is the simulated one
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
    std::atomic<bool> callersPrivileged_{true};
};

struct IoManagerImpl::IrpRecord
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

struct IoManagerImpl::FileRecord
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

struct IoManagerImpl::DriverRecord
{
    DRIVER_OBJECT Object;
    DRIVER_EXTENSION Extension;
    std::u16string DriverName; // \Driver\<name>
    std::u16string ServiceName;
    std::vector<ULONG> PoolTags;
    bool BuiltIn = false;
};

struct IoManagerImpl::DeviceRecord
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

// Location 0 of an IRP's stack. The guard location sits between the IRP and location 0, so a
// driver that writes the "next" location of the lowest driver hits the guard instead of the
// IRP.
inline PIO_STACK_LOCATION StackBase(PIRP irp)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<char*>(irp) + sizeof(IRP)) + 1;
}

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
