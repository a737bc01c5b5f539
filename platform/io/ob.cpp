// Kernel face of the object namespace: callback objects, object references, symbolic links,
// device interfaces and the system's strings. The work is done by the machine's
// ObjectNamespace (platform/io/names.cpp).
#include <ntddk.h>
#include <ntddser.h>

#include "platform/executive/executive.h"
#include "platform/io/io.h"
#include "platform/io/names.h"
#include "platform/verifier/verifier.h"

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
extern "C" const GUID GUID_DEVINTERFACE_COMPORT = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

namespace {

qvx::ObjectNamespaceImpl& Names()
{
    return qvx::IoSide::Current().NamesCore();
}

} // namespace

extern "C" {

NTSTATUS NTAPI ExCreateCallback(PCALLBACK_OBJECT* CallbackObject,
                                POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                                BOOLEAN AllowMultipleCallbacks)
{
    return Names().CreateCallback(CallbackObject, ObjectAttributes, Create, AllowMultipleCallbacks);
}

PVOID NTAPI ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                               PVOID CallbackContext)
{
    return Names().RegisterCallback(CallbackObject, CallbackFunction, CallbackContext);
}

VOID NTAPI ExUnregisterCallback(PVOID CallbackRegistration)
{
    Names().UnregisterCallback(CallbackRegistration);
}

VOID NTAPI ExNotifyCallback(PCALLBACK_OBJECT CallbackObject, PVOID Argument1, PVOID Argument2)
{
    Names().NotifyCallback(CallbackObject, Argument1, Argument2);
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    return Names().ReferenceObject(Object);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    return Names().DereferenceObject(Object);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return Names().CreateSymbolicLink(SymbolicLinkName, DeviceName);
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return Names().DeleteSymbolicLink(SymbolicLinkName);
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName)
{
    return Names().RegisterDeviceInterface(PhysicalDeviceObject, InterfaceClassGuid,
                                           ReferenceString, SymbolicLinkName);
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    return Names().SetDeviceInterfaceState(SymbolicLinkName, Enable);
}

// Frees a string the system allocated (for example a device-interface name). The pool
// checks the tag, so a buffer the driver allocated itself is reported as a mismatch.
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    qvx::CheckIrqlCeiling("RtlFreeUnicodeString");
    if (UnicodeString == nullptr) {
        return;
    }
    if (UnicodeString->Buffer != nullptr) {
        ExFreePoolWithTag(UnicodeString->Buffer, qvx::SYSTEM_STRING_TAG);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

} // extern "C"
