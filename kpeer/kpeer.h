// quarvexpeer.sys: the far side of Quarvex ports on Windows. A legacy kernel service that
// learns of COM ports through device-interface notifications, keeps the ones whose instance
// is served by "Quarvex", and carries their bytes as their "Peer" value says: back to the
// same port, to the other port of a pair, or into a ring for a program. It meets a port only
// through the port's two callback objects and never opens it (the port has one handle, and
// that is the application's).
//
// Contexts:
//   - entry, unload, interface notifications: PASSIVE_LEVEL in system threads; they
//     serialise on ConfigLock, a synchronisation event, which nothing else takes;
//   - control-device requests: PASSIVE_LEVEL in the caller's thread; they take ListLock, a
//     port's Lock, and for attach and detach ConfigLock first;
//   - the link DPC: DISPATCH_LEVEL; completes an attached program's reads and moves its
//     pending writes on;
//   - cancel routines: DISPATCH_LEVEL; they let go of the cancel spin lock before taking a
//     port's Lock, so the two are never held together;
//   - the send routine: DISPATCH_LEVEL, in the sending port's send DPC with the port's
//     TransmitLock held;
//   - the delivery DPC: DISPATCH_LEVEL, on processor 0, from its timer or queued directly.
// Locks, in order: the port driver's TransmitLock, then one PeerPort Lock; ListLock, then one
// PeerPort Lock. No two PeerPort locks are ever held together, and none is held while calling
// a port (notifying its receive object): that is where the port takes its own ReceiveLock.
// Records are allocated at PASSIVE_LEVEL when a port arrives or is named by a pair, and freed
// only at unload, so a pointer to one stays good while the driver runs.
#pragma once

#include <ntddk.h>

#include "kpeer/peer_compat.h"
#include "kpeer/peer_core.h"

constexpr ULONG PEER_MAX_INSTANCE_CHARS = 200;
constexpr ULONG PEER_URGENT_CAPACITY = 4;
constexpr ULONG PEER_PRESENCE_CAPACITY = 4;
constexpr ULONG PEER_MAX_RECEIVE_BLOCK = 44;
constexpr UCHAR PEER_XON = 0x11;
constexpr UCHAR PEER_XOFF = 0x13;
// No more is allocated per direction, whatever "buffer=" says: nonpaged pool is scarce on
// 32-bit Windows. The port's effective bound shows in the status list.
constexpr ULONG PEER_MAX_KERNEL_BUFFER = 1024 * 1024;

// Where a port's transmitted bytes go.
enum PeerSink : ULONG {
    SinkNone = 0,     // counted, gone ("none")
    SinkDrop = 1,     // counted as dropped: a pair that cannot be made
    SinkInbound = 2,  // into Target's inbound direction (Target is the port itself for loopback)
    SinkOutbound = 3, // into the port's own outbound ring, for a program
};

struct PeerPort;

// Bytes waiting to be delivered to one port, and how they are delivered. Guarded by the Lock
// of the port that owns it.
struct PeerDirection
{
    PeerRing Ring;
    PeerPort* Sender; // whose bytes wait here: it gets the Xoff and Xon; also ConfigLock
    BOOLEAN XonXoff;  // the sender's transmitter obeys Xoff; also ConfigLock
    BOOLEAN XoffSent; // the sender was told Xoff and not yet Xon
    BOOLEAN Paused;   // a user port's own Xoff holds data (not urgent bytes) back
    BOOLEAN Armed;    // the pace timer runs
    BOOLEAN Delivering;
    BOOLEAN Again;                      // a run was asked for while one was delivering
    UCHAR Urgent[PEER_URGENT_CAPACITY]; // flow characters for the port, ahead of data
    ULONG UrgentCount;
    ULONG PaceRate; // bits per second; 0: unpaced
    PeerPacing Pacing;
};

struct PeerPort
{
    // Constant from creation to unload.
    LIST_ENTRY Link; // in PeerDriver.Ports, changed under ListLock
    WCHAR Name[PEER_MAX_NAME_CHARS + 1];
    CHAR NameText[PEER_MAX_NAME_CHARS + 1]; // for traces
    PCALLBACK_OBJECT ReceiveObject;         // referenced
    PCALLBACK_OBJECT SendObject;            // referenced
    KTIMER PaceTimer;
    KDPC DeliveryDpc;

    // PASSIVE_LEVEL under ConfigLock.
    PVOID SendRegistration;
    WCHAR Instance[PEER_MAX_INSTANCE_CHARS + 1]; // empty until it arrives
    // Written under ConfigLock and Lock, read under either.
    BOOLEAN Configured; // has arrived: Config is its own "Peer"
    BOOLEAN Rejected;   // its "Peer" value was not usable
    PeerConfig Config;

    // Guarded by Lock (written at PASSIVE_LEVEL under ConfigLock as well where noted).
    KSPIN_LOCK Lock;
    BOOLEAN Present;   // started: delivery reaches it
    BOOLEAN Closing;   // unload: no more timers or DPCs
    PeerSink Sink;     // also ConfigLock
    PeerPort* Target;  // SinkInbound; also ConfigLock
    BOOLEAN LineSpeed; // also ConfigLock
    BOOLEAN XonXoff;   // also ConfigLock
    BOOLEAN Dropping;  // in a run of drops, traced once
    ULONG LastBaud;
    ULONGLONG ToPort;
    ULONGLONG FromPort;
    ULONGLONG Dropped;
    PeerDirection Inbound;
    PeerDirection Outbound; // a user port's bytes for its program

    // A user port's program. Guarded by Lock.
    PFILE_OBJECT Attached; // the attached handle's file object, or NULL
    BOOLEAN BaudDue;       // a BAUD record waits, behind BaudAfter outbound bytes
    ULONG BaudRate;
    ULONG BaudAfter;
    ULONG Presence[PEER_PRESENCE_CAPACITY]; // PRESENCE records not yet read, oldest first
    ULONG PresenceCount;
    ULONG PresenceLast;        // the last presence queued or read
    ULONGLONG DroppedReported; // Dropped as the last DROPPED record told it
    LIST_ENTRY Reads;          // pending reads, by Tail.Overlay.ListEntry
    LIST_ENTRY Writes;         // pending writes, the same
    KDPC LinkDpc;              // completes reads and moves pending writes on
    ULONG AttachBuffer;        // the program's bound, 0: the port's own; ConfigLock
    ULONG AttachFlags;         // QVXPEER_ATTACH_*; ConfigLock
};

// The driver's globals: one copy, zeroed by the loader and again by driver entry.
struct PeerDriver
{
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT ControlDevice;
    BOOLEAN LinkCreated;
    PVOID NotificationEntry;
    KEVENT ConfigLock;        // a mutex for system threads
    KSPIN_LOCK ListLock;      // guards Ports
    LIST_ENTRY Ports;         // PeerPort.Link
    volatile LONG Unloading;  // interlocked only
    volatile LONG NotifyBusy; // notifications inside the driver, plus one until unload
    KEVENT NotifyIdle;        // set when NotifyBusy reaches 0
    volatile LONG Rejected;   // unusable "Peer" values, interlocked only
};

extern PeerDriver PeerGlobals;

// A spin lock held for a scope; raises to DISPATCH_LEVEL. Release() lets go early.
class QVXPEER_THREAD_SAFETY(scoped_lockable) PeerLockGuard
{
  public:
    explicit PeerLockGuard(PKSPIN_LOCK Lock) QVXPEER_THREAD_SAFETY(acquire_capability(*Lock))
        : lock_(Lock)
    {
        KeAcquireSpinLock(lock_, &irql_);
    }
    ~PeerLockGuard() QVXPEER_THREAD_SAFETY(release_capability()) { Release(); }
    PeerLockGuard(const PeerLockGuard&) = delete;
    PeerLockGuard& operator=(const PeerLockGuard&) = delete;
    VOID Release() QVXPEER_THREAD_SAFETY(release_capability())
    {
        if (lock_ != NULL) {
            KeReleaseSpinLock(lock_, irql_);
            lock_ = NULL;
        }
    }

  private:
    PKSPIN_LOCK lock_;
    KIRQL irql_ = PASSIVE_LEVEL;
};

// The same for code already at DISPATCH_LEVEL (the send routine, DPCs).
class QVXPEER_THREAD_SAFETY(scoped_lockable) PeerDpcLockGuard
{
  public:
    explicit PeerDpcLockGuard(PKSPIN_LOCK Lock) QVXPEER_THREAD_SAFETY(acquire_capability(*Lock))
        : lock_(Lock)
    {
        KeAcquireSpinLockAtDpcLevel(lock_);
    }
    ~PeerDpcLockGuard() QVXPEER_THREAD_SAFETY(release_capability()) { Release(); }
    PeerDpcLockGuard(const PeerDpcLockGuard&) = delete;
    PeerDpcLockGuard& operator=(const PeerDpcLockGuard&) = delete;
    VOID Release() QVXPEER_THREAD_SAFETY(release_capability())
    {
        if (lock_ != NULL) {
            KeReleaseSpinLockFromDpcLevel(lock_);
            lock_ = NULL;
        }
    }

  private:
    PKSPIN_LOCK lock_;
};

// ---- Entry, unload, control device ------------------------------------------------------

// Driver entry of quarvexpeer.sys (the image's DriverEntry calls it; the host build loads the
// driver through it, beside quarvex.sys's own DriverEntry).
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
extern "C" NTSTATUS NTAPI QuarvexPeerDriverEntry(PDRIVER_OBJECT DriverObject,
                                                 PUNICODE_STRING RegistryPath);
// Refuses new work, unregisters from every port and from the notifications, stops timers and
// DPCs, releases the objects and frees everything.  IRQL: PASSIVE_LEVEL.
DRIVER_UNLOAD QuarvexPeerUnload;
// IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP and IRP_MJ_DEVICE_CONTROL of the control device;
// every other request is refused.  IRQL: PASSIVE_LEVEL.  Irp: completed.
DRIVER_DISPATCH QuarvexPeerDispatch;

// ---- Discovery (discovery.cpp) ----------------------------------------------------------

// COM-port interface arrival and removal.  IRQL: PASSIVE_LEVEL.  Locks: takes ConfigLock.
DRIVER_NOTIFICATION_CALLBACK_ROUTINE QuarvexPeerInterfaceChange;
// Registers QuarvexPeerInterfaceChange for COM-port interfaces, the existing ones included
// (they are reported before this returns).  IRQL: PASSIVE_LEVEL.  Locks: must not hold
// ConfigLock.
[[nodiscard]] NTSTATUS QuarvexPeerRegisterNotifications();
// Unregisters the notifications and waits until none runs any more.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold ConfigLock.
VOID QuarvexPeerUnregisterNotifications();
// Refuses further arrivals, marks every port Closing and unregisters the send routine from
// every port.  IRQL: PASSIVE_LEVEL.  Locks: takes ConfigLock.
VOID QuarvexPeerCloseAndUnregister();
// Cancels the pace timers and waits for every delivery DPC.  IRQL: PASSIVE_LEVEL; after
// QuarvexPeerCloseAndUnregister.
VOID QuarvexPeerStopDeliveries();
// Releases the callback objects and frees every record.  IRQL: PASSIVE_LEVEL; after
// QuarvexPeerStopDeliveries.
VOID QuarvexPeerFreePorts();

// Binds File to the user port Name (Flags and Buffer as in QvxPeerAttach, checked) and sizes
// its rings. IRQL: PASSIVE_LEVEL.  Locks: takes ConfigLock, then the port's Lock.
[[nodiscard]] NTSTATUS QuarvexPeerAttach(PCWSTR Name, PFILE_OBJECT File, ULONG Flags, ULONG Buffer);
// Detaches File from Port if it is attached there: its pending requests are cancelled and the
// port's rings take their own bound again.  IRQL: PASSIVE_LEVEL.  Locks: takes ConfigLock.
VOID QuarvexPeerDetach(PeerPort* Port, PFILE_OBJECT File);

// ---- Attached programs (user_link.cpp) --------------------------------------------------

// The attach's part under the port's lock: File becomes the port's program, which reads a
// PRESENCE record first (and the port's rate, once known).  Locks: Port->Lock held.
VOID QuarvexPeerBeginAttachLocked(PeerPort* Port, PFILE_OBJECT File);
// Ends File's attachment to Port and cancels its pending requests; FALSE when File was not
// attached there.  IRQL: <= DISPATCH_LEVEL.  Locks: must not hold Port->Lock.
BOOLEAN QuarvexPeerEndAttach(PeerPort* Port, PFILE_OBJECT File);
// A PRESENCE record for the attached program, when Present changed.  Returns TRUE when the
// link DPC is to run.  Locks: Port->Lock held.
BOOLEAN QuarvexPeerNotePresenceLocked(PeerPort* Port);
// IRP_MJ_READ and IRP_MJ_WRITE of an attached handle.  IRQL: PASSIVE_LEVEL.  Irp: completed
// or pending (cancelable).
NTSTATUS QuarvexPeerRead(PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS QuarvexPeerWrite(PIRP Irp, PIO_STACK_LOCATION Stack);
// Completes what an attached program waits for: reads once there is something to report,
// writes once their bytes are all held.  IRQL: DISPATCH_LEVEL.  Locks: takes the port's Lock;
// completes outside it.
KDEFERRED_ROUTINE QuarvexPeerLinkDpc;

// ---- Transfer (transfer.cpp) ------------------------------------------------------------

// Registered on each port's send object (Context: the PeerPort). Copies the block, takes out
// the baud blocks, appends the data where the port's bytes go and queues the delivery.
// IRQL: DISPATCH_LEVEL.  Locks: the port's TransmitLock held; takes PeerPort locks one at a
// time; never calls a port.
CALLBACK_FUNCTION QuarvexPeerSendCallback;
// Delivers what waits for a port (Context), paced, in blocks of at most 44 bytes.
// IRQL: DISPATCH_LEVEL.  Locks: takes the port's Lock, drops it for each notification.
KDEFERRED_ROUTINE QuarvexPeerDeliveryDpc;
// Queues Byte for Port ahead of its data and asks for a delivery.
// IRQL: <= DISPATCH_LEVEL.  Locks: must not hold a PeerPort lock; takes Port->Lock.
VOID QuarvexPeerSendUrgent(PeerPort* Port, UCHAR Byte);
// Asks for a delivery to Port unless it is closing.
// IRQL: <= DISPATCH_LEVEL.  Locks: must not hold Port->Lock.
VOID QuarvexPeerKick(PeerPort* Port);
