// The Atari DOS 2 family: DOS 1, DOS 2.0s, DOS 2.0D, DOS 2.5, MyDOS,
// LiteDOS, LiteDOS-SE and Bibo-DOS.
//
// The volume table of contents (VTOC) in sector 360 names the member; the
// root directory starts in sector 361; files are chains of sectors whose
// last three bytes hold the link and the byte count.
#pragma once

#include "image.h"
#include "messages.h"
#include "walkguard.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Where a file's sector chain ends, and what it holds up to there.
struct Dos2Chain {
    enum End { clean, bad_link, loop };
    std::uint32_t length = 0; // data bytes the sectors claim
    End end = clean;
    std::uint32_t loop_sector = 0;
    std::uint32_t sectors = 0; // sectors followed
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
    // and how it ends, so long chains already followed are not followed
    // again (a damaged disk can point thousands of entries at one chain);
    // short ones cost less to follow than to remember.
    WalkGuard guard;
    SectorMarks chain_marks; // indexed by 16-bit sector numbers
    std::unordered_map<std::uint32_t, Dos2Chain> chains; // by start sector and sector form
    std::string line;                                    // the listing line being built
    ReusedBuffer file_buffer;                            // the file being extracted
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

struct Dos2Name {
    std::string host;  // name "." extension, spaces dropped; empty for an all-blank name
    char atari[13];    // 8 + blank + 3, NUL-terminated
};

// Converts the 11 name bytes of a directory entry.
Dos2Name dos2_name(const std::uint8_t *raw, int lower_case);

struct Dos2File {
    std::uint32_t length = 0; // bytes the chain holds (L), also beyond the capacity
    std::uint32_t capacity = 0;
};

// Follows the chain of a file entry (flags, sector count, start sector),
// reporting a broken chain.  With `data`, which must hold `count` sectors'
// worth of bytes, gathers min(length, capacity) bytes there.
Dos2File dos2_read_file(Dos2Walk &walk, unsigned flags, std::uint32_t count, std::uint32_t start,
                        std::uint8_t *data);
