// Atari DOS 3: 1 KB blocks allocated through a table in sector 24.
#pragma once

#include "atr.h"

// The handler: 0 when the image is its kind and was listed or extracted, 1
// (silently) when it is not.
int dos3_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);
