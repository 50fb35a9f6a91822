// A small library for the binding tests: a few exports, state of its own
// that lives only while it is loaded, and a call back into the system.
#include <windows.h>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
int callCount = 0;
}

PROBE_EXPORT int ProbeAnswer(void) { return 42; }

// Counts its calls since the library was loaded.
PROBE_EXPORT int ProbeCalls(void) { return ++callCount; }

// Opens a device the way the device library does.
PROBE_EXPORT HANDLE ProbeOpen(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       0, nullptr);
}
