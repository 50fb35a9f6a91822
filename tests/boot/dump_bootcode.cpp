// Writes the formatter's boot-code tables, as linked into the program, to
// mbr.bin, fat12.bin and fat16.bin in the folder given, for the boot tests
// to place into disk images.
#include <cstdio>
#include <string>

#include "format/boot/bootcode.h"

namespace {

bool WriteTable(const std::string& path, const unsigned char* bytes, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool written = std::fwrite(bytes, 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "%s: write failed\n", path.c_str());
    }
    return written && closed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dump_bootcode FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool ok = WriteTable(folder + "/mbr.bin", kMasterBootProgram, sizeof kMasterBootProgram) &&
                    WriteTable(folder + "/fat12.bin", kFat12BootProgram, sizeof kFat12BootProgram) &&
                    WriteTable(folder + "/fat16.bin", kFat16BootProgram, sizeof kFat16BootProgram);
    return ok ? 0 : 1;
}
