// Writing extracted directories and files to the host.
//
// Paths are relative to the working directory that the driver has set.  The
// echo line goes to the error stream first, so the name shows even when the
// step after it fails; every host failure is fatal.
#pragma once

#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Makes sure a directory exists at `path`; an existing directory is reused.
void extract_dir(const std::string &path);

// Creates a new file at `path` holding exactly `length` bytes of `data`.
// Anything already at the path, a dangling symbolic link included, is fatal
// and never overwritten or followed.
void extract_file(const std::string &path, const std::uint8_t *data, std::size_t length);

// Stamps `path` with a SpartaDOS date and time read as local time: year bytes
// 84-99 are 1984-1999, 0-83 are 2000-2083, above 99 are 1900 + value.
// Failures are ignored.
void set_file_time(const std::string &path, int day, int month, int year, int hour, int minute,
                   int second);

// A buffer that one walk reuses for every file it extracts: it grows to the
// largest file and is never zeroed, so extracting many files costs one
// allocation and the pages of the largest.
struct ReusedBuffer {
    CBuffer bytes;
    std::size_t size = 0;
};

// At least `size` bytes of `buffer`, of no particular content.
inline unsigned char *reused_buffer(ReusedBuffer &buffer, std::size_t size)
{
    if (size > buffer.size || !buffer.bytes) {
        buffer.bytes.reset();
        buffer.bytes = check_buffer(size, false);
        buffer.size = size;
    }
    return buffer.bytes.get();
}
