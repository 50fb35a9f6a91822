// comdlg32 stand-in: the save-file dialog, answered from a script (a
// chosen name, or cancelled). The dialog asks nothing further: its own
// overwrite question is not offered.
#include <windows.h>

#include <cstring>

#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The record sizes the 32-bit programs pass (with and without the fields
// Windows 2000 added), or this build's own record.
bool KnownRecordSize(DWORD size) { return size == 76 || size == 88 || size == sizeof(OPENFILENAMEA); }

}  // namespace

namespace winsim {

void World::ScriptSaveDialogAnswer(const std::string& fileName) {
    Lock lock(mutex());
    internals().saveDialogAnswers.push_back({true, fileName});
}

void World::ScriptSaveDialogCancel() {
    Lock lock(mutex());
    internals().saveDialogAnswers.push_back({false, std::string()});
}

const std::vector<FileDialogCall>& World::SaveDialogCalls() const { return internals_->saveDialogCalls; }

}  // namespace winsim

extern "C" {

BOOL WINAPI GetSaveFileNameA(LPOPENFILENAMEA lpofn) {
    constexpr DWORD kBadStructSize = 0x0001;  // CDERR_STRUCTSIZE
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    in.commonDialogError = 0;
    if (lpofn == nullptr || !KnownRecordSize(lpofn->lStructSize)) {
        in.commonDialogError = kBadStructSize;
        return FALSE;
    }

    winsim::FileDialogCall call;
    if (lpofn->lpstrFile != nullptr && lpofn->nMaxFile > 0) {
        const void* end = std::memchr(lpofn->lpstrFile, '\0', lpofn->nMaxFile);
        const std::size_t length = end == nullptr ? lpofn->nMaxFile
                                                  : static_cast<std::size_t>(static_cast<const char*>(end) - lpofn->lpstrFile);
        call.initialName.assign(lpofn->lpstrFile, length);
    }
    winsim::SaveDialogAnswer answer;  // cancelled unless scripted
    if (!in.saveDialogAnswers.empty()) {
        answer = in.saveDialogAnswers.front();
        in.saveDialogAnswers.pop_front();
    }
    if (!answer.accepted) {
        in.saveDialogCalls.push_back(call);
        return FALSE;
    }

    const std::string& name = answer.fileName;
    if (lpofn->lpstrFile == nullptr || name.size() + 1 > lpofn->nMaxFile) {
        // Too small a buffer: its first two bytes tell the size it needs.
        in.commonDialogError = FNERR_BUFFERTOOSMALL;
        if (lpofn->lpstrFile != nullptr && lpofn->nMaxFile >= 2) {
            const WORD needed = static_cast<WORD>(name.size() + 1);
            std::memcpy(lpofn->lpstrFile, &needed, sizeof needed);
        }
        in.saveDialogCalls.push_back(call);
        return FALSE;
    }
    std::memcpy(lpofn->lpstrFile, name.c_str(), name.size() + 1);
    const std::size_t slash = name.find_last_of("\\/:");
    const std::size_t fileStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.find_last_of('.');
    lpofn->nFileOffset = static_cast<WORD>(fileStart);
    // Without an extension the offset points at the terminating zero.
    lpofn->nFileExtension =
        static_cast<WORD>(dot == std::string::npos || dot < fileStart ? name.size() : dot + 1);
    if (lpofn->lpstrFileTitle != nullptr && lpofn->nMaxFileTitle > 0) {
        const std::string title = name.substr(fileStart);
        const std::size_t length = std::min<std::size_t>(title.size(), lpofn->nMaxFileTitle - 1);
        std::memcpy(lpofn->lpstrFileTitle, title.data(), length);
        lpofn->lpstrFileTitle[length] = '\0';
    }
    call.chosenName = name;
    call.accepted = true;
    in.saveDialogCalls.push_back(call);
    return TRUE;
}

DWORD WINAPI CommDlgExtendedError(void) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    return world.internals().commonDialogError;
}

}  // extern "C"
