/* Three wide-character KERNEL32 entries for the Windows 98/ME programs.
 *
 * The toolchain's static run-time calls CreateSemaphoreW (the mutexes of its
 * thread layer, made at start-up for the exception-handling pool and for
 * guarded static initialisation), GetModuleHandleW and LoadLibraryW (its
 * stand-ins for the C run-time entries that old MSVCRT.DLL lacks). On
 * Windows 98 and ME these KERNEL32 entries are stubs that fail with
 * ERROR_CALL_NOT_IMPLEMENTED. Linked into a program, this file supplies the
 * import slots through which the run-time calls them: each narrows the name
 * to the ANSI code page and calls the ANSI entry, which both systems
 * implement. The linker then takes no wide entry from KERNEL32. */
#include <windows.h>

/* The symbol of the import slot of a KERNEL32 entry, as the run-time's
 * objects refer to it: decorated with the bytes of its arguments on i686. */
#if defined(__x86_64__)
#define IMPORT_SLOT(name, argumentBytes) "__imp_" #name
#else
#define IMPORT_SLOT(name, argumentBytes) "__imp__" #name "@" #argumentBytes
#endif

/* The ANSI form of a wide name into MAX_PATH bytes; false, with the last
 * error set, when there is none or it does not fit. */
static BOOL NarrowName(LPCWSTR name, char* narrow) {
    return WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, MAX_PATH, NULL, NULL) != 0;
}

static HANDLE WINAPI CreateSemaphoreNarrowed(LPSECURITY_ATTRIBUTES attributes, LONG initialCount,
                                             LONG maximumCount, LPCWSTR name) {
    char narrow[MAX_PATH];
    if (name == NULL) return CreateSemaphoreA(attributes, initialCount, maximumCount, NULL);
    if (!NarrowName(name, narrow)) return NULL;
    return CreateSemaphoreA(attributes, initialCount, maximumCount, narrow);
}

static HMODULE WINAPI GetModuleHandleNarrowed(LPCWSTR name) {
    char narrow[MAX_PATH];
    if (name == NULL) return GetModuleHandleA(NULL);
    if (!NarrowName(name, narrow)) return NULL;
    return GetModuleHandleA(narrow);
}

static HMODULE WINAPI LoadLibraryNarrowed(LPCWSTR name) {
    char narrow[MAX_PATH];
    if (!NarrowName(name, narrow)) return NULL;
    return LoadLibraryA(narrow);
}

HANDLE(WINAPI* const kt4790CreateSemaphoreW)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) __asm__(
    IMPORT_SLOT(CreateSemaphoreW, 16)) = CreateSemaphoreNarrowed;
HMODULE(WINAPI* const kt4790GetModuleHandleW)(LPCWSTR) __asm__(IMPORT_SLOT(GetModuleHandleW, 4)) =
    GetModuleHandleNarrowed;
HMODULE(WINAPI* const kt4790LoadLibraryW)(LPCWSTR) __asm__(IMPORT_SLOT(LoadLibraryW, 4)) = LoadLibraryNarrowed;
