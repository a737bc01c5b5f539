#include "platform/machine/machine.h"
// ctest-labels: platform names
#include <gtest/gtest.h>

#include "support/machine_fixture.h"

#include <ntddk.h>
#include <ntddser.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

UNICODE_STRING Counted(const char16_t* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

std::u16string Text(const UNICODE_STRING& string)
{
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

// Opens or creates a callback object the way the driver does (attributes 0x50).
NTSTATUS OpenCallback(const char16_t* name, PCALLBACK_OBJECT* object, BOOLEAN create = TRUE,
                      BOOLEAN allowMultiple = TRUE, ULONG attributes = 0x50)
{
    UNICODE_STRING text = Counted(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &text, attributes, nullptr, nullptr);
    return ExCreateCallback(object, &oa, create, allowMultiple);
}

struct Call
{
    int Id;
    PVOID Argument1;
    PVOID Argument2;
    KIRQL Irql;
};

struct Recorder
{
    int Id;
    std::vector<Call>* Calls;
    PVOID Registration = nullptr; // set when the routine is to unregister itself
};

VOID NTAPI RecordCall(PVOID context, PVOID argument1, PVOID argument2)
{
    auto* recorder = static_cast<Recorder*>(context);
    recorder->Calls->push_back({recorder->Id, argument1, argument2, KeGetCurrentIrql()});
    if (recorder->Registration != nullptr) {
        ExUnregisterCallback(recorder->Registration);
    }
}

using NamesTest = qvx::SimMachineTest;

// Both registrations run inside the notification, in registration order, at the notifier's
// IRQL, each with its own context and the notifier's arguments.
TEST_F(NamesTest, TwoRoutinesAreNotifiedSynchronouslyInRegistrationOrder)
{
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\LyntraRecvCOM5", &object), STATUS_SUCCESS);
    std::vector<Call> calls;
    Recorder first{1, &calls};
    Recorder second{2, &calls};
    PVOID one = ExRegisterCallback(object, RecordCall, &first);
    PVOID two = ExRegisterCallback(object, RecordCall, &second);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(Sim().Names().RegistrationCount(u"\\callback\\lyntrarecvcom5"), 2u);

    UCHAR bytes[3] = {1, 2, 3};
    ULONG count = 3;
    {
        qvx::DispatchLevelScope dispatch;
        ExNotifyCallback(object, bytes, &count);
        ASSERT_EQ(calls.size(), 2u); // before the notifier went on
    }
    EXPECT_EQ(calls[0].Id, 1);
    EXPECT_EQ(calls[1].Id, 2);
    for (const Call& call : calls) {
        EXPECT_EQ(call.Argument1, bytes);
        EXPECT_EQ(call.Argument2, &count);
        EXPECT_EQ(call.Irql, DISPATCH_LEVEL);
    }

    ExUnregisterCallback(one);
    calls.clear();
    ExNotifyCallback(object, nullptr, nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Id, 2);
    ExUnregisterCallback(two);
    ObDereferenceObject(object);
}

// The object lives on in the namespace after its last reference: reopening it (in any case)
// gives the same object with the peer's registration still on it. A temporary object goes.
TEST_F(NamesTest, PermanentObjectSurvivesItsLastDereferenceTemporaryOneDoesNot)
{
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\LyntraSendCOM5", &object), STATUS_SUCCESS);
    std::vector<Call> calls;
    Recorder peer{7, &calls};
    PVOID registration = ExRegisterCallback(object, RecordCall, &peer);
    ASSERT_NE(registration, nullptr);
    ObDereferenceObject(object);
    EXPECT_EQ(Sim().Names().FindCallback(u"\\Callback\\LyntraSendCOM5"), object);

    PCALLBACK_OBJECT again = nullptr;
    ASSERT_EQ(OpenCallback(u"\\CALLBACK\\lyntrasendcom5", &again, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(again, object);
    ExNotifyCallback(again, nullptr, nullptr);
    ASSERT_EQ(calls.size(), 1u);
    ExUnregisterCallback(registration);
    ObDereferenceObject(again);
    EXPECT_EQ(Sim().Names().ReferenceCount(object), 0);
    EXPECT_EQ(Sim().Names().FindCallback(u"\\Callback\\LyntraSendCOM5"), object);

    PCALLBACK_OBJECT temporary = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\Scratch", &temporary, TRUE, TRUE, OBJ_CASE_INSENSITIVE),
              STATUS_SUCCESS);
    ObDereferenceObject(temporary);
    EXPECT_EQ(Sim().Names().FindCallback(u"\\Callback\\Scratch"), nullptr);
    EXPECT_EQ(OpenCallback(u"\\Callback\\Scratch", &temporary, FALSE),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// Attribute checks, single-registration objects, and the injected failures a driver's
// unwinding is tested with.
TEST_F(NamesTest, CreateAndRegisterRefuseWhatTheKernelRefuses)
{
    PCALLBACK_OBJECT object = nullptr;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, 0x50, nullptr, nullptr);
    EXPECT_EQ(ExCreateCallback(&object, &oa, TRUE, TRUE), STATUS_UNSUCCESSFUL);
    UNICODE_STRING name = Counted(u"\\Callback\\Single");
    InitializeObjectAttributes(&oa, &name, 0x50, nullptr, nullptr);
    oa.Length = 24 + 1;
    EXPECT_EQ(ExCreateCallback(&object, &oa, TRUE, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OpenCallback(u"\\Callback\\Single", &object, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenCallback(u"\\NoSuchDirectory\\Single", &object), STATUS_OBJECT_PATH_NOT_FOUND);

    // AllowMultipleCallbacks counts only at creation.
    ASSERT_EQ(OpenCallback(u"\\Callback\\Single", &object, TRUE, FALSE), STATUS_SUCCESS);
    PCALLBACK_OBJECT reopened = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\Single", &reopened, TRUE, TRUE), STATUS_SUCCESS);
    std::vector<Call> calls;
    Recorder recorder{1, &calls};
    PVOID first = ExRegisterCallback(object, RecordCall, &recorder);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExRegisterCallback(reopened, RecordCall, &recorder), nullptr);
    ExUnregisterCallback(first);

    Sim().Names().InjectFailure(qvx::NamespaceFault::CreateCallback, 2,
                                STATUS_INSUFFICIENT_RESOURCES);
    PCALLBACK_OBJECT receive = nullptr;
    PCALLBACK_OBJECT send = nullptr;
    EXPECT_EQ(OpenCallback(u"\\Callback\\LyntraRecvCOM9", &receive), STATUS_SUCCESS);
    EXPECT_EQ(OpenCallback(u"\\Callback\\LyntraSendCOM9", &send), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(send, nullptr);
    EXPECT_EQ(Sim().Names().FindCallback(u"\\Callback\\LyntraSendCOM9"), nullptr);
    Sim().Names().InjectFailure(qvx::NamespaceFault::RegisterCallback);
    EXPECT_EQ(ExRegisterCallback(receive, RecordCall, &recorder), nullptr);
    PVOID later = ExRegisterCallback(receive, RecordCall, &recorder);
    EXPECT_NE(later, nullptr);
    ExUnregisterCallback(later);
    for (PCALLBACK_OBJECT each : {object, reopened, receive}) {
        ObDereferenceObject(each);
    }
}

// A routine that unregisters itself is reported instead of hanging; the notification goes
// on to the next registration and the unregistered one is never called again.
TEST_F(NamesTest, UnregisteringFromItsOwnCallbackIsReportedAndCompletedLater)
{
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\SelfRemoving", &object), STATUS_SUCCESS);
    std::vector<Call> calls;
    Recorder self{1, &calls};
    Recorder other{2, &calls};
    self.Registration = ExRegisterCallback(object, RecordCall, &self);
    PVOID otherRegistration = ExRegisterCallback(object, RecordCall, &other);

    ExNotifyCallback(object, nullptr, nullptr);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(Sim().HasViolation(qvx::Rule::CALLBACK_UNREGISTERED_IN_CALLBACK));
    EXPECT_EQ(Sim().Names().RegistrationCount(u"\\Callback\\SelfRemoving"), 1u);
    calls.clear();
    ExNotifyCallback(object, nullptr, nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Id, 2);

    // A second unregistration of the same handle, and calls above their IRQL ceiling.
    ExUnregisterCallback(self.Registration);
    EXPECT_TRUE(Sim().HasViolation(qvx::Rule::INVALID_CALLBACK_REGISTRATION));
    PVOID atDispatch = nullptr;
    {
        qvx::DispatchLevelScope dispatch;
        atDispatch = ExRegisterCallback(object, RecordCall, &other);
    }
    EXPECT_NE(atDispatch, nullptr);
    EXPECT_TRUE(Sim().HasViolation(qvx::Rule::IRQL_TOO_HIGH));
    ExUnregisterCallback(atDispatch);
    ExUnregisterCallback(otherRegistration);
    EXPECT_TRUE(Sim().Names().Registrations().empty());
    ObDereferenceObject(object);
    ObDereferenceObject(object); // one more than it held
    EXPECT_TRUE(Sim().HasViolation(qvx::Rule::INVALID_OBJECT_REFERENCE));
    Sim().ClearViolations();
}

// \\.\COM5, \??\COM5 and \DosDevices\COM5 name the same link in any case; the link leads to
// the device, and a second link of the same name collides.
TEST_F(NamesTest, SymbolicLinkResolvesApplicationNamesToTheDevice)
{
    DEVICE_OBJECT device{};
    ASSERT_EQ(Sim().Names().InsertDevice(u"\\Device\\QuarvexDevice0", &device), STATUS_SUCCESS);
    EXPECT_EQ(Sim().Names().InsertDevice(u"\\Device\\quarvexdevice0", &device),
              STATUS_OBJECT_NAME_COLLISION);

    UNICODE_STRING link = Counted(u"\\??\\COM5");
    UNICODE_STRING target = Counted(u"\\Device\\QuarvexDevice0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING alias = Counted(u"\\DosDevices\\com5");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);

    for (const char16_t* name : {u"\\\\.\\COM5", u"\\\\.\\com5", u"\\??\\COM5",
                                 u"\\DosDevices\\COM5", u"\\Device\\QuarvexDevice0"}) {
        EXPECT_EQ(Sim().Names().ResolveForOpen(name), &device) << qvx::Utf16ToUtf8(name);
    }
    EXPECT_EQ(Sim().Names().ResolveForOpen(u"\\\\.\\COM6"), nullptr);

    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Sim().Names().ResolveForOpen(u"\\\\.\\COM5"), nullptr);

    Sim().Names().InjectFailure(qvx::NamespaceFault::CreateSymbolicLink, 1, STATUS_ACCESS_DENIED);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Sim().Names().SymbolicLinks().empty());
    EXPECT_EQ(Sim().Names().RemoveDevice(u"\\Device\\QuarvexDevice0"), STATUS_SUCCESS);
    EXPECT_EQ(Sim().Names().LookupDevice(u"\\Device\\QuarvexDevice0"), nullptr);
}

// Registration is idempotent per PDO and class; enabling twice and disabling twice answer
// as the PnP manager does; the name is the system's string, freed with its own tag.
TEST_F(NamesTest, DeviceInterfaceStatesAndTheSystemOwnedName)
{
    DEVICE_OBJECT pdo{};
    UNICODE_STRING first{};
    UNICODE_STRING second{};
    // Only a PDO the PnP manager knows (it has an instance path) may register, with a
    // reference string free of path separators.
    EXPECT_EQ(IoRegisterDeviceInterface(&pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &first),
              STATUS_INVALID_DEVICE_REQUEST);
    Sim().Names().SetInstancePathProvider([&](PDEVICE_OBJECT p) {
        return p == &pdo ? std::u16string(u"ROOT\\PORTS\\0000") : std::u16string();
    });
    UNICODE_STRING badReference = Counted(u"a\\b");
    EXPECT_EQ(IoRegisterDeviceInterface(&pdo, &GUID_DEVINTERFACE_COMPORT, &badReference, &first),
              STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &first),
              STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &second),
              STATUS_SUCCESS);
    const std::u16string expected = u"\\??\\ROOT#PORTS#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    EXPECT_EQ(Text(first), expected);
    EXPECT_EQ(Text(second), expected);
    EXPECT_EQ(first.Buffer[first.Length / 2], 0);
    EXPECT_NE(first.Buffer, second.Buffer);

    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&second, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(Sim().Names().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT),
              std::vector<std::u16string>{expected});
    EXPECT_EQ(Sim().Names().ResolveForOpen(
                  u"\\\\?\\ROOT#PORTS#0000#{86E0D1E0-8089-11D0-9CE4-08003E301F73}"),
              &pdo);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(Sim().Names().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
    UNICODE_STRING unknown =
        Counted(u"\\??\\ROOT#PORTS#0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(Sim().OutstandingBlocks(qvx::SYSTEM_STRING_TAG), 2u);
    RtlFreeUnicodeString(&first);
    EXPECT_EQ(first.Buffer, nullptr);
    EXPECT_EQ(first.Length, 0);
    EXPECT_EQ(first.MaximumLength, 0);
    // The driver's own tag on the system's buffer is a mismatch the pool reports.
    ExFreePoolWithTag(second.Buffer, 'q' | 'r' << 8 | 'v' << 16 | 'x' << 24);
    EXPECT_TRUE(Sim().HasViolation(qvx::Rule::POOL_TAG_MISMATCH));
    Sim().ClearViolations();

    // The PnP manager's instance path names the instance; injected failures leave nothing.
    DEVICE_OBJECT other{};
    Sim().Names().SetInstancePathProvider([&](PDEVICE_OBJECT p) {
        return p == &other ? std::u16string(u"ROOT\\PORTS\\0007")
               : p == &pdo ? std::u16string(u"ROOT\\PORTS\\0000")
                           : std::u16string();
    });
    Sim().Names().InjectFailure(qvx::NamespaceFault::RegisterDeviceInterface);
    EXPECT_EQ(IoRegisterDeviceInterface(&other, &GUID_DEVINTERFACE_COMPORT, nullptr, &first),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Sim().Names().DeviceInterfaces().size(), 1u);
    ASSERT_EQ(IoRegisterDeviceInterface(&other, &GUID_DEVINTERFACE_COMPORT, nullptr, &first),
              STATUS_SUCCESS);
    EXPECT_EQ(Text(first).substr(0, 20), u"\\??\\ROOT#PORTS#0007#");
    RtlFreeUnicodeString(&first);
    EXPECT_TRUE(Sim().Names().RemoveDeviceInterfaces(&pdo).empty());
}

// Real time: unregistering waits until a call of the registration in progress on another
// thread has returned.
TEST(NamesRealTimeTest, UnregisterWaitsForACallInProgressOnAnotherThread)
{
    qvx::MachineOptions options;
    options.Mode = qvx::MachineMode::RealTime;
    qvx::Machine machine(options);
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\Slow", &object), STATUS_SUCCESS);

    struct Gate
    {
        std::promise<void> Entered;
        std::promise<void> Release;
        std::atomic<bool> Unregistered{false};
        bool SawUnregisteredInside = false;
    } gate;
    auto routine = [](PVOID context, PVOID, PVOID) {
        auto* g = static_cast<Gate*>(context);
        g->Entered.set_value();
        g->Release.get_future().wait();
        g->SawUnregisteredInside = g->Unregistered.load();
    };
    PVOID registration = ExRegisterCallback(object, routine, &gate);
    ASSERT_NE(registration, nullptr);

    std::thread notifier([&] { ExNotifyCallback(object, nullptr, nullptr); });
    gate.Entered.get_future().wait();
    std::thread unregisterer([&] {
        ExUnregisterCallback(registration);
        gate.Unregistered = true;
    });
    // The registration stops counting as soon as the unregistration has begun.
    while (machine.Names().RegistrationCount(u"\\Callback\\Slow") != 0) {
        std::this_thread::yield();
    }
    gate.Release.set_value();
    notifier.join();
    unregisterer.join();
    EXPECT_FALSE(gate.SawUnregisteredInside);
    ObDereferenceObject(object);
    EXPECT_TRUE(machine.Violations().empty());
}

} // namespace
