// Flat disks built from their named fields: HOWFEN DOS menu disks, K-BOOT
// disks and BASIC (VELMORAX) boot disks.  A test damages a field afterwards.
#pragma once

#include "image_builder.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// HOWFEN DOS: the boot area is one run from the first byte of sector 1, so
// its offsets cross sector boundaries (menu line D straddles sectors 2 and 3).

namespace howfen_at {
constexpr std::size_t signature = 88;  // 12 bytes
constexpr std::size_t version = 100;   // 5 screen codes
constexpr std::size_t menu = 138;      // 20 lines of 32 bytes
constexpr std::size_t line_size = 32;
constexpr std::size_t title = 2;       // in a line, 25 screen codes
constexpr std::size_t length = 27;     // in a line, 4 screen codes, decimal
constexpr std::size_t first_low = 810; // 20 low bytes of first sectors
constexpr std::size_t first_high = 830;
} // namespace howfen_at

// Byte `offset` of the boot area.
std::uint8_t *howfen_boot(DiskBuilder &disk, std::size_t offset);

// A disk with the signature, the 5-character version (none when empty) and
// 20 menu lines lettered A-T with blank titles, which the handler skips.
DiskBuilder howfen_disk(std::uint32_t sectors, std::string_view version = "V1.00", int sector_size = 128);

// Menu line k: its letter, title and length field (ASCII, blank-padded,
// written in screen codes) and its first sector in the two tables.
void howfen_line(DiskBuilder &disk, int k, std::string_view title, std::string_view length_field,
                 std::uint32_t first);

// Menu line k for a program of `sectors` sectors from `first` on (length
// right-aligned), and the program: `fill` bytes, its first sector repeating
// the length (byte 1, byte 0 = 1 for 256 more).  Sectors beyond the disk (or
// all, when `first` is 0) are left out.
void howfen_program(DiskBuilder &disk, int k, std::string_view title, std::uint32_t first,
                    unsigned sectors, std::uint8_t fill);

// K-BOOT sector 1 offsets 0-8: flags 0, 3 boot sectors, load 0x0700, init 0x0714, JMP 0x0714.
extern const std::uint8_t kboot_signature[9];

// A K-BOOT disk: the signature, the file's length at sector 1 offsets 9-11
// and the file from sector 4 on.  `sectors` 0 means just enough; a smaller
// disk holds the start of the file (the length still says the whole).
DiskBuilder kboot_disk(const std::vector<std::uint8_t> &file, std::uint32_t sectors = 0);

// A BASIC boot disk: 00 02 00 07 and the program's length at offset 8 of
// sector 1; in sector 2 "VELMORAX" at 60, `name` (blank-padded to 12) at 96,
// program bytes 0-13 at 114 with words 1-6 stored relative to word 0; bytes
// 14 on from sector 3.  `sectors` as for kboot_disk.
DiskBuilder basic_disk(std::string_view name, const std::vector<std::uint8_t> &program,
                       std::uint32_t sectors = 0);

// A recognisable byte pattern of `length` bytes (i * 7 + seed).
std::vector<std::uint8_t> flat_pattern(std::size_t length, std::uint8_t seed = 1);
