// DCM (DiskComm) archives made from a disk built by the other layouts, as
// DiskComm writes them: blank sectors left out, the shortest block for each
// sector, an explicit sector number after every 2304 bytes of disk, passes
// of at most 0x6000 bytes, and 45 00 45 at the end.  Knobs force a block
// type, numbers and pass boundaries; damage knobs break a built archive.
#pragma once

#include "image_builder.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Block types (bit 7, "the next block gives the following sector", aside).
namespace dcm_type {
inline constexpr std::uint8_t modify_begin = 0x41; // bytes k..0, stored backwards
inline constexpr std::uint8_t dos = 0x42;          // 124 x b0, then b1-b4
inline constexpr std::uint8_t compressed = 0x43;   // literal parts and runs
inline constexpr std::uint8_t modify_end = 0x44;   // bytes k..S-1
inline constexpr std::uint8_t end = 0x45;
inline constexpr std::uint8_t same = 0x46;         // the previous sector again
inline constexpr std::uint8_t raw = 0x47;          // S bytes
} // namespace dcm_type

struct DcmOptions {
    // A block type for these sectors in place of the shortest; throws when
    // the type cannot give the sector (0x46 and 0x42 need their pattern).
    std::map<std::uint32_t, std::uint8_t> force;
    // Sectors stored although blank (in the order of the disk).
    std::set<std::uint32_t> store_blank;
    // An explicit number after these sectors' blocks even where the next
    // block gives the following sector.
    std::set<std::uint32_t> number_after;
    // DiskComm's explicit number after every 2304 bytes of disk of a pass.
    bool numbers_every_2304 = true;
    // A new pass begins at these sectors, besides where a pass fills.
    std::set<std::uint32_t> pass_at;
    std::size_t pass_limit = 0x6000;
    // The archive type byte of every pass: 0xFA, or 0xF9 for a split set.
    std::uint8_t type = 0xFA;
};

struct DcmArchive {
    std::vector<std::uint8_t> bytes;
    std::map<std::uint32_t, std::size_t> block_at; // sector -> offset of its type byte
    std::vector<std::size_t> pass_at;              // offsets of the pass headers
};

// The archive of `disk`: double density for 256-byte sectors, enhanced for
// 1040 sectors of 128 bytes, else single.  Sectors 1-3 of a double-density
// disk are coded at 256 bytes with their upper half zero.
DcmArchive dcm_archive(const DiskBuilder &disk, const DcmOptions &opt = {});

// The same disk as a set of files of one pass each (type 0xF9).
std::vector<std::vector<std::uint8_t>> dcm_split(const DiskBuilder &disk, DcmOptions opt = {});

// Damage knobs.  The type byte of `sector`'s block replaced by `type`
// (bit 7 kept), the explicit number that leads to `sector`'s block (one
// must be there: DcmOptions::number_after) replaced by `number`.
void dcm_bad_type(DcmArchive &a, std::uint32_t sector, std::uint8_t type);
void dcm_bad_number(DcmArchive &a, std::uint32_t sector, std::uint32_t number);

// Seed files for the fuzzer and samples; "dos25.dcm" is the clean demo.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dcm_seed_files();
