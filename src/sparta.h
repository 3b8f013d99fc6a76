// SpartaDOS file systems.
//
// Sector 1 holds the boot record with the root directory's first sector-map
// sector; every file and directory is reached through a chain of map
// sectors that name its data sectors in order.  Directories are files of
// 23-byte entries that carry each entry's date and time.
#pragma once

#include "extract.h"
#include "image.h"
#include "walkguard.h"

#include <cstdint>
#include <string>
#include <vector>

// What a sector-map chain gives from the first slot of one of its map
// sectors on, remembered by the walk.
struct SpartaMapRest {
    enum Stop : std::uint8_t { chain_end, bad_next_map, bad_data_sector, without_end };
    std::uint32_t chunks = 0; // sectors' worth of data (holes included) before the chain stops
    Stop stop = chain_end;     // without_end: the chain loops, every slot valid
    bool known = false;
};

// The allocated size of a chain from one of its map sectors on.
struct SpartaMapSize {
    std::uint32_t bytes = 0;
    bool known = false;
};

struct SpartaWalk {
    const AtrImage *image = nullptr;
    int atari_list = 0;
    int lower_case = 0;
    int extract = 0;

    // State of one run of the walk.  A listing needs only what reading a
    // file would deliver and report, and the space a directory's chain
    // allocates.  Damaged disks point many entries into one chain, at
    // different map sectors of it; so what the chain gives from each map
    // sector on is remembered, and no map sector is scanned twice in a
    // listing, whatever the entries share.
    WalkGuard guard;
    ChainMemo<SpartaMapRest> rests; // by map sector number
    ChainMemo<SpartaMapSize> sizes; // by map sector number
    SectorMarks map_marks;            // the map sectors of the chain being followed
    ReusedBuffer file_buffer;         // the file being extracted
};

int spartados_list(const AtrImage &image, const char *name, int atari_list, int lower_case,
                   int extract);

// Converts a name field of `length` bytes (8 for a volume name, 11 for an
// entry).  `host` and `atari` must hold length + 2 bytes each; `atari`
// receives length + 1 characters (base name, a blank, extension).  Returns
// the length of the host name, 0 when nothing was taken over.
int sparta_name(char *host, char *atari, const std::uint8_t *src, int length, int lower_case);

// Gathers up to `wanted` bytes through the map chain that starts in
// `first_map`.  With `out` null only counts what would be delivered (the
// same reports are made).  Returns the bytes delivered.
std::uint32_t sparta_read_map(const AtrImage &image, std::uint32_t first_map, std::uint32_t wanted,
                              std::uint8_t *out);

// Bytes allocated to the chain: its non-zero data sector numbers times the
// sector size.
std::uint32_t sparta_map_size(const AtrImage &image, std::uint32_t first_map);

// What sparta_read_map would return for `wanted` bytes, with the same
// reports, without copying anything; answers from the walk's profiles.
std::uint32_t sparta_count_map(SpartaWalk &walk, std::uint32_t first_map, std::uint32_t wanted);

void sparta_list_dir(SpartaWalk &walk, std::uint32_t first_map, const std::string &path);
