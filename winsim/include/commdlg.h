// comdlg32: the save-file dialog.
#pragma once

#include <cstddef>

#include "winsim_types.h"

#define OFN_OVERWRITEPROMPT 0x00000002u
#define OFN_HIDEREADONLY 0x00000004u
#define OFN_ENABLESIZING 0x00800000u

// CommDlgExtendedError: the name buffer cannot hold the chosen name.
#define FNERR_BUFFERTOOSMALL 0x3003u

typedef UINT_PTR(CALLBACK* LPOFNHOOKPROC)(HWND, UINT, WPARAM, LPARAM);

// The dialog's record. lpstrFile holds the initial name on entry and the
// chosen one on return; nMaxFile is its capacity in characters.
struct OPENFILENAMEA {
    DWORD lStructSize;
    HWND hwndOwner;
    HINSTANCE hInstance;
    LPCSTR lpstrFilter;
    LPSTR lpstrCustomFilter;
    DWORD nMaxCustFilter;
    DWORD nFilterIndex;
    LPSTR lpstrFile;
    DWORD nMaxFile;
    LPSTR lpstrFileTitle;
    DWORD nMaxFileTitle;
    LPCSTR lpstrInitialDir;
    LPCSTR lpstrTitle;
    DWORD Flags;
    WORD nFileOffset;
    WORD nFileExtension;
    LPCSTR lpstrDefExt;
    LPARAM lCustData;
    LPOFNHOOKPROC lpfnHook;
    LPCSTR lpTemplateName;
};
typedef OPENFILENAMEA* LPOPENFILENAMEA;
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(OPENFILENAMEA) == 76, "OPENFILENAMEA is 76 bytes without the Windows 2000 fields");
#endif

extern "C" {

BOOL WINAPI GetSaveFileNameA(LPOPENFILENAMEA lpofn);
DWORD WINAPI CommDlgExtendedError(void);

}  // extern "C"
