// HOWFEN DOS menu disks.
//
// The first sectors hold, in screen codes, the words HOWFEN DOS, a version
// and a menu of up to 20 programs labelled A to T; each program is a run of
// consecutive sectors.  Nothing but the menu is read.
#pragma once

#include "image.h"

#include <cstdint>
#include <string>

int howfen_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);

// The menu's decimal length field: digits are screen codes 0x10-0x19, every
// other byte is skipped.
unsigned howfen_number(const std::uint8_t *field, int length);

// A 25-character menu title turned into a host name: screen codes to
// ATASCII, unsafe characters to '_', trailing blanks dropped.
std::string howfen_name(const std::uint8_t *title, int lower_case);
