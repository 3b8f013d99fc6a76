// PRO (APE) files: a 16-byte header (big-endian record count, "P2"), then 140-byte records: drive status,
// controller status (active low), timeout, phantom fields at bytes 6-9 and 11, then the 128 data bytes.
#pragma once

#include "image_builder.h"

#include <utility>

// The 720 x 128 `disk` as `records` good records; those after 720 hold 0x5A.
std::vector<std::uint8_t> pro_image(const DiskBuilder &disk, std::uint32_t records = 720);
// Seed and sample files; "pro-clean.pro" is a clean DOS 2.0s disk.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> pro_seed_files();
