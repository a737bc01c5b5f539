// Host-only extensions of the kernel face. The driver reaches them only behind
// QVX_HOST_TRACE_SINK and QVX_HOST_CHECKS, so the target build never sees them.
#pragma once

#include "kernel/types.h"

#define QVX_HOST_TRACE_SINK 1
#define QVX_HOST_CHECKS 1

// Hands a trace message that passed the driver's filter to the machine's trace sink.
extern "C" void QvxTraceSink(ULONG Component, ULONG Level, const char* Text);

// TRUE when the calling processor holds SpinLock: lets the driver check, on the host, the
// "called with this lock held" contracts of its routines.
extern "C" BOOLEAN QvxSpinLockHeldByCaller(PKSPIN_LOCK SpinLock);
