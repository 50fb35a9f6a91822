// Forced into every source of the emulated variant of the device libraries
// and monitors (-include): the product's calls of the device-stack
// functions go to the emulated stack, everything else to the system.
#pragma once

#ifndef KT4790_EMULATED_DEVICES
#error "redirect.h belongs to the emulated variant (KT4790_EMULATED_DEVICES)"
#endif

#include <windows.h>
#include <setupapi.h>

#include "winsim/devstack/emulated.h"

#define SetupDiGetClassDevsA EmuSetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces EmuSetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA EmuSetupDiGetDeviceInterfaceDetailA
#define SetupDiDestroyDeviceInfoList EmuSetupDiDestroyDeviceInfoList
#define CreateFileA EmuCreateFileA
#define DeviceIoControl EmuDeviceIoControl
#define CloseHandle EmuCloseHandle
#define GetASPI32SupportInfo EmuGetASPI32SupportInfo
#define SendASPI32Command EmuSendASPI32Command
