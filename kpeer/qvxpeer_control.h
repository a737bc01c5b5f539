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

// Function 0x800 stays free for attaching a program to a port ("bridge" and the network
// kinds); reads and writes on the attached handle will carry that port's bytes.
constexpr unsigned int QVXPEER_FUNCTION_ATTACH = 0x800u;

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
