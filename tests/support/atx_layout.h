// ATX (VAPI) images built from a plain disk: one track record per track, the
// sectors in a 1, 3, 5 ... 2, 4 ... interleave, and what originals show.
#pragma once

#include "image_builder.h"

#include <string>
#include <utility>

// One sector header of a track's sector list, with its data.  Status bits:
// 0x02/0x04 long, 0x08 CRC error, 0x10 no data field, 0x20 deleted mark.
struct AtxSector {
    std::uint8_t number = 1, status = 0;
    std::vector<std::uint8_t> data;
    int weak = -1, size_code = -1; // weak-data and extended-header chunks (-1: none)
    long data_offset = -1;         // forced data_offset field (-1: where the data is)
};

struct AtxFile {
    std::uint8_t density = 0;                   // header byte 18
    unsigned spt = 18;                          // tracks of 26 are flagged MFM
    std::vector<std::vector<AtxSector>> tracks; // track n at index n
};

// The disk's 40 tracks (sectors 1-3 of a 256-byte disk keep 128 bytes);
// without `density_byte`, byte 18 stays 0 as in older files.
AtxFile atx_from_disk(const DiskBuilder &disk, bool density_byte = true);
// The first copy of logical sector `n`, or (`fill` >= 0) a new copy of 128 x fill, first or last on its track.
AtxSector &atx_sector(AtxFile &f, std::uint32_t n, int fill = -1, std::uint8_t status = 0, bool first = false);
// The file, `end` = its size.  An 18-sector track record takes 2504 bytes:
// header 32, sector list 8 + 8 x 18, data 8 + 18 x 128, end chunk 8.
std::vector<std::uint8_t> atx_encode(const AtxFile &f);
void atx_put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v);

// Fuzz seeds and samples; "demo.atx" is a clean DOS 2 volume.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> atx_seed_files();
