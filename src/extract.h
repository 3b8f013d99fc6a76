// Writing extracted directories and files to the host.
//
// Paths are relative to the working directory that the driver has set, with
// "/" between levels, as the handlers form them; on Windows each level is
// turned into a name that system accepts just before the host call, while
// the echo lines and messages show the paths as given.  The echo line goes
// to the error stream first, so the name shows even when the step after it
// fails; every host failure is fatal.
#pragma once

#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The most one run writes for an image file of `image_size` bytes: 16 times
// its size, at least 64 MiB.  No honest disk comes near it (a disk's files
// cannot hold more than its sectors, each file once), while a damaged or
// hostile one whose files share sectors or repeat a map of holes could
// otherwise ask for gigabytes.
std::uint64_t extract_budget(std::uint64_t image_size);

// Starts the extraction of one image: its name for the messages and the
// bytes its files may take, counted by their lengths (holes included).
// Until this is called the budget is that of an empty image file.
void extract_set_budget(const char *image_name, std::uint64_t bytes);

// Forgets what an earlier run wrote: the files and directories it created
// and the bytes it spent.  Called before each image is offered to the
// handlers.
void extract_reset();

// Makes sure a directory exists at `path`; an existing directory is reused.
void extract_dir(const std::string &path);

// Creates a new file at `path` holding exactly `length` bytes of `data`, and
// returns the path it was written under.  Anything that was at the path
// before this run, a dangling symbolic link included, is fatal and never
// overwritten or followed.  A path that this run's own earlier files or
// directories took (two entries of one name, or names that differ only in
// case on a host that ignores case) is reported and the file goes to the
// first free path of `path` followed by ".2", ".3", ...  Runs of zero bytes
// are left as holes.  Past the budget the run stops with a fatal error.
std::string extract_file(const std::string &path, const std::uint8_t *data, std::size_t length);

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
