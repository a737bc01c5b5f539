// What happens to the bytes on their way: baud blocks picked out of a port's stream, the ring
// they wait in, the credit that paces their delivery, and the instance behind a link.

#include "kpeer/peer_core.h"

namespace {

constexpr ULONGLONG TICKS_PER_MS = 10000;
// Credit is earned for at most this long at once: a late run does not make a burst, and the
// product with the rate stays far from overflowing.
constexpr ULONGLONG MAX_CREDITED_TICKS = 1000 * TICKS_PER_MS;
// Thousandths of a byte per tick at one bit per second, 10 bits per byte:
// ticks * rate / 10 bits / 10^7 ticks per second * 1000.
constexpr ULONGLONG TICKS_RATE_PER_MILLIBYTE = 100000;
constexpr LONGLONG MILLIBYTES_PER_BYTE = 1000;

ULONG ReadLittleEndian(const UCHAR* Bytes)
{
    return static_cast<ULONG>(Bytes[0]) | (static_cast<ULONG>(Bytes[1]) << 8) |
           (static_cast<ULONG>(Bytes[2]) << 16) | (static_cast<ULONG>(Bytes[3]) << 24);
}

} // namespace

ULONG QuarvexPeerStripBaudBlocks(const UCHAR* Block, ULONG Length, UCHAR* Data, ULONG* Rate)
{
    // Only a byte equal to the tag's first can start a block: the bytes up to the next such
    // byte are copied in one go.
    constexpr UCHAR TAG_FIRST = static_cast<UCHAR>(PEER_BAUD_TAG & 0xFF);
    ULONG kept = 0;
    ULONG i = 0;
    while (i < Length) {
        const void* found = memchr(Block + i, TAG_FIRST, Length - i);
        const ULONG next =
            found == NULL ? Length : static_cast<ULONG>(static_cast<const UCHAR*>(found) - Block);
        RtlCopyMemory(Data + kept, Block + i, next - i);
        kept += next - i;
        i = next;
        if (i == Length) {
            break;
        }
        if (Length - i >= PEER_BAUD_BLOCK_BYTES && ReadLittleEndian(Block + i) == PEER_BAUD_TAG) {
            const ULONG rate = ReadLittleEndian(Block + i + 4);
            if (rate >= PEER_MIN_PLAUSIBLE_RATE && rate <= PEER_MAX_PLAUSIBLE_RATE) {
                *Rate = rate;
                i += PEER_BAUD_BLOCK_BYTES;
                continue;
            }
        }
        Data[kept++] = Block[i++];
    }
    return kept;
}

ULONG QuarvexPeerRingPut(PeerRing* Ring, const UCHAR* Bytes, ULONG Length)
{
    const ULONG room = Ring->Size - Ring->Count;
    const ULONG taken = Length < room ? Length : room;
    if (taken == 0) {
        return 0; // also a ring without storage
    }
    ULONG tail = Ring->Head + Ring->Count;
    if (tail >= Ring->Size) {
        tail -= Ring->Size;
    }
    const ULONG first = taken < Ring->Size - tail ? taken : Ring->Size - tail;
    RtlCopyMemory(Ring->Bytes + tail, Bytes, first);
    RtlCopyMemory(Ring->Bytes, Bytes + first, taken - first);
    Ring->Count += taken;
    return taken;
}

ULONG QuarvexPeerRingTake(PeerRing* Ring, UCHAR* Out, ULONG Length)
{
    const ULONG taken = Length < Ring->Count ? Length : Ring->Count;
    if (taken == 0) {
        return 0;
    }
    const ULONG first = taken < Ring->Size - Ring->Head ? taken : Ring->Size - Ring->Head;
    RtlCopyMemory(Out, Ring->Bytes + Ring->Head, first);
    RtlCopyMemory(Out + first, Ring->Bytes, taken - first);
    Ring->Head += taken;
    if (Ring->Head >= Ring->Size) {
        Ring->Head -= Ring->Size;
    }
    Ring->Count -= taken;
    if (Ring->Count == 0) {
        Ring->Head = 0;
    }
    return taken;
}

ULONG QuarvexPeerPaceBudget(PeerPacing* Pacing, ULONG Rate, ULONGLONG Now)
{
    if (Rate == 0) {
        return PEER_MAX_RUN_BYTES;
    }
    ULONGLONG elapsed = PEER_PACE_PERIOD_MS * TICKS_PER_MS;
    if (Pacing->Running) {
        elapsed = Now > Pacing->LastRun ? Now - Pacing->LastRun : 0;
    }
    if (elapsed > MAX_CREDITED_TICKS) {
        elapsed = MAX_CREDITED_TICKS;
    }
    Pacing->Running = TRUE;
    Pacing->LastRun = Now;
    Pacing->Credit += static_cast<LONGLONG>(elapsed * Rate / TICKS_RATE_PER_MILLIBYTE);
    const LONGLONG ceiling = static_cast<LONGLONG>(PEER_MAX_RUN_BYTES) * MILLIBYTES_PER_BYTE;
    if (Pacing->Credit > ceiling) {
        Pacing->Credit = ceiling;
    }
    return Pacing->Credit <= 0 ? 0 : static_cast<ULONG>(Pacing->Credit / MILLIBYTES_PER_BYTE);
}

VOID QuarvexPeerPaceSpend(PeerPacing* Pacing, ULONG Bytes)
{
    Pacing->Credit -= static_cast<LONGLONG>(Bytes) * MILLIBYTES_PER_BYTE;
}

VOID QuarvexPeerPaceIdle(PeerPacing* Pacing)
{
    Pacing->Running = FALSE;
    if (Pacing->Credit > MILLIBYTES_PER_BYTE - 1) {
        Pacing->Credit = MILLIBYTES_PER_BYTE - 1;
    }
}

ULONG QuarvexPeerInstanceFromLink(PCWSTR Link, ULONG Length, PWSTR Instance, ULONG Capacity)
{
    // "\??\" from the kernel, "\\?\" as user mode spells it.
    constexpr ULONG PREFIX_CHARS = 4;
    // "#{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
    constexpr ULONG CLASS_SUFFIX_CHARS = 39;
    if (Length < PREFIX_CHARS || Link[0] != '\\' || Link[2] != '?' || Link[3] != '\\' ||
        (Link[1] != '?' && Link[1] != '\\')) {
        return 0;
    }
    // The instance part ends where a reference string begins.
    ULONG end = PREFIX_CHARS;
    while (end < Length && Link[end] != '\\') {
        ++end;
    }
    if (end - PREFIX_CHARS <= CLASS_SUFFIX_CHARS) {
        return 0;
    }
    const ULONG suffix = end - CLASS_SUFFIX_CHARS;
    if (Link[suffix] != '#' || Link[suffix + 1] != '{' || Link[end - 1] != '}') {
        return 0;
    }
    const ULONG characters = suffix - PREFIX_CHARS;
    if (characters + 1 > Capacity) {
        return 0;
    }
    for (ULONG i = 0; i < characters; ++i) {
        const WCHAR c = Link[PREFIX_CHARS + i];
        Instance[i] = c == '#' ? static_cast<WCHAR>('\\') : c;
    }
    Instance[characters] = 0;
    return characters;
}
