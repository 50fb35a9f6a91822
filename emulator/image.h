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
    // Whether the file was opened for writing.
    virtual bool Writable() const = 0;
    // Makes the file system hold room for these bytes of the file (its holes
    // among them), so that writing them cannot fail for want of space. False
    // when there is no room; true where the system has nothing to reserve.
    virtual bool Reserve(std::uint64_t offset, std::uint64_t size) {
        static_cast<void>(offset);
        static_cast<void>(size);
        return true;
    }
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
    bool Writable() const override { return (mode_ & std::ios::out) != 0; }
    bool Close();

private:
    std::string path_;
    std::ios::openmode mode_;
    std::fstream file_;
};

// The version of the image in `io`: 0 when it is none (missing magic).
std::uint32_t ImageVersion(ImageIo& io);
// A hash of every byte of the file in `io`; false when it cannot be read.
// An image of an earlier version is never changed in place: the hash tells
// whether the file still holds the one read before.
bool HashFile(ImageIo& io, std::uint64_t& hash);
constexpr std::uint32_t kImageVersion = 4;

// An image of the current version used in place. Between Begin and End the
// controller reads sectors from the file as they are asked for and keeps
// what it changes in memory; End writes the changes as one step (journal,
// state record, then the sectors in their places). A writer that is cut
// short leaves the state before or after its command; the next Begin
// finishes a journalled write. A file opened read-only is a write-protected
// medium, and a journalled write that cannot be finished is read through.
class ImageDisk : private Nand::Store {
public:
    // Null, with a one-line reason naming `name`, when `io` holds no image
    // of the current version.
    static std::unique_ptr<ImageDisk> Open(ImageIo& io, const std::string& name, std::string* error);
    ~ImageDisk() override;
    ImageDisk(const ImageDisk&) = delete;
    ImageDisk& operator=(const ImageDisk&) = delete;

    // Takes up the file as it is now (another program may have changed it).
    // False when it is no longer an image of this disk, or unreadable; then
    // nothing was written.
    bool Begin(ImageIo& io, std::string* error);
    Controller& controller() { return *controller_; }
    // The configuration the file holds (the controller of a file opened
    // read-only reports write protection besides).
    const Config& config() const { return config_; }
    // False, with the reason, when a read since Begin met a sector the file
    // could not give (a map byte other than 0 or 1, a failed read): the
    // commands did not run on the image's medium.
    bool Sound(std::string* error) const;
    // Writes what the commands since Begin changed and lets go of `io`.
    // False when their effect was not stored: the file is then as before
    // them, and the next Begin takes it up anew. A file that takes no write
    // (opened read-only, or holding a write that cannot be finished) keeps
    // a changed volatile state in this program only.
    bool End(std::string* error);

private:
    struct Layout {
        std::uint64_t states = 0;  // the two state records
        std::uint64_t map = 0;     // one byte per physical sector: 1 written, 0 erased
        std::uint64_t slots = 0;   // 528 bytes per physical sector: data, spare
        std::uint64_t end = 0;     // where a journal starts
    };
    // A journal the valid state record names that is not in place yet: its
    // sectors, each part ascending; written entry k lies at written + k x 533.
    struct Pending {
        std::uint64_t length = 0;  // 0: none
        std::uint64_t written = 0;
        std::vector<std::uint32_t> erasedSectors;
        std::vector<std::uint32_t> writtenSectors;
    };
    friend class Controller;  // LoadImage reads a whole image through one

    ImageDisk() = default;
    bool ReadSector(std::uint32_t sector, Nand::Sector& out) override;
    bool Load(ImageIo& io, std::string* error);
    bool ReadPending(ImageIo& io, std::uint64_t generation, std::uint64_t length, std::uint64_t hash,
                     Pending& pending, std::string* error);
    bool FinishPending(ImageIo& io);

    std::string name_;
    std::string header_;  // magic, version, configuration as read
    Config config_;       // the configuration the header holds
    Layout layout_;
    std::uint64_t sectors_ = 0;
    std::string state_;   // the state record the controller was built from
    int stateSlot_ = 0;   // which of the two holds it
    bool writable_ = false;  // whether the file was open for writing then
    Pending pending_;
    std::unique_ptr<Controller> controller_;
    ImageIo* io_ = nullptr;
    std::string damage_;  // why a read since Begin failed
};

}  // namespace emulator
