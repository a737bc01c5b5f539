// quarvexpeer.sys beside quarvex.sys on one machine, both started from their entry points:
// every load order, ports arriving and leaving, stop and removal with bytes in flight, the
// peer unloading under traffic and coming back, the bounds of what it hands a port, its status
// list as a program reads it, programs attached to user ports through its control device, and
// its entry under failing allocations.

#include "peers/peers_fixture.h"
#include "support/watchdog.h"
#include "win32_list.h"
#include "win32_peer.h"

#include "kpeer/kpeer.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <functional>

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

using win32test::PeerHandle;
using win32test::PeerRequest;
using win32test::PeerResult;

// What a program has read from its handle, record by record.
struct ProgramView
{
    std::vector<UCHAR> Data;
    std::vector<ULONG> Bauds;
    std::vector<ULONG> Presence;
    ULONGLONG Dropped = 0;
    size_t LargestData = 0;
    bool Malformed = false;

    void Take(const PeerResult& result)
    {
        const win32test::PeerRecords parsed = win32test::ParseRecords(result.Data);
        Malformed = Malformed || parsed.Malformed || result.Data.empty();
        for (const win32test::PeerRecord& record : parsed.Records) {
            switch (record.Type) {
            case QVXPEER_RECORD_DATA:
                Malformed = Malformed || record.Payload.empty();
                LargestData = std::max(LargestData, record.Payload.size());
                Data.insert(Data.end(), record.Payload.begin(), record.Payload.end());
                break;
            case QVXPEER_RECORD_BAUD:
                Bauds.push_back(record.Value());
                break;
            case QVXPEER_RECORD_PRESENCE:
                Presence.push_back(record.Value());
                break;
            case QVXPEER_RECORD_DROPPED:
                Dropped += record.Value();
                break;
            default:
                Malformed = true;
                break;
            }
        }
    }

    // Reads (Room bytes each) until Done holds.
    void ReadUntil(PeerHandle& program, const std::function<bool()>& done, uint32_t room = 16384)
    {
        while (!done()) {
            const PeerResult result = program.Read(room)->Wait();
            ASSERT_EQ(result.Error, 0u);
            Take(result);
        }
    }
};

std::vector<UCHAR> AttachRequest(const std::u16string& port, ULONG flags = 0, ULONG buffer = 0)
{
    QvxPeerAttach request{};
    std::copy(port.begin(), port.end(), request.PortName);
    request.Flags = flags;
    request.BufferBytes = buffer;
    std::vector<UCHAR> bytes(sizeof(request));
    memcpy(bytes.data(), &request, sizeof(request));
    return bytes;
}

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
    CarryBothWays(a, b, size_t{16} * 1024);
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

    // Only a caller holding the service's or the driver loader's privilege opens it.
    Sim().Io().SetCallersPrivileged(false);
    EXPECT_EQ(win32test::ListKernelPeer(ROOM).Error, 1314u); // ERROR_PRIVILEGE_NOT_HELD
    Sim().Io().SetCallersPrivileged(true);

    // The service does not stop while a program holds its control device.
    const FileHandle control = Sim().Io().Open(u"\\\\.\\QuarvexPeer");
    ASSERT_NE(control, INVALID_FILE_HANDLE);
    EXPECT_EQ(Kernel->Unload(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Sim().Io().Close(control), STATUS_SUCCESS);
    EXPECT_EQ(Kernel->Unload(), STATUS_SUCCESS);
    EXPECT_EQ(Sim().Io().Open(u"\\\\.\\QuarvexPeer"), INVALID_FILE_HANDLE);
}

// A program attached to a network port carries 64 KiB each way at once, byte-exact; the rate
// the application sets reaches it as a BAUD record, never as data, and paces what it writes.
TEST_F(KernelPeerTest, AttachedProgramCarriesBothWaysByteExact)
{
    Watchdog watchdog("attached both ways");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"tcp-client:example.net:7000", u"ROOT\\PORTS\\0000");
    ReceiveObserver observer(u"COM5");
    const FileHandle app = Open(u"COM5");
    WaitWhole(app);
    PeerHandle program;
    ASSERT_TRUE(program.IsOpen());
    ASSERT_EQ(program.Attach(u"COM5"), 0u);
    EXPECT_NE(Record(u"COM5").Flags & QVXPEER_PORT_ATTACHED, 0u);
    ProgramView view;
    view.ReadUntil(program, [&] { return !view.Presence.empty(); });
    EXPECT_EQ(view.Presence, std::vector<ULONG>{1});

    SetBaud(app, 115200);
    const std::vector<UCHAR> there = Pattern(size_t{64} * 1024 + 100, 21);
    const std::vector<UCHAR> back = Pattern(size_t{64} * 1024 + 100, 22);
    IoRequestPtr appRead = Sim().Io().ReadAsync(app, static_cast<ULONG>(back.size()));
    IoRequestPtr appWrite = Sim().Io().WriteAsync(app, there);
    std::vector<std::unique_ptr<PeerRequest>> writes;
    for (size_t at = 0; at < back.size(); at += 20000) {
        const size_t end = std::min(back.size(), at + 20000);
        writes.push_back(program.Write(win32test::DataRecords(
            std::vector<UCHAR>(back.begin() + static_cast<ptrdiff_t>(at),
                               back.begin() + static_cast<ptrdiff_t>(end)))));
    }
    view.ReadUntil(program, [&] { return view.Data.size() >= there.size(); });
    EXPECT_TRUE(view.Data == there) << "lost or changed on the way to the program";
    EXPECT_FALSE(view.Malformed);
    EXPECT_LE(view.LargestData, QVXPEER_MAX_DATA);
    ASSERT_FALSE(view.Bauds.empty());
    EXPECT_EQ(view.Bauds.back(), 115200u);
    for (const auto& write : writes) {
        EXPECT_EQ(write->Wait().Error, 0u);
    }
    EXPECT_TRUE(appRead->Wait().Data == back) << "lost or changed on the way to the port";
    EXPECT_EQ(appWrite->Wait().Status, STATUS_SUCCESS);
    EXPECT_LE(observer.LargestNotification, PEER_MAX_RECEIVE_BLOCK);
    const QvxPeerPortStatus record = Record(u"COM5");
    EXPECT_EQ(record.ToPort, back.size());
    EXPECT_EQ(record.Dropped, 0u);
}

// A write larger than the room pends, its bytes go to the port at the port's own rate, and it
// completes once the last of them is held; cancelled, it says how much it handed over.
TEST_F(KernelPeerTest, WritesWaitForRoomAtThePortsRate)
{
    Watchdog watchdog("write back-pressure");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"bridge", u"ROOT\\PORTS\\0000");
    const FileHandle app = Open(u"COM5");
    WaitWhole(app);
    SetBaud(app, 1200); // 120 bytes a second
    Sim().AdvanceMs(100);
    PeerHandle program;
    ASSERT_EQ(program.Attach(u"COM5", 0, 1024), 0u);
    EXPECT_EQ(Record(u"COM5").BufferBytes, 1024u);

    const std::vector<UCHAR> data = Pattern(2000, 31);
    IoRequestPtr appRead = Sim().Io().ReadAsync(app, static_cast<ULONG>(data.size()));
    const std::vector<UCHAR> records = win32test::DataRecords(data, 700);
    std::unique_ptr<PeerRequest> write = program.Write(records);
    Sim().AdvanceMs(1000);
    EXPECT_FALSE(write->Done()) << "completed before its bytes were held";
    const QvxPeerPortStatus held = Record(u"COM5");
    EXPECT_LE(held.HeldToPort, 1024u);
    EXPECT_LE(held.ToPort, 200u) << "not paced at the port's rate";
    const PeerResult written = write->Wait();
    EXPECT_EQ(written.Error, 0u);
    EXPECT_EQ(written.Bytes, records.size());
    EXPECT_TRUE(appRead->Wait().Data == data);

    // Cancelled while it waits: the bytes it handed over still go, and it says how many.
    std::unique_ptr<PeerRequest> big = program.Write(win32test::DataRecords(Pattern(3000, 32)));
    Sim().AdvanceMs(100);
    ASSERT_FALSE(big->Done());
    program.CancelIo();
    const PeerResult cancelled = big->Wait();
    EXPECT_EQ(cancelled.Error, win32test::WIN32_OPERATION_ABORTED);
    EXPECT_GE(cancelled.Bytes, 1024u);
    EXPECT_LT(cancelled.Bytes, 3000u);
    EXPECT_EQ(Sim().Io().Read(app, cancelled.Bytes).Data.size(), cancelled.Bytes);
}

// Asked for at attach, xonxoff lets the port's own Xoff and Xon hold and release what the
// program wrote; the program never sees them.
TEST_F(KernelPeerTest, AttachedXonXoffHoldsDeliveryToThePort)
{
    Watchdog watchdog("attached xonxoff");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"bridge", u"ROOT\\PORTS\\0000");
    const FileHandle app = Open(u"COM5");
    WaitWhole(app);
    PeerHandle program;
    ASSERT_EQ(program.Attach(u"COM5", QVXPEER_ATTACH_XONXOFF), 0u);
    EXPECT_NE(Record(u"COM5").Flags & QVXPEER_PORT_XONXOFF, 0u);
    ASSERT_EQ(Sim().Io().Write(app, {'a', PEER_XOFF, 'b'}).Status, STATUS_SUCCESS);
    ProgramView view;
    view.ReadUntil(program, [&] { return view.Data.size() >= 2; });
    EXPECT_EQ(view.Data, (std::vector<UCHAR>{'a', 'b'}));

    const std::vector<UCHAR> held = Pattern(100, 71);
    ASSERT_EQ(program.Write(win32test::DataRecords(held))->Wait().Error, 0u);
    Sim().AdvanceMs(500);
    EXPECT_EQ(Record(u"COM5").HeldToPort, held.size()) << "delivered through an Xoff";
    IoRequestPtr appRead = Sim().Io().ReadAsync(app, static_cast<ULONG>(held.size()));
    ASSERT_EQ(Sim().Io().Write(app, {PEER_XON}).Status, STATUS_SUCCESS);
    EXPECT_TRUE(appRead->Wait().Data == held);
    EXPECT_EQ(Record(u"COM5").HeldFromPort, 0u) << "the Xon went to the program";
}

// Requests a careless or hostile program may send: each gets its status, nothing of a refused
// write reaches the port, and the handle goes on working afterwards.
TEST_F(KernelPeerTest, ControlDeviceRefusesMalformedRequests)
{
    Watchdog watchdog("hostile requests");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"bridge", u"ROOT\\PORTS\\0000");
    AddPort(u"COM6", u"loopback", u"ROOT\\PORTS\\0001");
    ReceiveObserver observer(u"COM5");
    PeerHandle program;
    using win32test::WIN32_INVALID_PARAMETER;

    // Reads and writes before an attach.
    EXPECT_EQ(program.Read(64)->Wait().Error, win32test::WIN32_BAD_COMMAND);
    EXPECT_EQ(program.Write(win32test::DataRecords({1, 2}))->Wait().Error,
              win32test::WIN32_BAD_COMMAND);
    // Malformed attach requests.
    std::vector<UCHAR> request = AttachRequest(u"COM5");
    EXPECT_EQ(program.Control(IOCTL_QVXPEER_ATTACH,
                              std::vector<UCHAR>(request.begin(), request.end() - 1)),
              WIN32_INVALID_PARAMETER);
    std::vector<UCHAR> longer = request;
    longer.push_back(0);
    EXPECT_EQ(program.Control(IOCTL_QVXPEER_ATTACH, longer), WIN32_INVALID_PARAMETER);
    EXPECT_EQ(program.Control(IOCTL_QVXPEER_ATTACH, AttachRequest(std::u16string(32, u'C'))),
              WIN32_INVALID_PARAMETER);
    EXPECT_EQ(program.Control(IOCTL_QVXPEER_ATTACH, AttachRequest(u"")), WIN32_INVALID_PARAMETER);
    EXPECT_EQ(program.Attach(u"COM5", 0x2), WIN32_INVALID_PARAMETER);
    EXPECT_EQ(program.Attach(u"COM5", 0, 100), WIN32_INVALID_PARAMETER);
    EXPECT_EQ(program.Attach(u"COM6"), win32test::WIN32_FILE_NOT_FOUND) << "not a user port";
    EXPECT_EQ(program.Attach(u"COM9"), win32test::WIN32_FILE_NOT_FOUND);
    // One handle per port, one port per handle.
    ASSERT_EQ(program.Attach(u"com5"), 0u);
    EXPECT_EQ(program.Attach(u"COM5"), win32test::WIN32_BAD_COMMAND);
    PeerHandle second;
    EXPECT_EQ(second.Attach(u"COM5"), win32test::WIN32_SHARING_VIOLATION);
    EXPECT_EQ(program.Read(7)->Wait().Error, win32test::WIN32_INSUFFICIENT_BUFFER);

    // Forged frames, each after a good record: the whole write is refused.
    const std::vector<UCHAR> good = win32test::DataRecords({'o', 'k'});
    const std::vector<std::vector<UCHAR>> forged = {
        {QVXPEER_RECORD_DATA, 0, 2},                                  // a header cut short
        {QVXPEER_RECORD_DATA, 0, 9, 0, 'x'},                          // longer than what follows
        {QVXPEER_RECORD_DATA, 0, 0, 0},                               // nothing in it
        {QVXPEER_RECORD_BAUD, 0, 4, 0, 0x80, 0x25, 0, 0},             // not data
        {QVXPEER_RECORD_DATA, 1, 1, 0, 'x'},                          // reserved byte set
        win32test::DataRecords(std::vector<UCHAR>(QVXPEER_MAX_WRITE)) // past the write bound
    };
    for (size_t i = 0; i < forged.size(); ++i) {
        std::vector<UCHAR> frame = good;
        frame.insert(frame.end(), forged[i].begin(), forged[i].end());
        EXPECT_EQ(program.Write(frame)->Wait().Error, WIN32_INVALID_PARAMETER) << "frame " << i;
    }
    std::vector<UCHAR> bound(QVXPEER_MAX_DATA + 1, 'x');
    EXPECT_EQ(program.Write(win32test::DataRecords(bound, bound.size()))->Wait().Error,
              WIN32_INVALID_PARAMETER);
    Sim().AdvanceMs(100);
    EXPECT_EQ(Record(u"COM5").HeldToPort + observer.Bytes, 0u) << "a refused write was taken";

    // Still attached and working: a tiny read gets the presence, then what is written goes.
    const PeerResult presence = program.Read(8)->Wait();
    ASSERT_EQ(presence.Error, 0u);
    ProgramView view;
    view.Take(presence);
    EXPECT_EQ(view.Presence, std::vector<ULONG>{1});
    EXPECT_EQ(program.Write(good)->Wait().Bytes, good.size());
    Sim().AdvanceMs(100);
    EXPECT_EQ(observer.Bytes, 2u);
}

// Pending requests end when the program cancels them or closes its handle; the port is free
// for the next program then, and an attach on a handle that was closed is refused.
TEST_F(KernelPeerTest, CancelAndCloseEndPendingRequests)
{
    Watchdog watchdog("cancel and close");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"bridge,buffer=1024", u"ROOT\\PORTS\\0000");
    {
        PeerHandle program;
        ASSERT_EQ(program.Attach(u"COM5"), 0u);
        ProgramView view;
        view.ReadUntil(program, [&] { return !view.Presence.empty(); });
        std::unique_ptr<PeerRequest> read = program.Read(64);
        Sim().AdvanceMs(100);
        ASSERT_FALSE(read->Done());
        program.CancelIo();
        EXPECT_EQ(read->Wait().Error, win32test::WIN32_OPERATION_ABORTED);
    }
    // The platform's own requests, so the close can overtake them.
    const FileHandle control = Sim().Io().Open(u"\\\\.\\QuarvexPeer");
    ASSERT_NE(control, INVALID_FILE_HANDLE);
    ASSERT_EQ(
        Sim().Io().DeviceIoControl(control, IOCTL_QVXPEER_ATTACH, AttachRequest(u"COM5"), 0).Status,
        STATUS_SUCCESS);
    IoResult first = Sim().Io().Read(control, 64);
    ASSERT_EQ(first.Status, STATUS_SUCCESS);
    IoRequestPtr read = Sim().Io().ReadAsync(control, 64);
    // The first write fills the buffer faster than the port drains it.
    IoRequestPtr full = Sim().Io().WriteAsync(control, win32test::DataRecords(Pattern(2000, 41)));
    IoRequestPtr behind = Sim().Io().WriteAsync(control, win32test::DataRecords({1}));
    Sim().AdvanceMs(100);
    ASSERT_FALSE(read->Done());
    ASSERT_FALSE(full->Done());
    ASSERT_EQ(Sim().Io().Close(control), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait().Status, STATUS_CANCELLED);
    const IoResult fullResult = full->Wait();
    EXPECT_EQ(fullResult.Status, STATUS_CANCELLED);
    EXPECT_GE(fullResult.Information, 1024u);
    EXPECT_LT(fullResult.Information, 2000u);
    EXPECT_EQ(behind->Wait().Status, STATUS_CANCELLED);
    const QvxPeerPortStatus detached = Record(u"COM5");
    EXPECT_EQ(detached.Flags & QVXPEER_PORT_ATTACHED, 0u);
    EXPECT_EQ(detached.ToPort + detached.HeldToPort, fullResult.Information)
        << "bytes a write handed over were let go";

    PeerHandle next;
    EXPECT_EQ(next.Attach(u"COM5"), 0u);
    next.Close();
    EXPECT_EQ(Kernel->Unload(), STATUS_SUCCESS);
    EXPECT_TRUE(Sim().Violations().empty()) << Sim().Violations().front().Message;
    EXPECT_EQ(Sim().OutstandingBlocks(QVXPEER_POOL_TAG), 0u);
}

// The port stops and starts, then is surprise-removed and comes back, while a program stays
// attached: it reads PRESENCE 0 and 1 each time, its requests stay pending, and what it wrote
// meanwhile reaches the port when it returns.
TEST_F(KernelPeerTest, AttachedProgramSeesThePortLeaveAndReturn)
{
    Watchdog watchdog("presence");
    StartPorts({});
    LoadPeer();
    PDEVICE_OBJECT pdo = AddPort(u"COM5", u"bridge", u"ROOT\\PORTS\\0000");
    FileHandle app = Open(u"COM5");
    WaitWhole(app);
    PeerHandle program;
    ASSERT_EQ(program.Attach(u"COM5"), 0u);
    ProgramView view;
    view.ReadUntil(program, [&] { return view.Presence.size() == 1; });

    std::unique_ptr<PeerRequest> read = program.Read(256);
    ASSERT_EQ(Sim().Pnp().Rebalance(pdo), STATUS_SUCCESS);
    view.Take(read->Wait());
    view.ReadUntil(program, [&] { return view.Presence.size() == 3; });
    EXPECT_EQ(view.Presence, (std::vector<ULONG>{1, 0, 1}));

    read = program.Read(256);
    ASSERT_EQ(Ports().SurpriseRemovePort(pdo), STATUS_SUCCESS);
    ASSERT_EQ(Sim().Io().Close(app), STATUS_SUCCESS);
    ASSERT_EQ(Ports().FinishSurpriseRemoval(pdo), STATUS_SUCCESS);
    view.Take(read->Wait());
    EXPECT_EQ(view.Presence.back(), 0u);
    const std::vector<UCHAR> meanwhile = Pattern(500, 51);
    EXPECT_EQ(program.Write(win32test::DataRecords(meanwhile))->Wait().Error, 0u);
    read = program.Read(256);
    Sim().AdvanceMs(500);
    EXPECT_FALSE(read->Done()) << "a read ended while the port was gone";
    EXPECT_EQ(Record(u"COM5").HeldToPort, meanwhile.size());

    app = ArriveAndOpen(u"COM5", u"bridge", u"ROOT\\PORTS\\0000");
    view.Take(read->Wait());
    EXPECT_EQ(view.Presence.back(), 1u);
    EXPECT_TRUE(Sim().Io().Read(app, 500).Data == meanwhile);
    EXPECT_FALSE(view.Malformed);
}

// With nobody attached a port's bytes wait up to its buffer and the rest are counted; the next
// program reads the drop count and then every byte that waited, in order.
TEST_F(KernelPeerTest, BytesWaitForTheNextProgram)
{
    Watchdog watchdog("detached");
    StartPorts({});
    LoadPeer();
    AddPort(u"COM5", u"bridge,buffer=2048", u"ROOT\\PORTS\\0000");
    const FileHandle app = Open(u"COM5");
    const std::vector<UCHAR> first = Pattern(1000, 61);
    const std::vector<UCHAR> second = Pattern(1500, 62);
    {
        PeerHandle program;
        ASSERT_EQ(program.Attach(u"COM5"), 0u);
        ASSERT_EQ(Sim().Io().Write(app, first).Status, STATUS_SUCCESS);
        Sim().AdvanceMs(100);
    }
    ASSERT_EQ(Sim().Io().Write(app, second).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(100);
    const QvxPeerPortStatus waiting = Record(u"COM5");
    EXPECT_EQ(waiting.HeldFromPort, 2048u);
    EXPECT_EQ(waiting.Dropped, first.size() + second.size() - 2048);

    PeerHandle program;
    ASSERT_EQ(program.Attach(u"COM5"), 0u);
    ProgramView view;
    view.ReadUntil(
        program, [&] { return view.Data.size() >= 2048; }, 300);
    std::vector<UCHAR> expected = first;
    expected.insert(expected.end(), second.begin(), second.begin() + 1048);
    EXPECT_TRUE(view.Data == expected);
    EXPECT_EQ(view.Dropped, waiting.Dropped);
    EXPECT_EQ(view.Presence, std::vector<ULONG>{1});
    EXPECT_FALSE(view.Malformed);
}

// Every allocation, callback object, registration and device the peer's entry makes (the
// arrivals of the ports already there and their rings included) fails once in turn: each
// failure unwinds or leaves a port refused and counted, and the unload leaves nothing.
TEST_F(KernelPeerTest, EntryUnwindsEveryFailure)
{
    StartPorts({});
    AddPort(u"COM5", u"pair:COM6", u"ROOT\\PORTS\\0000");
    AddPort(u"COM6", u"pair:COM5", u"ROOT\\PORTS\\0001");
    AddPort(u"COM7", u"bridge", u"ROOT\\PORTS\\0002");
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

    // An attach that asks for buffers of its own fails whole when it cannot have them.
    for (ULONG n = 1; n <= 2; ++n) {
        PeerHandle program;
        Sim().FailNthAllocation(n);
        EXPECT_EQ(program.Attach(u"COM7", 0, 4096), win32test::WIN32_NO_SYSTEM_RESOURCES) << n;
        Sim().FailNthAllocation(0);
        EXPECT_EQ(Record(u"COM7").BufferBytes, PEER_DEFAULT_BUFFER) << n;
        EXPECT_EQ(program.Attach(u"COM7"), 0u) << n;
    }
}

} // namespace
} // namespace qvx
