// The object namespace: callback objects, device names, symbolic links and device
// interfaces. One flat table of full names (compared case-insensitively) stands in for the
// object manager's directories; `\DosDevices\` and `\GLOBAL??\` are folded into `\??\`.
//
// Lifetime: every object lives as long as the machine. A temporary callback object that
// drops to zero references leaves the namespace but keeps its memory, so a late reference
// through a stale pointer is reported instead of touching freed memory.
//
// Threads: every routine may be called from any thread; one mutex guards the tables and is
// never held while a callback routine runs or while pool is allocated or freed.
//
// Verifier rules reported: IRQL_TOO_HIGH, INVALID_CALLBACK_OBJECT (register or notify on a
// pointer that is no live callback object), INVALID_CALLBACK_REGISTRATION (unknown or
// already unregistered handle), CALLBACK_UNREGISTERED_IN_CALLBACK, CALLBACK_IRQL_MISMATCH
// (a routine returned at another IRQL), INVALID_OBJECT_REFERENCE (unknown object, or more
// dereferences than references).
#pragma once

#include "platform/io/faults.h"
#include "platform/machine/machine.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {
struct CallbackRegistration;
}

// The platform's callback object; opaque to the driver. Guarded by the namespace's mutex.
struct _CALLBACK_OBJECT
{
    std::u16string Name; // as created
    std::u16string Key;  // upper-cased, the namespace's index
    bool Permanent;
    bool AllowMultiple;
    bool Deleted; // a temporary object that reached zero references
    LONG_PTR References;
    qvx::CallbackRegistration* Head; // registrations in registration order
    qvx::CallbackRegistration* Tail;
};

namespace qvx {

// A registration stays in its object's list until it is unregistered and no call of it is
// in progress (Busy counts those calls), so a notification can walk on from it safely.
struct CallbackRegistration
{
    _CALLBACK_OBJECT* Object;
    CallbackRegistration* Next;
    CallbackRegistration* Prev;
    PCALLBACK_FUNCTION Function;
    PVOID Context;
    ULONG Busy;
    bool Unregistered;
    bool RemoveWhenIdle; // unregistered while a call of it runs on the unregistering thread
};

// Pool tag of the strings the system hands to drivers (device-interface names). It is never
// the driver's tag, so freeing such a string with ExFreePoolWithTag and the driver's tag is a
// tag mismatch; RtlFreeUnicodeString is the right way. Reads "Ustr" in memory.
constexpr ULONG SYSTEM_STRING_TAG = 'U' | ('s' << 8) | ('t' << 16) | (ULONG('r') << 24);

// UTF-8 <-> UTF-16 for names and messages; malformed input becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Upper case as the object manager and the registry compare names (ASCII and Latin-1).
std::u16string Upcase(std::u16string_view text);

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

class ObjectNamespace
{
  public:
    explicit ObjectNamespace(Machine& machine);
    ~ObjectNamespace();
    ObjectNamespace(const ObjectNamespace&) = delete;
    ObjectNamespace& operator=(const ObjectNamespace&) = delete;

    // --- Fault injection -----------------------------------------------------------------
    // Make the nth call from now (1 = the next one) of that routine fail with `status`
    // (ExRegisterCallback fails with NULL). One pending failure per routine.
    void InjectFailure(NamespaceFault fault, ULONG nth = 1,
                       NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void ClearFailures();

    // --- Callback objects, machine face --------------------------------------------------
    // The live callback object of that name, or NULL.
    PCALLBACK_OBJECT FindCallback(std::u16string_view name) const;
    // Live registrations on the named object (0 when there is no such object).
    size_t RegistrationCount(std::u16string_view name) const;
    // References held on the object (a permanent object may sit at 0).
    LONG_PTR ReferenceCount(PCALLBACK_OBJECT object) const;
    // Every live registration on every object, in registration order per object.
    std::vector<CallbackRegistrationInfo> Registrations() const;

    // --- Device names (used by IoCreateDevice / IoDeleteDevice) -------------------------
    // STATUS_OBJECT_NAME_COLLISION when the name exists, STATUS_OBJECT_NAME_INVALID for a
    // malformed name, STATUS_OBJECT_PATH_NOT_FOUND when its directory does not exist.
    NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device);
    // STATUS_OBJECT_NAME_NOT_FOUND when no device has that name.
    NTSTATUS RemoveDevice(std::u16string_view name);
    PDEVICE_OBJECT LookupDevice(std::u16string_view name) const;

    // --- Names for applications ----------------------------------------------------------
    // Resolves `\\.\COM5`, `\\?\...`, `\??\COM5`, `\DosDevices\COM5`, a device name or an
    // enabled interface name, following symbolic links; NULL when it leads nowhere.
    PDEVICE_OBJECT ResolveForOpen(std::u16string_view name) const;
    std::vector<SymbolicLinkInfo> SymbolicLinks() const;
    std::optional<std::u16string> LinkTarget(std::u16string_view linkName) const;

    // --- Device interfaces, machine face -------------------------------------------------
    // The PnP manager tells the namespace each PDO's instance path (e.g. ROOT\PORTS\0000).
    // Without a provider, or when it returns an empty string, PDOs are numbered in the
    // order they first register an interface: ROOT\PORTS\0000, ROOT\PORTS\0001, ...
    // (numbers are not reused).
    using InstancePathProvider = std::function<std::u16string(PDEVICE_OBJECT)>;
    void SetInstancePathProvider(InstancePathProvider provider);
    // Symbolic-link names of the enabled interfaces of a class, in registration order.
    std::vector<std::u16string> EnabledInterfaces(const GUID& classGuid) const;
    std::vector<DeviceInterfaceInfo> DeviceInterfaces() const;
    // Forgets the PDO's interfaces (the PnP manager calls it when it deletes the PDO) and
    // returns the names of those that were still enabled.
    std::vector<std::u16string> RemoveDeviceInterfaces(PDEVICE_OBJECT pdo);

    // --- Kernel face: the routines of platform/io/ob.cpp forward here --------------------
    NTSTATUS CreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES attributes,
                            BOOLEAN create, BOOLEAN allowMultipleCallbacks);
    PVOID RegisterCallback(PCALLBACK_OBJECT object, PCALLBACK_FUNCTION function, PVOID context);
    void UnregisterCallback(PVOID registration);
    void NotifyCallback(PCALLBACK_OBJECT object, PVOID argument1, PVOID argument2);
    LONG_PTR ReferenceObject(PVOID object);
    LONG_PTR DereferenceObject(PVOID object);
    NTSTATUS CreateSymbolicLink(PUNICODE_STRING linkName, PUNICODE_STRING deviceName);
    NTSTATUS DeleteSymbolicLink(PUNICODE_STRING linkName);
    NTSTATUS RegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID* classGuid,
                                     PUNICODE_STRING referenceString,
                                     PUNICODE_STRING symbolicLinkName);
    NTSTATUS SetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);

  private:
    enum class EntryKind { Device, Link, Callback };
    struct NameEntry
    {
        EntryKind Kind;
        std::u16string Name; // as given
        PDEVICE_OBJECT Device;
        std::u16string Target;
        _CALLBACK_OBJECT* Callback;
    };
    struct Interface
    {
        DeviceInterfaceInfo Info;
        std::u16string Key; // upper-cased symbolic-link name
    };

    _CALLBACK_OBJECT* LiveCallbackLocked(const void* object) const;
    LONG_PTR DropReferenceLocked(_CALLBACK_OBJECT* object);
    void FinishUnregisterLocked(CallbackRegistration* registration);
    const Interface* FindInterfaceLocked(std::u16string_view name) const;
    std::u16string InstancePathOf(PDEVICE_OBJECT pdo);

    [[maybe_unused]] Machine& machine_;
    mutable std::mutex mutex_;
    std::condition_variable idle_; // a registration stopped being called
    FaultSwitchboard<NamespaceFault> faults_;
    // Full upper-cased names of devices, links and callback objects.
    std::map<std::u16string, NameEntry> names_;
    // Every callback object ever created, deleted ones included.
    std::vector<std::unique_ptr<_CALLBACK_OBJECT>> callbacks_;
    std::set<const void*> callbackAddresses_;
    std::map<const void*, std::unique_ptr<CallbackRegistration>> registrations_;
    std::vector<Interface> interfaces_;
    InstancePathProvider instancePaths_;
    std::map<PDEVICE_OBJECT, ULONG> numberedPdos_; // when no instance path is provided
    ULONG nextPdoNumber_ = 0;
};

} // namespace qvx
