#include "dos3.h"

#include "extract.h"
#include "listing.h"
#include "messages.h"
#include "names.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t dir_sector = 16;   // 8 sectors of 8 slots
constexpr std::uint32_t fat_sector = 24;
constexpr std::uint32_t data_sector = 25;  // first sector of block 0
constexpr std::uint32_t block_sectors = 8;
constexpr std::uint32_t block_bytes = 1024;
constexpr unsigned dir_slots = 64;         // slot 0 is the format marker
constexpr unsigned max_blocks = 128;       // one table byte per block in a 128-byte sector

// Table bytes other than a link (0x00-0x7F).
constexpr std::uint8_t fat_last = 0xFD;
constexpr std::uint8_t fat_free = 0xFE;
constexpr std::uint8_t fat_absent = 0xFF;

// Directory entry flags.
constexpr unsigned flag_used = 0x80;   // clear: the directory ends here
constexpr unsigned flag_exists = 0x40; // clear on a used slot: deleted
constexpr unsigned flag_open = 0x01;   // created and never closed

// The volume as sectors 16 and 24 describe it.
struct Dos3Volume {
    unsigned blocks = 0;               // N, from the format marker; blocks 0 .. N-1
    unsigned free = 0;                 // table bytes below N that mark a free block
    const std::uint8_t *fat = nullptr; // sector 24, 128 bytes
};

// Where a file's chain of blocks ends.
struct Dos3Chain {
    enum End { clean, bad_link, loop };
    unsigned blocks = 0; // blocks read, all of them within the volume
    End end = clean;
    unsigned at = 0;     // bad_link: the block whose link is bad; loop: the block reached again
};

// Whether the image is a DOS 3 volume; fills `v` when it is.  Prints nothing.
bool dos3_volume(const AtrImage &image, Dos3Volume &v)
{
    if (image.sector_size != 128)
        return false;
    const std::uint8_t *marker = atr_sector(image, dir_sector);
    const std::uint8_t *fat = atr_sector(image, fat_sector);
    if (!marker || !fat)
        return false;

    // The format marker in slot 0: 14 zero bytes, the number of blocks, 0xA5.
    // Every block it promises must lie inside the image.
    if (!std::all_of(marker, marker + 14, [](std::uint8_t b) { return b == 0; }) || marker[15] != 0xA5)
        return false;
    const unsigned n = marker[14];
    if (n < 1 || n > max_blocks || data_sector - 1 + block_sectors * n > image.sector_count)
        return false;

    // Only what DOS 3 can write into the table: a link, the end or free mark
    // below N, the absent mark from N on.  Links from N to 0x7F are let
    // through here and reported when a file uses one.
    unsigned free = 0;
    for (unsigned i = 0; i < max_blocks; i++) {
        const std::uint8_t b = fat[i];
        if (i >= n) {
            if (b != fat_absent)
                return false;
        } else if (b == fat_free) {
            free++;
        } else if (b >= 0x80 && b != fat_last) {
            return false;
        }
    }
    v.blocks = n;
    v.free = free;
    v.fat = fat;
    return true;
}

// A file's byte size from its entry: the block count (entry byte 12) and
// the length modulo 65536 (bytes 14-15).
std::uint32_t dos3_size(unsigned blocks, std::uint32_t length16)
{
    // DOS 3 rebuilds the high part from the count when it opens a file: the
    // blocks before the last (or all of them, for a length of 0 modulo
    // 65536) hold 65536 bytes per 64.  A damaged count of 0 leaves only the
    // 16-bit length.
    if (blocks == 0)
        return length16;
    const unsigned k = length16 != 0 ? blocks - 1 : blocks;
    return length16 + 65536u * (k >> 6);
}

// Follows the chain from block `first` (below N).  With `data`, appends the
// 1024 bytes of every block read.
Dos3Chain dos3_chain(const AtrImage &image, const Dos3Volume &v, unsigned first, std::vector<std::uint8_t> *data)
{
    Dos3Chain c;
    std::array<bool, max_blocks> seen{};
    unsigned b = first;
    // Every block is visited at most once, so the walk takes at most N steps.
    for (;;) {
        if (b >= v.blocks) {
            c.end = Dos3Chain::bad_link;
            return c;
        }
        if (seen[b]) {
            c.end = Dos3Chain::loop;
            c.at = b;
            return c;
        }
        seen[b] = true;
        // The volume check put every block below N inside the image.
        const std::uint8_t *p = atr_run(image, data_sector + block_sectors * b, block_bytes);
        if (!p) {
            c.end = Dos3Chain::bad_link;
            c.at = b;
            return c;
        }
        if (data)
            data->insert(data->end(), p, p + block_bytes);
        c.blocks++;
        const std::uint8_t link = v.fat[b];
        if (link == fat_last)
            return c;
        if (link >= v.blocks) {
            // A free or absent mark, a value DOS 3 never writes, or a link
            // past the last block.
            c.end = Dos3Chain::bad_link;
            c.at = b;
            return c;
        }
        b = link;
    }
}

} // namespace

int dos3_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract)
{
    Dos3Volume v;
    if (!dos3_volume(image, v))
        return 1;

    if (atari_list)
        show_out("ATR image: %s\nImage size: %u sectors of %u bytes\nDOS size: %u blocks free of %u "
                 "total\nVolume: DOS 3\n",
                 name, image.sector_count, unsigned(image.sector_size), v.free, v.blocks);
    else
        show_out("%s: %u sectors of %u bytes, DOS 3, %u blocks free of %u total.\n", name,
                 image.sector_count, unsigned(image.sector_size), v.free, v.blocks);
    if (atari_list)
        listing_heading("");

    for (unsigned slot = 1; slot < dir_slots; slot++) {
        const std::uint8_t *sec = atr_sector(image, dir_sector + slot / 8);
        if (!sec)
            break;
        const std::uint8_t *e = sec + (slot % 8) * 16;
        const unsigned flags = e[0];
        // DOS 3 keeps the used slots together from slot 1 and stops its own
        // search at the first slot it never used.
        if (!(flags & flag_used))
            break;
        if (!(flags & flag_exists))
            continue;

        const AtariName n = names_8_3(e + 1, lower_case);
        const std::string entry_path = "/" + n.host;
        if (n.host.empty()) {
            show_msg("%s: invalid file name, skip", entry_path.c_str());
            continue;
        }
        // DOS 3 itself passes over a file that was never closed: its entry
        // still holds the count and length written when it was created.
        if (flags & flag_open) {
            show_msg("%s: file left open for writing, skip", entry_path.c_str());
            continue;
        }
        const unsigned count = e[12];
        const unsigned first = e[13];
        if (first >= v.blocks) {
            show_msg("%s: invalid first block, skip", entry_path.c_str());
            continue;
        }
        const std::uint32_t size = dos3_size(count, le16(e + 14));

        std::vector<std::uint8_t> data;
        const Dos3Chain c = dos3_chain(image, v, first, extract ? &data : nullptr);
        if (c.end == Dos3Chain::bad_link)
            show_msg("%s: invalid block link at block %u", entry_path.c_str(), c.at);
        else if (c.end == Dos3Chain::loop)
            show_msg("%s: loop in block link at block %u", entry_path.c_str(), c.at);
        else if (c.blocks != count)
            show_msg("%s: file has %u blocks, its entry says %u", entry_path.c_str(), c.blocks, count);
        const std::uint32_t held = c.blocks * block_bytes;
        if (size > held)
            show_msg("%s: file is %u bytes, its blocks hold only %u", entry_path.c_str(), size, held);

        if (extract)
            extract_file(entry_path.substr(1), data.data(), std::min(size, held));
        else
            listing_entry(atari_list, n.atari, 12, size, entry_path, false);
    }

    if (atari_list)
        out_line("\n");
    return 0;
}
