// Atari DOS XE volumes built from a tree of files and directories: boot
// sector, VTOC in cluster 4, directory chains from cluster 5, map and data
// clusters with their trailers.  The returned disk says where each entry
// and cluster went, so a test can damage exactly one field.
#pragma once

#include "image_builder.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The floppy densities DOS XE formats.
enum class DosXeDensity { at810, at1050, ssdd, xf551 };

struct DosXeGeometry {
    const char *code;         // boot bytes 0x10-0x15
    int sector_size;
    std::uint32_t sectors;
    std::uint32_t total;      // clusters 0 .. total - 1
    std::uint32_t formatted_free;
};
DosXeGeometry dosxe_geometry(DosXeDensity d);

// A date as DOS XE stores it: year - 1900 in the top 7 bits, month, day.
std::uint16_t dosxe_date(int year, int month, int day);

// One item of the tree: "NAME.EXT" or "DIR/SUB/NAME.EXT"; a path ending in
// "/" makes an empty directory.  Directories named only on the way to a file
// get `date` of that file.
struct DosXeItem {
    std::string path;
    std::vector<std::uint8_t> data;
    std::uint16_t changed = 0xB134; // 20 September 1988
    std::uint16_t created = 0;      // 0: the same as `changed`
    std::uint8_t flags = 0;         // 0: 0x40 for a file, 0x41 for a directory
};

// Where one entry of the tree went.
struct DosXeNode {
    std::uint32_t entry_cluster = 0; // the directory cluster holding the entry
    unsigned entry_index = 0;        // 0-4 in that cluster
    std::uint32_t file_no = 0;
    std::vector<std::uint32_t> maps; // files: map clusters
    std::vector<std::uint32_t> data; // files: data clusters in file order
    std::vector<std::uint32_t> dir;  // directories: the chain of directory clusters
};

struct DosXeDisk {
    DiskBuilder disk;
    DosXeGeometry geo;
    std::uint16_t disk_no = 0xCF99;
    std::uint32_t next_cluster = 6; // handed out upward
    std::uint32_t last_file_no = 0;
    std::map<std::string, DosXeNode> nodes; // by entry path, "/DIR/NAME.EXT"; "/" is the root

    explicit DosXeDisk(DosXeDensity d);

    std::uint8_t *cluster(std::uint32_t c);
    std::uint8_t *entry(const std::string &path); // the 49 bytes of an entry
    DosXeDisk &trailer(std::uint32_t c, std::uint32_t file_no, std::uint8_t seq0, std::uint8_t seq1);
    DosXeDisk &cluster_word(std::uint32_t c, std::size_t offset, std::uint32_t v); // little-endian
    // Points directory cluster `c` at the next cluster `next` (0 = last).
    DosXeDisk &dir_next(std::uint32_t c, std::uint32_t next) { return cluster_word(c, 0xF8, next); }
    // Slot `slot` of map cluster `map` names data cluster `c`.
    DosXeDisk &map_slot(std::uint32_t map, unsigned slot, std::uint32_t c) { return cluster_word(map, 2 * slot, c); }
    // Writes N and r of an entry so that its size reads as `bytes`.
    DosXeDisk &size(const std::string &path, std::uint32_t bytes);

    std::uint32_t alloc(); // throws when the disk is full
};

// A valid volume of the given density holding `items` in that order.
// Throws when the disk fills or a file would need more than 12 maps.
DosXeDisk dosxe_volume(DosXeDensity density, const std::vector<DosXeItem> &items);

// Named seed images (clean and damaged) for the fuzzers and the samples;
// the first, "dosxe_demo.atr", is the clean demonstration disk.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dosxe_seed_files();
