// The application's access to the device's DescriptorSector: finding it with
// vendor sector reads through the bound library, and rewriting its name or
// hint descriptor before the dialog writes it back with SetEString.
#pragma once

#include <windows.h>

#include <cstddef>

#include "app/devbind.h"
#include "devlib/devcmd.h"
#include "kt4790/records.h"

// How far the chip-0x30 search looks: blocks 0 to 32, or every block of the
// medium (at least block 0, which a medium without zones still has), until
// the sector is found or a read fails.
enum class SearchLimit { Blocks33, WholeMedium };
constexpr unsigned kSearchLimitBlocks = 33;

enum class DescriptorSearch {
    Found,            // the buffer holds the DescriptorSector
    ReadFailed,
    NotFound,         // no valid spare area within the limit
    UnsupportedChip,  // neither 0x13 nor 0x30; nothing was read
};

// Finds the DescriptorSector of the session's device and reads it into
// `sector`, which also takes the spare areas on the way. `chipCode` is the
// GetChipVersion reply's byte 0; `media` the GetMediaSize reply (its
// LargeBlock and ZoneCount are used on chip 0x30 only).
//
// The whole-medium search ends, not found, after the medium's last block,
// so a device that answers every spare read cannot hold the application.
DescriptorSearch LocateDescriptorSector(const devbind::DeviceSession& device, decltype(&VSCReadSector) vscReadSector,
                                        BYTE (&sector)[kt4790::kSectorSize], BYTE chipCode,
                                        const kt4790::MediaSizeReply& media, SearchLimit limit);

// The password and hint dialogs' messages for a search that did not find the
// sector: "Please update the program!" for an unknown chip, else "Can't find
// the device, please check the device!", both with caption "WARNING".
void ShowSearchFailure(DescriptorSearch outcome);

// Replaces descriptor `index` (kt4790::kNameDescriptorIndex or
// kHintDescriptorIndex) with the n bytes of `text`, converted from the ANSI
// code page to UTF-16LE; n = 0 gives the descriptor 2, 3.
//
// The descriptor is sized by the units the conversion gives (fewer than n
// for double-byte characters), so no stale bytes of the old sector end up
// in its body. A text that cannot be converted, and every sector that
// kt4790::ReplaceDescriptor refuses (a malformed chain, a chain too short to
// take the descriptor at its index, or a chain that would no longer end
// before byte 493), is refused: false, the sector unchanged, and the caller
// writes nothing.
bool ReplaceDescriptor(BYTE (&sector)[kt4790::kSectorSize], unsigned index, const char* text, std::size_t n);

// SetEString with the device and the rebuilt sector. Only the low byte of
// its result tells: 0x100 is a failure too.
bool WriteDescriptorSector(const devbind::DeviceSession& device, decltype(&SetEString) setEString,
                           BYTE (&sector)[kt4790::kSectorSize]);

// The hint rewrite of the set, change and clear password dialogs, in their
// order: GetChipVersion into `sector`, for chip 0x30 GetMediaSize, the
// search within 33 blocks, ReplaceDescriptor of the HintDescriptor with the
// n bytes of `hint` (n = 0: the empty hint 2, 3), then SetEString. Every
// failure shows the dialogs' message ("Please update the program!" for an
// unknown chip, else "Can't find the device, please check the device!") and
// returns false.
bool WriteHintDescriptor(const devbind::DeviceSession& device, decltype(&GetChipVersion) getChipVersion,
                         decltype(&GetMediaSize) getMediaSize, decltype(&VSCReadSector) vscReadSector,
                         decltype(&SetEString) setEString, BYTE (&sector)[kt4790::kSectorSize], const char* hint,
                         std::size_t n);
