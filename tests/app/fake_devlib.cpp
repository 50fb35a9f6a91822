// A device library that overstates what it returns: more entries than the
// caller's table holds, and name lengths beyond an entry. The application
// must read only its own table.
#include <windows.h>

#include "devlib/devcmd.h"

#ifdef KT4790_ASPI
DEVLIB_EXPORT BYTE WINAPI GetAllDeviceName(char* /*RevisionFilter*/, BYTE* table, BYTE* counter) {
#else
DEVLIB_EXPORT int WINAPI GetAllDeviceName(char* /*RevisionFilter*/, BYTE* table, BYTE* counter) {
#endif
    const unsigned capacity = *counter;
    for (unsigned k = 0; k < capacity; ++k) {
        BYTE* entry = table + 33 * k;
        entry[0] = 0xFF;
        for (unsigned i = 1; i < 33; ++i) entry[i] = (i % 2 == 1) ? static_cast<BYTE>('A' + k) : 0;
    }
    *counter = 0xFF;
    return 1;
}
