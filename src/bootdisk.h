// Boot-loader disks that carry one program behind a short loader: K-BOOT
// disks (an executable named after its CRC-32) and BASIC boot disks (a
// BASIC program under the name stored in the loader, signed "VELMORAX").
#pragma once

#include "image.h"

#include <cstddef>
#include <cstdint>
#include <string>

int bootdisk_list(const AtrImage &image, const char *name, int atari_list, int lower_case,
                  int extract);

// CRC-32 of IEEE 802.3, continuing from `previous` (0 to start).
std::uint32_t bootdisk_crc32(std::uint32_t previous, const std::uint8_t *data, std::size_t length);

struct BasicName {
    std::string host;  // at most 13 characters
    std::string atari; // 13 columns ("NONAME  BAS" has 11)
};

// The host and Atari-style names of the 12 stored name bytes.
BasicName bootdisk_basic_name(const std::uint8_t *stored, int lower_case);
