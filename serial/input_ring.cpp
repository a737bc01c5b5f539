// The input ring's allocation, growth and draining; the per-byte routines are inline in the
// header.

#include <ntddk.h>

#include "port/kcompat.h"
#include "serial/input_ring.h"

namespace {

// Flow control holds the sender at XoffLimit bytes short of full and lets it go at XonLimit;
// SERIAL_EV_RX80FULL fires at InputFullMark. Each ring size brings its own.
VOID SetLimits(PortDeviceRecord* Port)
{
    const ULONG size = Port->InputBufferSize;
    Port->InputFullMark = size / 4 * 3 + size / 16;
    Port->HandFlow.XoffLimit = static_cast<LONG>(size / 8);
    Port->HandFlow.XonLimit = static_cast<LONG>(size / 2);
}

} // namespace

NTSTATUS QuarvexInputRingAllocate(PortDeviceRecord* Port)
{
    Port->InputBufferSize = INPUT_BUFFER_DEFAULT_SIZE;
    Port->InputBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, INPUT_BUFFER_DEFAULT_SIZE, QUARVEX_POOL_TAG));
    if (Port->InputBuffer == NULL) {
        Port->InputBufferSize = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    QuarvexInputRingTargetItself(Port, 0);
    SetLimits(Port);
    return STATUS_SUCCESS;
}

VOID QuarvexInputRingFree(PortDeviceRecord* Port)
{
    const ULONG tag = QuarvexInputBufferTag(Port);
    Port->InputBufferSize = 0;
    if (Port->InputBuffer != NULL) {
        ExFreePoolWithTag(Port->InputBuffer, tag);
        Port->InputBuffer = NULL;
    }
}

ULONG QuarvexInputBufferTag(const PortDeviceRecord* Port)
{
    // The ring allocated at open has the driver's tag; a larger one came from a queue-size
    // change, charged to the caller's quota under its own tag.
    return Port->InputBufferSize > INPUT_BUFFER_DEFAULT_SIZE ? QUARVEX_INPUT_POOL_TAG
                                                             : QUARVEX_POOL_TAG;
}

VOID QuarvexInputRingGrow(PortDeviceRecord* Port, PUCHAR NewBuffer, ULONG Size)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    ASSERT(!QuarvexInputRingTargetsRead(Port) && Size > Port->InputBufferSize);
    const ULONG held = Port->InputCount;
    const ULONG run =
        static_cast<ULONG>(Port->InputBuffer + Port->InputBufferSize - Port->InputFirstChar);
    if (held <= run) {
        RtlMoveMemory(NewBuffer, Port->InputFirstChar, held);
    } else {
        RtlMoveMemory(NewBuffer, Port->InputFirstChar, run);
        RtlMoveMemory(NewBuffer + run, Port->InputBuffer, held - run);
    }
    ExFreePoolWithTag(Port->InputBuffer, QuarvexInputBufferTag(Port));
    Port->InputBuffer = NewBuffer;
    Port->InputBufferSize = Size;
    QuarvexInputRingTargetItself(Port, held);
    SetLimits(Port);
}

VOID QuarvexInputRingTake(PortDeviceRecord* Port, PUCHAR Destination, ULONG Count)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    ASSERT(!QuarvexInputRingTargetsRead(Port) && Count <= Port->InputCount);
    const ULONG run =
        static_cast<ULONG>(Port->InputBuffer + Port->InputBufferSize - Port->InputFirstChar);
    if (run > Count) {
        RtlMoveMemory(Destination, Port->InputFirstChar, Count);
        Port->InputFirstChar += Count;
    } else {
        RtlMoveMemory(Destination, Port->InputFirstChar, run);
        RtlMoveMemory(Destination + run, Port->InputBuffer, Count - run);
        Port->InputFirstChar = Port->InputBuffer + (Count - run);
    }
    Port->InputCount -= Count;
}
