// Host edition of the WMI library header.
#pragma once

#include "wdm.h"

typedef enum _SYSCTL_IRP_DISPOSITION {
    IrpProcessed,
    IrpNotCompleted,
    IrpNotWmi,
    IrpForward
} SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

typedef struct _WMIGUIDREGINFO
{
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

// Registration information as a provider returns it for IRP_MN_REGINFO and IRP_MN_REGINFO_EX:
// a header followed by GuidCount entries; offsets count from the start of the header.
typedef struct _WMIREGGUIDW
{
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    ULONG_PTR InstanceInfo;
} WMIREGGUIDW, *PWMIREGGUIDW;

typedef struct _WMIREGINFOW
{
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;
    ULONG MofResourceName;
    ULONG GuidCount;
    WMIREGGUIDW WmiRegGuid[1];
} WMIREGINFOW, *PWMIREGINFOW;

typedef struct _WMILIB_CONTEXT
{
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PVOID QueryWmiRegInfo;
    PVOID QueryWmiDataBlock;
    PVOID SetWmiDataBlock;
    PVOID SetWmiDataItem;
    PVOID ExecuteWmiMethod;
    PVOID WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

extern "C" NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject,
                                           PIRP Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition);
