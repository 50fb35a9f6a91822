// Device I/O control codes.
#pragma once

#include <windows.h>

// A control code: device type, required access, function number and
// buffering method packed into 32 bits.
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define FILE_DEVICE_CONTROLLER 0x00000004
