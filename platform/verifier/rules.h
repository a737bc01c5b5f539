// The verifier's rules: one enumeration, each rule with the one-line description that
// docs/platform.md lists (a test compares them). A violation is reported by its rule, and tests
// name rules by the enumerators, which read as the names printed in a report.
#pragma once

#include <iosfwd>

namespace qvx {

// X(NAME, "what the rule catches"), grouped by what the driver was doing.
#define QVX_VERIFIER_RULES(X)                                                                      \
    /* The machine itself. */                                                                      \
    X(NO_MACHINE, "a kernel routine called while no machine exists")                               \
    X(DEADLOCK, "a simulated wait that nothing can ever satisfy (always fatal)")                   \
    X(DPC_LIVELOCK, "DPCs that keep queueing one another without the queue ever emptying")         \
    X(TIME_BACKWARDS, "a test asked the simulated clock to move backwards")                        \
    /* IRQL. */                                                                                    \
    X(IRQL_TOO_HIGH, "a routine called above the highest IRQL its documentation allows")           \
    X(IRQL_RAISE_TO_LOWER, "KfRaiseIrql to an IRQL below the current one")                         \
    X(IRQL_LOWER_TO_HIGHER, "KfLowerIrql or KfReleaseSpinLock to an IRQL above the current one")   \
    X(IRQL_LOWERED_WITH_SPINLOCK_HELD,                                                             \
      "the IRQL dropped below DISPATCH_LEVEL with a spin lock held")                               \
    /* Spin locks. */                                                                              \
    X(SPINLOCK_RECURSION, "a spin lock taken again by the processor that holds it")                \
    X(SPINLOCK_DEADLOCK,                                                                           \
      "a spin lock held by another owner taken on the single simulated processor")                 \
    X(SPINLOCK_NOT_HELD, "a spin lock released that nobody holds")                                 \
    X(SPINLOCK_NOT_OWNER, "a spin lock released by a processor that does not hold it")             \
    X(SPINLOCK_ACQUIRED_ABOVE_DISPATCH, "KfAcquireSpinLock above DISPATCH_LEVEL")                  \
    X(SPINLOCK_AT_DPC_LEVEL_BELOW_DISPATCH,                                                        \
      "the at-DPC-level spin lock routines called below DISPATCH_LEVEL")                           \
    X(CANCEL_LOCK_WITH_OTHER_LOCK, "the cancel spin lock and another spin lock held together")     \
    X(LOCK_ORDER_CYCLE, "spin locks taken in an order that closes a cycle, naming the locks")      \
    X(CANCEL_SPINLOCK_NOT_HELD, "IoReleaseCancelSpinLock without holding the cancel spin lock")    \
    /* DPCs, timers and waits. */                                                                  \
    X(DPC_NOT_INITIALIZED, "KeInsertQueueDpc of a DPC object never initialised")                   \
    X(DPC_REINITIALIZED_WHILE_QUEUED, "KeInitializeDpc of a DPC that is queued")                   \
    X(DPC_IRQL_CHANGED, "a DPC routine returned at an IRQL other than DISPATCH_LEVEL")             \
    X(DPC_RETURNED_WITH_LOCK_HELD, "a DPC routine returned holding a spin lock it took")           \
    X(TIMER_NOT_INITIALIZED, "KeSetTimerEx of a timer never initialised")                          \
    X(TIMER_REINITIALIZED_WHILE_SET, "KeInitializeTimerEx of a timer that is set")                 \
    X(TIMER_NEGATIVE_PERIOD, "KeSetTimerEx with a negative period")                                \
    X(WAIT_AT_DISPATCH_LEVEL, "KeWaitForSingleObject with a timeout at DISPATCH_LEVEL or above")   \
    X(WAIT_WITH_SPINLOCK_HELD, "KeWaitForSingleObject while holding a spin lock")                  \
    /* Pool. */                                                                                    \
    X(POOL_ALLOCATION_AT_BAD_IRQL, "pool allocated above the IRQL its type allows")                \
    X(POOL_ZERO_SIZE, "a pool allocation of zero bytes")                                           \
    X(POOL_ALLOCATION_RAISED,                                                                      \
      "a failed allocation with POOL_RAISE_IF_ALLOCATION_FAILURE, an unhandled exception")         \
    X(QUOTA_ALLOCATION_AT_DISPATCH, "ExAllocatePoolWithQuotaTag at DISPATCH_LEVEL or above")       \
    X(QUOTA_ALLOCATION_RAISED, "a failed quota allocation without "                                \
                               "POOL_QUOTA_FAIL_INSTEAD_OF_RAISE, an unhandled exception")         \
    X(POOL_FREE_NULL, "ExFreePoolWithTag of NULL")                                                 \
    X(POOL_FREE_AT_BAD_IRQL, "pool freed above the IRQL its type allows")                          \
    X(POOL_DOUBLE_FREE, "a pool block freed twice")                                                \
    X(POOL_FREE_INVALID, "memory freed that the pool never allocated")                             \
    X(POOL_TAG_MISMATCH, "a pool block freed with another tag than it was allocated with")         \
    X(POOL_UNDERRUN, "the guard bytes before a pool block overwritten")                            \
    X(POOL_OVERRUN, "the guard bytes after a pool block overwritten")                              \
    /* Freed memory. */                                                                            \
    X(FREED_MEMORY_HOLDS_QUEUED_DPC, "memory freed while a DPC in it is queued")                   \
    X(FREED_MEMORY_HOLDS_RUNNING_DPC, "memory freed while a DPC in it runs on another processor")  \
    X(FREED_MEMORY_HOLDS_ACTIVE_TIMER, "memory freed while a timer in it is set")                  \
    X(FREED_MEMORY_HOLDS_LOCKED_SPINLOCK, "memory freed while a spin lock in it is held")          \
    /* Passing requests down. */                                                                   \
    X(IRP_UNKNOWN, "a request routine given a pointer that is no IRP of the I/O manager")          \
    X(IRP_USED_AFTER_COMPLETION, "an IRP passed down or cancelled after its completion")           \
    X(IRP_STACK_LOCATION_CORRUPT, "an IRP whose current stack location is out of range")           \
    X(NO_MORE_IRP_STACK_LOCATIONS, "an IRP passed down with all its stack locations in use")       \
    X(REQUEST_TO_DELETED_DEVICE, "an IRP sent to a device object deleted or never created")        \
    X(IRP_INVALID_MAJOR_FUNCTION, "an IRP sent with a major function code out of range")           \
    X(POWER_IRP_WITHOUT_PO_CALL_DRIVER, "a power request passed down with IofCallDriver")          \
    /* Dispatch routines. */                                                                       \
    X(DISPATCH_IRQL_CHANGED, "a dispatch routine returned at another IRQL than it was entered at") \
    X(DISPATCH_RETURNED_WITH_LOCK_HELD, "a dispatch routine returned holding a spin lock")         \
    X(PENDING_NOT_MARKED, "STATUS_PENDING returned for a request not marked pending")              \
    X(PENDING_MARKED_NOT_RETURNED,                                                                 \
      "a request marked pending (also after a skipped location) returned with another status")     \
    X(DISPATCH_RETURNED_WITHOUT_COMPLETING,                                                        \
      "a request neither completed, passed down nor marked pending when its dispatch returned")    \
    X(DISPATCH_STATUS_MISMATCH,                                                                    \
      "a dispatch routine returned another status than the request left its location with")        \
    /* Completion. */                                                                              \
    X(IRP_COMPLETED_TWICE,                                                                         \
      "a request completed again, or its completion let go on after a nested one")                 \
    X(IRP_COMPLETED_WITH_STATUS_PENDING, "a request completed with status STATUS_PENDING")         \
    X(IRP_COMPLETED_WITH_CANCEL_ROUTINE, "a request completed with its cancel routine still set")  \
    X(COMPLETION_IRQL_CHANGED,                                                                     \
      "a completion routine returned at another IRQL than it was called at")                       \
    X(COMPLETION_RETURNED_WITH_LOCK_HELD, "a completion routine returned holding a spin lock")     \
    X(COMPLETION_ROUTINE_RETURNED_PENDING, "a completion routine returned STATUS_PENDING")         \
    X(PENDING_NOT_PROPAGATED,                                                                      \
      "a completion routine let a request with PendingReturned go on without marking it pending")  \
    X(INFORMATION_EXCEEDS_BUFFER,                                                                  \
      "a request completed with more Information than its output buffer")                          \
    X(IRP_NEVER_COMPLETED, "a request still outstanding when the machine goes away")               \
    X(FILE_OBJECT_IRPS_NEVER_COMPLETED,                                                            \
      "a closed handle whose requests never all completed, so its close could never be sent")      \
    /* Cancellation. */                                                                            \
    X(CANCEL_ROUTINE_KEPT_CANCEL_LOCK, "a cancel routine returned holding the cancel spin lock")   \
    X(CANCEL_ROUTINE_RETURNED_WITH_LOCK_HELD,                                                      \
      "a cancel routine returned holding another spin lock")                                       \
    X(CANCEL_IRQL_CHANGED,                                                                         \
      "a cancel routine returned at another IRQL than the request's CancelIrql")                   \
    /* Drivers and devices. */                                                                     \
    X(DRIVER_OBJECT_UNKNOWN, "IoCreateDevice with a driver object the I/O manager never created")  \
    X(DRIVER_ROUTINE_IRQL_CHANGED,                                                                 \
      "DriverEntry, DriverUnload or AddDevice returned at another IRQL")                           \
    X(DRIVER_ENTRY_FAILED_WITH_DEVICES, "DriverEntry failed and left device objects behind")       \
    X(DEVICE_UNKNOWN, "a device routine given a pointer that is no live device object")            \
    X(DEVICE_DELETED_TWICE, "IoDeleteDevice of a device already deleted")                          \
    X(DEVICE_DELETED_WITH_IRPS, "a device deleted while it still holds requests")                  \
    X(DEVICE_DELETED_WHILE_ATTACHED, "a device deleted while still attached to the device below")  \
    X(DEVICE_DELETED_OR_DETACHED_BEFORE_REMOVE,                                                    \
      "a device deleted or detached between surprise removal and removal")                         \
    X(WORK_ITEM_QUEUED_AT_DELETE, "a device deleted while one of its work items is queued")        \
    /* Work items. */                                                                              \
    X(WORK_ITEM_UNKNOWN, "IoFreeWorkItem or IoQueueWorkItem of a pointer that is no work item")    \
    X(WORK_ITEM_FREED_WHILE_QUEUED, "a work item freed while it is queued")                        \
    X(WORK_ITEM_QUEUED_TWICE, "a work item queued again before it has run")                        \
    X(WORK_ITEM_IRQL_CHANGED, "a work item routine returned at another IRQL than PASSIVE_LEVEL")   \
    X(WORK_ITEM_RETURNED_WITH_LOCK_HELD, "a work item routine returned holding a spin lock")       \
    /* Power and Plug and Play. */                                                                 \
    X(PO_START_NEXT_MISSING,                                                                       \
      "a query-power or set-power request completed without PoStartNextPowerIrp from a driver")    \
    X(PO_START_NEXT_TWICE, "PoStartNextPowerIrp called twice by one driver for one request")       \
    X(PO_START_NEXT_WRONG_LOCATION,                                                                \
      "PoStartNextPowerIrp called while another stack location is current")                        \
    X(DEVICE_NOT_POWER_PAGABLE, "a device without DO_POWER_PAGABLE attached above a pageable one") \
    X(DEVICE_INITIALIZING_AFTER_ADD_DEVICE,                                                        \
      "AddDevice returned with DO_DEVICE_INITIALIZING still set")                                  \
    X(PNP_UNHANDLED_STATUS_CHANGED,                                                                \
      "a Plug and Play request no driver handles reached the bus with its status changed")         \
    X(PNP_REMOVE_FAILED, "IRP_MN_REMOVE_DEVICE failed")                                            \
    X(PNP_SURPRISE_REMOVAL_FAILED, "IRP_MN_SURPRISE_REMOVAL failed")                               \
    X(PNP_REMOVE_NOT_PASSED_DOWN,                                                                  \
      "a removal or surprise removal that never reached the bus driver")                           \
    X(DEVICE_NOT_DETACHED_AT_REMOVE,                                                               \
      "a device still attached to its PDO after IRP_MN_REMOVE_DEVICE")                             \
    X(DEVICE_INTERFACE_LEFT_ENABLED, "a device interface still enabled after removal")             \
    X(SYMBOLIC_LINK_LEFT_AFTER_REMOVE, "a symbolic link still pointing at a removed device")       \
    X(SERIALCOMM_VALUE_LEFT_AFTER_REMOVE, "a SERIALCOMM value still present after removal")        \
    X(REQUEST_BYPASSED_LOWER_FILTER,                                                               \
      "a request that reached the PDO without passing a lower filter the stack holds")             \
    X(FILTER_COMPLETION_SKIPPED,                                                                   \
      "a filter's completion routine replaced by a driver below that skipped its location")        \
    /* Registry, object namespace and WMI. */                                                      \
    X(INVALID_KERNEL_HANDLE, "a registry routine given a handle that is no open key")              \
    X(KERNEL_HANDLE_IN_CALLER_CONTEXT,                                                             \
      "ZwOpenKey without OBJ_KERNEL_HANDLE while serving an application's request")                \
    X(INVALID_CALLBACK_OBJECT,                                                                     \
      "ExRegisterCallback or ExNotifyCallback on no live callback object")                         \
    X(INVALID_CALLBACK_REGISTRATION, "ExUnregisterCallback of no current registration")            \
    X(CALLBACK_UNREGISTERED_IN_CALLBACK,                                                           \
      "a callback registration removed from within its own call")                                  \
    X(CALLBACK_IRQL_MISMATCH, "a callback routine returned at another IRQL than it was called at") \
    X(INVALID_OBJECT_REFERENCE,                                                                    \
      "a reference taken or dropped on no object, or one too many dropped")                        \
    X(WMI_INVALID_PARAMETER, "WmiSystemControl without a request or a disposition")                \
    /* What a driver leaves behind when it unloads. */                                             \
    X(POOL_LEAK_AT_UNLOAD, "pool still allocated when the driver unloads, listed by tag")          \
    X(WORK_ITEM_LEAK_AT_UNLOAD, "work items never freed when the driver unloads")                  \
    X(WORK_ITEM_QUEUED_AT_UNLOAD, "work items still queued when the driver unloads")               \
    X(TIMER_SET_AT_UNLOAD, "timers still set when the driver unloads")                             \
    X(DPC_QUEUED_AT_UNLOAD, "DPCs still queued when the driver unloads")                           \
    X(REGISTRY_HANDLE_LEAK_AT_UNLOAD, "registry keys still open when the driver unloads")          \
    X(CALLBACK_REGISTERED_AT_UNLOAD,                                                               \
      "callback registrations still in place when the driver unloads")

#define QVX_RULE_ENUMERATOR(name, description) name,
enum class Rule : unsigned short { QVX_VERIFIER_RULES(QVX_RULE_ENUMERATOR) };
#undef QVX_RULE_ENUMERATOR

#define QVX_RULE_ONE(name, description) 1,
constexpr unsigned char RULE_ONES[] = {QVX_VERIFIER_RULES(QVX_RULE_ONE)};
constexpr unsigned RULE_COUNT = sizeof(RULE_ONES);
#undef QVX_RULE_ONE

// The rule's name as a report prints it, for example "SPINLOCK_RECURSION".
const char* RuleName(Rule rule);
// The rule's one-line description.
const char* RuleDescription(Rule rule);
// Prints the rule's name (test failure messages).
std::ostream& operator<<(std::ostream& out, Rule rule);

} // namespace qvx
