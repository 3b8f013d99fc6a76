// SpartaDOS volumes built from named fields: the boot record, sector-map
// sectors and 23-byte directory entries laid down one by one, so a test can
// damage exactly the bytes it is about; SpartaVolume to write files and
// directories through proper map chains; sparta_volume for a whole valid
// volume from a list of paths.
#pragma once

#include "image_builder.h"

#include <cstddef>
#include <span>

// Byte offsets of the boot record fields in sector 1.
namespace sparta_boot {
inline constexpr std::size_t signature = 7;     // 0x80 on a SpartaDOS disk
inline constexpr std::size_t root_map = 9;      // word: first map sector of the root directory
inline constexpr std::size_t total = 11;        // word: sectors of the file system
inline constexpr std::size_t free_count = 13;   // word: free sectors
inline constexpr std::size_t bitmap_count = 15; // byte: sectors of the bitmap
inline constexpr std::size_t bitmap = 16;       // word: first bitmap sector
inline constexpr std::size_t volume = 22;       // 8 bytes, blank padded
inline constexpr std::size_t size_code = 31;    // 0 = 256 bytes, else the sector size
inline constexpr std::size_t version = 32;      // file-system version
} // namespace sparta_boot

// Status bits of a directory entry.
namespace sparta_status {
inline constexpr std::uint8_t end = 0x00; // the whole byte: no entry at or after this one
inline constexpr std::uint8_t in_use = 0x08;
inline constexpr std::uint8_t deleted = 0x10;
inline constexpr std::uint8_t subdir = 0x20;
} // namespace sparta_status

struct SpartaDate {
    int day = 1, month = 1, year = 84, hour = 0, minute = 0, second = 0;
};

// One directory entry; `name` is "NAME.EXT", stored as the blank-padded
// 11-byte field.
struct SpartaEntry {
    std::uint8_t status = sparta_status::in_use;
    std::uint32_t map = 0;  // first sector-map sector
    std::uint32_t size = 0; // 24 bits
    std::string name;
    SpartaDate date{};
};

SpartaEntry sparta_file(std::string_view name, std::uint32_t map, std::uint32_t size,
                        SpartaDate date = {});
SpartaEntry sparta_subdir(std::string_view name, std::uint32_t map, SpartaDate date = {});

// A directory's contents: `header` (entry 0, the directory itself, its size
// set to the length of the whole) and then the entries.
std::vector<std::uint8_t> sparta_dir_bytes(const std::vector<SpartaEntry> &entries,
                                           SpartaEntry header = {});

// Boot record: signature, root map, first bitmap sector, total = the
// image's sector count, size code from the sector size, volume name.
void sparta_boot_sector(DiskBuilder &d, std::uint32_t root_map, std::uint32_t bitmap,
                        std::string_view volume = "");

// One map sector: next and previous map sector, then the data sector
// numbers (0 is a hole of zero bytes).
void sparta_map_sector(DiskBuilder &d, std::uint32_t n, std::uint32_t next,
                       const std::vector<std::uint32_t> &data, std::uint32_t prev = 0);

// Hands out sectors in order: boot 1-3, the bitmap from 4, then every chain
// in the order it is put.
struct SpartaVolume {
    DiskBuilder disk;
    std::uint32_t first_bitmap = 4;
    std::uint32_t next_free; // first sector not yet handed out

    SpartaVolume(int sector_size, std::uint32_t sector_count, std::string_view volume = "TEST");

    // The next n sectors (zero-filled); returns the first.
    std::uint32_t take(std::uint32_t n = 1);
    // Writes `bytes` through a fresh map chain (its first map sector `at`
    // when given) and returns that map sector.
    std::uint32_t put(std::span<const std::uint8_t> bytes, std::uint32_t at = 0);
    SpartaEntry file(std::string_view name, std::string_view bytes, SpartaDate date = {});
    // A subdirectory holding `entries`; its header names no parent.
    SpartaEntry dir(std::string_view name, const std::vector<SpartaEntry> &entries,
                    SpartaDate date = {});
    // Writes the root, points the boot record at it and fills the bitmap
    // (every sector handed out so far in use).  Returns the root's map.
    std::uint32_t root(const std::vector<SpartaEntry> &entries, std::uint32_t at = 0);

    std::unique_ptr<AtrImage> image() const { return disk.image(); }
};

struct SpartaFile {
    std::string path; // "NAME.EXT" in the root, "DIR/SUB/NAME.EXT" below it
    std::vector<std::uint8_t> bytes;
    SpartaDate date{};
};

// A whole valid volume: directories made from the paths (listed where first
// named, their headers naming the parent), files in order.
DiskBuilder sparta_volume(int sector_size, std::uint32_t sector_count,
                          const std::vector<SpartaFile> &files, std::string_view volume = "",
                          SpartaDate dir_date = {});
