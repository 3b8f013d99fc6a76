// DCM archives of a built disk as DiskComm writes them (blank sectors left
// out, the block it would choose, an explicit number after every 2304 bytes
// of disk, passes of at most 0x6000 bytes, 45 00 45 at the end), or as forced.
#pragma once

#include "image_builder.h"

#include <map>
#include <set>
#include <string>
#include <utility>

struct DcmOptions {
    std::map<std::uint32_t, std::uint8_t> force = {}; // block type by sector (stored even if blank)
    std::set<std::uint32_t> number_after = {};        // an explicit number after these sectors
    bool numbers_every_2304 = true;                   // false: explicit numbers only across gaps
    std::set<std::uint32_t> pass_at = {};             // a new pass at these sectors too
    std::size_t pass_limit = 0x6000;
    std::uint8_t type = 0xFA; // archive type byte, 0xF9 for a split set
};

// Double density for 256-byte sectors, enhanced for 1040 x 128, else single.
// Throws when a forced 0x46 or 0x42 cannot give its sector.
std::vector<std::uint8_t> dcm_archive(const DiskBuilder &disk, const DcmOptions &opt = {},
                                      std::vector<std::size_t> *pass_offsets = nullptr);
// The same as a split set: one pass per file, type 0xF9.
std::vector<std::vector<std::uint8_t>> dcm_split(const DiskBuilder &disk, DcmOptions opt = {});

// Seed files for the fuzzer and samples; "dos25.dcm" is the clean demo.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dcm_seed_files();
