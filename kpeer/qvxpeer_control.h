// The control interface of quarvexpeer.sys (\\.\QuarvexPeer), shared by the driver and the
// programs that talk to it. It needs no kernel or Win32 header: only C types whose widths are
// the same on every target the project builds for (int 32 bits, long long 64 bits), laid out
// so that no field depends on a compiler's alignment rules.
//
// A request that does not fit its buffer is refused with a status and copies nothing
// partial, except LIST, which returns the records that fit (see there).
#pragma once

// CTL_CODE(FILE_DEVICE_UNKNOWN, Function, Method, Access) without the header that defines it.
constexpr unsigned int QVXPEER_DEVICE_TYPE = 0x00000022u;
constexpr unsigned int QVXPEER_METHOD_BUFFERED = 0u;
constexpr unsigned int QVXPEER_READ_ACCESS = 1u;
constexpr unsigned int QVXPEER_WRITE_ACCESS = 2u;

constexpr unsigned int QvxPeerControlCode(unsigned int Function, unsigned int Method,
                                          unsigned int Access)
{
    return (QVXPEER_DEVICE_TYPE << 16) | (Access << 14) | (Function << 2) | Method;
}

// Binds the handle to one port of kind QVXPEER_KIND_USER (a "Peer" of bridge or a network
// kind); from then on reads and writes on the handle carry that port's bytes. Input:
// QvxPeerAttach; no output. One handle per port; closing it detaches, and the port's bytes
// then wait in the driver up to its buffer (counted as dropped beyond it).
// STATUS_OBJECT_NAME_NOT_FOUND: no such port, or not a user port; STATUS_SHARING_VIOLATION:
// another handle has it; STATUS_INVALID_DEVICE_STATE: this handle is attached already;
// STATUS_INVALID_PARAMETER: a malformed request (size, empty or unterminated name, unknown
// flags, BufferBytes other than 0 or 1024..2^30); STATUS_INSUFFICIENT_RESOURCES: no memory
// for the buffer asked for.
constexpr unsigned int IOCTL_QVXPEER_ATTACH =
    QvxPeerControlCode(0x800u, QVXPEER_METHOD_BUFFERED, QVXPEER_READ_ACCESS | QVXPEER_WRITE_ACCESS);

// Lists every port the driver knows: those that arrived and those a pair names that have not.
// Output: QvxPeerListHeader, then Returned records of RecordBytes each. When the buffer
// holds the header but not every record, as many whole records as fit come back with
// STATUS_BUFFER_OVERFLOW, and PortCount says how many there are; a buffer smaller than the
// header gets STATUS_BUFFER_TOO_SMALL and nothing.
constexpr unsigned int IOCTL_QVXPEER_LIST =
    QvxPeerControlCode(0x801u, QVXPEER_METHOD_BUFFERED, QVXPEER_READ_ACCESS);

constexpr unsigned int QVXPEER_LIST_VERSION = 1u;
// UTF-16 code units of a name, its terminating zero included.
constexpr unsigned int QVXPEER_NAME_CHARS = 32u;

// What a port's bytes do (from its "Peer" value).
constexpr unsigned int QVXPEER_KIND_NONE = 0u;     // counted, gone
constexpr unsigned int QVXPEER_KIND_LOOPBACK = 1u; // back to the same port
constexpr unsigned int QVXPEER_KIND_PAIR = 2u;     // to the port PeerName, and back
constexpr unsigned int QVXPEER_KIND_USER = 3u;     // held for a program (Network says which)

// The far side a program is to provide for a port of kind QVXPEER_KIND_USER.
constexpr unsigned int QVXPEER_NETWORK_NONE = 0u;
constexpr unsigned int QVXPEER_NETWORK_TCP_CLIENT = 1u;
constexpr unsigned int QVXPEER_NETWORK_TCP_SERVER = 2u;
constexpr unsigned int QVXPEER_NETWORK_RFC2217 = 3u;
constexpr unsigned int QVXPEER_NETWORK_BRIDGE = 4u; // whatever the attached program chooses

// Flags of a port record.
constexpr unsigned int QVXPEER_PORT_PRESENT = 0x01u;    // started: bytes are delivered to it
constexpr unsigned int QVXPEER_PORT_CONFIGURED = 0x02u; // has arrived; Kind is its own "Peer"
constexpr unsigned int QVXPEER_PORT_LINKED = 0x04u;     // its bytes have somewhere to go
constexpr unsigned int QVXPEER_PORT_REJECTED = 0x08u;   // its "Peer" value was not usable
constexpr unsigned int QVXPEER_PORT_LINE_SPEED = 0x10u; // delivery paced at the sender's rate
constexpr unsigned int QVXPEER_PORT_XONXOFF = 0x20u;    // its transmitter is throttled by Xoff
constexpr unsigned int QVXPEER_PORT_XOFF_SENT = 0x40u;  // told Xoff, not yet Xon
constexpr unsigned int QVXPEER_PORT_PAUSED = 0x80u;     // its own Xoff holds delivery to it
constexpr unsigned int QVXPEER_PORT_ATTACHED = 0x100u;  // a program's handle is attached

struct QvxPeerListHeader
{
    unsigned int Version;     // QVXPEER_LIST_VERSION
    unsigned int RecordBytes; // sizeof(QvxPeerPortStatus) of the driver
    unsigned int PortCount;   // ports known
    unsigned int Returned;    // records that follow
    unsigned int Rejected;    // "Peer" values found unusable since the driver started
    unsigned int Reserved;
};

struct QvxPeerPortStatus
{
    unsigned short Name[QVXPEER_NAME_CHARS];     // "COM5", zero-terminated
    unsigned short PeerName[QVXPEER_NAME_CHARS]; // the other end of a pair, else empty
    unsigned int Kind;                           // QVXPEER_KIND_*
    unsigned int Network;                        // QVXPEER_NETWORK_* of a user port
    unsigned int Flags;                          // QVXPEER_PORT_*
    unsigned int LastBaud;                       // rate the port last announced; 0: none yet
    unsigned int BufferBytes;                    // bound of what waits in each direction
    unsigned int HeldToPort;                     // bytes waiting to be delivered to the port
    unsigned int HeldFromPort;                   // the port's bytes waiting for a program
    unsigned int Reserved;
    unsigned long long ToPort;   // bytes delivered to the port
    unsigned long long FromPort; // data bytes the port sent (baud blocks taken out)
    unsigned long long Dropped;  // of those, bytes that found no room and were dropped
};

static_assert(sizeof(QvxPeerListHeader) == 24, "the header keeps its layout");
static_assert(sizeof(QvxPeerPortStatus) == 184, "the record keeps its layout");

// ---- Attached handles ---------------------------------------------------------------------

constexpr unsigned int QVXPEER_ATTACH_XONXOFF = 0x01u; // the port's Xoff/Xon pause delivery
                                                       // to it and are not passed on

struct QvxPeerAttach
{
    unsigned short PortName[QVXPEER_NAME_CHARS]; // "COM5", zero-terminated
    unsigned int Flags;                          // QVXPEER_ATTACH_*
    unsigned int BufferBytes;                    // 0: the port's own bound
};

// ReadFile and WriteFile on an attached handle move whole records, one after another:
// a QvxPeerRecordHeader, then Length bytes of payload.
//   DATA     bytes (1..QVXPEER_MAX_DATA): from the port on reads, to the port on writes
//   BAUD     unsigned int: the rate the port announced (reads only)
//   PRESENCE unsigned int: 1 the port is started, 0 it is not (reads only; one comes first)
//   DROPPED  unsigned int: the port's bytes dropped since the last such record (reads only)
// A read needs room for a header and four bytes; it returns as many whole records as fit,
// a DATA record cut to what fits, and pends while there is none. A write must hold only
// whole DATA records; anything else is refused with STATUS_INVALID_PARAMETER and nothing of
// it is taken. A write completes when all of its bytes are held for the port, and pends
// while the driver's buffer for the port is full; cancelled, it reports the DATA payload
// bytes it had handed over. Reads and writes on a handle not attached get
// STATUS_INVALID_DEVICE_STATE, a read smaller than eight bytes STATUS_BUFFER_TOO_SMALL.
// After attaching, a handle reads the port's PRESENCE first, then BAUD when the port has
// announced a rate, then DROPPED when bytes were dropped since the last report (also before
// this attach), then what the port sent.
constexpr unsigned char QVXPEER_RECORD_DATA = 1u;
constexpr unsigned char QVXPEER_RECORD_BAUD = 2u;
constexpr unsigned char QVXPEER_RECORD_PRESENCE = 3u;
constexpr unsigned char QVXPEER_RECORD_DROPPED = 4u;

constexpr unsigned int QVXPEER_MAX_DATA = 4096u;   // payload of one DATA record
constexpr unsigned int QVXPEER_MAX_WRITE = 65536u; // bytes of one WriteFile, headers included

struct QvxPeerRecordHeader
{
    unsigned char Type;     // QVXPEER_RECORD_*
    unsigned char Reserved; // 0
    unsigned short Length;  // payload bytes that follow
};

static_assert(sizeof(QvxPeerAttach) == 72, "the attach request keeps its layout");
static_assert(sizeof(QvxPeerRecordHeader) == 4, "a record header keeps its layout");
