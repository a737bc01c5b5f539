// Trace facility: leveled, component-filtered messages formatted into a few static slots,
// where a kernel debugger reads them. The host build also hands each message to the
// machine's trace sink.
//
// Contexts: every routine here may be called at any IRQL up to DISPATCH_LEVEL, from dispatch
// routines, start routines, DPCs and with any of the driver's spin locks held.
// Locks: none taken, so it fits anywhere in the lock order; nothing here blocks or allocates.
#pragma once

#include <ntddk.h>
#include <stdarg.h>

// Component bits: the first argument of every trace call.
constexpr ULONG TRACE_GENERAL = 0x001;
constexpr ULONG TRACE_PNP = 0x002;
constexpr ULONG TRACE_POWER = 0x004;
constexpr ULONG TRACE_OPEN_CLOSE = 0x010;
constexpr ULONG TRACE_WMI = 0x020;
constexpr ULONG TRACE_UNLOAD = 0x040;
constexpr ULONG TRACE_SERIAL_IO = 0x080;
constexpr ULONG TRACE_INIT = 0x100;

constexpr ULONG TRACE_SLOT_COUNT = 8;
constexpr ULONG TRACE_SLOT_SIZE = 1024;

// Settings: statically initialised, read without locks, changed only from a debugger.
// A message passes when its level is <= TraceLevel and its component shares a bit with
// TraceComponents.
extern ULONG TraceLevel;
extern ULONG TraceComponents;

// Whether a message of Component and Level passes: for callers whose arguments cost work.
inline bool QuarvexTraceOn(ULONG Component, ULONG Level)
{
    return (Component & TraceComponents) != 0 && Level <= TraceLevel;
}
// Slots. TraceSlotBusy: interlocked only, 1 while a caller formats into the slot.
// TraceBuffer[slot]: written only by the holder of its busy flag; afterwards it keeps the
// last message, NUL-terminated.
extern volatile LONG TraceSlotBusy[TRACE_SLOT_COUNT];
extern CHAR TraceBuffer[TRACE_SLOT_COUNT][TRACE_SLOT_SIZE];

// No printf attribute: on mingw-w64 ULONG and NTSTATUS are long, so ms_printf would reject
// the %x the trace texts use for them, and the host's gnu_printf rejects %I64x.

// Formats one message into a free slot if Component and Level pass the filter; when all
// slots are busy the message is dropped. Arguments follow the kernel runtime's printf rules
// (%p, %x, %d, %u, %s, %I64x). Long messages are cut at TRACE_SLOT_SIZE - 1 characters.
// IRQL: <= DISPATCH_LEVEL.  Locks: none taken; never waits for a slot.
VOID QuarvexTrace(ULONG Component, ULONG Level, PCSTR Format, ...);

// Formats into Buffer of Size bytes and always leaves it NUL-terminated. Returns
// STATUS_BUFFER_OVERFLOW when the text was cut, STATUS_INVALID_PARAMETER (buffer untouched)
// for a Size of 0 or above 0x7FFFFFFF.
// IRQL: <= DISPATCH_LEVEL.  Locks: none.
NTSTATUS QuarvexFormatBounded(PCHAR Buffer, SIZE_T Size, PCSTR Format, va_list Arguments);

// Traces a request by its major code name and, for Plug and Play, power and system-control
// requests, its minor code name (and power state) at level 4.
// IRQL: <= DISPATCH_LEVEL.  Irp: only read; the caller keeps it.
VOID QuarvexTraceIrp(PIRP Irp);

// Names of codes as the platform's headers spell them; each returns a constant string and a
// fixed "Unknown ..." text for codes it does not name. Major, minor and WMI codes use the low
// byte of Code; power states the full value.
// IRQL: any.
PCSTR QuarvexIrpMajorName(ULONG Code);
PCSTR QuarvexPnpMinorName(ULONG Code);
PCSTR QuarvexPowerMinorName(ULONG Code);
PCSTR QuarvexSystemPowerStateName(ULONG State);
PCSTR QuarvexDevicePowerStateName(ULONG State);
PCSTR QuarvexWmiMinorName(ULONG Code);
