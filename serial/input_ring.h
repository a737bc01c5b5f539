// The input ring: the bytes received while no read takes them, and the receive target, which
// is the ring itself or, while a read is being filled directly, that read's buffer. Only the
// routines here write the ring's fields (InputBuffer, InputBufferSize, InputFullMark,
// InputCount, InputFirstChar, IsrTargetBase, IsrTargetLast, IsrNextSlot) and the flow limits
// set from its size; everyone else reads them. The lint test holds the rest of the driver to
// that.
//
// Contexts: the allocation at open and the release at close run at PASSIVE_LEVEL while the
// port is closed, when the interrupt service only drains; everything else at DISPATCH_LEVEL.
// Locks: PortLock guards every field, except at open and close, when nobody else looks.
// The per-byte routines are inline: the interrupt service calls them for every byte received.
#pragma once

#include <ntddk.h>

#include "port/kcompat.h"
#include "port/port.h"

// Size of the input ring that each open allocates.
constexpr ULONG INPUT_BUFFER_DEFAULT_SIZE = 4096;

// Tag of a larger input ring from a queue-size change (charged to the caller's quota); its
// four bytes read "qrvi".
constexpr ULONG QUARVEX_INPUT_POOL_TAG = static_cast<ULONG>('q') | (static_cast<ULONG>('r') << 8) |
                                         (static_cast<ULONG>('v') << 16) |
                                         (static_cast<ULONG>('i') << 24);

// Allocates the ring an open starts with: empty, the receive target, with the flow limits and
// the 80 % mark of its size.
// IRQL: PASSIVE_LEVEL.  Locks: none (the port is closed).
// Returns STATUS_INSUFFICIENT_RESOURCES with no ring (InputBuffer NULL, InputBufferSize 0).
[[nodiscard]] NTSTATUS QuarvexInputRingAllocate(PortDeviceRecord* Port);

// Frees the ring at close.
// IRQL: PASSIVE_LEVEL.  Locks: none (the port is closed and the interrupt service only drains).
VOID QuarvexInputRingFree(PortDeviceRecord* Port);

// The tag the current ring was allocated with.
ULONG QuarvexInputBufferTag(const PortDeviceRecord* Port);

// Moves what the ring holds, oldest first, into NewBuffer of Size bytes (larger than the
// ring), frees the old ring and makes the new one the receive target, with the flow limits
// and the 80 % mark of its size. No read may be the receive target.
// IRQL: DISPATCH_LEVEL.  Locks: PortLock held.
VOID QuarvexInputRingGrow(PortDeviceRecord* Port, PUCHAR NewBuffer, ULONG Size)
    QUARVEX_REQUIRES(Port->PortLock);

// Moves the Count oldest bytes (at most InputCount) to Destination. The ring must be the
// receive target.
// IRQL: DISPATCH_LEVEL.  Locks: PortLock held.
VOID QuarvexInputRingTake(PortDeviceRecord* Port, PUCHAR Destination, ULONG Count)
    QUARVEX_REQUIRES(Port->PortLock);

// The ring as the receive target, holding its first Held bytes. For the routines of the ring,
// which hold PortLock or own the closed port.
inline VOID QuarvexInputRingTargetItself(PortDeviceRecord* Port, ULONG Held)
{
    Port->IsrTargetBase = Port->InputBuffer;
    Port->InputFirstChar = Port->InputBuffer;
    Port->IsrNextSlot = Port->InputBuffer + Held;
    Port->IsrTargetLast = Port->InputBuffer + Port->InputBufferSize - 1;
    Port->InputCount = Held;
}

// Empties the ring and makes it the receive target (again: a read being filled directly
// lets go of the receive path).
// Locks: PortLock held.
inline VOID QuarvexInputRingReset(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock)
{
    QuarvexInputRingTargetItself(Port, 0);
}

// Whether a read's buffer is the receive target.
// Locks: PortLock held.
inline bool QuarvexInputRingTargetsRead(const PortDeviceRecord* Port)
    QUARVEX_REQUIRES(Port->PortLock)
{
    return Port->IsrTargetBase != Port->InputBuffer;
}

// Makes a read's Buffer of Length bytes, whose first Filled bytes came from the ring, the
// receive target. The ring must be empty.
// Locks: PortLock held.
inline VOID QuarvexInputRingTargetRead(PortDeviceRecord* Port, PUCHAR Buffer, ULONG Filled,
                                       ULONG Length) QUARVEX_REQUIRES(Port->PortLock)
{
    Port->IsrTargetBase = Buffer;
    Port->IsrNextSlot = Buffer + Filled;
    Port->IsrTargetLast = Buffer + Length - 1;
}

// Bytes of the targeted read's buffer that no byte has reached yet.
// Locks: PortLock held.
inline ULONG QuarvexInputRingReadRoom(const PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock)
{
    return static_cast<ULONG>(Port->IsrTargetLast - Port->IsrNextSlot + 1);
}

// Stores Ch in the targeted read's buffer. Returns TRUE when that filled it: the ring, empty,
// is the receive target again.
// Locks: PortLock held.
inline bool QuarvexInputRingPutDirect(PortDeviceRecord* Port, UCHAR Ch)
    QUARVEX_REQUIRES(Port->PortLock)
{
    *Port->IsrNextSlot = Ch;
    if (Port->IsrNextSlot == Port->IsrTargetLast) {
        QuarvexInputRingReset(Port);
        return true;
    }
    Port->IsrNextSlot++;
    return false;
}

// Stores Ch in the ring, which must be the receive target and have room.
// Locks: PortLock held.
inline VOID QuarvexInputRingPut(PortDeviceRecord* Port, UCHAR Ch) QUARVEX_REQUIRES(Port->PortLock)
{
    *Port->IsrNextSlot = Ch;
    Port->InputCount++;
    if (Port->IsrNextSlot == Port->IsrTargetLast) {
        Port->IsrNextSlot = Port->InputBuffer;
    } else {
        Port->IsrNextSlot++;
    }
}

// Stores Count bytes in the targeted read's buffer, which has room for more than Count: the
// byte that fills it goes through QuarvexInputRingPutDirect.
// Locks: PortLock held.
inline VOID QuarvexInputRingPutDirectRun(PortDeviceRecord* Port, const UCHAR* Bytes, ULONG Count)
    QUARVEX_REQUIRES(Port->PortLock)
{
    RtlCopyMemory(Port->IsrNextSlot, Bytes, Count);
    Port->IsrNextSlot += Count;
}

// Stores Count bytes in the ring, which must be the receive target and have room for them.
// Locks: PortLock held.
inline VOID QuarvexInputRingPutRun(PortDeviceRecord* Port, const UCHAR* Bytes, ULONG Count)
    QUARVEX_REQUIRES(Port->PortLock)
{
    const ULONG toEnd = static_cast<ULONG>(Port->IsrTargetLast - Port->IsrNextSlot + 1);
    if (Count < toEnd) {
        RtlCopyMemory(Port->IsrNextSlot, Bytes, Count);
        Port->IsrNextSlot += Count;
    } else {
        RtlCopyMemory(Port->IsrNextSlot, Bytes, toEnd);
        RtlCopyMemory(Port->InputBuffer, Bytes + toEnd, Count - toEnd);
        Port->IsrNextSlot = Port->InputBuffer + (Count - toEnd);
    }
    Port->InputCount += Count;
}

// Overwrites the newest byte of a full ring (with the error character).
// Locks: PortLock held.
inline VOID QuarvexInputRingReplaceNewest(PortDeviceRecord* Port, UCHAR Ch)
    QUARVEX_REQUIRES(Port->PortLock)
{
    PUCHAR newest = Port->IsrNextSlot == Port->InputBuffer
                        ? Port->InputBuffer + Port->InputBufferSize - 1
                        : Port->IsrNextSlot - 1;
    *newest = Ch;
}
