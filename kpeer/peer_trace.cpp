#include "kpeer/peer_trace.h"

#include "kpeer/peer_compat.h"

ULONG PeerTraceLevel = 4;
ULONG PeerTraceComponents = 0xFFFFFFFF;
volatile LONG PeerTraceSlotBusy[PEER_TRACE_SLOT_COUNT] = {};
CHAR PeerTraceBuffer[PEER_TRACE_SLOT_COUNT][PEER_TRACE_SLOT_SIZE] = {};

VOID QuarvexPeerTrace(ULONG Component, ULONG Level, PCSTR Format, ...)
{
    if ((Component & PeerTraceComponents) == 0 || Level > PeerTraceLevel) {
        return;
    }
    for (ULONG slot = 0; slot < PEER_TRACE_SLOT_COUNT; ++slot) {
        if (InterlockedCompareExchange(&PeerTraceSlotBusy[slot], 1, 0) != 0) {
            continue;
        }
        CHAR* text = PeerTraceBuffer[slot];
        va_list arguments;
        va_start(arguments, Format);
        // The kernel formatter leaves no terminator when the text fills its count.
        const int written = _vsnprintf(text, PEER_TRACE_SLOT_SIZE - 1, Format, arguments);
        va_end(arguments);
        if (written < 0 || written >= static_cast<int>(PEER_TRACE_SLOT_SIZE - 1)) {
            text[PEER_TRACE_SLOT_SIZE - 1] = '\0';
        }
#ifdef QVX_HOST_TRACE_SINK
        QvxTraceSink(Component, Level, text);
#endif
        InterlockedExchange(&PeerTraceSlotBusy[slot], 0);
        return;
    }
    // Every slot is being written: losing the message beats waiting at DISPATCH_LEVEL.
}
