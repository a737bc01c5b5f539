// Finding Quarvex ports and linking them: COM-port interfaces arrive and leave, their device
// instance tells whether Quarvex serves them, and their "Peer" values say where each port's
// bytes go. Everything here runs at PASSIVE_LEVEL under ConfigLock.

#include <ntddk.h>

// Defines the GUIDs of this file (the Windows build has no library holding them).
#include <initguid.h>

#include <ntddser.h>
#include <wdmguid.h>

#include "kpeer/kpeer.h"
#include "kpeer/peer_compat.h"
#include "kpeer/peer_trace.h"

namespace {

const WCHAR* const ENUM_ROOT =
    QVXPEER_WSTR("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\");
constexpr ULONG ENUM_ROOT_CHARS = 48;
const WCHAR* const RECEIVE_BASE_NAME = QVXPEER_WSTR("\\Callback\\LyntraRecv");
const WCHAR* const SEND_BASE_NAME = QVXPEER_WSTR("\\Callback\\LyntraSend");
constexpr ULONG CALLBACK_BASE_CHARS = 20;
// Values longer than this are not a "Peer" value anyone meant.
constexpr ULONG MAX_VALUE_CHARS = 255;

// What a port's registry says at its arrival.
struct Arrival
{
    WCHAR Name[PEER_MAX_NAME_CHARS + 1];
    PeerConfig Config;
    BOOLEAN Rejected;
};

// Where a port's bytes are to go, worked out from every port's configuration.
struct Link
{
    PeerSink Sink;
    PeerPort* Target;
    BOOLEAN LineSpeed;
    BOOLEAN XonXoff;
    ULONG Buffer;
    PCSTR Why; // SinkDrop: for the trace
};

bool SameGuid(const GUID& A, const GUID& B)
{
    if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) {
        return false;
    }
    for (ULONG i = 0; i < sizeof(A.Data4); ++i) {
        if (A.Data4[i] != B.Data4[i]) {
            return false;
        }
    }
    return true;
}

ULONG WideLength(PCWSTR Text)
{
    ULONG length = 0;
    while (Text[length] != 0) {
        ++length;
    }
    return length;
}

// Text of Length characters (at most Capacity - 1 of them fit) appended to Out at *Used.
bool Append(PWSTR Out, ULONG Capacity, ULONG* Used, PCWSTR Text, ULONG Length)
{
    if (*Used + Length + 1 > Capacity) {
        return false;
    }
    for (ULONG i = 0; i < Length; ++i) {
        Out[*Used + i] = Text[i];
    }
    *Used += Length;
    Out[*Used] = 0;
    return true;
}

VOID AcquireConfig()
{
    (void)KeWaitForSingleObject(&PeerGlobals.ConfigLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseConfig()
{
    (void)KeSetEvent(&PeerGlobals.ConfigLock, IO_NO_INCREMENT, FALSE);
}

// Counts a notification in unless unload has counted the driver out already.
bool EnterNotification()
{
    LONG busy = InterlockedCompareExchange(&PeerGlobals.NotifyBusy, 0, 0);
    while (busy != 0) {
        const LONG seen = InterlockedCompareExchange(&PeerGlobals.NotifyBusy, busy + 1, busy);
        if (seen == busy) {
            return true;
        }
        busy = seen;
    }
    return false;
}

VOID LeaveNotification()
{
    if (InterlockedDecrement(&PeerGlobals.NotifyBusy) == 0) {
        (void)KeSetEvent(&PeerGlobals.NotifyIdle, IO_NO_INCREMENT, FALSE);
    }
}

[[nodiscard]] NTSTATUS OpenKey(HANDLE Root, PWSTR Path, HANDLE* Key)
{
    UNICODE_STRING name;
    name.Buffer = Path;
    name.Length = static_cast<USHORT>(WideLength(Path) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root,
                               NULL);
    return ZwOpenKey(Key, KEY_READ, &attributes);
}

// A string value into Out (Capacity characters, terminator included), trailing zeros dropped.
[[nodiscard]] NTSTATUS ReadString(HANDLE Key, PCWSTR ValueName, PWSTR Out, ULONG Capacity,
                                  ULONG* Length)
{
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + MAX_VALUE_CHARS * sizeof(WCHAR)) /
                     sizeof(ULONG) +
                 1];
    WCHAR nameCopy[16];
    ULONG used = 0;
    if (!Append(nameCopy, sizeof(nameCopy) / sizeof(nameCopy[0]), &used, ValueName,
                WideLength(ValueName))) {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name = {static_cast<USHORT>(used * sizeof(WCHAR)),
                           static_cast<USHORT>(used * sizeof(WCHAR)), nameCopy};
    ULONG returned = 0;
    const NTSTATUS status =
        ZwQueryValueKey(Key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (info->Type != REG_SZ && info->Type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ULONG characters = info->DataLength / sizeof(WCHAR);
    const auto* data = reinterpret_cast<const WCHAR*>(info->Data);
    while (characters > 0 && data[characters - 1] == 0) {
        --characters;
    }
    if (characters + 1 > Capacity) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (ULONG i = 0; i < characters; ++i) {
        Out[i] = data[i];
    }
    Out[characters] = 0;
    *Length = characters;
    return STATUS_SUCCESS;
}

VOID Reject(Arrival* Port, PCSTR Why)
{
    RtlZeroMemory(&Port->Config, sizeof(Port->Config));
    Port->Rejected = TRUE;
    (void)InterlockedIncrement(&PeerGlobals.Rejected);
    QuarvexPeerTrace(PEER_TRACE_PNP, 2,
                     "QuarvexPeerPortArrived %ws: \"Peer\" not usable (%s); no peer", Port->Name,
                     Why);
}

// Reads "PortName" (else "Identifier") and "Peer" from the port's "Device Parameters".
[[nodiscard]] NTSTATUS ReadParameters(HANDLE InstanceKey, Arrival* Port)
{
    WCHAR subkey[] = QVXPEER_WSTR("Device Parameters");
    HANDLE parameters = NULL;
    NTSTATUS status = OpenKey(InstanceKey, subkey, &parameters);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG length = 0;
    status = ReadString(parameters, QVXPEER_WSTR("PortName"), Port->Name, PEER_MAX_NAME_CHARS + 1,
                        &length);
    if (!NT_SUCCESS(status)) {
        status = ReadString(parameters, QVXPEER_WSTR("Identifier"), Port->Name,
                            PEER_MAX_NAME_CHARS + 1, &length);
    }
    if (!NT_SUCCESS(status) || !QuarvexPeerValidName(Port->Name, length)) {
        (void)ZwClose(parameters);
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_INVALID : status;
    }
    WCHAR value[MAX_VALUE_CHARS + 1];
    status = ReadString(parameters, QVXPEER_WSTR("Peer"), value, MAX_VALUE_CHARS + 1, &length);
    (void)ZwClose(parameters);
    if (!NT_SUCCESS(status)) {
        Reject(Port, "no readable value");
        return STATUS_SUCCESS;
    }
    const PCSTR why = QuarvexPeerParseConfig(value, length, &Port->Config);
    if (why != NULL) {
        Reject(Port, why);
    }
    return STATUS_SUCCESS;
}

// STATUS_SUCCESS with the port's name and configuration when Quarvex serves Instance.
[[nodiscard]] NTSTATUS ReadPort(PCWSTR Instance, Arrival* Port)
{
    WCHAR path[ENUM_ROOT_CHARS + PEER_MAX_INSTANCE_CHARS + 1];
    ULONG used = 0;
    if (!Append(path, sizeof(path) / sizeof(path[0]), &used, ENUM_ROOT, ENUM_ROOT_CHARS) ||
        !Append(path, sizeof(path) / sizeof(path[0]), &used, Instance, WideLength(Instance))) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    HANDLE key = NULL;
    NTSTATUS status = OpenKey(NULL, path, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WCHAR service[16];
    ULONG length = 0;
    status =
        ReadString(key, QVXPEER_WSTR("Service"), service, sizeof(service) / sizeof(WCHAR), &length);
    if (NT_SUCCESS(status) && !QuarvexPeerNamesEqual(service, QVXPEER_WSTR("Quarvex"))) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (NT_SUCCESS(status)) {
        status = ReadParameters(key, Port);
    }
    (void)ZwClose(key);
    return status;
}

[[nodiscard]] NTSTATUS OpenCallbackObject(PCWSTR Base, const PeerPort* Port,
                                          PCALLBACK_OBJECT* Object)
{
    WCHAR text[CALLBACK_BASE_CHARS + PEER_MAX_NAME_CHARS + 1];
    ULONG used = 0;
    (void)Append(text, sizeof(text) / sizeof(text[0]), &used, Base, CALLBACK_BASE_CHARS);
    (void)Append(text, sizeof(text) / sizeof(text[0]), &used, Port->Name, WideLength(Port->Name));
    UNICODE_STRING name = {static_cast<USHORT>(used * sizeof(WCHAR)),
                           static_cast<USHORT>(used * sizeof(WCHAR)), text};
    OBJECT_ATTRIBUTES attributes;
    // Permanent and open to several registrations, as the port creates them: whoever comes
    // first creates the object the other opens.
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL,
                               NULL);
    return ExCreateCallback(Object, &attributes, TRUE, TRUE);
}

VOID FreePort(PeerPort* Port)
{
    if (Port->ReceiveObject != NULL) {
        ObDereferenceObject(Port->ReceiveObject);
    }
    if (Port->SendObject != NULL) {
        ObDereferenceObject(Port->SendObject);
    }
    if (Port->Inbound.Ring.Bytes != NULL) {
        ExFreePoolWithTag(Port->Inbound.Ring.Bytes, QVXPEER_POOL_TAG);
    }
    if (Port->Outbound.Ring.Bytes != NULL) {
        ExFreePoolWithTag(Port->Outbound.Ring.Bytes, QVXPEER_POOL_TAG);
    }
    ExFreePoolWithTag(Port, QVXPEER_POOL_TAG);
}

PeerPort* FindPort(PCWSTR Name)
{
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        if (QuarvexPeerNamesEqual(port->Name, Name)) {
            return port;
        }
    }
    return NULL;
}

// The record of the port Name, made with its callback objects and the send routine registered
// when there is none yet; NULL when that fails (traced).
PeerPort* FindOrCreatePort(PCWSTR Name)
{
    PeerPort* port = FindPort(Name);
    if (port != NULL) {
        return port;
    }
    port = static_cast<PeerPort*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PeerPort), QVXPEER_POOL_TAG));
    if (port == NULL) {
        QuarvexPeerTrace(PEER_TRACE_PNP, 1, "QuarvexPeerCreatePort %ws: no memory", Name);
        return NULL;
    }
    RtlZeroMemory(port, sizeof(*port));
    const ULONG length = WideLength(Name);
    for (ULONG i = 0; i < length; ++i) {
        port->Name[i] = Name[i];
        port->NameText[i] = static_cast<CHAR>(Name[i]);
    }
    KeInitializeSpinLock(&port->Lock);
    KeInitializeTimer(&port->PaceTimer);
    KeInitializeDpc(&port->DeliveryDpc, QuarvexPeerDeliveryDpc, port);
    KeInitializeDpc(&port->LinkDpc, QuarvexPeerLinkDpc, port);
    InitializeListHead(&port->Reads);
    InitializeListHead(&port->Writes);
    // Deliveries run on one processor, behind the port's interrupt DPC that each one queues,
    // so a run never finds the port's receive buffer still full from the one before.
    KeSetTargetProcessorDpc(&port->DeliveryDpc, 0);
    NTSTATUS status = OpenCallbackObject(RECEIVE_BASE_NAME, port, &port->ReceiveObject);
    if (NT_SUCCESS(status)) {
        status = OpenCallbackObject(SEND_BASE_NAME, port, &port->SendObject);
    }
    if (NT_SUCCESS(status)) {
        // From here the port's send DPC may call in; the record is complete and links nowhere.
        port->SendRegistration =
            ExRegisterCallback(port->SendObject, QuarvexPeerSendCallback, port);
        if (port->SendRegistration == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) {
        QuarvexPeerTrace(PEER_TRACE_PNP, 1, "QuarvexPeerCreatePort %s: STATUS %x", port->NameText,
                         status);
        FreePort(port);
        return NULL;
    }
    PeerLockGuard list(&PeerGlobals.ListLock);
    InsertTailList(&PeerGlobals.Ports, &port->Link);
    return port;
}

ULONG EffectiveBuffer(ULONG Configured)
{
    if (Configured == 0) {
        return PEER_DEFAULT_BUFFER;
    }
    return Configured < PEER_MAX_KERNEL_BUFFER ? Configured : PEER_MAX_KERNEL_BUFFER;
}

bool SameOptions(const PeerConfig& A, const PeerConfig& B)
{
    return A.LineSpeed == B.LineSpeed && A.XonXoff == B.XonXoff &&
           EffectiveBuffer(A.BufferBytes) == EffectiveBuffer(B.BufferBytes);
}

// The first configured port that names Port as its pair: the one its bytes tentatively go to
// before it arrives itself.
PeerPort* Claimant(const PeerPort* Port)
{
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* other = CONTAINING_RECORD(entry, PeerPort, Link);
        if (other != Port && other->Configured && other->Config.Kind == QVXPEER_KIND_PAIR &&
            QuarvexPeerNamesEqual(other->Config.PairName, Port->Name)) {
            return other;
        }
    }
    return NULL;
}

Link CableLink(PeerPort* Target, const PeerConfig& Config)
{
    return Link{
        SinkInbound, Target, Config.LineSpeed, Config.XonXoff, EffectiveBuffer(Config.BufferBytes),
        NULL};
}

Link DropLink(PCSTR Why)
{
    return Link{SinkDrop, NULL, FALSE, FALSE, 0, Why};
}

Link PairLink(PeerPort* Port)
{
    PeerPort* other = FindPort(Port->Config.PairName);
    if (other == NULL) {
        return DropLink("the other port could not be set up");
    }
    if (other == Port) {
        return DropLink("a port cannot be its own pair");
    }
    if (!other->Configured) {
        return Claimant(other) == Port ? CableLink(other, Port->Config)
                                       : DropLink("another port claims the same pair");
    }
    if (other->Config.Kind != QVXPEER_KIND_PAIR ||
        !QuarvexPeerNamesEqual(other->Config.PairName, Port->Name) ||
        !SameOptions(other->Config, Port->Config)) {
        return DropLink("the other port does not name it back with the same options");
    }
    return CableLink(other, Port->Config);
}

Link DesiredLink(PeerPort* Port)
{
    if (!Port->Configured) {
        // Named by a pair that has arrived: its bytes go back to that port until its own
        // "Peer" says otherwise.
        PeerPort* claimant = Claimant(Port);
        return claimant != NULL ? CableLink(claimant, claimant->Config)
                                : Link{SinkNone, NULL, FALSE, FALSE, 0, NULL};
    }
    switch (Port->Config.Kind) {
    case QVXPEER_KIND_LOOPBACK:
        return CableLink(Port, Port->Config);
    case QVXPEER_KIND_PAIR:
        return PairLink(Port);
    case QVXPEER_KIND_USER:
        return Link{SinkOutbound,
                    NULL,
                    FALSE,
                    Port->Config.XonXoff || (Port->AttachFlags & QVXPEER_ATTACH_XONXOFF) != 0,
                    EffectiveBuffer(Port->AttachBuffer != 0 ? Port->AttachBuffer
                                                            : Port->Config.BufferBytes),
                    NULL};
    default:
        return Link{SinkNone, NULL, FALSE, FALSE, 0, NULL};
    }
}

// Gives Direction (owned by Owner) a ring of Size bytes, keeping the bytes that wait in it as
// far as they fit; the rest count as the sender's drops. KeepAll: a ring too small for what
// waits is not taken (bytes a program handed over have no sender to count them). FALSE when
// there is no memory.
bool SizeRing(PeerPort* Owner, PeerDirection* Direction, ULONG Size, bool KeepAll = false)
{
    if (Direction->Ring.Size == Size) {
        return true;
    }
    auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, Size, QVXPEER_POOL_TAG));
    if (bytes == NULL) {
        QuarvexPeerTrace(PEER_TRACE_PNP, 1, "QuarvexPeerSizeRing %s: no memory for %u bytes",
                         Owner->NameText, Size);
        return false;
    }
    PeerRing ring = {bytes, Size, 0, 0};
    PeerPort* sender = NULL;
    ULONG lost = 0;
    PeerLockGuard guard(&Owner->Lock);
    if (KeepAll && Direction->Ring.Count > Size) {
        guard.Release();
        ExFreePoolWithTag(bytes, QVXPEER_POOL_TAG);
        return true;
    }
    UCHAR chunk[PEER_MAX_RECEIVE_BLOCK];
    while (Direction->Ring.Count > 0) {
        const ULONG taken = QuarvexPeerRingTake(&Direction->Ring, chunk, sizeof(chunk));
        const ULONG kept = QuarvexPeerRingPut(&ring, chunk, taken);
        lost += taken - kept;
    }
    UCHAR* old = Direction->Ring.Bytes;
    Direction->Ring = ring;
    sender = Direction->Sender;
    guard.Release();
    if (old != NULL) {
        ExFreePoolWithTag(old, QVXPEER_POOL_TAG);
    }
    if (lost > 0 && sender != NULL) {
        PeerLockGuard senderGuard(&sender->Lock);
        sender->Dropped += lost;
    }
    return true;
}

ULONG AnnouncedRate(PeerPort* Port)
{
    if (Port == NULL) {
        return 0;
    }
    PeerLockGuard guard(&Port->Lock);
    return Port->LastBaud;
}

// Makes Direction (owned by Owner) receive from Sender; bytes another sender left there are
// dropped and counted as that sender's.
VOID SetSender(PeerPort* Owner, PeerDirection* Direction, PeerPort* Sender, const Link& Route)
{
    // A user port's own rate paces what goes to it; a cable is paced at its sender's rate only
    // with line-speed.
    const bool paced = Route.Sink == SinkOutbound || Route.LineSpeed;
    const ULONG announced = AnnouncedRate(Sender);
    const ULONG rate = !paced ? 0 : announced != 0 ? announced : PEER_DEFAULT_RATE;
    PeerLockGuard guard(&Owner->Lock);
    PeerPort* previous = Direction->Sender;
    ULONG lost = 0;
    bool xon = false;
    if (previous != Sender) {
        lost = Direction->Ring.Count;
        Direction->Ring.Count = 0;
        Direction->Ring.Head = 0;
        xon = Direction->XoffSent != FALSE;
        Direction->XoffSent = FALSE;
    }
    Direction->Sender = Sender;
    Direction->XonXoff = Route.XonXoff;
    if (Direction == &Owner->Inbound) {
        Direction->PaceRate = rate;
    }
    guard.Release();
    if (lost > 0 && previous != NULL) {
        PeerLockGuard previousGuard(&previous->Lock);
        previous->Dropped += lost;
    }
    if (xon && previous != NULL) {
        // The old sender was told to stop for a ring it no longer feeds.
        QuarvexPeerSendUrgent(previous, PEER_XON);
    }
}

VOID TraceLink(const PeerPort* Port, const Link& Route)
{
    switch (Route.Sink) {
    case SinkNone:
        QuarvexPeerTrace(PEER_TRACE_PNP, 3, "QuarvexPeerLink %s: none", Port->NameText);
        break;
    case SinkDrop:
        QuarvexPeerTrace(PEER_TRACE_PNP, 2, "QuarvexPeerLink %s: no far side (%s)", Port->NameText,
                         Route.Why);
        break;
    case SinkOutbound:
        QuarvexPeerTrace(PEER_TRACE_PNP, 3, "QuarvexPeerLink %s: held for a program",
                         Port->NameText);
        break;
    default:
        QuarvexPeerTrace(PEER_TRACE_PNP, 3, "QuarvexPeerLink %s: to %s%s", Port->NameText,
                         Route.Target->NameText,
                         Route.Target->Configured ? "" : " (held until it arrives)");
        break;
    }
}

// Routes one port's bytes. The ring the route feeds is sized before the port's bytes go there.
VOID ApplyLink(PeerPort* Port, Link Route)
{
    PeerDirection* into = NULL;
    PeerPort* owner = NULL;
    if (Route.Sink == SinkInbound) {
        owner = Route.Target;
        into = &Route.Target->Inbound;
    } else if (Route.Sink == SinkOutbound) {
        owner = Port;
        into = &Port->Outbound;
    }
    if (into != NULL && !SizeRing(owner, into, Route.Buffer)) {
        Route = DropLink("no memory for its buffer");
        into = NULL;
    }
    if (Route.Sink == SinkOutbound) {
        // What its program writes waits in the port's inbound direction, paced at the port's
        // own rate.
        if (!SizeRing(Port, &Port->Inbound, Route.Buffer, true)) {
            Route = DropLink("no memory for its buffer");
            into = NULL;
        } else {
            PeerLockGuard guard(&Port->Lock);
            Port->Inbound.PaceRate = Port->LastBaud != 0 ? Port->LastBaud : PEER_DEFAULT_RATE;
        }
    }
    if (into != NULL) {
        SetSender(owner, into, Port, Route);
    }
    PeerLockGuard guard(&Port->Lock);
    const bool changed = Port->Sink != Route.Sink || Port->Target != Route.Target;
    Port->Sink = Route.Sink;
    Port->Target = Route.Target;
    Port->LineSpeed = Route.LineSpeed;
    Port->XonXoff = Route.XonXoff;
    guard.Release();
    if (changed) {
        TraceLink(Port, Route);
    }
}

// A direction nobody sends to any more lets go of what its old sender left there.
VOID ReleaseOrphans()
{
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        PeerPort* sender = port->Inbound.Sender;
        if (sender != NULL && !(sender->Sink == SinkInbound && sender->Target == port)) {
            SetSender(port, &port->Inbound, NULL, DropLink(NULL));
        }
        sender = port->Outbound.Sender;
        if (sender != NULL && port->Sink != SinkOutbound) {
            SetSender(port, &port->Outbound, NULL, DropLink(NULL));
        }
    }
}

// Works every port's route out again from all the configurations: one arrival can complete a
// pair, break one, or free a port another was holding for.
VOID Relink()
{
    // Records for the ports pairs name, so that their bytes can be held.
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        if (port->Configured && port->Config.Kind == QVXPEER_KIND_PAIR) {
            (void)FindOrCreatePort(port->Config.PairName);
        }
    }
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        ApplyLink(port, DesiredLink(port));
    }
    ReleaseOrphans();
}

PeerPort* FindInstance(PCWSTR Instance)
{
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        if (port->Instance[0] != 0 && QuarvexPeerNamesEqual(port->Instance, Instance)) {
            return port;
        }
    }
    return NULL;
}

VOID PortArrived(PCWSTR Instance)
{
    Arrival arrival;
    RtlZeroMemory(&arrival, sizeof(arrival));
    const NTSTATUS status = ReadPort(Instance, &arrival);
    if (!NT_SUCCESS(status)) {
        QuarvexPeerTrace(PEER_TRACE_PNP, 4, "QuarvexPeerPortArrived %ws: not served. STATUS %x",
                         Instance, status);
        return;
    }
    AcquireConfig();
    if (InterlockedCompareExchange(&PeerGlobals.Unloading, 0, 0) != 0) {
        ReleaseConfig();
        return;
    }
    PeerPort* port = FindOrCreatePort(arrival.Name);
    if (port == NULL) {
        ReleaseConfig();
        return;
    }
    if (port->Present && !QuarvexPeerNamesEqual(port->Instance, Instance)) {
        QuarvexPeerTrace(PEER_TRACE_PNP, 1, "QuarvexPeerPortArrived %s: name already in use by %ws",
                         port->NameText, port->Instance);
        ReleaseConfig();
        return;
    }
    // A device that comes back under another name leaves its old record absent.
    PeerPort* renamed = FindInstance(Instance);
    if (renamed != NULL && renamed != port) {
        renamed->Instance[0] = 0;
    }
    ULONG used = 0;
    (void)Append(port->Instance, PEER_MAX_INSTANCE_CHARS + 1, &used, Instance,
                 WideLength(Instance));
    {
        // Also under the port's lock: the status list reads them there.
        PeerLockGuard guard(&port->Lock);
        port->Configured = TRUE;
        port->Rejected = arrival.Rejected;
        port->Config = arrival.Config;
    }
    Relink();
    PeerLockGuard guard(&port->Lock);
    port->Present = TRUE;
    const bool link = QuarvexPeerNotePresenceLocked(port) != FALSE;
    guard.Release();
    QuarvexPeerTrace(PEER_TRACE_PNP, 3, "QuarvexPeerPortArrived %s", port->NameText);
    ReleaseConfig();
    // What waited for it goes now.
    QuarvexPeerKick(port);
    if (link) {
        (void)KeInsertQueueDpc(&port->LinkDpc, NULL, NULL);
    }
}

VOID PortRemoved(PCWSTR Instance)
{
    AcquireConfig();
    PeerPort* port = FindInstance(Instance);
    if (port != NULL) {
        // Its bytes stay (up to the buffer) for when it starts again.
        PeerLockGuard guard(&port->Lock);
        port->Present = FALSE;
        const bool link = QuarvexPeerNotePresenceLocked(port) != FALSE;
        guard.Release();
        QuarvexPeerTrace(PEER_TRACE_PNP, 3, "QuarvexPeerPortRemoved %s", port->NameText);
        if (link) {
            (void)KeInsertQueueDpc(&port->LinkDpc, NULL, NULL);
        }
    }
    ReleaseConfig();
}

} // namespace

NTSTATUS NTAPI QuarvexPeerInterfaceChange(PVOID NotificationStructure, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    if (!EnterNotification()) {
        return STATUS_SUCCESS;
    }
    const auto* note =
        static_cast<const DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(NotificationStructure);
    WCHAR instance[PEER_MAX_INSTANCE_CHARS + 1];
    const PUNICODE_STRING link = note->SymbolicLinkName;
    const ULONG length =
        link == NULL || link->Buffer == NULL
            ? 0
            : QuarvexPeerInstanceFromLink(link->Buffer, link->Length / sizeof(WCHAR), instance,
                                          PEER_MAX_INSTANCE_CHARS + 1);
    if (!SameGuid(note->InterfaceClassGuid, GUID_DEVINTERFACE_COMPORT)) {
        // Registered for COM ports only; anything else is not ours to read.
    } else if (length == 0) {
        QuarvexPeerTrace(PEER_TRACE_PNP, 2, "QuarvexPeerInterfaceChange: link not understood");
    } else if (SameGuid(note->Event, GUID_DEVICE_INTERFACE_ARRIVAL)) {
        PortArrived(instance);
    } else if (SameGuid(note->Event, GUID_DEVICE_INTERFACE_REMOVAL)) {
        PortRemoved(instance);
    }
    LeaveNotification();
    return STATUS_SUCCESS;
}

NTSTATUS QuarvexPeerAttach(PCWSTR Name, PFILE_OBJECT File, ULONG Flags, ULONG Buffer)
{
    AcquireConfig();
    PeerPort* port = FindPort(Name);
    NTSTATUS status = STATUS_SUCCESS;
    if (InterlockedCompareExchange(&PeerGlobals.Unloading, 0, 0) != 0) {
        status = STATUS_DELETE_PENDING;
    } else if (File->FsContext != NULL) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (port == NULL || !port->Configured || port->Config.Kind != QVXPEER_KIND_USER) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
        PeerLockGuard guard(&port->Lock);
        status = port->Attached != NULL ? STATUS_SHARING_VIOLATION : STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) {
        port->AttachBuffer = Buffer;
        port->AttachFlags = Flags;
        ApplyLink(port, DesiredLink(port));
        PeerLockGuard guard(&port->Lock);
        if (port->Sink != SinkOutbound ||
            port->Outbound.Ring.Size !=
                EffectiveBuffer(Buffer != 0 ? Buffer : port->Config.BufferBytes)) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            QuarvexPeerBeginAttachLocked(port, File);
            File->FsContext = port;
        }
    }
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        port->AttachBuffer = 0;
        port->AttachFlags = 0;
        ApplyLink(port, DesiredLink(port));
    }
    QuarvexPeerTrace(PEER_TRACE_CONTROL, NT_SUCCESS(status) ? 3 : 2,
                     "QuarvexPeerAttach %ws: STATUS %x", Name, status);
    ReleaseConfig();
    return status;
}

VOID QuarvexPeerDetach(PeerPort* Port, PFILE_OBJECT File)
{
    AcquireConfig();
    if (QuarvexPeerEndAttach(Port, File)) {
        Port->AttachBuffer = 0;
        Port->AttachFlags = 0;
        if (InterlockedCompareExchange(&PeerGlobals.Unloading, 0, 0) == 0) {
            ApplyLink(Port, DesiredLink(Port));
        }
        // Told Xoff for the program's sake, it is not held back any more.
        PeerLockGuard guard(&Port->Lock);
        const bool xon = Port->Outbound.XoffSent && !Port->Outbound.XonXoff;
        Port->Outbound.XoffSent = xon ? FALSE : Port->Outbound.XoffSent;
        guard.Release();
        if (xon) {
            QuarvexPeerSendUrgent(Port, PEER_XON);
        }
        QuarvexPeerTrace(PEER_TRACE_CONTROL, 3, "QuarvexPeerDetach %s", Port->NameText);
    }
    ReleaseConfig();
}

NTSTATUS QuarvexPeerRegisterNotifications()
{
    return IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        const_cast<GUID*>(&GUID_DEVINTERFACE_COMPORT), PeerGlobals.DriverObject,
        QuarvexPeerInterfaceChange, NULL, &PeerGlobals.NotificationEntry);
}

VOID QuarvexPeerUnregisterNotifications()
{
    if (PeerGlobals.NotificationEntry != NULL) {
        (void)IoUnregisterPlugPlayNotification(PeerGlobals.NotificationEntry);
        PeerGlobals.NotificationEntry = NULL;
    }
    // A notification may still be running (systems before Windows 7 call back after the
    // unregistration returns): the driver counts itself out and waits for the rest.
    if (InterlockedDecrement(&PeerGlobals.NotifyBusy) != 0) {
        (void)KeWaitForSingleObject(&PeerGlobals.NotifyIdle, Executive, KernelMode, FALSE, NULL);
    }
}

VOID QuarvexPeerCloseAndUnregister()
{
    AcquireConfig();
    (void)InterlockedExchange(&PeerGlobals.Unloading, 1);
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        PeerLockGuard guard(&port->Lock);
        port->Closing = TRUE;
    }
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        // Waits for a send routine running on another processor.
        ExUnregisterCallback(port->SendRegistration);
        port->SendRegistration = NULL;
    }
    ReleaseConfig();
}

VOID QuarvexPeerStopDeliveries()
{
    for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
         entry = entry->Flink) {
        PeerPort* port = CONTAINING_RECORD(entry, PeerPort, Link);
        (void)KeCancelTimer(&port->PaceTimer);
        (void)KeRemoveQueueDpc(&port->DeliveryDpc);
        (void)KeRemoveQueueDpc(&port->LinkDpc);
    }
    // Closing is set on every port, so nothing queues a DPC or sets a timer any more; this
    // waits for the ones already running.
    KeFlushQueuedDpcs();
}

VOID QuarvexPeerFreePorts()
{
    while (!IsListEmpty(&PeerGlobals.Ports)) {
        PeerLockGuard list(&PeerGlobals.ListLock);
        PeerPort* port = CONTAINING_RECORD(RemoveHeadList(&PeerGlobals.Ports), PeerPort, Link);
        list.Release();
        FreePort(port);
    }
}
