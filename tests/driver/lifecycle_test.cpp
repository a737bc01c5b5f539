// Driver entry, add device and start under failure: every allocation and every platform call
// that can fail is failed in turn; the failure is reported with its status, leaves nothing
// behind, and the same steps succeed afterwards. Unload frees what driver entry took.
// ctest-labels: pnp

#include "support/frame_fixture.h"

#include "host/peers/peer_endpoint.h"
#include "platform/machine/machine.h"
#include "port/kcompat.h"
#include "support/recording_peer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace qvx {
namespace {

class LifecycleTest : public SimMachineTest
{
  protected:
    // Nothing of the driver is left but what a loaded driver holds: its registry path copy.
    void ExpectClean(const DriverHost& host)
    {
        EXPECT_TRUE(Sim().Names().SymbolicLinks().empty());
        EXPECT_TRUE(Sim().Names().Registrations().empty());
        EXPECT_TRUE(Sim().Names().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
        EXPECT_TRUE(Sim()
                        .Reg()
                        .ListValues(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM")
                        .empty());
        const size_t expected = host.Driver() != nullptr ? 1 : 0;
        EXPECT_EQ(Sim().OutstandingBlocks(), expected) << Sim().PoolReport();
        if (host.Driver() != nullptr) {
            EXPECT_EQ(host.Driver()->DeviceObject, nullptr);
        }
        EXPECT_TRUE(host.Ports().empty());
    }

    // Loads when needed and starts COM5; the port then carries data to its peer.
    void ExpectRetrySucceeds(DriverHost& host)
    {
        if (host.Driver() == nullptr) {
            ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        }
        ASSERT_EQ(host.AddPort(u"COM5"), STATUS_SUCCESS);
        RecordingPeer peer(u"COM5");
        const FileHandle handle = Sim().Io().Open(u"\\\\.\\COM5");
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        EXPECT_EQ(Sim().Io().Write(handle, {'o', 'k'}).Status, STATUS_SUCCESS);
        Sim().AdvanceMs(40);
        EXPECT_EQ(peer.Received(), (std::vector<uint8_t>{'o', 'k'}));
        EXPECT_EQ(Sim().Io().Close(handle), STATUS_SUCCESS);
    }

    // Each iteration ends with the driver unloaded: no leak report, no rule broken.
    void ExpectIterationClean()
    {
        for (const Violation& violation : Sim().Violations()) {
            ADD_FAILURE() << violation.Rule << ": " << violation.Message;
        }
        Sim().ClearViolations();
        EXPECT_EQ(Sim().OutstandingBlocks(), 0u) << Sim().PoolReport();
    }
};

// The n-th allocation of load, add device and start fails, for every n until one run makes
// fewer than n: the step fails with STATUS_INSUFFICIENT_RESOURCES and a retry succeeds.
TEST_F(LifecycleTest, EachAllocationFailureIsReportedAndUndone)
{
    for (ULONG n = 1;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        ASSERT_LT(n, 200u) << "the sweep does not end";
        bool injected = false;
        {
            DriverHost host(Sim());
            const ULONG before = Sim().AllocationCount();
            Sim().FailNthAllocation(n);
            NTSTATUS status = host.Load();
            if (NT_SUCCESS(status)) {
                status = host.AddPort(u"COM5");
            }
            injected = Sim().AllocationCount() - before >= n;
            Sim().FailNthAllocation(0);
            if (!injected) {
                EXPECT_EQ(status, STATUS_SUCCESS);
            } else {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                ExpectClean(host);
                ExpectRetrySucceeds(host);
            }
        }
        ExpectIterationClean();
        if (!injected || HasFailure()) {
            break;
        }
    }
}

// Every platform call of add device and start that can fail, failed once: the start fails
// with the platform's status (add device with its own for a failed attach or work item),
// nothing stays published, and the next attempt succeeds.
TEST_F(LifecycleTest, EachPlatformFailureIsReportedAndUndone)
{
    struct Case
    {
        const char* What;
        std::function<void()> Inject;
        NTSTATUS Expected;
    };
    Machine& m = Sim();
    const std::vector<Case> cases = {
        {"create device",
         [&] { m.Io().InjectFailure(IoFault::CreateDevice, 1, STATUS_OBJECT_NAME_COLLISION); },
         STATUS_OBJECT_NAME_COLLISION},
        {"work item", [&] { m.Io().InjectFailure(IoFault::AllocateWorkItem); },
         STATUS_INSUFFICIENT_RESOURCES},
        {"attach", [&] { m.Io().InjectFailure(IoFault::AttachDevice); }, STATUS_DEVICE_REMOVED},
        {"hardware key",
         [&] { m.Reg().InjectFailure(RegistryFault::OpenDeviceKey, 1, STATUS_ACCESS_DENIED); },
         STATUS_ACCESS_DENIED},
        {"symbolic link",
         [&] {
             m.Names().InjectFailure(NamespaceFault::CreateSymbolicLink, 1,
                                     STATUS_OBJECT_NAME_COLLISION);
         },
         STATUS_OBJECT_NAME_COLLISION},
        {"device map",
         [&] { m.Reg().InjectFailure(RegistryFault::WriteValue, 1, STATUS_ACCESS_DENIED); },
         STATUS_ACCESS_DENIED},
        {"interface",
         [&] {
             m.Names().InjectFailure(NamespaceFault::RegisterDeviceInterface, 1,
                                     STATUS_INVALID_DEVICE_REQUEST);
         },
         STATUS_INVALID_DEVICE_REQUEST},
        {"receive object",
         [&] { m.Names().InjectFailure(NamespaceFault::CreateCallback, 1, STATUS_ACCESS_DENIED); },
         STATUS_ACCESS_DENIED},
        {"send object",
         [&] { m.Names().InjectFailure(NamespaceFault::CreateCallback, 2, STATUS_ACCESS_DENIED); },
         STATUS_ACCESS_DENIED},
        {"receive registration", [&] { m.Names().InjectFailure(NamespaceFault::RegisterCallback); },
         STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        {
            DriverHost host(Sim());
            ASSERT_EQ(host.Load(), STATUS_SUCCESS);
            c.Inject();
            EXPECT_EQ(host.AddPort(u"COM5"), c.Expected);
            Sim().Io().ClearFailures();
            Sim().Reg().ClearFailures();
            Sim().Names().ClearFailures();
            ExpectClean(host);
            ExpectRetrySucceeds(host);
        }
        ExpectIterationClean();
    }
}

// Unload after the last removal frees the registry path copy and leaves no report; the
// same driver loads again and numbers its devices from 0.
TEST_F(LifecycleTest, UnloadAfterLastRemovalFreesEverything)
{
    TraceCapture trace(Sim());
    {
        DriverHost host(Sim());
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        EXPECT_TRUE(trace.Contains("DriverEntry--. STATUS 0"));
        PDEVICE_OBJECT com5 = nullptr;
        PDEVICE_OBJECT com6 = nullptr;
        ASSERT_EQ(host.AddPort(u"COM5", &com5), STATUS_SUCCESS);
        ASSERT_EQ(host.AddPort(u"COM6", &com6), STATUS_SUCCESS);
        const FileHandle handle = Sim().Io().Open(u"\\\\.\\COM6");
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        EXPECT_EQ(Sim().Io().Close(handle), STATUS_SUCCESS);
        EXPECT_EQ(host.RemovePort(com6), STATUS_SUCCESS);
        EXPECT_EQ(host.RemovePort(com5), STATUS_SUCCESS);
        EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_POOL_TAG), 1u) << Sim().PoolReport();
        EXPECT_EQ(host.Unload(), STATUS_SUCCESS);
        EXPECT_TRUE(trace.Contains("QuarvexUnload--"));
        ExpectIterationClean();

        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        ASSERT_EQ(host.AddPort(u"COM5", &com5), STATUS_SUCCESS);
        EXPECT_EQ(Sim().Io().DeviceName(host.FunctionDevice(com5)), u"\\Device\\QuarvexDevice0");
    }
    ExpectIterationClean();
}

} // namespace
} // namespace qvx
