// Disk images built in a test from a few named fields.
#pragma once

#include "atr.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct DiskBuilder {
    int sector_size;
    std::uint32_t sector_count;
    std::vector<std::uint8_t> data; // slots of sector_size bytes, sector 1 first

    DiskBuilder(int sector_size, std::uint32_t sector_count);

    std::uint8_t *sector(std::uint32_t n);
    DiskBuilder &bytes(std::uint32_t n, std::size_t offset, std::initializer_list<std::uint8_t> b);
    DiskBuilder &text(std::uint32_t n, std::size_t offset, std::string_view s);
    DiskBuilder &le16(std::uint32_t n, std::size_t offset, std::uint32_t v);
    DiskBuilder &le24(std::uint32_t n, std::size_t offset, std::uint32_t v);
    DiskBuilder &fill(std::uint32_t n, std::size_t offset, std::size_t length, std::uint8_t v);

    // The image as the loader would give it.
    std::unique_ptr<AtrImage> image() const;
    // An ATR file: 16-byte header, then the sectors.  With 256-byte sectors
    // the first three are stored as 128-byte records unless full_first.
    std::vector<std::uint8_t> atr(bool full_first = false) const;
    // The sectors alone, as a headerless image.
    std::vector<std::uint8_t> raw() const { return data; }
};

// A 16-byte ATR header declaring `data_bytes` of sector data (rounded down to
// paragraphs) of `sector_size`-byte sectors.
std::vector<std::uint8_t> atr_header(std::uint64_t data_bytes, int sector_size);

void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes);
std::vector<std::uint8_t> read_file(const std::string &path);

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(std::string_view name) const { return path + "/" + std::string(name); }
};

// Where the real disk images are, or "" when the folder is absent.
std::string realdisks_dir();
