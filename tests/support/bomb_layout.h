// Hostile images: a few kilobytes to 16 MiB of disk whose entries share
// chains, maps or directory data, so that a reader that pays for what each
// entry names (rather than for what the disk holds) lists for minutes or
// extracts gigabytes.  Each is a valid image of its layout in every field
// a reader checks.
#pragma once

#include "image_builder.h"

#include <string>
#include <vector>

struct Bomb {
    std::string name;
    DiskBuilder disk;
};

// MyDOS, 65535 sectors of 256 bytes: 64 directories of 64 directories of
// 64 files (262,144 entries), each file starting at another sector of one
// long chain of 16-bit links.
Bomb bomb_mydos_shared_tails();

// MyDOS, 65535 sectors: a run of directories of 8 sectors each starting one
// sector after the one before, every entry a subdirectory naming the next.
Bomb bomb_mydos_overlapping_dirs();

// LiteDOS, 65535 sectors: the largest root (1,016 entries), each file
// starting at another sector of one chain of 60,000 sectors.
Bomb bomb_litedos_shared_files();

// SpartaDOS, 65535 sectors of 256 bytes: a root of 2,847 subdirectories,
// each with a map sector of its own, every map naming the root's data.
Bomb bomb_sparta_shared_dir_data();

// SpartaDOS, 1440 sectors of 256 bytes (368 KB): 2,000 files, each of 16
// MiB - 1 on one map sector of holes that links to itself.
Bomb bomb_sparta_hole_files();

std::vector<Bomb> all_bombs();
