#include "app/Hint.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/Descriptor.h"
#include "app/devbind.h"
#include "kt4790/records.h"

namespace {

// The sector buffer of the hint display: the MediaSizeReply and the
// ChipVersionReply (512 bytes from KT4790mDLL), the spare areas of the
// search, then the DescriptorSector.
BYTE Sector[kt4790::kSectorSize];

constexpr const char* kHintCaption = "Password Hint";

#ifndef KT4790_ASPI
constexpr BYTE kReplyLength = 4;
#endif

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

// The hint as ANSI text without blanks and control characters at its ends,
// from the L - 2 body bytes of the HintDescriptor at `hint`, up to its first
// zero unit.
std::string HintText(const kt4790::DescriptorRef& hint) {
    // L is at most 255: the body (at most 253 bytes) and two zero bytes
    // always fit.
    std::uint8_t text[256];
    std::memset(text, 0, sizeof text);
    const std::size_t bodyLength = hint.length - 2u;
    std::memcpy(text, Sector + hint.offset + 2, bodyLength);

    WCHAR wide[sizeof text / 2];
    for (std::size_t i = 0; i < sizeof text / 2; ++i) {
        wide[i] = static_cast<WCHAR>(text[2 * i] | (text[2 * i + 1] << 8));
    }
    // A double-byte code page may take two bytes per unit.
    char ansi[sizeof text + 1];
    std::memset(ansi, 0, sizeof ansi);
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr) == 0) ansi[0] = 0;

    std::string shown = ansi;
    std::size_t begin = 0;
    while (begin < shown.size() && IsBlankOrControl(shown[begin])) ++begin;
    std::size_t end = shown.size();
    while (end > begin && IsBlankOrControl(shown[end - 1])) --end;
    return shown.substr(begin, end - begin);
}

}  // namespace

void ShowPasswordHint(const char* deviceName) {
    devbind::DeviceSession session(devbind::Operation::HintButton);
    decltype(&GetChipVersion) getChipVersion = nullptr;
    decltype(&PwdExist) pwdExist = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&VSCReadSector) vscReadSector = nullptr;
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kGetChipVersion, getChipVersion) ||
        !session.Bind(devbind::kPwdExist, pwdExist) || !session.Bind(devbind::kGetMediaSize, getMediaSize) ||
        !session.Bind(devbind::kVSCReadSector, vscReadSector)) {
        return;
    }
    if (!session.Find(deviceName != nullptr ? deviceName : "")) return;

    std::memset(Sector, 0, sizeof Sector);
#ifdef KT4790_ASPI
    if (getMediaSize(session.HostAdapterId, session.TargetId, Sector) == 0) {
#else
    if (getMediaSize(session.DeviceHandle, Sector, kReplyLength) == 0) {
#endif
        devbind::ShowDeviceNotFound();
        return;
    }
    const kt4790::MediaSizeReply media = kt4790::ParseMediaSizeReply(Sector);
#ifdef KT4790_ASPI
    if (getChipVersion(session.HostAdapterId, session.TargetId, Sector) == 0) {
#else
    if (getChipVersion(session.DeviceHandle, Sector, kReplyLength) == 0) {
#endif
        devbind::ShowDeviceNotFound();
        return;
    }
    const BYTE chipCode = Sector[0];

    const DescriptorSearch search =
        LocateDescriptorSector(session, vscReadSector, Sector, chipCode, media, SearchLimit::Blocks33);
    if (search != DescriptorSearch::Found) {
        ShowSearchFailure(search);
        return;
    }

    // A chain that ends before the ninth descriptor has no hint. So has one
    // that is malformed on the way: no hint can be read from it without
    // leaving the chain's bytes.
    kt4790::DescriptorRef hint;
    if (kt4790::WalkDescriptorChain(Sector, kt4790::kHintDescriptorIndex, hint) && hint.length > 2) {
        const std::string text = "Hint:" + HintText(hint);
        MessageBoxA(nullptr, text.c_str(), kHintCaption, MB_OK);
    } else {
        MessageBoxA(nullptr, "Sorry, no password hint was set.", kHintCaption, MB_OK);
    }

    // Sent after either box; its reply is not used.
#ifdef KT4790_ASPI
    pwdExist(session.HostAdapterId, session.TargetId, Sector);
#else
    pwdExist(session.DeviceHandle, Sector, kReplyLength);
#endif
}

bool IsHintCharacter(char key) {
    return (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') || (key >= 'a' && key <= 'z') || key == ' ' ||
           key == '\b' || key == 127;
}
