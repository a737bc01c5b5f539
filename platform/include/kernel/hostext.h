// Host-only extensions of the kernel face. The driver reaches them only behind
// QVX_HOST_TRACE_SINK, so the target build never sees them.
#pragma once

#include "kernel/types.h"

#define QVX_HOST_TRACE_SINK 1

// Hands a trace message that passed the driver's filter to the machine's trace sink.
extern "C" void QvxTraceSink(ULONG Component, ULONG Level, const char* Text);
