// Atari DOS 2 family volumes built from named fields: the VTOC in sector
// 360, 16-byte directory entries, file sector chains, and whole volumes
// with MyDOS-style subdirectories.
//
// Small images for the tests are put together piece by piece (a VTOC, an
// entry, a chain, one damaged link); the sample images, the fuzz seeds and
// the benchmark take a whole volume from a list of paths and bytes.
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
constexpr std::uint32_t dos2_dir_sectors = 8; // 64 entries, 8 to a sector

// Entry flags as DOS writes them.
constexpr std::uint8_t dos2_flag_open = 0x01;    // open for output: still a file
constexpr std::uint8_t dos2_flag_dos2 = 0x02;    // sectors carry a byte count
constexpr std::uint8_t dos2_flag_wide = 0x04;    // MyDOS: 16-bit links on large disks
constexpr std::uint8_t dos2_flag_subdir = 0x10;  // MyDOS subdirectory (exactly this value)
constexpr std::uint8_t dos2_flag_locked = 0x20;
constexpr std::uint8_t dos2_flag_in_use = 0x40;
constexpr std::uint8_t dos2_flag_deleted = 0x80;

constexpr std::uint8_t dos2_file = dos2_flag_in_use | dos2_flag_dos2;          // 0x42
constexpr std::uint8_t mydos_file = dos2_file | dos2_flag_wide;                // 0x46
constexpr std::uint8_t dos1_file = dos2_flag_in_use;                           // 0x40

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

// One 16-byte directory entry.  `name` is the raw 8 + 3 bytes, blank-filled.
struct Dos2Entry {
    std::uint8_t flags = dos2_file;
    std::uint32_t count = 0; // written as 16 bits
    std::uint32_t start = 0; // written as 16 bits
    std::array<std::uint8_t, 11> name{};
};

// "AUTORUN.SYS" -> "AUTORUN SYS"; everything after the first "." is the
// extension.  Throws when a part is too long.
std::array<std::uint8_t, 11> dos2_name_bytes(std::string_view name);

inline Dos2Entry dos2_entry(std::uint8_t flags, std::uint32_t count, std::uint32_t start,
                            std::string_view name)
{
    return Dos2Entry{flags, count, start, dos2_name_bytes(name)};
}

// How the last three bytes of a file sector are written.
enum class Dos2Form {
    dos1,      // byte count only in the last sector (0x80 | count), full sectors 0
    dos2,      // 10-bit link, DOS file number in the upper six bits of byte S-3
    dos2_wide, // MyDOS 16-bit link, byte S-3 is the high byte
};

// The form a reader applies to entry `flags` on a disk of `sector_count` sectors.
Dos2Form dos2_form_for(std::uint8_t flags, std::uint32_t sector_count);

// Where a chain went: the entry's start sector and sector count.
struct Dos2Extent {
    std::uint32_t start = 0;
    std::uint32_t count = 0;
};

struct Dos2Disk {
    DiskBuilder disk;
    // A bump allocator: hands out sectors upward from `next_free`, stepping
    // over the VTOC and the root directory (360-368) and anything reserved.
    std::uint32_t next_free = 4;
    std::uint32_t used = 0;     // sectors handed out
    std::vector<bool> in_use;   // by sector number: handed out by alloc
    std::vector<std::pair<std::uint32_t, std::uint32_t>> reserved; // first, last

    Dos2Disk(int sector_size, std::uint32_t sector_count);

    // `n` consecutive free sectors; throws when the disk is full.
    std::uint32_t alloc(std::uint32_t n = 1);
    void reserve(std::uint32_t first, std::uint32_t last) { reserved.emplace_back(first, last); }

    Dos2Disk &vtoc(const Dos2Vtoc &v);
    // Entry `index` of a plain directory that starts in `dir` (8 to a sector,
    // first 128 bytes of each sector).
    Dos2Disk &entry(std::uint32_t dir, unsigned index, const Dos2Entry &e);
    // An entry at slot 0-15 of one sector, for Bibo-DOS and LiteDOS layouts.
    Dos2Disk &entry_at(std::uint32_t sector, unsigned slot, const Dos2Entry &e);

    // The link bytes of one sector: next sector and last byte (the byte
    // count, or the DOS 1 flag and count).  For hand-made and damaged chains.
    Dos2Disk &link(std::uint32_t sector, std::uint32_t next, std::uint8_t last, Dos2Form form,
                   unsigned file_no = 0);
    // Writes `data` through `sectors` in order, as many as it needs (an empty
    // file takes one sector holding 0 bytes).  Throws when they are too few
    // or a link cannot hold a sector number.
    Dos2Extent chain_in(const std::vector<std::uint32_t> &sectors, std::span<const std::uint8_t> data,
                        Dos2Form form, unsigned file_no = 0);
    // The same over freshly allocated sectors.
    Dos2Extent chain(std::span<const std::uint8_t> data, Dos2Form form, unsigned file_no = 0);

    // Data bytes one sector holds.
    std::uint32_t data_area() const { return std::uint32_t(disk.sector_size) - 3; }
};

// A whole volume.
struct Dos2Volume {
    int sector_size = 128;
    std::uint32_t sector_count = 720;
    std::uint8_t code = 2;       // 0: the code a MyDOS volume of this size carries
    std::uint32_t total = 0;     // 0: 1010 for DOS 2.5, else N - 13 (707 on 720 sectors)
    std::uint8_t file_flags = dos2_file;
};

// One file of a volume: "NAME.EXT" or "DIR/SUB/NAME.EXT"; a path ending in
// "/" makes an (empty) directory.  Directories named on the way are made as
// they are first met; entries stand in the order given.
struct Dos2Item {
    std::string path;
    std::vector<std::uint8_t> data;
};

// The expected code of a large MyDOS volume: (N / 8 + 266) / 256 + 2, or 2.
std::uint8_t mydos_code(int sector_size, std::uint32_t sector_count);

// Builds a valid volume: VTOC, root directory in 361-368, subdirectories of
// 8 sectors (flags 0x10, count 8), files as chains in the form that
// `file_flags` implies, the free count and the bitmap of the first 720
// sectors.  Throws when a directory overflows 64 entries or the disk fills.
// Cost is linear in the data written, so a 65535-sector volume is cheap.
Dos2Disk dos2_volume(const Dos2Volume &vol, const std::vector<Dos2Item> &items);
