// shell32: the notification area of the task bar.
#pragma once

#include <cstddef>

#include "winsim_types.h"

#define NIM_ADD 0x00000000u
#define NIM_MODIFY 0x00000001u
#define NIM_DELETE 0x00000002u

#define NIF_MESSAGE 0x00000001u
#define NIF_ICON 0x00000002u
#define NIF_TIP 0x00000004u
#define NIF_STATE 0x00000008u
#define NIF_INFO 0x00000010u

// The icon record of Windows 2000 and later: 488 bytes on 32-bit Windows.
// Here hWnd and hIcon are real pointers, so the record is larger; winsim
// reads its fields, and accepts cbSize 488 as that record.
struct NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
};
typedef NOTIFYICONDATAA* PNOTIFYICONDATAA;

// cbSize of the Windows 2000 record in the 32-bit programs.
#define NOTIFYICONDATAA_WIN2000_SIZE 488u

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(NOTIFYICONDATAA) == NOTIFYICONDATAA_WIN2000_SIZE, "NOTIFYICONDATAA is 488 bytes");
static_assert(offsetof(NOTIFYICONDATAA, szTip) == 24, "szTip at 24");
static_assert(offsetof(NOTIFYICONDATAA, szInfo) == 160, "szInfo at 160");
static_assert(offsetof(NOTIFYICONDATAA, dwInfoFlags) == 484, "dwInfoFlags at 484");
#endif

extern "C" {

BOOL WINAPI Shell_NotifyIconA(DWORD dwMessage, PNOTIFYICONDATAA lpData);

}  // extern "C"
