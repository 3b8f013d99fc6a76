// Atari DOS XE: 256-byte clusters, subdirectories and dates.
//
// Sector 1 names the density and the cluster counts; the VTOC is cluster 4
// and the root directory starts in the cluster that the boot sector names.
// Directories are chains of clusters holding five 49-byte entries each; a
// file reaches its data clusters through up to 12 map clusters.  Every
// directory, map and data cluster ends in a trailer naming its owner.
#pragma once

#include "image.h"

// The handler: 0 when the image is its kind and was listed or extracted, 1
// (silently) when it is not.
int dosxe_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);
