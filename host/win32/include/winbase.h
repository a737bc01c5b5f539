// Declared with the rest of the serial subset.
#pragma once

#include "windows.h"
