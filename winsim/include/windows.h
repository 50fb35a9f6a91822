// The Win32 subset the product calls, as winsim provides it on Linux.
// One header per system library.
#pragma once

#include "winsim_types.h"
#include "winsim_errors.h"
#include "winsim_kernel32.h"
#include "winsim_advapi32.h"
#include "winsim_user32.h"
#include "shellapi.h"
#include "commdlg.h"
