// Atari DOS 3 seed disks built from the fields: the format marker and the directory in sectors 16-23,
// the allocation table in sector 24, files in 1 KB blocks from sector 25 on.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// "dos3.atr" is the clean demo disk, "dos3_ed.atr" a clean enhanced-density one, "dos3_loop.atr" damaged.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dos3_seed_files();
