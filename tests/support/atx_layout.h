// ATX (VAPI) images built from a plain disk: one track record per track, the
// sectors in a 1, 3, 5 ... 2, 4 ... interleave, and what originals show.
#pragma once

#include "image_builder.h"

#include <string>
#include <utility>

// A sector header of a track's list and its data.  Status: 0x02/0x04 long,
// 0x08 CRC error, 0x10 no data field, 0x20 deleted mark, 0x40 extra chunk.
struct AtxSector {
    std::uint8_t number = 1, status = 0;
    std::vector<std::uint8_t> data;
    int weak = -1, size_code = -1; // weak-data and extended-header chunks (-1: none)
    long data_offset = -1;         // the data_offset field (-1: where the data is)
};

// Header byte 18, sectors a track (26 are read in MFM), track n's list at index n.
struct AtxFile {
    std::uint8_t density = 0;
    unsigned spt = 18;
    std::vector<std::vector<AtxSector>> tracks;
};

// The disk's 40 tracks (sectors 1-3 of a 256-byte disk keep 128 bytes); byte 18 stays 0 without `density_byte`.
AtxFile atx_from_disk(const DiskBuilder &disk, bool density_byte = true);
// The first copy of logical sector `n`, or (`fill` >= 0) a new copy of 128 x fill, first or last on its track.
AtxSector &atx_sector(AtxFile &f, std::uint32_t n, int fill = -1, std::uint8_t status = 0, bool first = false);
// The file, `end` = its size; an 18-sector track record takes 32 + 8 + 8 x 18 + 8 + 18 x 128 + 8 = 2504 bytes.
std::vector<std::uint8_t> atx_encode(const AtxFile &f);
void atx_put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v);

// The DOS 2 volume of the samples: "demo.atx" holds it clean, "protected.atx"
// with copy protection that costs nothing; "cut.atx" is cut short.
DiskBuilder atx_demo_disk();
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> atx_seed_files();
