// Atari DOS 3: 1 KB blocks allocated through a table in sector 24.
//
// The directory fills sectors 16-23 (64 slots of 16 bytes, slot 0 the
// format marker); sector 24 holds one byte per block, the next block of the
// file or an end, free or absent mark; block b is sectors 25 + 8b to 32 + 8b.
// Data sectors carry no links or counts: the entry records the byte size.
#pragma once

#include "atr.h"

#include <cstdint>
#include <vector>

// The volume as sectors 16 and 24 describe it.
struct Dos3Volume {
    unsigned blocks = 0;              // N, from the format marker; blocks 0 .. N-1
    unsigned free = 0;                // table bytes below N that mark a free block
    const std::uint8_t *fat = nullptr; // sector 24, 128 bytes
};

// Whether the image is a DOS 3 volume; fills `v` when it is.  Prints nothing.
bool dos3_volume(const AtrImage &image, Dos3Volume &v);

// A file's byte size from its entry: the block count (entry byte 12) and
// the length modulo 65536 (bytes 14-15).  DOS 3 rebuilds the high part from
// the block count, as below.
std::uint32_t dos3_size(unsigned blocks, std::uint32_t length16);

// Where a file's chain of blocks ends.
struct Dos3Chain {
    enum End { clean, bad_link, loop };
    unsigned blocks = 0;  // blocks read, all of them within the volume
    End end = clean;
    unsigned at = 0;      // bad_link: the block whose link is bad; loop: the block reached again
};

// Follows the chain from block `first` (below N).  With `data`, appends the
// 1024 bytes of every block read.
Dos3Chain dos3_chain(const AtrImage &image, const Dos3Volume &v, unsigned first, std::vector<std::uint8_t> *data);

// The handler: 0 when the image is its kind and was listed or extracted, 1
// (silently) when it is not.
int dos3_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);
