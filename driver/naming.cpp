// The port's external names: the \??\COMn link, the SERIALCOMM device-map value and the
// COM-port device interface, published at start and withdrawn at stop and removal.

#include <ntddk.h>

// Defines the interface GUID in this file (the Windows build has no library holding it).
#include <initguid.h>

#include <ntddser.h>

#include "driver/driver.h"
#include "driver/kcompat.h"
#include "port/port.h"
#include "trace/trace.h"

namespace {

constexpr USHORT LINK_SCRATCH_BYTES = 512;
constexpr ULONG DESIRED_KEY_ACCESS = STANDARD_RIGHTS_READ;
const WCHAR* const LINK_PREFIX = QUARVEX_WSTR("\\??\\");
constexpr ULONG LINK_PREFIX_CHARACTERS = 4;
const WCHAR* const DEVICE_MAP_KEY = QUARVEX_WSTR("SERIALCOMM");

ULONG WideLength(PCWSTR Text)
{
    ULONG n = 0;
    while (Text[n] != 0) {
        ++n;
    }
    return n;
}

VOID FreeString(UNICODE_STRING* Name)
{
    if (Name->Buffer != NULL) {
        ExFreePoolWithTag(Name->Buffer, QUARVEX_POOL_TAG);
        Name->Buffer = NULL;
    }
    Name->Length = 0;
    Name->MaximumLength = 0;
}

// A port name the link can be built from: a non-empty string value without a backslash (which
// would place the link elsewhere in the namespace) whose link fits the scratch string.
BOOLEAN UsablePortName(PCWSTR Name, ULONG Type)
{
    if (Name == NULL || (Type != REG_SZ && Type != REG_EXPAND_SZ)) {
        return FALSE;
    }
    const ULONG characters = WideLength(Name);
    if (characters == 0 ||
        LINK_PREFIX_CHARACTERS + characters > LINK_SCRATCH_BYTES / sizeof(WCHAR)) {
        return FALSE;
    }
    for (ULONG i = 0; i < characters; ++i) {
        if (Name[i] == static_cast<WCHAR>('\\')) {
            return FALSE;
        }
    }
    return TRUE;
}

// The value's copy when it is a usable port name, else NULL (an unusable copy is freed).
PWSTR ReadPortName(HANDLE Key, PCWSTR ValueName)
{
    ULONG length = 0;
    ULONG type = REG_NONE;
    PVOID value = QuarvexRegQueryValueKey(Key, ValueName, &length, &type);
    if (value == NULL) {
        return NULL;
    }
    // String types come back terminated; any other type is refused before it is read as one,
    // and so is a string that is not whole characters.
    const bool wholeString =
        (type == REG_SZ || type == REG_EXPAND_SZ) && length % sizeof(WCHAR) == 0;
    if (!UsablePortName(wholeString ? static_cast<PCWSTR>(value) : NULL, type)) {
        QuarvexTrace(TRACE_PNP, 2, "QuarvexBuildSymbolicLinkName: port name of type %u not usable",
                     type);
        ExFreePoolWithTag(value, QUARVEX_POOL_TAG);
        return NULL;
    }
    return static_cast<PWSTR>(value);
}

} // namespace

PVOID QuarvexRegQueryValueKey(HANDLE Key, PCWSTR ValueName, PULONG Length, PULONG Type)
{
    *Length = 0;
    if (Type != NULL) {
        *Type = REG_NONE;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);

    ULONG size = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, NULL, 0, &size);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        QuarvexTrace(TRACE_PNP, 2, "QuarvexRegQueryValueKey: ZwQueryValueKey failed %x", status);
        return NULL;
    }
    auto* information = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, size, QUARVEX_POOL_TAG));
    if (information == NULL) {
        return NULL;
    }
    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, information, size, &size);
    if (!NT_SUCCESS(status)) {
        QuarvexTrace(TRACE_PNP, 2, "QuarvexRegQueryValueKey: ZwQueryValueKey failed %x", status);
        ExFreePoolWithTag(information, QUARVEX_POOL_TAG);
        return NULL;
    }

    const ULONG dataLength = information->DataLength;
    const ULONG type = information->Type;
    const BOOLEAN isString = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    // A string copy is rounded up to whole characters and carries one zero character more, so
    // that it is terminated however it was stored, also when its length was odd.
    const ULONG copyLength =
        isString ? (dataLength + sizeof(WCHAR) - 1) / sizeof(WCHAR) * sizeof(WCHAR) + sizeof(WCHAR)
                 : dataLength;
    PVOID copy = ExAllocatePoolWithTag(PagedPool, copyLength, QUARVEX_POOL_TAG);
    if (copy != NULL) {
        if (isString) {
            RtlZeroMemory(copy, copyLength);
        }
        RtlCopyMemory(copy, information->Data, dataLength);
        *Length = dataLength;
        if (Type != NULL) {
            *Type = type;
        }
    }
    ExFreePoolWithTag(information, QUARVEX_POOL_TAG);
    return copy;
}

NTSTATUS QuarvexBuildSymbolicLinkName(PortDeviceRecord* Port, HANDLE Key, PUNICODE_STRING LinkName,
                                      PWSTR* PortName)
{
    UNREFERENCED_PARAMETER(Port);
    *PortName = NULL;
    UNICODE_STRING scratch;
    scratch.Length = 0;
    scratch.MaximumLength = LINK_SCRATCH_BYTES;
    scratch.Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, LINK_SCRATCH_BYTES + sizeof(WCHAR), QUARVEX_POOL_TAG));
    if (scratch.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(scratch.Buffer, LINK_SCRATCH_BYTES + sizeof(WCHAR));

    PWSTR name = ReadPortName(Key, QUARVEX_WSTR("PortName"));
    if (name == NULL) {
        name = ReadPortName(Key, QUARVEX_WSTR("Identifier"));
    }
    if (name == NULL) {
        ExFreePoolWithTag(scratch.Buffer, QUARVEX_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    (void)RtlAppendUnicodeToString(&scratch, LINK_PREFIX);
    (void)RtlAppendUnicodeToString(&scratch, name);

    LinkName->Length = 0;
    LinkName->MaximumLength = static_cast<USHORT>(scratch.Length + sizeof(WCHAR));
    LinkName->Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, LinkName->MaximumLength, QUARVEX_POOL_TAG));
    if (LinkName->Buffer == NULL) {
        ExFreePoolWithTag(scratch.Buffer, QUARVEX_POOL_TAG);
        ExFreePoolWithTag(name, QUARVEX_POOL_TAG);
        LinkName->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(LinkName->Buffer, LinkName->MaximumLength);
    (void)RtlAppendUnicodeStringToString(LinkName, &scratch);
    ExFreePoolWithTag(scratch.Buffer, QUARVEX_POOL_TAG);
    *PortName = name;
    return STATUS_SUCCESS;
}

NTSTATUS QuarvexPublishPortName(PortDeviceRecord* Port)
{
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              DESIRED_KEY_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING linkName = {0, 0, NULL};
    status = QuarvexBuildSymbolicLinkName(Port, key, &linkName, &Port->PortNameString);
    (void)ZwClose(key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    BOOLEAN linkCreated = FALSE;
    BOOLEAN valueWritten = FALSE;
    status = IoCreateSymbolicLink(&linkName, &Port->DeviceName);
    if (NT_SUCCESS(status)) {
        linkCreated = TRUE;
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, DEVICE_MAP_KEY,
                                       Port->DeviceName.Buffer, REG_SZ, Port->PortNameString,
                                       (WideLength(Port->PortNameString) + 1) * sizeof(WCHAR));
    }
    if (NT_SUCCESS(status)) {
        valueWritten = TRUE;
        status = IoRegisterDeviceInterface(Port->PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT,
                                           NULL, &Port->InterfaceName);
        if (!NT_SUCCESS(status)) {
            Port->InterfaceName.Buffer = NULL;
        } else {
            status = IoSetDeviceInterfaceState(&Port->InterfaceName, TRUE);
        }
    }

    if (NT_SUCCESS(status)) {
        // Withdrawal deletes exactly this link, whatever the registry says by then.
        Port->SymbolicLinkName = linkName;
        return status;
    }
    if (Port->InterfaceName.Buffer != NULL) {
        (void)IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
        RtlFreeUnicodeString(&Port->InterfaceName);
        Port->InterfaceName.Buffer = NULL;
    }
    if (valueWritten) {
        (void)RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, DEVICE_MAP_KEY,
                                     Port->DeviceName.Buffer);
    }
    if (linkCreated) {
        (void)IoDeleteSymbolicLink(&linkName);
    }
    FreeString(&linkName);
    ExFreePoolWithTag(Port->PortNameString, QUARVEX_POOL_TAG);
    Port->PortNameString = NULL;
    return status;
}

NTSTATUS QuarvexWithdrawPortName(PortDeviceRecord* Port)
{
    if (Port->InterfaceName.Buffer != NULL) {
        (void)IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
        RtlFreeUnicodeString(&Port->InterfaceName);
        Port->InterfaceName.Buffer = NULL;
    }
    if (Port->DeviceName.Buffer != NULL) {
        (void)RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, DEVICE_MAP_KEY,
                                     Port->DeviceName.Buffer);
    }
    if (Port->SymbolicLinkName.Buffer != NULL) {
        (void)IoDeleteSymbolicLink(&Port->SymbolicLinkName);
        FreeString(&Port->SymbolicLinkName);
    }
    return STATUS_SUCCESS;
}
