// SpartaDOS file systems.
//
// Sector 1 holds the boot record with the root directory's first sector-map
// sector; every file and directory is reached through a chain of map
// sectors that name its data sectors in order.  Directories are files of
// 23-byte entries that carry each entry's date and time.
#pragma once

#include "image.h"
#include "messages.h"
#include "walkguard.h"

#include <cstdint>
#include <string>
#include <unordered_map>

// How far a map chain can be read, as far as a listing has needed to know:
// the maps scanned so far name `chunks` sectors' worth of data (holes
// included).  While `stop` is `open` the scan goes on at slot `pos` of map
// sector `map`; otherwise `stop` says why the chain yields no more.
struct SpartaMapProfile {
    enum Stop { open, chain_end, bad_first_map, bad_next_map, bad_data_sector };
    std::uint64_t chunks = 0;
    std::uint32_t map = 0;
    std::uint32_t pos = 4;
    Stop stop = open;
};

struct SpartaWalk {
    const AtrImage *image = nullptr;
    int atari_list = 0;
    int lower_case = 0;
    int extract = 0;

    // State of one run of the walk.  A listing needs only what reading a
    // file would deliver and report; the profiles of the map chains met so
    // far answer that without reading the file again for every entry.
    WalkGuard guard;
    std::unordered_map<std::uint32_t, SpartaMapProfile> profiles;
    std::unordered_map<std::uint32_t, std::uint32_t> map_sizes;
    SectorMarks map_marks; // for the allocated size of directories
    std::string line;      // the listing line being built
    ReusedBuffer file_buffer; // the file being extracted
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
// same reports are made).  With `to_first_hole`, copying stops after the
// first hole, whose zeros end a directory, and the rest is only counted.
// Returns the bytes delivered.
std::uint32_t sparta_read_map(const AtrImage &image, std::uint32_t first_map, std::uint32_t wanted,
                              std::uint8_t *out, bool to_first_hole = false);

// Bytes allocated to the chain: its non-zero data sector numbers times the
// sector size.
std::uint32_t sparta_map_size(const AtrImage &image, std::uint32_t first_map);

// The profile of the chain that starts in `first_map`, scanned until it
// names `needed` chunks or yields no more (no reports).
SpartaMapProfile sparta_map_profile(const AtrImage &image, std::uint32_t first_map, std::uint64_t needed);

// What sparta_read_map would return for `wanted` bytes, with the same
// reports, without copying anything; answers from the walk's profiles.
std::uint32_t sparta_count_map(SpartaWalk &walk, std::uint32_t first_map, std::uint32_t wanted);

void sparta_list_dir(SpartaWalk &walk, std::uint32_t first_map, const std::string &path);
