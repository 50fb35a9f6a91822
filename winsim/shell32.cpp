// shell32 stand-in: the notification area. Icons are kept by window and
// id with the fields their flags named; every call is recorded.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The 32-bit programs pass the size of their Windows 2000 record; this
// build's own record (pointers of 64 bits) is accepted as the same record.
bool KnownRecordSize(DWORD size) { return size == NOTIFYICONDATAA_WIN2000_SIZE || size == sizeof(NOTIFYICONDATAA); }

// Takes into `icon` the fields that `data`'s flags name. The tip is read
// within its 128 bytes, whether or not they hold a terminating zero.
void TakeFields(const NOTIFYICONDATAA& data, winsim::NotifyIcon& icon) {
    icon.flags |= data.uFlags & (NIF_MESSAGE | NIF_ICON | NIF_TIP);
    if ((data.uFlags & NIF_MESSAGE) != 0) icon.callbackMessage = data.uCallbackMessage;
    if ((data.uFlags & NIF_ICON) != 0) icon.icon = reinterpret_cast<std::uintptr_t>(data.hIcon);
    if ((data.uFlags & NIF_TIP) != 0) {
        const void* end = std::memchr(data.szTip, '\0', sizeof data.szTip);
        const std::size_t length =
            end == nullptr ? sizeof data.szTip - 1 : static_cast<std::size_t>(static_cast<const char*>(end) - data.szTip);
        icon.tip.assign(data.szTip, length);
    }
}

}  // namespace

namespace winsim {

std::vector<NotifyIcon> World::NotifyIcons() const {
    Lock lock(internals_->mutex);
    return internals_->notifyIcons;
}

const std::vector<NotifyIconCall>& World::NotifyIconCalls() const { return internals_->notifyIconCalls; }

}  // namespace winsim

extern "C" {

BOOL WINAPI Shell_NotifyIconA(DWORD dwMessage, PNOTIFYICONDATAA lpData) {
    if (lpData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();

    winsim::NotifyIconCall call;
    call.message = dwMessage;
    call.cbSize = lpData->cbSize;
    call.data.window = reinterpret_cast<std::uintptr_t>(lpData->hWnd);
    call.data.id = lpData->uID;
    TakeFields(*lpData, call.data);

    auto& icons = in.notifyIcons;
    const auto existing = std::find_if(icons.begin(), icons.end(), [&](const winsim::NotifyIcon& icon) {
        return icon.window == call.data.window && icon.id == call.data.id;
    });
    const bool present = existing != icons.end();
    if (KnownRecordSize(lpData->cbSize)) {
        if (dwMessage == NIM_ADD && !present) {
            icons.push_back(call.data);
            call.succeeded = true;
        } else if (dwMessage == NIM_MODIFY && present) {
            TakeFields(*lpData, *existing);
            call.succeeded = true;
        } else if (dwMessage == NIM_DELETE && present) {
            icons.erase(existing);
            call.succeeded = true;
        }
    }
    in.notifyIconCalls.push_back(call);
    return call.succeeded ? TRUE : FALSE;
}

}  // extern "C"
