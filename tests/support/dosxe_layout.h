// Atari DOS XE volumes built from a tree of files and directories (disk
// number 0xCF99).  Clusters are handed out upward from 6 in tree order: a
// directory's further chain clusters, then per entry a subdirectory's
// clusters or a file's maps and data, so a test can name what it damages.
#pragma once

#include "image_builder.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class DosXeDensity { at810, at1050, ssdd, xf551 };

struct DosXeItem {
    std::string name; // "NAME.EXT", or "NAME/" for a directory
    std::vector<std::uint8_t> data;
    std::uint16_t changed = 0xB134; // dosxe_date(1988, 9, 20)
    std::vector<DosXeItem> items = {}; // a directory's entries
};

struct DosXeDisk {
    DiskBuilder disk;
    std::uint32_t total, used = 6, files = 0; // clusters; the next to hand out; the last file number

    std::uint8_t *cluster(std::uint32_t c) { return disk.sector(disk.sector_size == 128 ? 2 * c : c); }
    DosXeDisk &word(std::uint32_t c, std::size_t at, std::uint32_t v) // little-endian
    {
        return cluster(c)[at] = std::uint8_t(v), cluster(c)[at + 1] = std::uint8_t(v >> 8), *this;
    }
    DosXeDisk &trailer(std::uint32_t c, std::uint32_t file_no, std::uint8_t seq0, std::uint8_t seq1)
    {
        return cluster(c)[0xFE] = seq0, cluster(c)[0xFF] = seq1, word(c, 0xFA, file_no).word(c, 0xFC, 0xCF99);
    }
};

// As the DOS stores a date: year - 1900 in the top 7 bits, month, day.
inline std::uint16_t dosxe_date(int y, int m, int d) { return std::uint16_t((y - 1900) << 9 | m << 5 | d); }
std::vector<std::uint8_t> dosxe_pattern(std::size_t n, int seed); // file contents that show a misplaced cluster
DosXeDisk dosxe_volume(DosXeDensity density, const std::vector<DosXeItem> &root);

// Six root entries (two directory clusters), directories two deep, a file of
// two maps, an empty file (no map), an empty directory, an undated file.
const std::vector<DosXeItem> &dosxe_demo_tree();

// Seed images for the fuzzers and the samples; the first, "dosxe_demo.atr",
// is the clean demonstration disk.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dosxe_seed_files();
