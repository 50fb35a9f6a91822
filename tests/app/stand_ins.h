// Stand-ins for device library procedures (World().ReplaceExport): what the
// real library and the emulated disks never answer, in each build's form.
#pragma once

#include <windows.h>

namespace apptest {

// GetChipVersion of a controller generation the application does not know.
#ifdef KT4790_ASPI
inline BYTE WINAPI UnknownChipVersion(BYTE, BYTE, BYTE* reply) {
    reply[0] = 0x21;
    return 1;
}
#else
inline int WINAPI UnknownChipVersion(HANDLE, BYTE* reply, DWORD) {
    reply[0] = 0x21;
    return 1;
}
#endif

template <typename Proc>
void (*AsExport(Proc proc))() {
    return reinterpret_cast<void (*)()>(proc);
}

}  // namespace apptest
