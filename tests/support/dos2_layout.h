// Atari DOS 2 family volumes built from named fields: the VTOC in sector
// 360, 16-byte directory entries, file sector chains, and whole volumes
// with MyDOS-style subdirectories.
#pragma once

#include "image_builder.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

constexpr std::uint32_t dos2_vtoc_sector = 360;
constexpr std::uint32_t dos2_root_sector = 361;

// Entry flags as DOS writes them.
constexpr std::uint8_t dos2_flag_dos2 = 0x02;    // sectors carry a byte count
constexpr std::uint8_t dos2_flag_wide = 0x04;    // MyDOS: 16-bit links on large disks
constexpr std::uint8_t dos2_flag_subdir = 0x10;  // MyDOS subdirectory (exactly this value)
constexpr std::uint8_t dos2_flag_in_use = 0x40;
constexpr std::uint8_t dos2_flag_deleted = 0x80;

constexpr std::uint8_t dos2_file = dos2_flag_in_use | dos2_flag_dos2; // 0x42
constexpr std::uint8_t mydos_file = dos2_file | dos2_flag_wide;       // 0x46
constexpr std::uint8_t dos1_file = dos2_flag_in_use;                  // 0x40

// The VTOC fields a reader looks at.  Bitmap bits are set for free sectors,
// most significant bit first.
struct Dos2Vtoc {
    std::uint8_t code = 2;
    std::uint32_t total = 707;
    std::uint32_t free = 0;
    std::uint8_t map0 = 0x0F;   // sectors 0-7: 0 and the boot sectors 1-3 in use, 4-7 free
    std::uint8_t map360 = 0x00; // sectors 360-367: VTOC and directory in use
    bool litedos = false;       // "LiteDOS" at bytes 3-9, free count moved to bytes 113-114
};

// One 16-byte directory entry; `name` is the 8 + 3 bytes, blank-filled.
struct Dos2Entry {
    std::uint8_t flags = dos2_file;
    std::uint32_t count = 0; // written as 16 bits
    std::uint32_t start = 0; // written as 16 bits
    std::array<std::uint8_t, 11> name{};
};

// "AUTORUN.SYS" becomes the name bytes "AUTORUN SYS".
Dos2Entry dos2_entry(std::uint8_t flags, std::uint32_t count, std::uint32_t start, std::string_view name);

// How the last three bytes of a file sector are written.
enum class Dos2Form {
    dos1,      // byte count only in the last sector (0x80 | count), full sectors 0
    dos2,      // 10-bit link, DOS file number in the upper six bits of byte S-3
    dos2_wide, // MyDOS 16-bit link, byte S-3 is the high byte
};

struct Dos2Disk {
    DiskBuilder disk;
    // Sectors are handed out upward from `next_free`, stepping over the VTOC,
    // the root directory and the `reserved` ranges.
    std::uint32_t next_free = 4;
    std::uint32_t used = 0;   // sectors handed out
    std::vector<bool> in_use; // by sector number
    std::vector<std::pair<std::uint32_t, std::uint32_t>> reserved{{dos2_vtoc_sector, 368}}; // first, last

    Dos2Disk(int sector_size, std::uint32_t sector_count)
        : disk(sector_size, sector_count), in_use(std::size_t(sector_count) + 1)
    {
    }
    Dos2Disk(int sector_size, std::uint32_t sector_count, const Dos2Vtoc &v) : Dos2Disk(sector_size, sector_count)
    {
        vtoc(v);
    }

    // `n` consecutive free sectors; throws when the disk is full.
    std::uint32_t alloc(std::uint32_t n = 1);

    Dos2Disk &vtoc(const Dos2Vtoc &v);
    // Entry `index` of a directory that starts in `dir` (8 to a sector, in
    // the first 128 bytes of each).
    Dos2Disk &entry(std::uint32_t dir, unsigned index, const Dos2Entry &e)
    {
        return entry_at(dir + index / 8, index % 8, e);
    }
    // Entry at slot 0-15 of one sector, for Bibo-DOS and LiteDOS layouts.
    Dos2Disk &entry_at(std::uint32_t sector, unsigned slot, const Dos2Entry &e);
    // The link bytes of one sector: next sector and last byte (the byte
    // count, or the DOS 1 flag and count).
    Dos2Disk &link(std::uint32_t sector, std::uint32_t next, std::uint8_t last, Dos2Form form, unsigned file_no = 0);
    // Writes `data` through `sectors` in order, as many as it needs (an empty
    // file takes one sector holding 0 bytes).  Throws when they are too few.
    Dos2Disk &chain_in(const std::vector<std::uint32_t> &sectors, std::span<const std::uint8_t> data, Dos2Form form,
                       unsigned file_no = 0);
};

// A whole volume.
struct Dos2Volume {
    int sector_size = 128;
    std::uint32_t sector_count = 720;
    std::uint8_t code = 2;   // 0: the code a MyDOS volume of this size carries
    std::uint32_t total = 0; // 0: 1010 for DOS 2.5, else N - 13 (707 on 720 sectors)
    std::uint8_t file_flags = dos2_file;
};

// One file of a volume: "NAME.EXT" or "DIR/SUB/NAME.EXT"; a path ending in
// "/" makes an empty directory.  Directories are made when first named.
struct Dos2Item {
    std::string path;
    std::vector<std::uint8_t> data;
};

// A valid volume: VTOC with free count and the bitmap of the first 720
// sectors, root directory in 361-368, subdirectories of 8 sectors, files as
// chains in the form `file_flags` implies.  Throws when a directory
// overflows 64 entries or the disk fills.
Dos2Disk dos2_volume(const Dos2Volume &vol, const std::vector<Dos2Item> &items);
