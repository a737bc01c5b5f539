// Each rule of the I/O layer is broken on purpose by the test driver and must be reported
// by name; the machine then goes on, and the test cleans up what the fault left behind.

#include "support/io_test_driver.h"

#include <wdmguid.h>

#include <cstring>

namespace qvx {
namespace {

class IoVerifierTest : public IoDriverTest
{
  protected:
    IoVerifierTest() { StartInSetUp = false; }

    void BootWith(TestDriverFault fault, LONGLONG readDelayMs = 0)
    {
        Config.Fault = fault;
        Config.ReadDelayMs = readDelayMs;
        ASSERT_EQ(Boot(), STATUS_SUCCESS);
    }
};

// Completion: twice, with a cancel routine set, with STATUS_PENDING, with more Information
// than the output buffer holds (the copy-back stays within the buffer).
TEST_F(IoVerifierTest, CompletionRulesAreReported)
{
    BootWith(TestDriverFault::CompleteTwice);
    const FileHandle handle = OpenCom5();
    EXPECT_EQ(Io().DeviceIoControl(handle, IOCTL_TEST_ECHO, {1, 2}, 2).Status, STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::IRP_COMPLETED_TWICE));

    TestDriverSettings().Fault = TestDriverFault::InformationTooLarge;
    EXPECT_EQ(Io().DeviceIoControl(handle, IOCTL_TEST_ECHO, {1, 2, 3}, 2).Data.size(), 2u);
    EXPECT_TRUE(ExpectViolation(Rule::INFORMATION_EXCEEDS_BUFFER));

    TestDriverSettings().Fault = TestDriverFault::CompleteWithPendingStatus;
    EXPECT_EQ(Io().Flush(handle).Status, STATUS_PENDING);
    EXPECT_TRUE(ExpectViolation(Rule::IRP_COMPLETED_WITH_STATUS_PENDING));

    TestDriverSettings().Fault = TestDriverFault::CompleteWithCancelRoutine;
    TestDriverSettings().ReadDelayMs = 1;
    EXPECT_EQ(Io().Read(handle, 2).Status, STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::IRP_COMPLETED_WITH_CANCEL_ROUTINE));
}

// The cancel spin lock is never held together with another lock, in either order.
TEST_F(IoVerifierTest, CancelLockWithAnotherLockIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KefAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(ExpectViolation(Rule::CANCEL_LOCK_WITH_OTHER_LOCK));
    KefReleaseSpinLockFromDpcLevel(&lock);
    IoReleaseCancelSpinLock(cancelIrql);

    const KIRQL old = KfAcquireSpinLock(&lock);
    IoAcquireCancelSpinLock(&cancelIrql);
    EXPECT_TRUE(ExpectViolation(Rule::CANCEL_LOCK_WITH_OTHER_LOCK));
    EXPECT_TRUE(ExpectViolation(Rule::LOCK_ORDER_CYCLE)); // the opposite order of the first pair
    IoReleaseCancelSpinLock(cancelIrql);
    KfReleaseSpinLock(&lock, old);
}

// Dispatch: STATUS_PENDING without the mark, and a return at another IRQL (put right).
TEST_F(IoVerifierTest, DispatchRulesAreReported)
{
    BootWith(TestDriverFault::PendingNotMarked);
    const FileHandle handle = OpenCom5();
    IoRequestPtr read = Io().ReadAsync(handle, 1);
    EXPECT_TRUE(ExpectViolation(Rule::PENDING_NOT_MARKED));
    EXPECT_EQ(CompleteTestReads(), 1u);
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);

    TestDriverSettings().Fault = TestDriverFault::ReturnAtDispatchLevel;
    EXPECT_EQ(Io().Write(handle, {7}).Status, STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::DISPATCH_IRQL_CHANGED));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A request sent with no stack location left is refused; the driver that waited for it
// completes it itself.
TEST_F(IoVerifierTest, NoMoreStackLocationsIsReported)
{
    BootWith(TestDriverFault::None);
    NTSTATUS finished = STATUS_PENDING;
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    PIRP irp = Io().AllocateIrp(1, [&finished](PIRP done) { finished = done->IoStatus.Status; });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    EXPECT_EQ(IoCallDriver(Fdo(), irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(ExpectViolation(Rule::NO_MORE_IRP_STACK_LOCATIONS));
    EXPECT_EQ(finished, STATUS_INVALID_DEVICE_REQUEST);
}

// A removal that deletes the device while a read is still queued; the orphan is then ended
// by hand.
TEST_F(IoVerifierTest, DeviceDeletedWithRequestsIsReported)
{
    Config.CleanupLeavesReads = true; // so the handle can close with the read queued
    BootWith(TestDriverFault::DeleteWithPendingRead);
    const FileHandle handle = OpenCom5();
    IoRequestPtr read = Io().ReadAsync(handle, 1);
    EXPECT_EQ(Pnp().SurpriseRemove(pdo_), STATUS_SUCCESS);
    ForgetHandle(handle);
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::DEVICE_DELETED_WITH_IRPS));
    PIRP orphan = read->Irp();
    ASSERT_NE(orphan, nullptr);
    (void)IoSetCancelRoutine(orphan, nullptr);
    // The device is delete-pending, so the handle's cleanup still reaches the driver's queue.
    RemoveEntryList(&orphan->Tail.Overlay.ListEntry);
    orphan->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(orphan, IO_NO_INCREMENT);
    EXPECT_TRUE(read->Done());
    // The delete-pending device holds up the unload until its close has been sent.
    EXPECT_EQ(Io().UnloadDriver(driver_), STATUS_INVALID_DEVICE_STATE);
    Io().RunPassiveWork();
}

// Deleting (and detaching) at surprise removal is reported. With a handle open the device is
// delete-pending: its extension stays, requests on the handle (cleanup and close included)
// still reach the driver, new opens fail, and the object goes with the last file object.
TEST_F(IoVerifierTest, DeviceDeletedWithHandlesOpenIsDeletePending)
{
    BootWith(TestDriverFault::DeleteAtSurpriseRemoval);
    const FileHandle handle = OpenCom5();
    const PDEVICE_OBJECT fdo = Fdo();
    EXPECT_EQ(Pnp().SurpriseRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(TakeAll(Rule::DEVICE_DELETED_OR_DETACHED_BEFORE_REMOVE), 2u);
    EXPECT_TRUE(Io().IsDeletePending(fdo));
    EXPECT_EQ(Io().Write(handle, {7}).Status, STATUS_SUCCESS);
    ASSERT_EQ(TestDriverEvents().Writes.size(), 1u);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Io().Open(u"\\\\.\\COM5", 0, &status), INVALID_FILE_HANDLE);
    EXPECT_FALSE(NT_SUCCESS(status));
    const int cleanups = TestDriverEvents().Cleanups;
    const int closes = TestDriverEvents().Closes;
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    ForgetHandle(handle);
    EXPECT_EQ(TestDriverEvents().Cleanups, cleanups + 1);
    EXPECT_EQ(TestDriverEvents().Closes, closes + 1);
    EXPECT_FALSE(Io().IsDeletePending(fdo));
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
}

VOID NTAPI IgnoreCallback(PVOID, PVOID, PVOID) {}

// Unload with a registry key still open or a callback registration still in place lists
// each by name.
TEST_F(IoVerifierTest, KeysAndCallbacksLeftAtUnloadAreListed)
{
    BootWith(TestDriverFault::None);
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QvxTest";
    UNICODE_STRING keyName = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    std::u16string callbackPath = u"\\Callback\\QvxLeft";
    UNICODE_STRING callbackName = Counted(callbackPath);
    InitializeObjectAttributes(&attributes, &callbackName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT,
                               nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(ExCreateCallback(&object, &attributes, TRUE, TRUE), STATUS_SUCCESS);
    PVOID registration = ExRegisterCallback(object, IgnoreCallback, nullptr);
    ASSERT_NE(registration, nullptr);

    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Io().UnloadDriver(driver_), STATUS_SUCCESS);
    std::string messages;
    for (const Violation& violation : Sim().Violations()) {
        messages += violation.Message + "\n";
    }
    EXPECT_NE(messages.find("QvxTest"), std::string::npos) << messages;
    EXPECT_NE(messages.find("QvxLeft"), std::string::npos) << messages;
    EXPECT_TRUE(ExpectViolation(Rule::REGISTRY_HANDLE_LEAK_AT_UNLOAD));
    EXPECT_TRUE(ExpectViolation(Rule::CALLBACK_REGISTERED_AT_UNLOAD));
    ZwClose(key);
    ExUnregisterCallback(registration);
    ObfDereferenceObject(object);
}

VOID NTAPI IgnoreDpc(PKDPC, PVOID, PVOID, PVOID) {}

// Unload with a timer still set and a DPC still queued lists each: on Windows they would run
// code that is no longer there.
TEST_F(IoVerifierTest, TimersAndDpcsLeftAtUnloadAreListed)
{
    BootWith(TestDriverFault::None);
    static KTIMER timer;
    static KDPC timerDpc;
    static KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&timerDpc, IgnoreDpc, nullptr);
    KeInitializeDpc(&dpc, IgnoreDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10'000'000;
    KeSetTimer(&timer, due, &timerDpc);
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
    Sim().HoldDpcs(true);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(Io().UnloadDriver(driver_), STATUS_SUCCESS);
    char timerText[32];
    char dpcText[32];
    snprintf(timerText, sizeof(timerText), "timer %p", static_cast<void*>(&timer));
    snprintf(dpcText, sizeof(dpcText), "DPC %p", static_cast<void*>(&dpc));
    std::string messages;
    for (const Violation& violation : Sim().Violations()) {
        messages += violation.Message + "\n";
    }
    EXPECT_NE(messages.find(timerText), std::string::npos) << messages;
    EXPECT_NE(messages.find(dpcText), std::string::npos) << messages;
    EXPECT_TRUE(ExpectViolation(Rule::TIMER_SET_AT_UNLOAD));
    EXPECT_TRUE(ExpectViolation(Rule::DPC_QUEUED_AT_UNLOAD));
    KeCancelTimer(&timer);
    KeRemoveQueueDpc(&dpc);
    Sim().HoldDpcs(false);
}

KTIMER g_otherTimer;
KDPC g_otherDpc;

VOID NTAPI OtherDriverUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI OtherDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    KeInitializeTimer(&g_otherTimer);
    KeInitializeDpc(&g_otherDpc, IgnoreDpc, nullptr);
    driver->DriverUnload = OtherDriverUnload;
    return STATUS_SUCCESS;
}

// With two drivers loaded, what is left set is charged to the driver that initialised it:
// the unload of one lists its own, not the test's (which no driver initialised).
TEST_F(IoVerifierTest, LeftoversAreChargedToTheDriverThatInitialisedThem)
{
    BootWith(TestDriverFault::None);
    PDRIVER_OBJECT other = Io().LoadDriver(u"QvxOther", OtherDriverEntry, nullptr, {0x6f6f7651});
    ASSERT_NE(other, nullptr);
    static KTIMER timer;
    static KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, IgnoreDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10'000'000;
    KeSetTimer(&g_otherTimer, due, nullptr);
    KeSetTimer(&timer, due, nullptr);
    Sim().HoldDpcs(true);
    KeInsertQueueDpc(&g_otherDpc, nullptr, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(Io().UnloadDriver(other), STATUS_SUCCESS);
    std::string messages;
    for (const Violation& violation : Sim().Violations()) {
        messages += violation.Message + "\n";
    }
    const auto listed = [&messages](const char* kind, const void* object) {
        char text[32];
        snprintf(text, sizeof(text), "%s %p", kind, object);
        return messages.find(text) != std::string::npos;
    };
    EXPECT_TRUE(listed("timer", &g_otherTimer)) << messages;
    EXPECT_TRUE(listed("DPC", &g_otherDpc)) << messages;
    EXPECT_FALSE(listed("timer", &timer)) << messages;
    EXPECT_FALSE(listed("DPC", &dpc)) << messages;
    EXPECT_TRUE(ExpectViolation(Rule::TIMER_SET_AT_UNLOAD));
    EXPECT_TRUE(ExpectViolation(Rule::DPC_QUEUED_AT_UNLOAD));
    KeCancelTimer(&g_otherTimer);
    KeCancelTimer(&timer);
    KeRemoveQueueDpc(&g_otherDpc);
    KeRemoveQueueDpc(&dpc);
    Sim().HoldDpcs(false);
}

// Unload with the driver's pool still allocated lists the leak by tag.
TEST_F(IoVerifierTest, PoolLeftAtUnloadIsListedByTag)
{
    BootWith(TestDriverFault::LeakPoolAtUnload);
    EXPECT_EQ(Io().UnloadDriver(driver_), STATUS_INVALID_DEVICE_STATE); // Device still there.
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Io().UnloadDriver(driver_), STATUS_SUCCESS);
    bool listed = false;
    for (const Violation& violation : Sim().Violations()) {
        listed = listed ||
                 (violation.Rule == Rule::POOL_LEAK_AT_UNLOAD &&
                  violation.Message.find("'Qvst': 1 block(s), 24 byte(s)") != std::string::npos);
    }
    EXPECT_TRUE(listed);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_LEAK_AT_UNLOAD));
    ExFreePoolWithTag(TestDriverLeakedBlock(), TEST_DRIVER_TAG);
}

// Plug and Play: AddDevice leaving the device initialising (which refuses opens), a removal
// failed and kept from the bus, an unhandled request passed down with a new status.
TEST_F(IoVerifierTest, PlugAndPlayRulesAreReported)
{
    BootWith(TestDriverFault::LeaveInitializing);
    EXPECT_TRUE(ExpectViolation(Rule::DEVICE_INITIALIZING_AFTER_ADD_DEVICE));
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(OpenCom5(&status), INVALID_FILE_HANDLE);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);

    TestDriverSettings().Fault = TestDriverFault::FailRemove;
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(ExpectViolation(Rule::PNP_REMOVE_FAILED));
    EXPECT_TRUE(ExpectViolation(Rule::PNP_REMOVE_NOT_PASSED_DOWN));
    EXPECT_TRUE(ExpectViolation(Rule::DEVICE_NOT_DETACHED_AT_REMOVE));
    EXPECT_TRUE(ExpectViolation(Rule::SYMBOLIC_LINK_LEFT_AFTER_REMOVE));
    DestroyTestDevice(Fdo());

    TestDriverSettings().Fault = TestDriverFault::ChangeUnhandledPnpStatus;
    BusDeviceConfig config;
    config.InstanceId = u"ROOT\\PORTS\\0001";
    PDEVICE_OBJECT pdo = nullptr;
    EXPECT_EQ(Pnp().Enumerate(config, driver_, &pdo), STATUS_SUCCESS);
    EXPECT_EQ(TakeAll(Rule::PNP_UNHANDLED_STATUS_CHANGED), 3u); // filter, state, relations
    EXPECT_EQ(Pnp().Remove(pdo), STATUS_SUCCESS);
}

// Power: PoStartNextPowerIrp forgotten, or called twice for one request.
TEST_F(IoVerifierTest, PowerStartNextRulesAreReported)
{
    BootWith(TestDriverFault::SkipPoStartNext);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(Pnp().SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::PO_START_NEXT_MISSING));
    TestDriverSettings().Fault = TestDriverFault::PoStartNextTwice;
    EXPECT_EQ(Pnp().SendPower(pdo_, IRP_MN_QUERY_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::PO_START_NEXT_TWICE));
}

// Power: a request passed down with IofCallDriver instead of PoCallDriver, and a function
// device without DO_POWER_PAGABLE above the pageable PDO.
TEST_F(IoVerifierTest, PowerCallAndPagableRulesAreReported)
{
    BootWith(TestDriverFault::PowerWithIofCallDriver);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(Pnp().SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::POWER_IRP_WITHOUT_PO_CALL_DRIVER));
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);

    TestDriverSettings().Fault = TestDriverFault::NotPowerPagable;
    BusDeviceConfig config;
    config.InstanceId = u"ROOT\\PORTS\\0001";
    PDEVICE_OBJECT pdo = nullptr;
    EXPECT_EQ(Pnp().Enumerate(config, driver_, &pdo), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::DEVICE_NOT_POWER_PAGABLE));
    EXPECT_EQ(Pnp().Remove(pdo), STATUS_SUCCESS);
}

// A key opened at open without OBJ_KERNEL_HANDLE would be the application's handle; with
// the flag (the driver's normal path, in every other test) nothing is reported.
TEST_F(IoVerifierTest, UserHandleOpenedInCallerContextIsReported)
{
    BootWith(TestDriverFault::OpenKeyAsUserHandle);
    OpenCom5();
    EXPECT_TRUE(ExpectViolation(Rule::KERNEL_HANDLE_IN_CALLER_CONTEXT));
    TestDriverSettings().Fault = TestDriverFault::None;
    OpenCom5();
    EXPECT_TRUE(Sim().Violations().empty());
}

using IoVerifierDeathTest = IoVerifierTest;

// In aborting mode the first violation stops the process and names its rule.
TEST_F(IoVerifierDeathTest, SecondCompletionStopsTheProcess)
{
    BootWith(TestDriverFault::CompleteTwice);
    const FileHandle handle = OpenCom5();
    EXPECT_DEATH(
        {
            DeathTestMachine abortOnViolation;
            Io().DeviceIoControl(handle, IOCTL_TEST_ECHO, {1}, 1);
        },
        RuleName(Rule::IRP_COMPLETED_TWICE));
}

// A driver listening for device interfaces of one class (none of this file's test driver).
struct Listener
{
    std::vector<std::pair<bool, std::u16string>> Events; // arrival?, link
    std::vector<KIRQL> Irqls;
    bool RaiseIrql = false;
    PVOID Entry = nullptr;
};
Listener g_listener;
const GUID LISTENED_CLASS = {0x5e1ec7ed, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};

NTSTATUS NTAPI ListenerChange(PVOID notification, PVOID)
{
    const auto* note = static_cast<const DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(notification);
    g_listener.Irqls.push_back(KeGetCurrentIrql());
    g_listener.Events.emplace_back(
        IsEqualGUID(note->Event, GUID_DEVICE_INTERFACE_ARRIVAL),
        std::u16string(note->SymbolicLinkName->Buffer, note->SymbolicLinkName->Length / 2));
    if (g_listener.RaiseIrql) {
        (void)KfRaiseIrql(DISPATCH_LEVEL);
    }
    return STATUS_SUCCESS;
}

VOID NTAPI ListenerUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ListenerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = ListenerUnload;
    return IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        const_cast<GUID*>(&LISTENED_CLASS), driver, ListenerChange, nullptr, &g_listener.Entry);
}

// Interfaces that exist are reported inside the registration; later arrivals and removals
// come from the system worker at PASSIVE_LEVEL. A routine returning at DISPATCH_LEVEL and a
// registration left at unload are reported.
TEST_F(IoVerifierTest, InterfaceNotificationsAndTheirRules)
{
    g_listener = Listener();
    BusDeviceConfig config;
    config.InstanceId = u"ROOT\\LISTENED\\0000";
    PDEVICE_OBJECT pdo = Pnp().CreatePdo(config);
    ASSERT_NE(pdo, nullptr);
    UNICODE_STRING first;
    UNICODE_STRING second;
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &LISTENED_CLASS, nullptr, &first), STATUS_SUCCESS);
    std::u16string reference = u"two";
    UNICODE_STRING referenceName = Counted(reference);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &LISTENED_CLASS, &referenceName, &second),
              STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
    Io().RunPassiveWork();
    EXPECT_TRUE(g_listener.Events.empty()) << "told of an interface before registering";

    PDRIVER_OBJECT driver =
        Io().LoadDriver(u"QvxListener", ListenerEntry, nullptr, {TEST_DRIVER_TAG});
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(g_listener.Events.size(), 1u) << "the existing interface, inside the registration";
    EXPECT_TRUE(g_listener.Events[0].first);

    ASSERT_EQ(IoSetDeviceInterfaceState(&second, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&first, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(g_listener.Events.size(), 1u) << "called in the caller's thread, not the worker";
    EXPECT_EQ(Io().RunPassiveWork(), 2u);
    ASSERT_EQ(g_listener.Events.size(), 3u);
    EXPECT_TRUE(g_listener.Events[1].first);
    EXPECT_FALSE(g_listener.Events[2].first);
    EXPECT_EQ(g_listener.Events[2].second, std::u16string(first.Buffer, first.Length / 2));
    for (KIRQL irql : g_listener.Irqls) {
        EXPECT_EQ(irql, PASSIVE_LEVEL);
    }

    g_listener.RaiseIrql = true;
    ASSERT_EQ(IoSetDeviceInterfaceState(&second, FALSE), STATUS_SUCCESS);
    Io().RunPassiveWork();
    EXPECT_TRUE(ExpectViolation(Rule::PNP_NOTIFICATION_IRQL_CHANGED));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    EXPECT_EQ(Io().UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::PNP_NOTIFICATION_REGISTERED_AT_UNLOAD));
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(g_listener.Entry), STATUS_SUCCESS);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
    EXPECT_EQ(Pnp().DeletePdo(pdo), STATUS_SUCCESS);
}

} // namespace
} // namespace qvx
