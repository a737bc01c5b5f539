// Host edition of the WDK's ntddk.h.
#pragma once

#include "wdm.h"
