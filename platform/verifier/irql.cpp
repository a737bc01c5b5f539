// The documented maximum IRQL of every kernel routine the platform implements, in one table,
// and the one place that checks a call against it.

#include "platform/verifier/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qvx {

namespace {

struct IrqlCeiling
{
    const char* Routine;
    KIRQL Ceiling;
};

// Routines callable at any IRQL (DPC insertion, Interlocked, the Rtl string helpers that
// neither allocate nor page) are not listed: nothing to check. Pool allocation and free keep
// their own rules (their ceiling depends on the pool type).
constexpr IrqlCeiling CEILINGS[] = {
    // Kernel: spin locks, IRQL, timers, events, waits, DPCs.
    {"KfAcquireSpinLock", DISPATCH_LEVEL},
    {"KfReleaseSpinLock", DISPATCH_LEVEL},
    {"KeSetTimerEx", DISPATCH_LEVEL},
    {"KeCancelTimer", DISPATCH_LEVEL},
    {"KeSetEvent", DISPATCH_LEVEL},
    {"KeResetEvent", DISPATCH_LEVEL},
    {"KeWaitForSingleObject", APC_LEVEL},
    {"KeWaitForSingleObject with a zero timeout", DISPATCH_LEVEL},
    {"KeFlushQueuedDpcs", PASSIVE_LEVEL},
    // I/O manager.
    {"IoCreateDevice", PASSIVE_LEVEL},
    {"IoDeleteDevice", APC_LEVEL},
    {"IoAttachDeviceToDeviceStack", PASSIVE_LEVEL},
    {"IoDetachDevice", PASSIVE_LEVEL},
    {"IofCallDriver", DISPATCH_LEVEL},
    {"PoCallDriver", DISPATCH_LEVEL},
    {"IofCompleteRequest", DISPATCH_LEVEL},
    {"IoCancelIrp", DISPATCH_LEVEL},
    {"IoAcquireCancelSpinLock", DISPATCH_LEVEL},
    {"IoAllocateWorkItem", DISPATCH_LEVEL},
    {"IoFreeWorkItem", DISPATCH_LEVEL},
    {"IoQueueWorkItem", DISPATCH_LEVEL},
    {"PoSetPowerState", DISPATCH_LEVEL},
    {"PoStartNextPowerIrp", DISPATCH_LEVEL},
    {"WmiSystemControl", PASSIVE_LEVEL},
    // Object namespace and callback objects.
    {"ExCreateCallback", PASSIVE_LEVEL},
    {"ExRegisterCallback", APC_LEVEL},
    {"ExUnregisterCallback", APC_LEVEL},
    {"ExNotifyCallback", DISPATCH_LEVEL},
    {"ObfDereferenceObject", DISPATCH_LEVEL},
    {"IoCreateSymbolicLink", PASSIVE_LEVEL},
    {"SeSinglePrivilegeCheck", PASSIVE_LEVEL},
    {"IoDeleteSymbolicLink", PASSIVE_LEVEL},
    {"IoRegisterDeviceInterface", PASSIVE_LEVEL},
    {"IoSetDeviceInterfaceState", PASSIVE_LEVEL},
    {"IoRegisterPlugPlayNotification", PASSIVE_LEVEL},
    {"IoUnregisterPlugPlayNotification", PASSIVE_LEVEL},
    {"IoUnregisterPlugPlayNotificationEx", PASSIVE_LEVEL},
    // Registry and the run-time library routines that page or allocate.
    {"ZwOpenKey", PASSIVE_LEVEL},
    {"ZwQueryValueKey", PASSIVE_LEVEL},
    {"ZwClose", PASSIVE_LEVEL},
    {"RtlWriteRegistryValue", PASSIVE_LEVEL},
    {"RtlDeleteRegistryValue", PASSIVE_LEVEL},
    {"IoOpenDeviceRegistryKey", PASSIVE_LEVEL},
    {"RtlIntegerToUnicodeString", PASSIVE_LEVEL},
    {"RtlFreeUnicodeString", PASSIVE_LEVEL},
    // Where the system calls the driver (checked on the way in).
    {"DriverEntry", PASSIVE_LEVEL},
    {"DriverUnload", PASSIVE_LEVEL},
    {"AddDevice", PASSIVE_LEVEL},
    {"a Plug and Play manager request", PASSIVE_LEVEL},
    {"an application request", PASSIVE_LEVEL},
    {"Open", PASSIVE_LEVEL},
    {"CancelIo", PASSIVE_LEVEL},
    {"Close", PASSIVE_LEVEL},
};

} // namespace

KIRQL IrqlCeilingOf(const char* routine)
{
    // Callers pass string literals, so the address finds the entry again without comparing
    // names: every request passes several checks. The table never changes, so a per-thread
    // cache needs no lock.
    struct CacheSlot
    {
        const char* Routine;
        KIRQL Ceiling;
    };
    static thread_local CacheSlot cache[64];
    CacheSlot& slot = cache[(reinterpret_cast<uintptr_t>(routine) >> 3) % 64];
    if (slot.Routine == routine) {
        return slot.Ceiling;
    }
    for (const IrqlCeiling& entry : CEILINGS) {
        if (strcmp(entry.Routine, routine) == 0) {
            slot = {routine, entry.Ceiling};
            return entry.Ceiling;
        }
    }
    // A platform routine checked without a table entry is a bug of the platform itself.
    fprintf(stderr, "qvx: no IRQL ceiling recorded for %s\n", routine);
    abort();
}

bool CheckIrqlCeiling(const char* routine)
{
    if (!VerifierOn()) {
        return true;
    }
    const KIRQL ceiling = IrqlCeilingOf(routine);
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > ceiling) {
        VerifierReport(Rule::IRQL_TOO_HIGH, "%s called at IRQL %u, above its ceiling %u", routine,
                       unsigned(irql), unsigned(ceiling));
        return false;
    }
    return true;
}

} // namespace qvx
