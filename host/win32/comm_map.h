// The pure translations between the serial driver's structures, as the Win32 layer sends
// them, and the DCB.
#pragma once

#include <windows.h>

#include "abi/serial_abi.h"

#include <cstdint>

namespace qvx::win32 {

// The serial interface (codes, structures, bits) under its own names.
using namespace abi;

static_assert(sizeof(DCB) == 28 && sizeof(COMMTIMEOUTS) == 20 && sizeof(COMSTAT) == 12);
static_assert(sizeof(COMMPROP) == 64);

// The driver's view of a port's settings: what GetCommState reads.
struct SerialSettings
{
    DWORD BaudRate = 0;
    SerialLineControl LineControl{};
    SerialChars Chars{};
    SerialHandflow Handflow{};
};

DCB DcbFromSettings(const SerialSettings& settings);
// `current` supplies what the DCB has no field for (BreakChar, DCD handshake...).
SerialSettings SettingsFromDcb(const DCB& dcb, const SerialSettings& current);
// The refusals SetCommState makes before sending anything: ERROR_SUCCESS or the error.
DWORD CheckDcb(const DCB& dcb);
// BuildCommDCB's parser over `dcb` (only the fields named change, plus the implied ones).
bool ParseCommDefinition(const char* text, DCB* dcb, COMMTIMEOUTS* timeouts);
// SERIAL_ERROR_* bits as CE_* bits (the two sets are numbered differently).
DWORD CommErrorsFromStatus(DWORD errors);
COMSTAT ComstatFromStatus(const SerialStatus& status);

} // namespace qvx::win32
