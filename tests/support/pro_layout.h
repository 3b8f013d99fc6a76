// PRO (APE) images of a single-density disk: a 16-byte header with the
// big-endian record count and "P2"/"P3", then one 140-byte record per
// sector (12-byte record header, 128 data bytes), then the phantom copies.
#pragma once

#include "image_builder.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Controller status bits (record header byte 1).  The byte is active low:
// a good read is 0xFF, and clearing one of these bits records the condition.
constexpr std::uint8_t pro_lost_data = 0x04; // long sector
constexpr std::uint8_t pro_crc_error = 0x08;
constexpr std::uint8_t pro_not_found = 0x10;
constexpr std::uint8_t pro_deleted = 0x20; // record type: deleted-data mark

// How one sector's main record differs from a clean read.
struct ProSector {
    std::uint8_t controller = 0xFF; // a status with some bits cleared
    // Alternative copies (up to five, 128 bytes each), stored after the 720
    // main records and named by this record's phantom fields in order.
    std::vector<std::vector<std::uint8_t>> phantoms;
    // Raw phantom field values written after those of `phantoms`, e.g. a
    // record number the file does not hold.
    std::vector<std::uint8_t> extra_fields;
    int phantom_count = -1; // the count byte; -1: the number of fields set
};

struct ProOptions {
    std::uint8_t version = '2';
    std::uint8_t phantom_mode = 0;
    // Main records written: fewer than 720 leaves the last sectors out (and
    // with them every phantom, whose fields then name records past the end).
    std::uint32_t main_records = 720;
    std::map<std::uint32_t, ProSector> sectors;
    std::uint32_t unreferenced = 0; // records after the phantoms that no sector names
};

// The 720 x 128 disk `disk` as a PRO file.
std::vector<std::uint8_t> pro_image(const DiskBuilder &disk, const ProOptions &opt = {});

// A few small PRO files for the fuzz corpus and the samples; "pro-clean.pro"
// is a clean DOS 2.0s disk.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> pro_seed_files();
