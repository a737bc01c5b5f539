// The kernel face of the platform layer, host edition of the WDK's wdm.h.
#pragma once

#include "kernel/ex.h"
#include "kernel/hostext.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/ob.h"
#include "kernel/po.h"
#include "kernel/reg.h"
#include "kernel/rtl.h"
#include "kernel/status.h"
#include "kernel/types.h"
