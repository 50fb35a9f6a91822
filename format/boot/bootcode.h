// The three boot programs the formatter writes: the master boot program
// (bytes 0-445 of a master boot record) and the FAT12 and FAT16 boot
// programs (bytes 62-509 of a volume's boot sector). They are assembled from
// mbr.asm, fat12.asm and fat16.asm when the project is built.
#pragma once

extern const unsigned char kMasterBootProgram[446];
extern const unsigned char kFat12BootProgram[448];
extern const unsigned char kFat16BootProgram[448];
