#pragma once

#include "kernel/types.h"
#include "kernel/status.h"
