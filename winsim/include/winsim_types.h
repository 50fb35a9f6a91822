// Basic Win32 types with their Windows sizes, for the 64-bit Linux build.
//
// Integer types keep the widths of 32-bit Windows (DWORD and ULONG are 32
// bits, LONG too); pointer-sized types follow the platform's pointers.
#pragma once

#include <cstddef>
#include <cstdint>

// The calling-convention keywords mean nothing on Linux.
#define WINAPI
#define CALLBACK
#define APIENTRY
#ifndef __stdcall
#define __stdcall
#endif
#ifndef __cdecl
#define __cdecl
#endif

typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef std::uint8_t UCHAR;
typedef std::uint16_t USHORT;
typedef std::int32_t LONG;
typedef int INT;
typedef unsigned int UINT;
typedef int BOOL;
typedef BYTE BOOLEAN;
typedef char CHAR;
// UTF-16 code units, 16 bits wide as on Windows (wchar_t is 32 bits here).
typedef char16_t WCHAR;

typedef std::intptr_t INT_PTR;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef std::uintptr_t DWORD_PTR;
typedef std::size_t SIZE_T;

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* LPCCH;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef BOOL* LPBOOL;
typedef LONG LSTATUS;

// Window-message parameters and results are pointer-sized.
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef struct HICON__* HICON;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

struct POINT {
    LONG x;
    LONG y;
};
typedef POINT* LPPOINT;

// An exported procedure as GetProcAddress hands it out; callers cast it to
// the procedure's real type.
typedef INT_PTR (*FARPROC)(void);

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* PSECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Asynchronous I/O is not offered: callers pass a null OVERLAPPED pointer.
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;
