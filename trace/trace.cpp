#include "trace/trace.h"

#include "port/kcompat.h"

ULONG TraceLevel = 4;
ULONG TraceComponents = 0xFFFFFFFF;
volatile LONG TraceSlotBusy[TRACE_SLOT_COUNT] = {};
CHAR TraceBuffer[TRACE_SLOT_COUNT][TRACE_SLOT_SIZE] = {};

namespace {

constexpr ULONG IRP_TRACE_LEVEL = 4;

const PCSTR IrpMajorNames[] = {
    "IRP_MJ_CREATE",
    "IRP_MJ_CREATE_NAMED_PIPE",
    "IRP_MJ_CLOSE",
    "IRP_MJ_READ",
    "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION",
    "IRP_MJ_SET_INFORMATION",
    "IRP_MJ_QUERY_EA",
    "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS",
    "IRP_MJ_QUERY_VOLUME_INFORMATION",
    "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL",
    "IRP_MJ_FILE_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "IRP_MJ_SHUTDOWN",
    "IRP_MJ_LOCK_CONTROL",
    "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT",
    "IRP_MJ_QUERY_SECURITY",
    "IRP_MJ_SET_SECURITY",
    "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CHANGE",
    "IRP_MJ_QUERY_QUOTA",
    "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

// 0x0E was never assigned; 0x19 is newer than the systems this driver serves.
const PCSTR PnpMinorNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    nullptr,
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION",
};

const PCSTR PowerMinorNames[] = {
    "IRP_MN_WAIT_WAKE",
    "IRP_MN_POWER_SEQUENCE",
    "IRP_MN_SET_POWER",
    "IRP_MN_QUERY_POWER",
};

const PCSTR SystemPowerStateNames[] = {
    "PowerSystemUnspecified", "PowerSystemWorking",   "PowerSystemSleeping1",
    "PowerSystemSleeping2",   "PowerSystemSleeping3", "PowerSystemHibernate",
    "PowerSystemShutdown",    "PowerSystemMaximum",
};

const PCSTR DevicePowerStateNames[] = {
    "PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1",
    "PowerDeviceD2",          "PowerDeviceD3", "PowerDeviceMaximum",
};

const PCSTR WmiMinorNames[] = {
    "IRP_MN_QUERY_ALL_DATA",     "IRP_MN_QUERY_SINGLE_INSTANCE", "IRP_MN_CHANGE_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_ITEM", "IRP_MN_ENABLE_EVENTS",         "IRP_MN_DISABLE_EVENTS",
    "IRP_MN_ENABLE_COLLECTION",  "IRP_MN_DISABLE_COLLECTION",    "IRP_MN_REGINFO",
    "IRP_MN_EXECUTE_METHOD",
};

static_assert(sizeof(IrpMajorNames) / sizeof(IrpMajorNames[0]) == IRP_MJ_MAXIMUM_FUNCTION + 1,
              "one name per major code");
static_assert(sizeof(PnpMinorNames) / sizeof(PnpMinorNames[0]) ==
                  IRP_MN_QUERY_LEGACY_BUS_INFORMATION + 1,
              "one entry per minor code up to the legacy bus query");

template <ULONG N> PCSTR LookupName(const PCSTR (&Names)[N], ULONG Code, PCSTR Unknown)
{
    return Code < N && Names[Code] != nullptr ? Names[Code] : Unknown;
}

ULONG IrpComponent(UCHAR Major)
{
    switch (Major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return TRACE_OPEN_CLOSE;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return TRACE_SERIAL_IO;
    case IRP_MJ_POWER:
        return TRACE_POWER;
    case IRP_MJ_SYSTEM_CONTROL:
        return TRACE_WMI;
    case IRP_MJ_PNP:
        return TRACE_PNP;
    default:
        return TRACE_GENERAL;
    }
}

} // namespace

VOID QuarvexTrace(ULONG Component, ULONG Level, PCSTR Format, ...)
{
    if (!QuarvexTraceOn(Component, Level)) {
        return;
    }
    for (ULONG slot = 0; slot < TRACE_SLOT_COUNT; ++slot) {
        if (InterlockedCompareExchange(&TraceSlotBusy[slot], 1, 0) != 0) {
            continue;
        }
        va_list arguments;
        va_start(arguments, Format);
        (void)QuarvexFormatBounded(TraceBuffer[slot], TRACE_SLOT_SIZE, Format, arguments);
        va_end(arguments);
#ifdef QVX_HOST_TRACE_SINK
        QvxTraceSink(Component, Level, TraceBuffer[slot]);
#endif
        InterlockedExchange(&TraceSlotBusy[slot], 0);
        return;
    }
    // Every slot is being written: losing the message beats waiting at DISPATCH_LEVEL.
}

NTSTATUS QuarvexFormatBounded(PCHAR Buffer, SIZE_T Size, PCSTR Format, va_list Arguments)
{
    if (Buffer == nullptr || Format == nullptr || Size == 0 || Size > 0x7FFFFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    // The kernel formatter leaves no terminator when the text fills or overruns its count,
    // so it gets one byte less and the terminator goes in by hand.
    const SIZE_T limit = Size - 1;
    const int written = _vsnprintf(Buffer, limit, Format, Arguments);
    if (written < 0 || static_cast<SIZE_T>(written) > limit) {
        Buffer[limit] = '\0';
        return STATUS_BUFFER_OVERFLOW;
    }
    if (static_cast<SIZE_T>(written) == limit) {
        Buffer[limit] = '\0';
    }
    return STATUS_SUCCESS;
}

VOID QuarvexTraceIrp(PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    const UCHAR minor = stack->MinorFunction;
    const ULONG component = IrpComponent(major);

    QuarvexTrace(component, IRP_TRACE_LEVEL, "IRP %p %s", Irp, QuarvexIrpMajorName(major));
    switch (major) {
    case IRP_MJ_PNP:
        QuarvexTrace(component, IRP_TRACE_LEVEL, "%s", QuarvexPnpMinorName(minor));
        break;
    case IRP_MJ_POWER: {
        QuarvexTrace(component, IRP_TRACE_LEVEL, "%s", QuarvexPowerMinorName(minor));
        // Read as raw values: a sender may put anything there, not just the enumerators.
        ULONG type;
        ULONG state;
        RtlCopyMemory(&type, &stack->Parameters.Power.Type, sizeof(type));
        RtlCopyMemory(&state, &stack->Parameters.Power.State, sizeof(state));
        QuarvexTrace(component, IRP_TRACE_LEVEL, "%s",
                     type != 0 ? QuarvexDevicePowerStateName(state)
                               : QuarvexSystemPowerStateName(state));
        break;
    }
    case IRP_MJ_SYSTEM_CONTROL:
        QuarvexTrace(component, IRP_TRACE_LEVEL, "%s", QuarvexWmiMinorName(minor));
        break;
    default:
        break;
    }
}

PCSTR QuarvexIrpMajorName(ULONG Code)
{
    return LookupName(IrpMajorNames, Code & 0xFF, "Unknown IRP Request");
}

PCSTR QuarvexPnpMinorName(ULONG Code)
{
    return LookupName(PnpMinorNames, Code & 0xFF, "Unknown PnP Request");
}

PCSTR QuarvexPowerMinorName(ULONG Code)
{
    return LookupName(PowerMinorNames, Code & 0xFF, "Unknown Power Request");
}

PCSTR QuarvexSystemPowerStateName(ULONG State)
{
    return LookupName(SystemPowerStateNames, State, "PowerSystemUnknown");
}

PCSTR QuarvexDevicePowerStateName(ULONG State)
{
    return LookupName(DevicePowerStateNames, State, "PowerDeviceUnknown");
}

PCSTR QuarvexWmiMinorName(ULONG Code)
{
    return LookupName(WmiMinorNames, Code & 0xFF, "Unknown System Control Request");
}
