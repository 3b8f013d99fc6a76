// Atari DOS 3 volumes built from named fields: the format marker and the
// directory in sectors 16-23, the allocation table in sector 24, and files
// as chains of 1 KB blocks from sector 25 on.
#pragma once

#include "image_builder.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

constexpr std::uint32_t dos3_dir_sector = 16;
constexpr std::uint32_t dos3_fat_sector = 24;

// Entry flags as DOS 3 writes them.
constexpr std::uint8_t dos3_file = 0xC0;    // used, exists
constexpr std::uint8_t dos3_locked = 0xC2;
constexpr std::uint8_t dos3_open = 0xC1;    // created, not closed yet
constexpr std::uint8_t dos3_deleted = 0x80;

// Allocation table bytes other than a link.
constexpr std::uint8_t dos3_last = 0xFD;
constexpr std::uint8_t dos3_free = 0xFE;
constexpr std::uint8_t dos3_absent = 0xFF;

// One 16-byte directory entry; `name` is the 8 + 3 bytes, blank-filled.
struct Dos3Entry {
    std::uint8_t flags = dos3_file;
    std::array<std::uint8_t, 11> name{};
    std::uint8_t blocks = 1;
    std::uint8_t first = 0;
    std::uint16_t length = 0; // the byte size modulo 65536
};

// "AUTORUN.SYS" becomes the name bytes "AUTORUN SYS".
Dos3Entry dos3_entry(std::uint8_t flags, std::string_view name, std::uint8_t blocks, std::uint8_t first,
                     std::uint16_t length);

struct Dos3Disk {
    DiskBuilder disk;
    unsigned blocks;          // N, (sectors - 24) / 8 up to 128
    unsigned next_slot = 1;   // slot `add` fills next
    unsigned next_block = 0;  // block `add` hands out next

    // A freshly formatted disk: the marker in slot 0 of all eight directory
    // sectors, table bytes 0xFE below N and 0xFF from N on.
    explicit Dos3Disk(std::uint32_t sectors = 720);

    std::uint8_t &fat(unsigned block);
    // The 1024 bytes of block b.
    std::uint8_t *block(unsigned b);
    Dos3Disk &entry(unsigned slot, const Dos3Entry &e);
    // Writes `data` through the blocks of `chain` in order and links them,
    // the last one marked 0xFD.  Throws when the blocks are too few.
    Dos3Disk &chain(const std::vector<unsigned> &chain, std::span<const std::uint8_t> data);
    // A file as DOS 3 writes it: the next slot, consecutive blocks (one also
    // for an empty file), the byte size modulo 65536.  Returns its slot.
    unsigned add(std::string_view name, std::span<const std::uint8_t> data, std::uint8_t flags = dos3_file);
};

// Seed images for the fuzzer and sample images; "dos3.atr" is the clean demo disk.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dos3_seed_files();
