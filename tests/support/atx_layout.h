// ATX (VAPI) images built from a plain disk: one track record per track,
// the sectors in a formatter's interleave, and knobs for what preserved
// originals show (sectors recorded twice, missing, with CRC errors, weak
// or long) and for the header quirks of archived files.
#pragma once

#include "image_builder.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Controller status bits of a sector read, as the file stores them.
namespace atx_status {
inline constexpr std::uint8_t request = 0x02;
inline constexpr std::uint8_t lost = 0x04; // long sector
inline constexpr std::uint8_t crc = 0x08;
inline constexpr std::uint8_t missing = 0x10; // no data field, no data stored
inline constexpr std::uint8_t deleted = 0x20;
inline constexpr std::uint8_t extended = 0x40; // a weak or extended-header chunk follows
} // namespace atx_status

// One sector header of a track's sector list, with its stored data.
struct AtxSector {
    std::uint8_t number = 1; // as read from the address field
    std::uint8_t status = 0;
    std::vector<std::uint8_t> data; // stored bytes; none with atx_status::missing
    int weak = -1;                  // weak-data chunk: offset of the first weak byte
    int size_code = -1;             // extended-header chunk: 128 << code bytes as formatted
    long data_offset = -1;          // forced data_offset field (-1: where the data is put)
};

struct AtxTrack {
    std::uint8_t number = 0;
    std::uint32_t flags = 0; // 0x0002: read in MFM
    std::vector<AtxSector> sectors;
    int count_delta = 0;          // sector_count field minus the sectors listed
    bool second_list = false;     // an empty second sector list, as one writer adds
    bool end_chunk = true;        // the zero-size chunk that closes the chain
    std::uint32_t header_size = 32;
};

// How the header's `end` field is written.
enum class AtxEnd {
    exact,         // the file size
    host_past_end, // a 48-byte host record follows that `end` does not count
    plus8,         // 8 past the file size
};

struct AtxFile {
    std::uint16_t version = 1;
    std::uint16_t creator = 0x02;
    std::uint8_t density = 0; // header byte 18: 0 single (or unknown), 1 enhanced, 2 double
    std::uint32_t start = 48;
    AtxEnd end = AtxEnd::exact;
    std::vector<AtxTrack> tracks;
    std::vector<std::uint8_t> tail; // bytes after the last record
};

// The disk's 40 tracks: 18 sectors a track (26 with 1040 sectors of 128
// bytes, MFM), numbered 1, 3, 5 ... 2, 4 ... round the track.  Sectors 1-3
// of a 256-byte disk keep their first 128 bytes.  `density_byte` false
// leaves header byte 18 at 0, as older files do for enhanced density.
AtxFile atx_from_disk(const DiskBuilder &disk, bool density_byte = true);

// The sector header of logical sector `n` (its first copy); throws when absent.
AtxSector &atx_sector(AtxFile &f, std::uint32_t n);
// The track that holds logical sector `n`.
AtxTrack &atx_track_of(AtxFile &f, std::uint32_t n);

// Knobs on logical sector `n`.
void atx_remove(AtxFile &f, std::uint32_t n);
// Adds a copy of sector `n` holding `data`, before or after the first one.
AtxSector &atx_duplicate(AtxFile &f, std::uint32_t n, std::vector<std::uint8_t> data, std::uint8_t status = 0,
                         bool before = false);

// The file's bytes.
std::vector<std::uint8_t> atx_encode(const AtxFile &f);

// Small named files for the fuzz corpus and the sample images; "demo.atx"
// is a clean DOS 2 volume.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> atx_seed_files();
