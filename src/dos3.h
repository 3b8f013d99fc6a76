// Atari DOS 3: 1 KB blocks allocated through a table in sector 24.
//
// The directory fills sectors 16-23 (64 slots of 16 bytes, slot 0 the
// format marker); sector 24 holds one byte per block, the next block of the
// file or an end, free or absent mark; block b is sectors 25 + 8b to 32 + 8b.
// Data sectors carry no links or counts: the entry records the byte size.
#pragma once

#include "image.h"

// The handler: 0 when the image is its kind and was listed or extracted, 1
// (silently) when it is not.
int dos3_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);
