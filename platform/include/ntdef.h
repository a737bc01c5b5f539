#pragma once

#include "kernel/status.h"
#include "kernel/types.h"
