// Atari DOS XE: 256-byte clusters, subdirectories and dates.
#pragma once

#include "atr.h"

// The handler: 0 when the image is its kind and was listed or extracted, 1
// (silently) when it is not.
int dosxe_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);
