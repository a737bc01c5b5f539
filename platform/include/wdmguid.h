// Plug and Play event GUIDs, host edition of the WDK's wdmguid.h. Declared here; the platform
// layer defines them once, as it does the interface class GUIDs.
#pragma once

#include "kernel/types.h"

// {CB3A4004-46F0-11D0-B08F-00609713053F}
extern "C" const GUID GUID_DEVICE_INTERFACE_ARRIVAL;
// {CB3A4005-46F0-11D0-B08F-00609713053F}
extern "C" const GUID GUID_DEVICE_INTERFACE_REMOVAL;
