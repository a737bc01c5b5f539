// The application face of the platform: everything the host, the tests, the benchmarks and
// the fuzz targets use to run the driver, and nothing more. A Machine puts the components
// together (the executive, the I/O side and the verifier, in platform/executive, platform/io
// and platform/verifier) and answers for them: boot and shut down, the I/O an application
// does (open, send a request, wait, cancel, close), the registry, the names and the Plug and
// Play manager a test or the tool scripts, and the controls tests use (time, held DPCs,
// fault injection, violations, pool reports). Exactly one Machine exists at a time; the
// kernel face finds it without being told.
//
// Simulated mode: one logical processor (the thread that created the machine), simulated
// time that moves only in AdvanceTime or when a wait needs it, DPCs run whenever the IRQL
// drops below DISPATCH_LEVEL unless the test holds them.
// Real-time mode: several processor threads run DPCs at DISPATCH_LEVEL, the first also fires
// timers on the host's monotonic clock, waits block.
//
// Threads: every routine may be called from any thread unless it says otherwise.
#pragma once

#include <ntddk.h>

#include "platform/verifier/rules.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvx {

// ==== The machine's options and reports =======================================================

enum class MachineMode { Simulated, RealTime };

struct MachineOptions
{
    MachineMode Mode = MachineMode::Simulated;
    // Clock tick in 100-ns units: timers fire on tick boundaries. 0 means exact.
    LONGLONG TickLength = 10000;
    // Processor threads in real-time mode.
    unsigned Processors = 2;
    // TRUE: a verifier violation prints its rule and aborts the process (death tests catch
    // it). FALSE: violations are recorded for the test to inspect and execution goes on
    // where that is possible; a deadlock always aborts.
    bool AbortOnViolation = true;
    // Upper bound of simulated time a single wait may advance before it is reported as
    // a deadlock, in 100-ns units (default one hour).
    LONGLONG WaitTimeLimit = 36000LL * 1000 * 10000;
    // TRUE: the verifier's bookkeeping runs (lock order, held-lock lists, IRQL ceilings, the
    // requests' walk, pool poisoning). FALSE: a production machine, whose spin locks cost one
    // atomic each way; it keeps only what keeps the process safe: a deadlock, a lock released
    // by a processor that does not hold it and a corrupted or doubly freed pool block still
    // stop it with a message. The driver runs the same either way. Every test, fuzz target and
    // scenario keeps it on.
    bool Verify = true;
};

struct Violation
{
    qvx::Rule Rule;
    std::string Message;
};

struct PoolBlockInfo
{
    ULONG Tag;
    SIZE_T Size;
    POOL_TYPE Type;
    const void* Address;
};

// ==== I/O: drivers, devices and what applications do =========================================

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
    // Calls `notify` once the request has completed: at once on this thread when it has
    // already, else on the thread that completes it, at that thread's IRQL and after Done()
    // turns TRUE. One callback per request (a second replaces the first while pending); it
    // must neither block nor issue I/O. Lets a host follow many requests without a thread
    // waiting on each.
    void OnCompletion(std::function<void()> notify);
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

// Calls of the I/O manager's routines that a test can make fail.
enum class IoFault {
    CreateDevice,                // IoCreateDevice returns the status
    AttachDevice,                // IoAttachDeviceToDeviceStack returns NULL
    AllocateWorkItem,            // IoAllocateWorkItem returns NULL
    RegisterPlugPlayNotification // IoRegisterPlugPlayNotification returns the status
};

// The I/O manager: drivers, devices, requests, and the application side of I/O.
//
// Simulated mode: the application side runs on the test thread at PASSIVE_LEVEL and waits by
// driving the machine. Work items and deferred closes run at PASSIVE_LEVEL from any blocked
// wait, at the end of every application call and PnP operation, and from RunPassiveWork.
// Real-time mode: they run on a worker thread and the application calls block.
class IoManager
{
  public:
    // --- Drivers -------------------------------------------------------------------------
    // Creates the driver object (every major function rejected by the default routine),
    // makes sure the service key exists and calls DriverEntry with
    // \Registry\Machine\System\CurrentControlSet\Services\<serviceName> at PASSIVE_LEVEL.
    // NULL when DriverEntry fails (its status goes to `status`). `poolTags` names the
    // driver's pool tags for the leak check at unload; empty means every outstanding block.
    virtual PDRIVER_OBJECT LoadDriver(std::u16string_view serviceName,
                                      PDRIVER_INITIALIZE driverEntry, NTSTATUS* status = nullptr,
                                      std::vector<ULONG> poolTags = {}) = 0;
    // Calls DriverUnload and releases the driver object, then reports what the driver left
    // behind (pool, work items, timers, DPCs, registry keys, callback registrations).
    // Refused with STATUS_INVALID_DEVICE_STATE while the driver has a device object
    // (delete-pending ones too), and with STATUS_INVALID_DEVICE_REQUEST when it has no unload
    // routine.
    virtual NTSTATUS UnloadDriver(PDRIVER_OBJECT driver) = 0;
    // A driver object for a driver built into the platform (a test's bus or filter): no
    // DriverEntry, no service key. Released by ReleaseBuiltInDriver or at teardown.
    virtual PDRIVER_OBJECT CreateBuiltInDriver(std::u16string_view name) = 0;
    virtual void ReleaseBuiltInDriver(PDRIVER_OBJECT driver) = 0;
    virtual bool IsDriverLoaded(PDRIVER_OBJECT driver) const = 0;

    // --- Devices -----------------------------------------------------------------------
    // A device object that exists and has not been deleted.
    virtual bool IsDeviceLive(PDEVICE_OBJECT device) const = 0;
    // Deleted while file objects referenced it, and not yet released.
    virtual bool IsDeletePending(PDEVICE_OBJECT device) const = 0;
    virtual std::u16string DeviceName(PDEVICE_OBJECT device) const = 0;
    // What PoSetPowerState recorded (PowerDeviceUnspecified until then).
    virtual DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device) const = 0;
    // The devices attached above `bottom`, bottom up.
    virtual std::vector<PDEVICE_OBJECT> DevicesAbove(PDEVICE_OBJECT bottom) const = 0;

    // --- Requests built by tests -------------------------------------------------------
    // Called once, past the top of the stack, with the IRP still readable; at the IRQL of
    // whoever completed it. The IRP is released right after.
    using CompletionCallback = std::function<void(PIRP irp)>;
    // An IRP of `stackSize` locations, positioned before the top driver, IoStatus zero.
    // The caller fills IoGetNextIrpStackLocation and calls IofCallDriver; the manager
    // releases the IRP at its final completion. NULL for a size outside 1..64.
    virtual PIRP AllocateIrp(CCHAR stackSize, CompletionCallback onComplete = {}) = 0;
    // Requests not yet finally completed; with a device, only those it holds (its stack
    // location is current or above the current one).
    virtual size_t OutstandingIrps(PDEVICE_OBJECT device = nullptr) const = 0;

    // --- Application side ----------------------------------------------------------------
    // Opens a name such as \\.\COM5, \??\COM5 or \Device\X: one file object per open,
    // IRP_MJ_CREATE to the top of the device's stack with Parameters.Create.Options =
    // createOptions (the disposition FILE_OPEN is added when the top byte is 0).
    // INVALID_FILE_HANDLE on failure, with the reason in `status`.
    virtual FileHandle Open(std::u16string_view name, ULONG createOptions = 0,
                            NTSTATUS* status = nullptr) = 0;
    virtual IoResult Read(FileHandle handle, ULONG length) = 0;
    virtual IoResult Write(FileHandle handle, const std::vector<UCHAR>& data) = 0;
    virtual IoResult Flush(FileHandle handle) = 0;
    virtual IoResult DeviceIoControl(FileHandle handle, ULONG code, const std::vector<UCHAR>& input,
                                     ULONG outputLength) = 0;
    virtual IoResult Send(FileHandle handle, const RequestArgs& args) = 0;
    virtual IoRequestPtr ReadAsync(FileHandle handle, ULONG length) = 0;
    virtual IoRequestPtr WriteAsync(FileHandle handle, const std::vector<UCHAR>& data) = 0;
    virtual IoRequestPtr FlushAsync(FileHandle handle) = 0;
    virtual IoRequestPtr DeviceIoControlAsync(FileHandle handle, ULONG code,
                                              const std::vector<UCHAR>& input,
                                              ULONG outputLength) = 0;
    virtual IoRequestPtr SendAsync(FileHandle handle, const RequestArgs& args) = 0;
    // Cancels every outstanding request of the handle with IoCancelIrp.
    virtual NTSTATUS CancelIo(FileHandle handle) = 0;
    // Cancels this one request, as CancelIoEx with its OVERLAPPED does; FALSE when it has
    // completed already. Safe against a completion on another processor: an IRP that has
    // completed is never the one cancelled, even if its memory is reused.
    virtual bool CancelRequest(const IoRequestPtr& request) = 0;
    // IRP_MJ_CLEANUP now; IRP_MJ_CLOSE once every request of the file object has completed
    // (at once when none is outstanding, else later at PASSIVE_LEVEL).
    virtual NTSTATUS Close(FileHandle handle) = 0;
    virtual PFILE_OBJECT FileObjectOf(FileHandle handle) const = 0;
    // Open handles, or with a device only those whose stack it belongs to.
    virtual size_t OpenHandleCount(PDEVICE_OBJECT device = nullptr) const = 0;
    // File objects whose handle is closed but whose IRP_MJ_CLOSE has not been sent yet.
    virtual size_t PendingCloseCount() const = 0;

    // --- Passive-level work ----------------------------------------------------------------
    // Simulated mode: runs queued work items and deferred closes if the IRQL is
    // PASSIVE_LEVEL; returns how many ran. Real-time mode: waits until the worker is idle.
    virtual size_t RunPassiveWork() = 0;
    virtual size_t QueuedWorkCount() const = 0;
    // Simulated mode at PASSIVE_LEVEL: what a return to the application lets run (queued
    // passive work). Called after every application call and PnP operation.
    virtual void AfterApplicationCall() = 0;

    // --- Fault injection -------------------------------------------------------------------
    // Make the nth call from now (1 = the next one) of that routine fail.
    // Whether applications hold the privileges a driver may ask for with
    // SeSinglePrivilegeCheck (by default they do, as an administrator's programs would).
    virtual void SetCallersPrivileged(bool privileged) = 0;
    virtual void InjectFailure(IoFault fault, ULONG nth = 1,
                               NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES) = 0;
    virtual void ClearFailures() = 0;

  protected:
    IoManager() = default;
    ~IoManager() = default;
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;
};

// ==== The object namespace: callback objects, device names, links, device interfaces ==========

// Pool tag of the strings the system hands to drivers (device-interface names). It is never
// the driver's tag, so freeing such a string with ExFreePoolWithTag and the driver's tag is a
// tag mismatch; RtlFreeUnicodeString is the right way. Reads "Ustr" in memory.
constexpr ULONG SYSTEM_STRING_TAG = 'U' | ('s' << 8) | ('t' << 16) | (ULONG('r') << 24);

// UTF-8 <-> UTF-16 for names and messages; malformed input becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Calls of the namespace's routines that a test can make fail.
enum class NamespaceFault {
    CreateCallback,         // ExCreateCallback returns the status
    RegisterCallback,       // ExRegisterCallback returns NULL
    CreateSymbolicLink,     // IoCreateSymbolicLink returns the status
    RegisterDeviceInterface // IoRegisterDeviceInterface returns the status
};

struct CallbackRegistrationInfo
{
    std::u16string ObjectName;
    PCALLBACK_FUNCTION Function;
    PVOID Context;
    PDRIVER_OBJECT Owner; // the driver that registered; NULL: the host's own code
};

struct SymbolicLinkInfo
{
    std::u16string Name; // as created, e.g. \??\COM5
    std::u16string Target;
};

struct DeviceInterfaceInfo
{
    PDEVICE_OBJECT Pdo;
    GUID ClassGuid;
    std::u16string ReferenceString;
    std::u16string SymbolicLinkName; // \??\ROOT#PORTS#0000#{...}
    bool Enabled;
};

// One flat table of full names (compared case-insensitively) stands in for the object
// manager's directories; `\DosDevices\` and `\GLOBAL??\` are folded into `\??\`.
class ObjectNamespace
{
  public:
    // --- Fault injection -------------------------------------------------------------------
    // Make the nth call from now (1 = the next one) of that routine fail with `status`
    // (ExRegisterCallback fails with NULL). One pending failure per routine.
    virtual void InjectFailure(NamespaceFault fault, ULONG nth = 1,
                               NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES) = 0;
    virtual void ClearFailures() = 0;

    // --- Callback objects ------------------------------------------------------------------
    // The live callback object of that name, or NULL.
    virtual PCALLBACK_OBJECT FindCallback(std::u16string_view name) const = 0;
    // Live registrations on the named object (0 when there is no such object).
    virtual size_t RegistrationCount(std::u16string_view name) const = 0;
    // References held on the object (a permanent object may sit at 0).
    virtual LONG_PTR ReferenceCount(PCALLBACK_OBJECT object) const = 0;
    // Every live registration on every object, in registration order per object.
    virtual std::vector<CallbackRegistrationInfo> Registrations() const = 0;

    // --- Device names ----------------------------------------------------------------------
    // STATUS_OBJECT_NAME_COLLISION when the name exists, STATUS_OBJECT_NAME_INVALID for a
    // malformed name, STATUS_OBJECT_PATH_NOT_FOUND when its directory does not exist.
    virtual NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device) = 0;
    // STATUS_OBJECT_NAME_NOT_FOUND when no device has that name.
    virtual NTSTATUS RemoveDevice(std::u16string_view name) = 0;
    virtual PDEVICE_OBJECT LookupDevice(std::u16string_view name) const = 0;

    // --- Names for applications ------------------------------------------------------------
    // Resolves `\\.\COM5`, `\\?\...`, `\??\COM5`, `\DosDevices\COM5`, a device name or an
    // enabled interface name, following symbolic links; NULL when it leads nowhere.
    virtual PDEVICE_OBJECT ResolveForOpen(std::u16string_view name) const = 0;
    virtual std::vector<SymbolicLinkInfo> SymbolicLinks() const = 0;
    virtual std::optional<std::u16string> LinkTarget(std::u16string_view linkName) const = 0;

    // --- Device interfaces -------------------------------------------------------------------
    // The PnP manager tells the namespace each PDO's instance path (e.g. ROOT\PORTS\0000).
    // Without a provider, or when it returns an empty string, PDOs are numbered in the
    // order they first register an interface: ROOT\PORTS\0000, ROOT\PORTS\0001, ...
    // (numbers are not reused).
    using InstancePathProvider = std::function<std::u16string(PDEVICE_OBJECT)>;
    virtual void SetInstancePathProvider(InstancePathProvider provider) = 0;
    // Symbolic-link names of the enabled interfaces of a class, in registration order.
    virtual std::vector<std::u16string> EnabledInterfaces(const GUID& classGuid) const = 0;
    virtual std::vector<DeviceInterfaceInfo> DeviceInterfaces() const = 0;
    // Forgets the PDO's interfaces (the PnP manager calls it when it deletes the PDO) and
    // returns the names of those that were still enabled.
    virtual std::vector<std::u16string> RemoveDeviceInterfaces(PDEVICE_OBJECT pdo) = 0;

  protected:
    ObjectNamespace() = default;
    ~ObjectNamespace() = default;
    ObjectNamespace(const ObjectNamespace&) = delete;
    ObjectNamespace& operator=(const ObjectNamespace&) = delete;
};

// ==== The registry ==============================================================================

// A registry path, value name or string, written in UTF-8 or UTF-16.
class RegText
{
  public:
    RegText(const char* text);
    RegText(const std::string& text);
    RegText(const char16_t* text);
    RegText(std::u16string text);
    RegText(std::u16string_view text);

    const std::u16string& Text() const { return text_; }

  private:
    std::u16string text_;
};

struct RegValue
{
    std::u16string Name; // empty: the key's default value
    ULONG Type;
    std::vector<UCHAR> Data;
};

struct RegOpenHandle
{
    HANDLE Handle;
    std::u16string Path;
    ACCESS_MASK Access;
    PDRIVER_OBJECT Owner; // the driver that opened it; NULL: the host's own code
};

struct RegLoadResult
{
    bool Ok;
    std::string Error; // "line 7: ..." (a file adds its path in front)
    int Line;          // of the error, 0 when none or not about a line

    explicit operator bool() const { return Ok; }
};

// Calls of the registry's routines that a test can make fail.
enum class RegistryFault {
    OpenKey,      // ZwOpenKey
    WriteValue,   // RtlWriteRegistryValue
    OpenDeviceKey // IoOpenDeviceRegistryKey
};

// Keys live in one tree under \Registry (names compared case-insensitively, kept in the case
// they were created with). Paths are kernel paths (\Registry\Machine\System\...) or start
// with a hive root as .reg files write them (HKEY_LOCAL_MACHINE\System\..., HKLM\...).
class Registry
{
  public:
    // --- Keys ------------------------------------------------------------------------------
    // Creates the key and any missing parent; FALSE for a malformed path.
    virtual bool CreateKey(const RegText& path) = 0;
    // Deletes the key with its subkeys; FALSE when it does not exist. Handles open on a
    // deleted key answer STATUS_KEY_DELETED.
    virtual bool DeleteKey(const RegText& path) = 0;
    virtual bool KeyExists(const RegText& path) const = 0;

    // --- Values ----------------------------------------------------------------------------
    // The setters create the key; FALSE for a malformed path.
    virtual bool SetValue(const RegText& path, const RegText& name, ULONG type,
                          std::vector<UCHAR> data) = 0;
    // Stored with its terminating NUL, as the Windows tools store strings.
    virtual bool SetString(const RegText& path, const RegText& name, const RegText& text,
                           ULONG type = REG_SZ) = 0;
    virtual bool SetDword(const RegText& path, const RegText& name, ULONG value) = 0;
    // FALSE when the key or the value does not exist.
    virtual bool DeleteValue(const RegText& path, const RegText& name) = 0;
    virtual std::optional<RegValue> GetValue(const RegText& path, const RegText& name) const = 0;
    // A REG_DWORD of four bytes.
    virtual std::optional<ULONG> GetDword(const RegText& path, const RegText& name) const = 0;
    // A REG_SZ or REG_EXPAND_SZ, up to its first NUL.
    virtual std::optional<std::u16string> GetString(const RegText& path,
                                                    const RegText& name) const = 0;
    // In the order the values were first written.
    virtual std::vector<RegValue> ListValues(const RegText& path) const = 0;

    // --- .reg files ------------------------------------------------------------------------
    // REGEDIT4 or "Windows Registry Editor Version 5.00" text (UTF-8, or UTF-16LE with its
    // byte-order mark). The whole text is checked first; on an error nothing is applied.
    virtual RegLoadResult LoadRegText(const std::string& text) = 0;
    virtual RegLoadResult LoadRegFile(const std::string& path) = 0;

    // --- Device keys -----------------------------------------------------------------------
    // The PDO's hardware key (PLUGPLAY_REGKEY_DEVICE); the key is created.
    virtual void SetDeviceKeyPath(PDEVICE_OBJECT pdo, const RegText& path) = 0;

    // --- Handles and fault injection -------------------------------------------------------
    // Handles opened through the kernel face and not closed yet, oldest first.
    virtual std::vector<RegOpenHandle> OpenHandles() const = 0;
    // Make the nth call from now (1 = the next one) of that routine fail with `status`.
    virtual void InjectFailure(RegistryFault fault, ULONG nth = 1,
                               NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES) = 0;
    virtual void ClearFailures() = 0;

  protected:
    Registry() = default;
    ~Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
};

// ==== Plug and Play: the root bus, its devices and their stacks ===============================

// How the bus completes what reaches its PDO.
enum class BusCompletion {
    Synchronous, // inside its dispatch routine
    Timer,       // marked pending, completed from a timer DPC after the bus delay
    Manual       // marked pending, completed when the test calls CompleteHeldIrps
};

struct BusDeviceConfig
{
    std::u16string InstanceId = u"ROOT\\PORTS\\0000";
    // REG_SZ values of the device's hardware key, for example {u"PortName", u"COM5"}.
    std::vector<std::pair<std::u16string, std::u16string>> HardwareValues;
    // Start resources (raw and translated alike); empty: the start carries no lists.
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Resources;
    // Pass-through filter drivers put below and above the function driver, as LowerFilters
    // and UpperFilters values of the device would.
    unsigned LowerFilters = 0;
    unsigned UpperFilters = 0;
};

// A request as it reached the bus driver.
struct BusArrival
{
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    NTSTATUS StatusOnArrival;
};

// Where the PnP manager believes a device stands.
enum class PnpState {
    Enumerated, // PDO only, no function driver
    NotStarted, // AddDevice succeeded
    Started,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved,
    Removed
};

// What one filter device passed on.
struct FilterActivity
{
    bool Upper = false;
    std::vector<UCHAR> Majors; // every request's major function, in arrival order
    size_t CompletionsRun = 0; // its completion routine ran (once per request passed on)
    size_t Outstanding = 0;    // passed on and not yet finally completed
    bool Removed = false;      // detached and deleted at IRP_MN_REMOVE_DEVICE
};

// The pass-through filter drivers the PnP manager puts in the stacks it builds.
class FilterDriver
{
  public:
    virtual FilterActivity Activity(PDEVICE_OBJECT filter) const = 0;

  protected:
    FilterDriver() = default;
    ~FilterDriver() = default;
    FilterDriver(const FilterDriver&) = delete;
    FilterDriver& operator=(const FilterDriver&) = delete;
};

// The root bus (a built-in driver with one PDO per configured device) and the Plug and Play
// manager, which sends each request at PASSIVE_LEVEL to the top of the device's stack with
// IoStatus STATUS_NOT_SUPPORTED / 0 and waits for its completion. The script calls come from
// one thread at a time.
class PnpManager
{
  public:
    // --- The root bus ------------------------------------------------------------------------
    // Creates the PDO and its hardware key (the instance's "Device Parameters" key under
    // \Registry\Machine\System\CurrentControlSet\Enum) with the configured values. NULL for
    // an empty instance id or one already in use.
    virtual PDEVICE_OBJECT CreatePdo(const BusDeviceConfig& config) = 0;
    // The device leaves the bus. STATUS_INVALID_DEVICE_STATE while a function device is
    // still attached to it.
    virtual NTSTATUS DeletePdo(PDEVICE_OBJECT pdo) = 0;
    virtual void SetBusCompletion(PDEVICE_OBJECT pdo, BusCompletion mode,
                                  LONGLONG delay100ns = 10000) = 0;
    // The next IRP_MN_START_DEVICE reaching the PDO fails with `status`.
    virtual void FailNextStart(PDEVICE_OBJECT pdo, NTSTATUS status = STATUS_UNSUCCESSFUL) = 0;
    // Completes the requests the PDO holds (any mode); returns how many.
    virtual size_t CompleteHeldIrps(PDEVICE_OBJECT pdo) = 0;
    virtual size_t HeldIrpCount(PDEVICE_OBJECT pdo) const = 0;
    virtual std::vector<BusArrival> BusLog(PDEVICE_OBJECT pdo) const = 0;
    virtual void ClearBusLog(PDEVICE_OBJECT pdo) = 0;
    virtual std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo) const = 0;

    // --- Function driver ---------------------------------------------------------------------
    // Attaches the configured lower filters, calls the driver's AddDevice for the PDO at
    // PASSIVE_LEVEL, then attaches the upper filters (the order in which Windows loads them).
    virtual NTSTATUS AddDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) = 0;
    // The device the function driver attached to the PDO's stack (the first one above the
    // PDO that is not a filter), else NULL.
    virtual PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo) const = 0;
    // The filter devices of the PDO's stack below (lower) or above (upper) the function
    // device, bottom up; empty once removed.
    virtual std::vector<PDEVICE_OBJECT> FilterDevices(PDEVICE_OBJECT pdo, bool upper) const = 0;
    virtual FilterDriver& Filters() = 0;
    virtual PnpState State(PDEVICE_OBJECT pdo) const = 0;

    // --- Scripted sequences ------------------------------------------------------------------
    // CreatePdo, AddDevice and Start.
    virtual NTSTATUS Enumerate(const BusDeviceConfig& config, PDRIVER_OBJECT driver,
                               PDEVICE_OBJECT* pdo = nullptr) = 0;
    // (IRP_MN_FILTER_RESOURCE_REQUIREMENTS,) IRP_MN_START_DEVICE, then on success the
    // capability, device-state and bus-relation queries; a failed start is followed by
    // IRP_MN_REMOVE_DEVICE.
    virtual NTSTATUS Start(PDEVICE_OBJECT pdo, bool filterResourceRequirements = true) = 0;
    virtual NTSTATUS QueryStop(PDEVICE_OBJECT pdo) = 0;
    virtual NTSTATUS Stop(PDEVICE_OBJECT pdo) = 0;
    virtual NTSTATUS CancelStop(PDEVICE_OBJECT pdo) = 0;
    // Query-stop, then stop and start again; cancel-stop when the query fails.
    virtual NTSTATUS Rebalance(PDEVICE_OBJECT pdo) = 0;
    virtual NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) = 0;
    // Sends no removal while handles to the device are open: refused with
    // STATUS_INVALID_DEVICE_STATE after a surprise removal (the removal waits for the last
    // handle), vetoed with STATUS_PLUGPLAY_QUERY_VETOED otherwise.
    virtual NTSTATUS Remove(PDEVICE_OBJECT pdo) = 0;
    virtual NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) = 0;
    // Query-remove, then remove; cancel-remove when a driver refuses the query or an open
    // handle vetoes the removal (STATUS_PLUGPLAY_QUERY_VETOED either way, the device stays
    // started).
    virtual NTSTATUS Disable(PDEVICE_OBJECT pdo) = 0;
    virtual NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) = 0;
    // Version 1, Size 64, Address and UINumber 0xFFFFFFFF; the result is copied out.
    virtual NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo,
                                       DEVICE_CAPABILITIES* capabilities = nullptr) = 0;

    // --- Single requests ---------------------------------------------------------------------
    virtual NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information = nullptr) = 0;
    virtual NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                               POWER_STATE state) = 0;
    // Parameters.WMI.Buffer and BufferSize are `buffer` and `bufferSize` (none by default);
    // the information of the completion goes to `information`.
    virtual NTSTATUS SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR providerId,
                                       void* buffer = nullptr, ULONG bufferSize = 0,
                                       ULONG_PTR* information = nullptr) = 0;

  protected:
    PnpManager() = default;
    ~PnpManager() = default;
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;
};

// ==== The machine
// =================================================================================

// Boots the platform (verifier, executive, pool, I/O side) in its constructor and shuts it down
// in its destructor, which reports the requests still outstanding.
class Machine
{
  public:
    explicit Machine(const MachineOptions& options = MachineOptions());
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine of this process; aborts when none exists.
    static Machine& Current();
    static Machine* TryCurrent();

    MachineMode Mode() const { return options_.Mode; }
    const MachineOptions& Options() const { return options_; }

    // --- Time ---------------------------------------------------------------------------
    // Interrupt time in 100-ns units since the machine started.
    LONGLONG Now() const;
    LONGLONG NowMs() const { return Now() / 10000; }
    // Simulated mode: advance the clock, firing due timers in order and draining DPCs after
    // each. Real-time mode: sleeps.
    void AdvanceTime(LONGLONG delta100ns);
    void AdvanceMs(LONGLONG ms) { AdvanceTime(ms * 10000); }
    // Advance to the next due timer and fire it; FALSE when no timer is set.
    bool AdvanceToNextTimer();
    // Due time (interrupt time) of the earliest set timer, or -1 when none is set.
    LONGLONG NextTimerDue() const;
    // Timers currently set (in the timer queue).
    size_t SetTimerCount() const;
    // What the clock has cost so far: its wake-ups (real time: ends of a timed wait), the
    // passes that expired timers, the expiries. The timers of one tick cost one wake-up and
    // one pass, a tick in which nothing is due none.
    struct ClockCounts
    {
        ULONGLONG Wakeups = 0;
        ULONGLONG Passes = 0;
        ULONGLONG Expiries = 0;
    };
    ClockCounts ClockCounters() const;
    LONGLONG TickLength() const;
    void SetTickLength(LONGLONG ticks100ns);
    // The system-time value (100 ns since 1601) that interrupt time 0 corresponds to.
    static constexpr LONGLONG SYSTEM_TIME_BASE = 125911584000000000LL; // 2000-01-01

    // --- DPCs (simulated mode) ---------------------------------------------------------
    // While held, queued DPCs stay queued until released or run one by one.
    void HoldDpcs(bool hold);
    bool DpcsHeld() const;
    size_t QueuedDpcCount() const;
    bool IsDpcQueued(const KDPC* dpc) const;
    // Run the oldest queued DPC (even while held); FALSE when none is queued.
    bool RunNextDpc();
    // Run one particular queued DPC now; FALSE when it is not queued.
    bool RunDpc(PKDPC dpc);
    // Run queued DPCs until none is left (even while held).
    void DrainDpcs();
    // Real-time mode: wait until no DPC is queued or running and no timer is due.
    void Quiesce();

    // --- Waits (simulated mode) --------------------------------------------------------
    // A hook is called by a blocked wait; it returns TRUE if it made progress.
    using ProgressHook = std::function<bool()>;
    int AddProgressHook(ProgressHook hook);
    void RemoveProgressHook(int id);
    // Run progress hooks and DPCs and advance time until `done` returns TRUE; reports a
    // deadlock (what) when nothing can make progress.
    void RunUntil(const std::function<bool()>& done, const char* what);

    // --- Pool ---------------------------------------------------------------------------
    // Fail the n-th allocation from now on (1 = the next one); 0 turns it off.
    void FailNthAllocation(ULONG n);
    // Fail every allocation with this tag until cleared (0 clears).
    void FailAllocationsWithTag(ULONG tag);
    ULONG AllocationCount() const;                 // allocations made since the machine started
    size_t OutstandingBlocks(ULONG tag = 0) const; // 0 = every tag
    size_t OutstandingBytes(ULONG tag = 0) const;
    std::vector<PoolBlockInfo> OutstandingPool() const;
    // A report of every block still allocated, listed by tag; empty when none.
    std::string PoolReport() const;

    // --- Verifier -----------------------------------------------------------------------
    std::vector<Violation> Violations() const;
    void ClearViolations();
    bool HasViolation(Rule rule) const;
    // Removes the oldest recorded violation of `rule`; FALSE when none was recorded.
    bool TakeViolation(Rule rule);
    // Switches between aborting on the first violation and recording violations.
    void SetAbortOnViolation(bool abort);
    // A name for a spin lock in lock-order reports (otherwise the lock is described by the
    // pool block or device extension that holds it).
    void NameSpinLock(const KSPIN_LOCK* lock, const std::string& name);

    // --- Trace sink ---------------------------------------------------------------------
    // Receives every trace message that passed the driver's filter (host build only). Calls
    // are serialised, also in real-time mode.
    using TraceSink = std::function<void(ULONG component, ULONG level, const char* text)>;
    void SetTraceSink(TraceSink sink);
    void EmitTrace(ULONG component, ULONG level, const char* text);

    // --- The I/O side ---------------------------------------------------------------------
    IoManager& Io();
    ObjectNamespace& Names();
    Registry& Reg();
    PnpManager& Pnp();

  private:
    struct Parts; // the components, built and torn down in order
    MachineOptions options_;
    std::unique_ptr<Parts> parts_;
};

// Raises the current thread to DISPATCH_LEVEL for its lifetime (peers notify at that level).
class DispatchLevelScope
{
  public:
    DispatchLevelScope() { old_ = KfRaiseIrql(DISPATCH_LEVEL); }
    ~DispatchLevelScope() { KfLowerIrql(old_); }
    DispatchLevelScope(const DispatchLevelScope&) = delete;
    DispatchLevelScope& operator=(const DispatchLevelScope&) = delete;

  private:
    KIRQL old_;
};

} // namespace qvx
