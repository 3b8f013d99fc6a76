#include "dcm.h"

#include "container.h"
#include "messages.h"

#include <algorithm>
#include <cstring>
#include <vector>

// A DCM archive is what DiskComm made of one disk to send it by modem: one
// or more passes, each a 4-byte header, a list of sector blocks and the end
// code 0x45.  A block gives one sector, mostly by telling how it differs
// from the sector the block before it gave; blank sectors are left out.
//
// The decoder walks the archive twice.  The first walk finds how far the
// archive can be read, the highest sector it holds (the archive records no
// sector count) and which block gives each sector last; the second fills
// the disk of that size, copying only those last blocks into their slots.
// So nothing is allocated beyond the decoded disk, and an archive that
// rewrites a few sectors millions of times costs no more than reading it.

namespace {

// The pass information byte, byte 1 of every pass header.
constexpr std::uint8_t dcm_last_pass = 0x80; // no pass follows this one
int dcm_density(std::uint8_t info) { return (info >> 5) & 3; }
int dcm_sequence(std::uint8_t info) { return info & 0x1F; }
constexpr int dcm_dd = 1; // 256-byte sectors, 720 of them as standard
constexpr int dcm_ed = 2; // 1040 sectors of 128 bytes; the others are SD

// Bit 7 of a block's type byte: the next block gives the following sector;
// when clear, a 2-byte number naming the next block's sector follows the data.
constexpr std::uint8_t dcm_next_follows = 0x80;
constexpr int dcm_end_of_pass = 0x45;

// DiskComm lets the user set any disk size up to 9999 sectors, except in
// enhanced density, which is always 1040.
constexpr std::uint32_t dcm_max_sectors = 9999;
constexpr std::uint32_t dcm_ed_sectors = 1040;
constexpr std::uint32_t dcm_standard_sectors = 720;

bool dcm_archive_type(std::uint8_t b)
{
    return b == 0xFA || b == 0xF9; // 0xF9 is seen on the files of a split archive
}

std::uint32_t dcm_highest_sector(int density)
{
    return density == dcm_ed ? dcm_ed_sectors : dcm_max_sectors;
}

// The five bytes every archive starts with: a pass header that can be the
// first one, and a block type (0x45 is the empty archive of a blank disk).
bool dcm_signature(std::span<const std::uint8_t> file)
{
    const std::uint8_t *f = ByteCursor{file}.take(5);
    if (!f || !dcm_archive_type(f[0]))
        return false;
    const int density = dcm_density(f[1]);
    if (density == 3 || dcm_sequence(f[1]) == 0)
        return false;
    const std::uint32_t start = le16(f + 2);
    if (start == 0 || start > dcm_highest_sector(density))
        return false;
    const int type = f[4] & 0x7F;
    return type >= 0x41 && type <= 0x47;
}

// Why a walk ended before the end of the pass marked last.
enum class DcmStop {
    none,
    continues,   // a pass not marked last ends the file: the rest is in another file
    truncated,   // the file ends inside a header, a block or a sector number
    block_type,  // a type byte outside 0x41-0x47
    sector,      // a block would give sector 0 or one beyond the largest disk
    run_behind,  // a 0x43 part ends before the position it starts from
    modify_end,  // a 0x44 offset beyond the sector: its byte count is unknowable
    pass_header, // a pass header whose type byte is no archive type
    density,     // a later pass of another density than the first
};

struct DcmWalk {
    ByteCursor in; // the archive
    int density = 0;
    std::size_t size = 128; // sector size in the archive
    std::uint32_t max_sector = dcm_max_sectors;
    std::uint8_t prev[256] = {}; // the sector the last block gave, at 256 bytes

    // What the walk found.
    DcmStop stop = DcmStop::none;
    std::uint32_t stop_sector = 0; // the first sector the stop may have cost
    unsigned stop_value = 0;       // the byte, number or offset at fault
    std::uint32_t blocks = 0;      // blocks decoded completely
    bool confirmed = false;        // a clean block type followed the first block
    std::uint32_t highest = 0;     // highest sector given
    DamageTally clipped_begin; // 0x41 blocks reaching past a 128-byte sector, by sector
    DamageTally clipped_runs;  // 0x43 parts reaching past a 128-byte sector, by sector

    // By sector number: the ordinal (from 1) of the last block that gives
    // it, 0 when none does.  The first walk fills it, the second reads it.
    std::vector<std::uint32_t> last_block;
    AtrImage *disk = nullptr; // the second walk's output

    bool halt(DcmStop why, std::uint32_t sector, unsigned value = 0)
    {
        stop = why;
        stop_sector = sector;
        stop_value = value;
        return false;
    }
};

// 0x43: the sector from left to right in parts that alternate, a literal
// part (end offset, then the bytes up to it) and a run (end offset, value).
// An end of 0 means 256, except as the very first byte, where it is an
// empty literal part.  Parts reaching past a 128-byte sector are read in
// full and clipped.
bool dcm_compressed(DcmWalk &w, std::uint32_t sector)
{
    std::size_t i = 0;
    bool clipped = false;
    for (bool literal = true; i < w.size; literal = !literal) {
        const std::uint8_t *e = w.in.take(1);
        if (!e)
            return w.halt(DcmStop::truncated, sector);
        std::size_t end = e[0] ? e[0] : (literal && i == 0 ? 0 : 256);
        if (end < i)
            return w.halt(DcmStop::run_behind, sector);
        const std::size_t kept = std::min(end, w.size);
        if (end > w.size)
            clipped = true;
        if (literal) {
            const std::uint8_t *p = w.in.take(end - i);
            if (!p)
                return w.halt(DcmStop::truncated, sector);
            if (kept > i)
                std::memcpy(w.prev + i, p, kept - i);
        } else {
            const std::uint8_t *v = w.in.take(1);
            if (!v)
                return w.halt(DcmStop::truncated, sector);
            if (kept > i)
                std::memset(w.prev + i, v[0], kept - i);
        }
        i = end;
    }
    if (clipped)
        w.clipped_runs.add(sector);
    return true;
}

// Applies the block of type `code` (0x41-0x47, not 0x45) to the previous
// sector, which becomes the sector the block gives.  False when the block
// is cut short or breaks the rules: the walk then stops, and the half-made
// sector is never stored.
bool dcm_block(DcmWalk &w, int code, std::uint32_t sector)
{
    const std::size_t s = w.size;
    const std::uint8_t *p;
    switch (code) {
    case 0x41: { // bytes k down to 0 replaced, the data stored backwards
        if (!(p = w.in.take(1)))
            return w.halt(DcmStop::truncated, sector);
        const std::size_t k = p[0];
        if (!(p = w.in.take(k + 1)))
            return w.halt(DcmStop::truncated, sector);
        if (k >= s) // only a 128-byte sector can be overrun
            w.clipped_begin.add(sector);
        for (std::size_t j = 0; j <= k; j++)
            if (k - j < s)
                w.prev[k - j] = p[j];
        return true;
    }
    case 0x42: // a DOS sector: 124 bytes of one value, then the last four
        if (!(p = w.in.take(5)))
            return w.halt(DcmStop::truncated, sector);
        std::memset(w.prev, p[0], 124);
        std::memcpy(w.prev + 124, p + 1, 4);
        return true;
    case 0x43:
        return dcm_compressed(w, sector);
    case 0x44: { // bytes k to the end replaced
        if (!(p = w.in.take(1)))
            return w.halt(DcmStop::truncated, sector);
        const std::size_t k = p[0];
        if (k > s)
            return w.halt(DcmStop::modify_end, sector, unsigned(k));
        if (!(p = w.in.take(s - k)))
            return w.halt(DcmStop::truncated, sector);
        std::memcpy(w.prev + k, p, s - k);
        return true;
    }
    case 0x46: // the same as the previous sector
        return true;
    default: // 0x47, the sector uncompressed
        if (!(p = w.in.take(s)))
            return w.halt(DcmStop::truncated, sector);
        std::memcpy(w.prev, p, s);
        return true;
    }
}

// The sector a block gave goes into the disk on the second walk, and only
// from the block that gives it last.  Double-density sectors 1-3 are coded
// at 256 bytes, but only their first 128 exist on the disk; they go into the
// front of their slots, as the ATR loader leaves them.
void dcm_store(DcmWalk &w, std::uint32_t sector)
{
    if (!w.disk) {
        w.last_block[sector] = w.blocks;
        w.highest = std::max(w.highest, sector);
        return;
    }
    if (w.last_block[sector] != w.blocks)
        return;
    const std::size_t s = w.size;
    std::uint8_t *slot = w.disk->data + std::size_t(sector - 1) * s;
    std::memcpy(slot, w.prev, s == 256 && sector <= 3 ? 128 : s);
}

// A file of a split archive that travelled by modem or BBS may be padded
// after its pass, to a multiple of 128 bytes, with 0x1A or 0x00.
bool dcm_padding(std::span<const std::uint8_t> rest)
{
    if (rest.size() >= 128)
        return false;
    return std::all_of(rest.begin(), rest.end(), [&](std::uint8_t b) { return b == rest[0]; }) &&
           (rest[0] == 0x1A || rest[0] == 0x00);
}

// One walk over the archive, from its first pass header to the end code of
// the pass marked last, or to the first damage.  Bytes after that are
// padding and ignored.  Bounded: every step consumes at least one byte.
void dcm_walk(DcmWalk &w)
{
    std::uint32_t reached = 1; // the first sector not yet passed
    for (bool first = true;; first = false) {
        if (!first && (w.in.remaining() == 0 || dcm_padding(w.in.rest()))) {
            w.halt(DcmStop::continues, reached);
            return;
        }
        const std::uint8_t *h = w.in.take(4);
        if (!h) {
            w.halt(DcmStop::truncated, reached);
            return;
        }
        if (!dcm_archive_type(h[0])) {
            w.halt(DcmStop::pass_header, reached, h[0]);
            return;
        }
        if (dcm_density(h[1]) != w.density) {
            w.halt(DcmStop::density, reached);
            return;
        }
        std::uint32_t sector = le16(h + 2); // the sector the next block gives
        if (sector >= 1 && sector <= w.max_sector)
            reached = sector;
        for (;;) {
            const std::uint8_t *t = w.in.take(1);
            if (!t) {
                w.halt(DcmStop::truncated, reached);
                return;
            }
            const int code = t[0] & 0x7F;
            if (code == dcm_end_of_pass) // 0xC5 too, which DiskComm never writes
                break;
            if (code < 0x41 || code > 0x47) {
                w.halt(DcmStop::block_type, reached, t[0]);
                return;
            }
            if (w.blocks)
                w.confirmed = true;
            if (sector == 0 || sector > w.max_sector) {
                w.halt(DcmStop::sector, reached, sector);
                return;
            }
            if (!dcm_block(w, code, sector))
                return;
            ++w.blocks;
            dcm_store(w, sector);
            reached = sector + 1;
            if (t[0] & dcm_next_follows) {
                ++sector;
            } else {
                // The number after the last block of a pass is never used:
                // DiskComm ends every archive with 45 00 45.
                const std::uint8_t *n = w.in.take(2);
                if (!n) {
                    w.halt(DcmStop::truncated, reached);
                    return;
                }
                sector = le16(n);
            }
        }
        if (w.blocks)
            w.confirmed = true;
        if (h[1] & dcm_last_pass)
            return;
    }
}

DcmWalk dcm_start(std::span<const std::uint8_t> file)
{
    DcmWalk w;
    w.in.bytes = file;
    w.density = dcm_density(file[1]);
    w.size = w.density == dcm_dd ? 256 : 128;
    w.max_sector = dcm_highest_sector(w.density);
    return w;
}

const char *dcm_stop_cause(const DcmWalk &w, char *buf, std::size_t len)
{
    switch (w.stop) {
    case DcmStop::continues:
        return "archive continues in another file";
    case DcmStop::truncated:
        return "archive truncated";
    case DcmStop::block_type:
        std::snprintf(buf, len, "unknown block type 0x%02X", w.stop_value);
        return buf;
    case DcmStop::sector:
        std::snprintf(buf, len, "sector number %u out of range", w.stop_value);
        return buf;
    case DcmStop::run_behind:
        return "compressed sector going backwards";
    case DcmStop::modify_end:
        std::snprintf(buf, len, "block 0x44 offset %u past the sector end", w.stop_value);
        return buf;
    case DcmStop::pass_header:
        std::snprintf(buf, len, "bad pass header 0x%02X", w.stop_value);
        return buf;
    case DcmStop::density:
        return "pass of another density";
    case DcmStop::none:
        break;
    }
    return nullptr;
}


// The damage and what the archive lacks, one line for each kind.
void dcm_report(const DcmWalk &w, const AtrImage &disk, const char *name)
{
    const int sequence = dcm_sequence(w.in.bytes[1]);
    if (sequence != 1)
        show_msg("%s: DCM archive starts at pass %d, the passes before it are in other files", name,
                 sequence);
    if (const DamageTally &t = w.clipped_begin; t.count)
        show_msg("%s: DCM block 0x41 offset past the sector end, clipped in %u sector%s (first %u)", name,
                 t.count, plural(t.count), unsigned(t.first));
    if (const DamageTally &t = w.clipped_runs; t.count)
        show_msg("%s: DCM compressed data past the sector end, clipped in %u sector%s (first %u)", name,
                 t.count, plural(t.count), unsigned(t.first));
    char buf[64];
    if (const char *cause = dcm_stop_cause(w, buf, sizeof buf)) {
        // The sectors from the stop on that the archive did not give: they
        // read as zeros, and some of them may have held data.
        std::uint32_t zeros = 0;
        for (std::uint32_t n = w.stop_sector; n <= disk.sector_count; n++)
            zeros += w.last_block[n] == 0;
        show_msg("%s: DCM %s, %u sector%s from sector %u on read as zeros", name, cause, zeros,
                 plural(zeros), w.stop_sector);
    }
}

} // namespace

std::unique_ptr<AtrImage> dcm_decode(std::span<const std::uint8_t> file, const char *name)
{
    if (!dcm_signature(file))
        return nullptr;
    DcmWalk scan = dcm_start(file);
    scan.last_block.assign(scan.max_sector + 1, 0);
    dcm_walk(scan);

    // Five signature bytes are easily met by chance.  A file is taken as an
    // archive only when a first block decodes and a clean block type or end
    // code follows it, or when it is the empty archive of a blank disk.
    const bool damaged = scan.stop != DcmStop::none && scan.stop != DcmStop::continues;
    if ((damaged && !scan.confirmed) || (scan.blocks == 0 && scan.stop != DcmStop::none))
        return nullptr;

    // The archive does not record the sector count: blank sectors at the
    // end of a disk are simply not there.  The disk is the standard size
    // of its density, or larger when the archive holds higher sectors.
    const std::uint32_t standard = scan.density == dcm_ed ? dcm_ed_sectors : dcm_standard_sectors;
    std::unique_ptr<AtrImage> disk = atr_create(int(scan.size), std::max(standard, scan.highest));

    DcmWalk fill = dcm_start(file);
    fill.last_block = std::move(scan.last_block);
    fill.disk = disk.get();
    dcm_walk(fill);
    dcm_report(fill, *disk, name);
    return disk;
}
