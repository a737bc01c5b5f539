// quarvexpeer.sys beside quarvex.sys on one machine, both started from their entry points:
// every load order, ports arriving and leaving, stop and removal with bytes in flight, the
// peer unloading under traffic and coming back, the bounds of what it hands a port, its status
// list as a program reads it, and its entry under failing allocations.

#include "peers/peers_fixture.h"
#include "support/watchdog.h"
#include "win32_list.h"

#include "kpeer/kpeer.h"

#include <gmock/gmock.h>

#include <algorithm>

namespace qvx {
namespace {

constexpr ULONG ROOM = sizeof(QvxPeerListHeader) + 16 * sizeof(QvxPeerPortStatus);

// Watches what reaches a port's receive object: every notification's size, the largest one,
// and the most handed over between two resets (one delivery run).
class ReceiveObserver
{
  public:
    explicit ReceiveObserver(const std::u16string& port)
    {
        std::u16string name = u"\\Callback\\LyntraRecv" + port;
        UNICODE_STRING text = Counted(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT,
                                   nullptr, nullptr);
        EXPECT_EQ(ExCreateCallback(&object_, &attributes, TRUE, TRUE), STATUS_SUCCESS);
        registration_ = ExRegisterCallback(object_, Observe, this);
        EXPECT_NE(registration_, nullptr);
    }
    ~ReceiveObserver()
    {
        ExUnregisterCallback(registration_);
        ObfDereferenceObject(object_);
    }
    ReceiveObserver(const ReceiveObserver&) = delete;
    ReceiveObserver& operator=(const ReceiveObserver&) = delete;

    void NewRun() { run_ = 0; }
    ULONG Bytes = 0;
    ULONG LargestNotification = 0;
    ULONG LargestRun = 0;

  private:
    static VOID NTAPI Observe(PVOID context, PVOID, PVOID argument2)
    {
        auto* self = static_cast<ReceiveObserver*>(context);
        const ULONG count = *static_cast<ULONG*>(argument2);
        self->Bytes += count;
        self->run_ += count;
        self->LargestNotification = std::max(self->LargestNotification, count);
        self->LargestRun = std::max(self->LargestRun, self->run_);
    }

    PCALLBACK_OBJECT object_ = nullptr;
    PVOID registration_ = nullptr;
    ULONG run_ = 0;
};

class KernelPeerTest : public PeersTest
{
  protected:
    void LoadPeer()
    {
        if (!Kernel) {
            Kernel = std::make_unique<KernelPeerHost>(Sim());
        }
        ASSERT_EQ(Kernel->Load(), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT AddPort(const std::u16string& name, const std::u16string& peer,
                           const std::u16string& instance)
    {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(Ports().AddPortInstance(instance, {{u"PortName", name}, {u"Peer", peer}}, &pdo),
                  STATUS_SUCCESS);
        return pdo;
    }

    // The port's record in the kernel peer's list (an empty one when it is not there).
    QvxPeerPortStatus Record(const std::u16string& name)
    {
        std::optional<QvxPeerPortStatus> record = Kernel->Port(name);
        EXPECT_TRUE(record.has_value()) << Utf16ToUtf8(name);
        return record.value_or(QvxPeerPortStatus{});
    }

    // Writes on both ports at once and reads each side whole.
    void CarryBothWays(FileHandle a, FileHandle b, size_t length)
    {
        const std::vector<UCHAR> there = Pattern(length, 11);
        const std::vector<UCHAR> back = Pattern(length, 12);
        IoRequestPtr readB = Sim().Io().ReadAsync(b, static_cast<ULONG>(length));
        IoRequestPtr readA = Sim().Io().ReadAsync(a, static_cast<ULONG>(length));
        IoRequestPtr writeA = Sim().Io().WriteAsync(a, there);
        IoRequestPtr writeB = Sim().Io().WriteAsync(b, back);
        EXPECT_TRUE(readB->Wait().Data == there) << "lost or changed on the way there";
        EXPECT_TRUE(readA->Wait().Data == back) << "lost or changed on the way back";
        EXPECT_EQ(writeA->Wait().Status, STATUS_SUCCESS);
        EXPECT_EQ(writeB->Wait().Status, STATUS_SUCCESS);
    }

    // A port arriving while bytes wait for it, opened before the peer's deliveries run: the peer
    // cannot know whether a port is open, and a closed port drops what it is handed.
    FileHandle ArriveAndOpen(const std::u16string& name, const std::u16string& peer,
                             const std::u16string& instance, PDEVICE_OBJECT* pdo = nullptr)
    {
        Sim().HoldDpcs(true);
        PDEVICE_OBJECT added = AddPort(name, peer, instance);
        if (pdo != nullptr) {
            *pdo = added;
        }
        const FileHandle handle = Open(name);
        WaitWhole(handle);
        Sim().HoldDpcs(false);
        Sim().DrainDpcs();
        return handle;
    }
};

enum class LoadOrder { PeerFirst, PeerBetween, PeerLast };

class KernelPeerLoadOrderTest : public KernelPeerTest,
                                public ::testing::WithParamInterface<LoadOrder>
{
};

// Whichever driver comes first, a pair links up and carries every byte both ways at once.
TEST_P(KernelPeerLoadOrderTest, PairCarriesBothWaysInEveryLoadOrder)
{
    Watchdog watchdog("load order");
    StartPorts({});
    if (GetParam() == LoadOrder::PeerFirst) {
        LoadPeer();
    }
    AddPort(u"COM5", u"pair:COM6", u"ROOT\\PORTS\\0000");
    if (GetParam() == LoadOrder::PeerBetween) {
        LoadPeer();
    }
    AddPort(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001");
    if (GetParam() == LoadOrder::PeerLast) {
        LoadPeer();
    }
    const FileHandle a = Open(u"COM5");
    const FileHandle b = Open(u"COM6");
    WaitWhole(a);
    WaitWhole(b);
    CarryBothWays(a, b, 16 * 1024);
    const QvxPeerPortStatus record = Record(u"COM5");
    EXPECT_EQ(PeerRecordName(record.PeerName), u"COM6");
    EXPECT_EQ(record.Flags & (QVXPEER_PORT_PRESENT | QVXPEER_PORT_LINKED),
              QVXPEER_PORT_PRESENT | QVXPEER_PORT_LINKED);
    EXPECT_EQ(record.Dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Orders, KernelPeerLoadOrderTest,
                         ::testing::Values(LoadOrder::PeerFirst, LoadOrder::PeerBetween,
                                           LoadOrder::PeerLast));

// A port named by a pair that has not arrived gets its bytes held, not delivered; they reach it
// when it arrives, and again after it left and came back under the same instance.
TEST_F(KernelPeerTest, BytesWaitForAPortThatIsNotThereAndReachItWhenItArrives)
{
    Watchdog watchdog("arrival");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"pair:COM6", u"ROOT\\PORTS\\0000");
    ReceiveObserver observer(u"COM6");
    const FileHandle a = Open(u"COM5");
    const std::vector<UCHAR> first = Pattern(1000, 1);
    ASSERT_EQ(Sim().Io().Write(a, first).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(200);
    EXPECT_EQ(observer.Bytes, 0u) << "delivered to a port that never arrived";
    EXPECT_EQ(Record(u"COM6").HeldToPort, first.size());
    EXPECT_EQ(Record(u"COM6").Flags & QVXPEER_PORT_PRESENT, 0u);

    PDEVICE_OBJECT pdo = nullptr;
    FileHandle b = ArriveAndOpen(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001", &pdo);
    EXPECT_TRUE(Sim().Io().Read(b, 1000).Data == first);

    // It leaves: what is sent meanwhile waits, and nothing is handed to it.
    ASSERT_EQ(Sim().Io().Close(b), STATUS_SUCCESS);
    ASSERT_EQ(Ports().RemovePort(pdo), STATUS_SUCCESS);
    const ULONG before = observer.Bytes;
    const std::vector<UCHAR> second = Pattern(500, 2);
    ASSERT_EQ(Sim().Io().Write(a, second).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(500);
    EXPECT_EQ(observer.Bytes, before) << "delivered to a removed port";
    EXPECT_EQ(Record(u"COM6").HeldToPort, second.size());

    b = ArriveAndOpen(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001");
    EXPECT_TRUE(Sim().Io().Read(b, 500).Data == second);
    ASSERT_EQ(Sim().Io().Close(b), STATUS_SUCCESS);
}

// A stop and start under an open handle (rebalance) and a surprise removal while the paced
// peer still holds bytes: nothing that waited in the peer is lost, nothing reaches the port
// while it is gone.
TEST_F(KernelPeerTest, StopAndSurpriseRemovalKeepTheBytesInFlight)
{
    Watchdog watchdog("removal in flight");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"pair:COM6,line-speed", u"ROOT\\PORTS\\0000");
    PDEVICE_OBJECT pdo = AddPort(u"COM6", u"pair:COM5,line-speed", u"ROOT\\PORTS\\0001");
    ReceiveObserver observer(u"COM6");
    const FileHandle a = Open(u"COM5");
    FileHandle b = Open(u"COM6");
    WaitWhole(b);
    SetBaud(a, 1200); // 120 bytes a second: most of them wait in the peer
    const std::vector<UCHAR> data = Pattern(600, 3);
    IoRequestPtr read = Sim().Io().ReadAsync(b, 600);
    ASSERT_EQ(Sim().Io().Write(a, data).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(1000);
    ASSERT_GT(Record(u"COM6").HeldToPort, 0u);
    ASSERT_EQ(Sim().Pnp().Rebalance(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(read->Wait().Data == data) << "a stop and start lost bytes in flight";

    const std::vector<UCHAR> more = Pattern(600, 4);
    ASSERT_EQ(Sim().Io().Write(a, more).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(1000);
    ASSERT_EQ(Ports().SurpriseRemovePort(pdo), STATUS_SUCCESS);
    ASSERT_EQ(Sim().Io().Close(b), STATUS_SUCCESS);
    ASSERT_EQ(Ports().FinishSurpriseRemoval(pdo), STATUS_SUCCESS);
    const ULONG handed = observer.Bytes;
    Sim().AdvanceMs(2000);
    EXPECT_EQ(observer.Bytes, handed) << "delivered to a removed port";
    const QvxPeerPortStatus gone = Record(u"COM6");
    // What the old device had taken went with it; everything after waits.
    const size_t delivered = gone.ToPort - data.size();
    EXPECT_EQ(gone.HeldToPort, more.size() - delivered);

    b = ArriveAndOpen(u"COM6", u"pair:COM5,line-speed", u"ROOT\\PORTS\\0001");
    const IoResult rest = Sim().Io().Read(b, static_cast<ULONG>(more.size() - delivered));
    EXPECT_TRUE(rest.Data == std::vector<UCHAR>(more.begin() + delivered, more.end()));
    ASSERT_EQ(Sim().Io().Close(b), STATUS_SUCCESS);
}

// The peer unloads while a pair carries traffic with both handles open; its report is empty
// (the ports' timers and registrations are quarvex.sys's, not its own), the ports go on, and
// a new start links the pair again from the ports that exist.
TEST_F(KernelPeerTest, UnloadUnderTrafficLeavesNothingAndAReloadResumes)
{
    Watchdog watchdog("unload under traffic");
    TraceCapture trace(Sim());
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"pair:COM6", u"ROOT\\PORTS\\0000");
    AddPort(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001");
    const FileHandle a = Open(u"COM5");
    const FileHandle b = Open(u"COM6");
    IoRequestPtr write = Sim().Io().WriteAsync(a, Pattern(3000, 5));
    Sim().AdvanceMs(100);
    ASSERT_FALSE(write->Done());
    ASSERT_EQ(Kernel->Unload(), STATUS_SUCCESS);
    EXPECT_TRUE(Sim().Violations().empty()) << Sim().Violations().front().Message;
    EXPECT_EQ(Sim().OutstandingBlocks(QVXPEER_POOL_TAG), 0u);
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    EXPECT_TRUE(trace.Contains("QuarvexPeerUnload--"));
    Sim().AdvanceMs(1000); // the port's transmitter empties into nobody

    LoadPeer();
    ULONG purge = SERIAL_PURGE_RXCLEAR;
    ASSERT_EQ(Control(b, IOCTL_SERIAL_PURGE, &purge, sizeof(purge)), STATUS_SUCCESS);
    WaitWhole(a);
    WaitWhole(b);
    CarryBothWays(a, b, 4096);
}

// A port that arrives to a full ring is fed in runs of at most 2048 bytes, 44 at a time, so its
// 4096-byte receive buffer never overruns.
TEST_F(KernelPeerTest, DeliveryRunsStayWithinTheReceiveBufferBounds)
{
    Watchdog watchdog("bounds");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"pair:COM6", u"ROOT\\PORTS\\0000");
    const FileHandle a = Open(u"COM5");
    const std::vector<UCHAR> data = Pattern(12000, 6);
    ASSERT_EQ(Sim().Io().Write(a, data).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(100);
    ReceiveObserver observer(u"COM6");
    Sim().HoldDpcs(true);
    AddPort(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001");
    const FileHandle b = Open(u"COM6");
    WaitWhole(b);
    IoRequestPtr read = Sim().Io().ReadAsync(b, static_cast<ULONG>(data.size()));
    for (int step = 0; step < 100000 && !read->Done(); ++step) {
        if (Sim().QueuedDpcCount() == 0) {
            Sim().AdvanceMs(1);
            continue;
        }
        observer.NewRun();
        Sim().RunNextDpc();
    }
    Sim().HoldDpcs(false);
    EXPECT_TRUE(read->Wait().Data == data);
    EXPECT_LE(observer.LargestNotification, PEER_MAX_RECEIVE_BLOCK);
    EXPECT_LE(observer.LargestRun, PEER_MAX_RUN_BYTES);
    EXPECT_GT(observer.LargestRun, PEER_MAX_RECEIVE_BLOCK) << "a run handed over one block only";
    SERIALPERF_STATS stats{};
    const IoResult result =
        Sim().Io().DeviceIoControl(b, IOCTL_SERIAL_GET_STATS, {}, sizeof(stats));
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    memcpy(&stats, result.Data.data(), sizeof(stats));
    EXPECT_EQ(stats.BufferOverrunErrorCount, 0u);
}

// A program lists the ports through CreateFile and DeviceIoControl: kinds, pairs, presence,
// the rate a port announced (never delivered as data), refused values, and a buffer too small
// for every record.
TEST_F(KernelPeerTest, StatusListReadsThroughTheWin32Layer)
{
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"pair:COM6", u"ROOT\\PORTS\\0000");
    AddPort(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001");
    AddPort(u"COM7", u"loopback", u"ROOT\\PORTS\\0002");
    AddPort(u"COM8", u"modem", u"ROOT\\PORTS\\0003");
    const FileHandle a = Open(u"COM5");
    const FileHandle b = Open(u"COM6");
    WaitWhole(b);
    SetBaud(a, 19200);
    ASSERT_EQ(Sim().Io().Write(a, {'x'}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Sim().Io().Read(b, 1).Data, std::vector<UCHAR>{'x'}) << "the baud block as data";

    const win32test::Win32List list = win32test::ListKernelPeer(ROOM);
    ASSERT_EQ(list.Error, 0u);
    EXPECT_EQ(list.Header.Version, QVXPEER_LIST_VERSION);
    EXPECT_EQ(list.Header.PortCount, 4u);
    EXPECT_EQ(list.Header.Rejected, 1u);
    ASSERT_EQ(list.Ports.size(), 4u);
    EXPECT_EQ(PeerRecordName(list.Ports[0].Name), u"COM5");
    EXPECT_EQ(list.Ports[0].Kind, QVXPEER_KIND_PAIR);
    EXPECT_EQ(PeerRecordName(list.Ports[0].PeerName), u"COM6");
    EXPECT_EQ(list.Ports[0].LastBaud, 19200u);
    EXPECT_EQ(list.Ports[0].FromPort, 1u);
    EXPECT_EQ(list.Ports[1].ToPort, 1u);
    EXPECT_EQ(list.Ports[2].Kind, QVXPEER_KIND_LOOPBACK);
    EXPECT_NE(list.Ports[3].Flags & QVXPEER_PORT_REJECTED, 0u);

    const win32test::Win32List partial =
        win32test::ListKernelPeer(sizeof(QvxPeerListHeader) + sizeof(QvxPeerPortStatus));
    EXPECT_EQ(partial.Error, 234u); // ERROR_MORE_DATA
    EXPECT_EQ(partial.Header.PortCount, 4u);
    EXPECT_EQ(partial.Ports.size(), 1u);

    // The service does not stop while a program holds its control device.
    const FileHandle control = Sim().Io().Open(u"\\\\.\\QuarvexPeer");
    ASSERT_NE(control, INVALID_FILE_HANDLE);
    EXPECT_EQ(Kernel->Unload(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Sim().Io().Close(control), STATUS_SUCCESS);
    EXPECT_EQ(Kernel->Unload(), STATUS_SUCCESS);
    EXPECT_EQ(Sim().Io().Open(u"\\\\.\\QuarvexPeer"), INVALID_FILE_HANDLE);
}

// Every allocation, callback object, registration and device the peer's entry makes (the
// arrivals of the ports already there and their rings included) fails once in turn: each
// failure unwinds or leaves a port refused and counted, and the unload leaves nothing.
TEST_F(KernelPeerTest, EntryUnwindsEveryFailure)
{
    StartPorts({});
    AddPort(u"COM5", u"pair:COM6", u"ROOT\\PORTS\\0000");
    AddPort(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001");
    Kernel = std::make_unique<KernelPeerHost>(Sim());
    const ULONG start = Sim().AllocationCount();
    ASSERT_EQ(Kernel->Load(), STATUS_SUCCESS);
    const ULONG allocations = Sim().AllocationCount() - start;
    ASSERT_EQ(Kernel->Unload(), STATUS_SUCCESS);
    ASSERT_GE(allocations, 4u);
    auto attempt = [&](const std::string& what) {
        const NTSTATUS status = Kernel->Load();
        Sim().FailNthAllocation(0);
        Sim().Names().ClearFailures();
        Sim().Io().ClearFailures();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(Kernel->Unload(), STATUS_SUCCESS) << what;
        }
        EXPECT_EQ(Sim().OutstandingBlocks(QVXPEER_POOL_TAG), 0u) << what;
        EXPECT_TRUE(Sim().Violations().empty())
            << what << ": " << Sim().Violations().front().Message;
        Sim().ClearViolations();
    };
    for (ULONG n = 1; n <= allocations; ++n) {
        Sim().FailNthAllocation(n);
        attempt("allocation " + std::to_string(n));
    }
    for (ULONG n = 1; n <= 4; ++n) {
        Sim().Names().InjectFailure(NamespaceFault::CreateCallback, n);
        attempt("callback object " + std::to_string(n));
        Sim().Names().InjectFailure(NamespaceFault::RegisterCallback, n);
        attempt("registration " + std::to_string(n));
    }
    Sim().Names().InjectFailure(NamespaceFault::CreateSymbolicLink, 1);
    attempt("link");
    Sim().Io().InjectFailure(IoFault::CreateDevice, 1);
    attempt("device");
    Sim().Io().InjectFailure(IoFault::RegisterPlugPlayNotification, 1);
    attempt("notification");

    // After all that, a clean start still links the pair.
    LoadPeer();
    const FileHandle a = Open(u"COM5");
    const FileHandle b = Open(u"COM6");
    WaitWhole(a);
    WaitWhole(b);
    CarryBothWays(a, b, 1024);
}

} // namespace
} // namespace qvx
