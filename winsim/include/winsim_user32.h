// user32: message boxes, top-level windows, cursor, screen metrics and
// the character classes of the ANSI code page.
#pragma once

#include "winsim_types.h"

// MessageBoxA: buttons, icons and answers.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ICONHAND 0x00000010u
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING 0x00000030u
#define MB_ICONEXCLAMATION MB_ICONWARNING
#define MB_ICONINFORMATION 0x00000040u
#define MB_ICONASTERISK MB_ICONINFORMATION
#define IDOK 1
#define IDCANCEL 2

// Show commands.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

// GetSystemMetrics.
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1

// Window messages the product names.
#define WM_DRAWITEM 0x002Bu
#define WM_LBUTTONDBLCLK 0x0203u
#define WM_RBUTTONUP 0x0205u
#define WM_APP 0x8000u

extern "C" {

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
BOOL WINAPI SetForegroundWindow(HWND hWnd);
BOOL WINAPI GetCursorPos(LPPOINT lpPoint);
int WINAPI GetSystemMetrics(int nIndex);
BOOL WINAPI IsCharAlphaNumericA(CHAR ch);

}  // extern "C"
