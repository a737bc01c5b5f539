// Serial port control codes, structures and constants, host edition: the serial interface's
// one definition (abi/serial_abi.h) under the WDK's names.
#pragma once

#include "kernel/io.h"

#include "abi/serial_abi.h"

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
extern "C" const GUID GUID_DEVINTERFACE_COMPORT;
#define GUID_CLASS_COMPORT GUID_DEVINTERFACE_COMPORT

// The codes and bits keep their WDK names.
using namespace qvx::abi;

typedef qvx::abi::SerialBaudRate SERIAL_BAUD_RATE, *PSERIAL_BAUD_RATE;
typedef qvx::abi::SerialChars SERIAL_CHARS, *PSERIAL_CHARS;
typedef qvx::abi::SerialStatus SERIAL_STATUS, *PSERIAL_STATUS;
typedef qvx::abi::SerialHandflow SERIAL_HANDFLOW, *PSERIAL_HANDFLOW;
typedef qvx::abi::SerialLineControl SERIAL_LINE_CONTROL, *PSERIAL_LINE_CONTROL;
typedef qvx::abi::SerialCommProp SERIAL_COMMPROP, *PSERIAL_COMMPROP;
typedef qvx::abi::SerialPerfStats SERIALPERF_STATS, *PSERIALPERF_STATS;
typedef qvx::abi::SerialTimeouts SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;
typedef qvx::abi::SerialQueueSize SERIAL_QUEUE_SIZE, *PSERIAL_QUEUE_SIZE;
typedef qvx::abi::SerialXoffCounter SERIAL_XOFF_COUNTER, *PSERIAL_XOFF_COUNTER;
typedef qvx::abi::SerialBasicSettings SERIAL_BASIC_SETTINGS, *PSERIAL_BASIC_SETTINGS;
