// The Atari DOS 2 family: DOS 1, DOS 2.0s, DOS 2.0D, DOS 2.5, MyDOS,
// LiteDOS, LiteDOS-SE and Bibo-DOS.
//
// The volume table of contents (VTOC) in sector 360 names the member; the
// root directory starts in sector 361; files are chains of sectors whose
// last three bytes hold the link and the byte count.
#pragma once

#include "image.h"
#include "names.h"
#include "walkguard.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// What the rest of a sector chain gives from one sector on: its data bytes
// and how it ends.  `at` is the sector met again when the chain loops.
struct Dos2Chain {
    enum End : std::uint8_t { clean, bad_link, loop };
    std::uint32_t length = 0;
    std::uint16_t at = 0;
    End end = clean;
    bool known = false; // a remembered result (see Dos2Walk::chains)
};

struct Dos2Walk {
    const AtrImage *image = nullptr;
    int atari_list = 0;
    int lower_case = 0;
    int extract = 0;
    int dir_entries = 64;    // 16-byte entries one directory holds
    unsigned dir_group = 0;  // LiteDOS: directory sectors wrap inside aligned groups of this size
    int bibo = 0;            // Bibo-DOS: 16 entries in each 256-byte directory sector

    // State of one run of the walk.  A listing needs only a chain's length
    // and how it ends.  Damaged disks point many entries into one chain, at
    // different sectors of it; so for every sector a chain has passed, and
    // for each of the three ways sectors carry their link, the result of
    // the chain from there on is remembered, and no sector is followed
    // twice in a listing, whatever the entries share (see ChainMemo).
    WalkGuard guard;
    std::array<ChainMemo<Dos2Chain>, 3> chains; // by sector form
    SectorMarks chain_marks;                      // the sectors of the chain being followed
    std::vector<std::uint8_t> file_data;          // the file being extracted
    // Sectors that extraction may still follow.  Each sector of a sound
    // disk belongs to one file; only files that share their chains can ask
    // for more, and gathering a chain costs a step per sector even where
    // its byte counts are 0: 64 times the most a disk can link.
    std::uint64_t steps_left = std::uint64_t(64) << 16;
};

// The handler: 0 when the image is a DOS 2 family volume and was listed or
// extracted, 1 when it is not.
int dos2_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);

// Whether directory sector `sector` is laid out the Bibo-DOS way (entries
// in both halves of a 256-byte sector).
int dos2_is_bibo(const AtrImage &image, std::uint32_t sector);

// Lists or extracts the directory that starts in `first`, and those below it.
void dos2_list_dir(Dos2Walk &walk, std::uint32_t first, const std::string &path);

// The 128-byte block that holds entry `index` of the directory that starts
// in `first`, or nullptr when the image lacks its sector.
const std::uint8_t *dos2_dir_block(const Dos2Walk &walk, std::uint32_t first, std::uint32_t index);

// Converts the 11 name bytes of a directory entry.
AtariName dos2_name(const std::uint8_t *raw, int lower_case);

struct Dos2File {
    std::uint32_t length = 0;   // bytes the chain holds (L), also beyond the capacity
    std::uint32_t capacity = 0; // sector count x sector size
};

// Follows the chain of a file entry (flags, sector count, start sector),
// reporting a broken chain.  With `data`, gathers the chain's bytes there:
// exactly `length` of them, zeros where a sector counts more bytes than its
// data area holds.  Without, answers from the walk's remembered chains.
// `entry_path` names the file in the report that extraction has followed
// too many sectors (see Dos2Walk::steps_left).
Dos2File dos2_read_file(Dos2Walk &walk, unsigned flags, std::uint32_t count, std::uint32_t start,
                        std::vector<std::uint8_t> *data, const std::string &entry_path = std::string());
