// Kernel face of the registry: key handles, value queries, the Rtl write and delete helpers
// and the device keys of the Plug and Play manager. The work is done by the machine's
// Registry (platform/io/registry.cpp).
#include <ntddk.h>

#include "platform/io/io.h"
#include "platform/io/registry.h"

namespace {

qvx::RegistryImpl& Reg()
{
    return qvx::IoSide::Current().RegistryCore();
}

} // namespace

extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes)
{
    return Reg().OpenKey(KeyHandle, DesiredAccess, ObjectAttributes);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    return Reg().QueryValueKey(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation,
                               Length, ResultLength);
}

// Registry keys are the only kernel handles the platform hands out.
NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    return Reg().Close(Handle);
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    return Reg().WriteRegistryValue(RelativeTo, Path, ValueName, ValueType, ValueData, ValueLength);
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    return Reg().DeleteRegistryValue(RelativeTo, Path, ValueName);
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    return Reg().OpenDeviceRegistryKey(DeviceObject, DevInstKeyType, DesiredAccess, DevInstRegKey);
}

} // extern "C"
