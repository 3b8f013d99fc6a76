// A disk image in memory, served by sector number.
//
// This is the only code that touches the image buffer by offset: handlers
// take a sector's address from atr_sector (or a checked run of bytes from
// atr_run) and read multi-byte fields through the byte readers below.  It
// knows nothing of files: the loader (atr.h) and the container decoders
// fill an image made by atr_create.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct AtrImage {
    std::uint8_t *data = nullptr;   // sector n at (n - 1) * sector_size, slots back to back
    std::size_t size = 0;           // bytes at data: sector_count * sector_size
    int sector_size = 128;          // 128 or 256
    std::uint32_t sector_count = 0; // sectors 1 .. sector_count
    // What holds the bytes at data: a zero-filled block, or a private
    // (copy-on-write) mapping of the image file.
    std::shared_ptr<void> storage;
    // The mapped pages when the sectors come from a mapping of the image
    // file (nullptr and 0 otherwise), for atr_will_read_all.
    void *mapping = nullptr;
    std::size_t mapping_length = 0;
};

// An image of `sector_count` zeroed sectors, to fill in.
std::unique_ptr<AtrImage> atr_create(int sector_size, std::uint32_t sector_count);

void atr_free(std::unique_ptr<AtrImage> &image);

// Says that the caller is about to read (nearly) every sector: a mapped
// image file is then brought in whole in one call instead of a page fault
// for every few pages it touches.  A hint only; it does nothing for an
// image in memory, or where the system has no such advice.
void atr_will_read_all(const AtrImage &image);

// Address of sector n, or nullptr when n is 0 or beyond sector_count.
inline const std::uint8_t *atr_sector(const AtrImage &image, std::uint32_t n)
{
    if (n == 0 || n > image.sector_count)
        return nullptr;
    return image.data + std::size_t(n - 1) * std::size_t(image.sector_size);
}

// Address of `length` bytes starting at the first byte of sector n, running on
// through the following slots; nullptr unless all of them lie inside the image.
const std::uint8_t *atr_run(const AtrImage &image, std::uint32_t n, std::size_t length);

// Little-endian fields: every byte widened before it is shifted.
inline std::uint32_t le16(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}

inline std::uint32_t le24(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
}

inline std::uint32_t le32(const std::uint8_t *p)
{
    return le16(p) | le16(p + 2) << 16;
}

// The few fields stored high byte first: a PRO image's record count and
// the DOS XE dates.
inline std::uint32_t be16(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) << 8 | std::uint32_t(p[1]);
}
