// Image files used in place: the device stack runs each command against the
// file itself, so that a command costs the same whatever the medium's size
// and however much of it is written. The layout is at the top of image.cpp
// and in emulator/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "emulator/controller.h"
#include "emulator/nand.h"

namespace emulator {

// Random access to one open image file. Its opener decides how the file is
// opened and locked; the image code only moves bytes.
class ImageIo {
public:
    virtual ~ImageIo() = default;
    // Whole transfers only: false when fewer bytes moved.
    virtual bool ReadAt(std::uint64_t offset, void* data, std::size_t size) = 0;
    virtual bool WriteAt(std::uint64_t offset, const void* data, std::size_t size) = 0;
    virtual bool Size(std::uint64_t& size) = 0;
    virtual bool Resize(std::uint64_t size) = 0;
};

// A file opened by path through the standard library, without a lock: for
// whole images written or read by one program, and for tests.
class StreamImageIo : public ImageIo {
public:
    StreamImageIo(const std::string& path, std::ios::openmode mode);
    bool is_open() const { return file_.is_open(); }
    bool ReadAt(std::uint64_t offset, void* data, std::size_t size) override;
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size) override;
    bool Size(std::uint64_t& size) override;
    bool Resize(std::uint64_t size) override;
    bool Close();

private:
    std::string path_;
    std::fstream file_;
};

// One change a journal records: a sector written (with its content) or erased.
struct JournalEntry {
    std::uint32_t sector = 0;
    bool written = false;
    Nand::Sector content{};
};

// The version of the image in `io`: 0 when it is none (missing magic).
std::uint32_t ImageVersion(ImageIo& io);
constexpr std::uint32_t kImageVersion = 4;

// An image of the current version used in place. Between Begin and End the
// controller reads sectors from the file as they are asked for and keeps
// what it changes in memory; End writes the changes as one step (journal,
// state record, then the sectors in their places). A writer that is cut
// short leaves the state before or after its command; the next Begin
// finishes a journalled write.
class ImageDisk : private Nand::Store {
public:
    // Null, with a one-line reason naming `name`, when `io` holds no image
    // of the current version.
    static std::unique_ptr<ImageDisk> Open(ImageIo& io, const std::string& name, std::string* error);
    ~ImageDisk() override;
    ImageDisk(const ImageDisk&) = delete;
    ImageDisk& operator=(const ImageDisk&) = delete;

    // Takes up the file as it is now (another program may have changed it).
    // False when it is no longer an image of this disk, or unreadable.
    bool Begin(ImageIo& io, std::string* error);
    Controller& controller() { return *controller_; }
    // Writes what the commands since Begin changed and lets go of `io`.
    bool End(std::string* error);

private:
    struct Layout {
        std::uint64_t states = 0;  // the two state records
        std::uint64_t map = 0;     // one byte per physical sector: 1 written, 0 erased
        std::uint64_t slots = 0;   // 528 bytes per physical sector: data, spare
        std::uint64_t end = 0;     // where a journal starts
    };
    friend class Controller;  // LoadImage reads a whole image through one

    ImageDisk() = default;
    bool ReadSector(std::uint32_t sector, Nand::Sector& out) override;
    bool Load(ImageIo& io, std::string* error);
    // The valid state record of the higher generation (its bytes and slot),
    // and the journal entries of a write that stopped after it (to be put in
    // place again).
    bool ReadState(ImageIo& io, std::string& record, int& slot, std::vector<JournalEntry>& pending,
                   std::string* error);

    std::string name_;
    std::string header_;  // magic, version, configuration as read
    Layout layout_;
    std::string state_;   // the state record the controller was built from
    int stateSlot_ = 0;   // which of the two holds it
    std::unique_ptr<Controller> controller_;
    ImageIo* io_ = nullptr;
};

}  // namespace emulator
