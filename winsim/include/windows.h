// The Win32 subset the product calls, as winsim provides it on Linux.
// One header per system library; each later facet adds its own.
#pragma once

#include "winsim_types.h"
#include "winsim_errors.h"
#include "winsim_kernel32.h"
