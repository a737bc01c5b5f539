// The peer's pure logic, apart from the kernel so that it is tested on its own: the "Peer"
// value, the baud blocks in a port's transmit stream, the byte ring, the pacing credit and
// the device instance behind an interface link. Nothing here calls the kernel, allocates or
// takes a lock; the caller holds whatever guards the state it passes.
//
// Contexts: any IRQL.
#pragma once

#include <ntddk.h>

#include "kpeer/qvxpeer_control.h"

// ---- "Peer" value ---------------------------------------------------------------------
// The grammar of the Linux configuration, "<kind>[:<argument>][,<option>]...", so one .reg
// serves both systems. Kinds here: none, loopback, pair:<port>; tcp-client:<host>:<port>,
// tcp-server:[<address>:]<port>, rfc2217:<host>:<port> and bridge make a user port whose bytes
// wait for a program. Options: line-speed (loopback, pair), xonxoff, buffer=<1024..2^30>,
// retry=<10..60000> (tcp-client, rfc2217). pty: has no meaning on Windows.

// Port names the peer serves: the callback object names end in them, and a port of the
// original layout keeps only names that fit 11 characters.
constexpr ULONG PEER_MAX_NAME_CHARS = 11;
constexpr ULONG PEER_DEFAULT_BUFFER = 64 * 1024;
constexpr ULONG PEER_MIN_BUFFER = 1024;
constexpr ULONG PEER_MAX_BUFFER = 1u << 30;

struct PeerConfig
{
    ULONG Kind;    // QVXPEER_KIND_*
    ULONG Network; // QVXPEER_NETWORK_* of a user port
    WCHAR PairName[PEER_MAX_NAME_CHARS + 1];
    BOOLEAN LineSpeed;
    BOOLEAN XonXoff;
    ULONG BufferBytes; // as written; 0 when the value names none
};

// Parses the Length characters at Text (no terminator needed). Returns NULL with *Config set,
// or a short reason for the user with *Config set to none.
PCSTR QuarvexPeerParseConfig(PCWSTR Text, ULONG Length, PeerConfig* Config);

// TRUE for a port name the peer serves: 1 to PEER_MAX_NAME_CHARS printable ASCII characters
// without a backslash.
BOOLEAN QuarvexPeerValidName(PCWSTR Name, ULONG Length);

// Port names compare without regard to ASCII case, as the object manager does.
BOOLEAN QuarvexPeerNamesEqual(PCWSTR A, PCWSTR B);

// ---- Baud blocks ----------------------------------------------------------------------
// A block 44 55 41 42 + rate (little-endian) lying wholly in one hand-over announces the
// port's rate. Application data may hold the same bytes, so only a plausible rate counts.
constexpr ULONG PEER_BAUD_TAG = 0x42415544;
constexpr ULONG PEER_BAUD_BLOCK_BYTES = 8;
constexpr ULONG PEER_MIN_PLAUSIBLE_RATE = 1;
constexpr ULONG PEER_MAX_PLAUSIBLE_RATE = 16000000;

// Copies Block to Data (room for Length bytes) without its plausible baud blocks and returns
// the number of data bytes. *Rate gets the last plausible rate and is untouched when there is
// none.
ULONG QuarvexPeerStripBaudBlocks(const UCHAR* Block, ULONG Length, UCHAR* Data, ULONG* Rate);

// ---- Byte ring ------------------------------------------------------------------------
struct PeerRing
{
    UCHAR* Bytes; // Size bytes, the caller's
    ULONG Size;
    ULONG Head; // oldest byte
    ULONG Count;
};

// Appends what fits of Length bytes; returns how many.
ULONG QuarvexPeerRingPut(PeerRing* Ring, const UCHAR* Bytes, ULONG Length);
// Removes up to Length of the oldest bytes into Out; returns how many.
ULONG QuarvexPeerRingTake(PeerRing* Ring, UCHAR* Out, ULONG Length);

// ---- Pacing ---------------------------------------------------------------------------
// Delivery runs at most every PEER_PACE_PERIOD_MS while bytes wait and hands over at most
// PEER_MAX_RUN_BYTES per run: half the port's receive buffer, since the port's interrupt DPC
// that each delivery queues runs on processor 0 too, after this run and before the next but
// one. A paced line carries 10 bits per byte
// at the sender's rate; its credit is kept in thousandths of a byte.
constexpr ULONG PEER_PACE_PERIOD_MS = 10;
constexpr ULONG PEER_MAX_RUN_BYTES = 2048;
constexpr ULONG PEER_DEFAULT_RATE = 9600;

struct PeerPacing
{
    LONGLONG Credit;
    ULONGLONG LastRun; // interrupt time of the last run, 100-ns units
    BOOLEAN Running;   // FALSE while the line is idle
};

// Bytes a run at Now may deliver at Rate bits per second (0: unpaced).
ULONG QuarvexPeerPaceBudget(PeerPacing* Pacing, ULONG Rate, ULONGLONG Now);
// Charges Bytes delivered against the credit.
VOID QuarvexPeerPaceSpend(PeerPacing* Pacing, ULONG Bytes);
// The line fell idle: it banks no more than the fraction of a byte it had, and restarts with
// one period's credit.
VOID QuarvexPeerPaceIdle(PeerPacing* Pacing);

// ---- Interface links ------------------------------------------------------------------
// The device instance behind a device-interface link, "\??\ROOT#PORTS#0000#{guid}[\ref]" ->
// "ROOT\PORTS\0000", into Instance (Capacity characters, terminator included). Returns its
// length, or 0 when Link does not have that form or the instance does not fit.
ULONG QuarvexPeerInstanceFromLink(PCWSTR Link, ULONG Length, PWSTR Instance, ULONG Capacity);
