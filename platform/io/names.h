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
    PDRIVER_OBJECT Owner; // the driver that registered
    ULONG Busy;
    bool Unregistered;
    bool RemoveWhenIdle; // unregistered while a call of it runs on the unregistering thread
};

// Upper case as the object manager and the registry compare names (ASCII and Latin-1).
std::u16string Upcase(std::u16string_view text);

class IoSide;

class ObjectNamespaceImpl final : public ObjectNamespace
{
  public:
    explicit ObjectNamespaceImpl(IoSide& side);
    ~ObjectNamespaceImpl();

    // --- The application face (platform/machine/machine.h) ---------------------------------
    void InjectFailure(NamespaceFault fault, ULONG nth = 1,
                       NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES) override;
    void ClearFailures() override;
    PCALLBACK_OBJECT FindCallback(std::u16string_view name) const override;
    size_t RegistrationCount(std::u16string_view name) const override;
    LONG_PTR ReferenceCount(PCALLBACK_OBJECT object) const override;
    std::vector<CallbackRegistrationInfo> Registrations() const override;
    NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device) override;
    NTSTATUS RemoveDevice(std::u16string_view name) override;
    PDEVICE_OBJECT LookupDevice(std::u16string_view name) const override;
    PDEVICE_OBJECT ResolveForOpen(std::u16string_view name) const override;
    std::vector<SymbolicLinkInfo> SymbolicLinks() const override;
    std::optional<std::u16string> LinkTarget(std::u16string_view linkName) const override;
    void SetInstancePathProvider(InstancePathProvider provider) override;
    std::vector<std::u16string> EnabledInterfaces(const GUID& classGuid) const override;
    std::vector<DeviceInterfaceInfo> DeviceInterfaces() const override;
    std::vector<std::u16string> RemoveDeviceInterfaces(PDEVICE_OBJECT pdo) override;

    // --- Kernel face: the routines of ob.cpp ---------------------------------------------------
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
        std::u16string Name; // links: as given (devices and callbacks keep their own)
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

    IoSide& side_;
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
