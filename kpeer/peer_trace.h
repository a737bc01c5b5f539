// Trace facility of quarvexpeer.sys: leveled, component-filtered messages formatted into a few
// static slots where a kernel debugger reads them; the host build also hands each message to
// the machine's trace sink. Messages carry port names as narrow text (%s): the kernel's
// formatter may touch pageable tables for wide strings, and most messages come at
// DISPATCH_LEVEL.
//
// Contexts: any IRQL up to DISPATCH_LEVEL, with any of the driver's spin locks held.
// Locks: none taken; nothing here blocks or allocates.
#pragma once

#include <ntddk.h>

// Component bits.
constexpr ULONG PEER_TRACE_PNP = 0x002;     // interface notifications, registry, linking
constexpr ULONG PEER_TRACE_CONTROL = 0x010; // the control device
constexpr ULONG PEER_TRACE_UNLOAD = 0x040;
constexpr ULONG PEER_TRACE_DATA = 0x080; // send routine, delivery, drops, flow control
constexpr ULONG PEER_TRACE_INIT = 0x100;

constexpr ULONG PEER_TRACE_SLOT_COUNT = 4;
constexpr ULONG PEER_TRACE_SLOT_SIZE = 256;

// Settings, read without locks, changed only from a debugger: a message passes when its level
// is <= PeerTraceLevel and its component shares a bit with PeerTraceComponents.
extern ULONG PeerTraceLevel;
extern ULONG PeerTraceComponents;
// PeerTraceSlotBusy: interlocked only. PeerTraceBuffer[slot]: written by the holder of its
// busy flag; keeps the last message.
extern volatile LONG PeerTraceSlotBusy[PEER_TRACE_SLOT_COUNT];
extern CHAR PeerTraceBuffer[PEER_TRACE_SLOT_COUNT][PEER_TRACE_SLOT_SIZE];

// Formats one message into a free slot if it passes the filter; dropped when every slot is
// busy. IRQL: <= DISPATCH_LEVEL.  Locks: none taken.
VOID QuarvexPeerTrace(ULONG Component, ULONG Level, PCSTR Format, ...);
