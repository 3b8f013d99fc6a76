// Listing lines on the output stream, shared by every layout.
//
// A large disk prints thousands of lines, so the per-entry lines are
// assembled without printf; each gives exactly the bytes of the printf
// format in its comment.
#pragma once

#include "walkguard.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The pieces, each writing at `p` what the conversion in its comment makes
// of the value and returning the end of what it wrote; the caller provides
// the room (width, or the digits or text when longer).
char *out_u(char *p, std::uint32_t value, int width);   // "%<width>u"
char *out_02d(char *p, int value);                       // "%02d", 0 <= value <= 255
char *out_s(char *p, std::string_view text, int width); // "%-<width>s"
void out_line(std::string_view line);                    // to msg_out

// "Directory of %s\n\n", the root's empty path shown as "/".
void listing_heading(const std::string &dir_path);

// One entry of a listing without dates.  Atari style: "%-<width>s %7u\n"
// for a file and "%-<width>s  <DIR>\n" for a directory; host style:
// "%8u\t\t%s\n" for a file and "%8u\t\t%s/\n" for a directory.
void listing_entry(int atari_list, std::string_view atari_name, int width, std::uint32_t size,
                   std::string_view path, bool dir);

// One SpartaDOS entry with its date bytes (day, month, year, hour, minute,
// second).  Atari style: "%-12s %7u %02d-%02d-%02d %02d:%02d\n" for a file,
// "%-12s  <DIR>  %02d-%02d-%02d %02d:%02d\n" for a directory; host style:
// "%8u\t%02d-%02d-%02d %02d:%02d:%02d\t%s\n", with "/" after a directory's path.
// The path shown is `path` followed by `name`.
void listing_dated_entry(int atari_list, std::string_view atari_name, std::uint32_t size,
                         const std::uint8_t *date, std::string_view path, bool dir,
                         std::string_view name = {});

// A subdirectory that the Atari-style listing walks after its parent's
// block: its entry path and what the walk needs to find it.
struct ListingSubdir {
    std::string path;
    std::uint32_t first = 0; // first sector, map sector or cluster
    std::uint32_t owner = 0; // DOS XE: the directory's file number
};

// Ends a directory's block in the Atari style: the closing blank line,
// then, in directory order, the blocks of the subdirectories it listed,
// each walked by `walk` unless the guard refuses it.
template <class Walk>
void listing_close_dir(const std::vector<ListingSubdir> &subdirs, WalkGuard &guard, Walk walk)
{
    out_line("\n");
    for (const ListingSubdir &sub : subdirs)
        if (walk_guard_allows(guard, sub.first, sub.path.c_str()))
            walk(sub);
}
