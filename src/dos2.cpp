#include "dos2.h"

#include "extract.h"
#include "listing.h"
#include "messages.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t vtoc_sector = 360;
constexpr std::uint32_t root_sector = 361;

// DOS 2.5 counts the free sectors of its enhanced-density area, 720 to
// 1023, apart from the VTOC's count of those below 720: in bytes 122-123
// of sector 1024, the second bitmap sector.
constexpr std::uint32_t dos25_vtoc2_sector = 1024;
constexpr std::size_t dos25_free_high = 122;

// The VTOC fields, decoded once.
struct Vtoc {
    unsigned code;
    unsigned total;
    unsigned free;
    unsigned map0;   // bitmap of sectors 0-7, bit 7 = sector 0; a set bit is free
    unsigned map360; // bitmap of sectors 360-367, bit 7 = the VTOC itself
};

bool all_zero(const std::uint8_t *p, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++)
        if (p[i])
            return false;
    return true;
}

// The sector that holds entry `index` of the directory that starts in
// `first`; `upper` tells whether the entry lies in the sector's second
// 128 bytes (Bibo-DOS).
std::uint32_t dir_entry_sector(const Dos2Walk &walk, std::uint32_t first, std::uint32_t index, bool &upper)
{
    upper = false;
    const std::uint32_t g = walk.dir_group;
    if (g != 0) {
        // LiteDOS: the directory runs upward from its first sector and wraps
        // around inside the aligned group of g sectors that holds it.
        return (first - first % g) + (first + index / 8) % g;
    }
    if (walk.bibo) {
        upper = index % 16 >= 8;
        return first + index / 16;
    }
    return first + index / 8;
}

} // namespace

AtariName dos2_name(const std::uint8_t *raw, int lower_case)
{
    return names_8_3(raw, lower_case);
}

int dos2_is_bibo(const AtrImage &image, std::uint32_t sector)
{
    const std::uint8_t *sec = atr_sector(image, sector);
    if (!sec || image.sector_size < 256)
        return 0;
    for (int slot = 0; slot < 16; slot++) {
        const std::uint8_t *e = sec + slot * 16;
        unsigned flags = e[0];
        if (flags == 0)
            return 0;
        if ((flags & 0xC1) == 0 || flags == 0xFF)
            continue;
        std::uint32_t count = le16(e + 1);
        std::uint32_t start = le16(e + 3);
        if (count == 0 || start == 0)
            continue;
        // A plausible file entry in the second half of the sector, where the
        // other members keep nothing.
        if (start <= image.sector_count && count + 12 <= image.sector_count && slot >= 8)
            return 1;
    }
    return 0;
}

const std::uint8_t *dos2_dir_block(const Dos2Walk &walk, std::uint32_t first, std::uint32_t index)
{
    bool upper;
    const std::uint8_t *sec = atr_sector(*walk.image, dir_entry_sector(walk, first, index, upper));
    return sec && upper ? sec + 128 : sec;
}

namespace {

// How the sectors of a file carry their byte count and link.
enum SectorForm { wide_links, counted, dos1 };

SectorForm sector_form(const AtrImage &img, unsigned flags)
{
    if ((flags & 0x04) && img.sector_count > 1022)
        return wide_links;
    if (flags & 0x06)
        return counted;
    return dos1;
}

// One sector of a chain, read by the sector form: the data bytes it counts
// and the next sector, 0 when the chain ends with it.
struct ChainStep {
    std::uint32_t bytes;
    std::uint32_t next;
};

template <SectorForm form> ChainStep chain_step_as(const std::uint8_t *sec, std::uint32_t s)
{
    const std::uint8_t last = sec[s - 1];
    if constexpr (form == wide_links)
        return {last, std::uint32_t(sec[s - 3]) << 8 | sec[s - 2]};
    const std::uint32_t link10 = std::uint32_t(sec[s - 3] & 0x03) << 8 | sec[s - 2];
    if constexpr (form == counted)
        return {last, link10};
    // DOS 1: the last sector of a file carries its byte count; on a disk of
    // 256-byte sectors a full sector ends the chain.
    if (last & 0x80)
        return {std::uint32_t(last & 0x7F), link10};
    return {s - 3, s == 128 ? link10 : 0};
}

ChainStep chain_step(const std::uint8_t *sec, std::uint32_t s, SectorForm form)
{
    switch (form) {
    case wide_links:
        return chain_step_as<wide_links>(sec, s);
    case counted:
        return chain_step_as<counted>(sec, s);
    default:
        return chain_step_as<dos1>(sec, s);
    }
}

// How many sectors ahead of the one a chain reads its link is prefetched.
constexpr std::uint32_t chain_prefetch = 32;

// A sector a chain may pass: 2 or more, and in the image.
const std::uint8_t *chain_sector(const AtrImage &img, std::uint32_t n)
{
    return n > 1 ? atr_sector(img, n) : nullptr;
}

// The chain from `start` on while no two walks have met: it is followed
// keeping nothing but the bit of each sector it passes (memo's `passed`),
// and its bytes are summed on the way.  When it comes to a sector passed
// before, that is a loop if the sector is one of its own; if not, walks
// have met, and the memo is activated for remembered_chain to follow it
// again.  The result is then of no use.
template <SectorForm form> Dos2Chain first_walk(const AtrImage &img, ChainMemo<Dos2Chain> &memo, std::uint32_t start)
{
    const std::uint32_t s = std::uint32_t(img.sector_size);
    // Chains link 16-bit sector numbers: no higher one is passed.
    const std::uint32_t top = std::min<std::uint32_t>(img.sector_count, 65535);
    std::uint64_t *passed = memo.passed_bits(std::size_t(top) + 1);
    std::uint32_t length = 0;
    std::uint32_t steps = 0;
    std::uint32_t cur = start;
    for (;; steps++) {
        if (cur < 2 || cur > top)
            return {length, 0, Dos2Chain::bad_link, steps > 0};
        const std::uint8_t *sec = img.data + std::size_t(cur - 1) * s;
        std::uint64_t &word = passed[cur / 64];
        const std::uint64_t bit = std::uint64_t(1) << (cur % 64);
        if (word & bit)
            break;
        word |= bit;
        // Files mostly run on in the next sectors: ask for the link a page
        // or so ahead while this one is read.
        if (cur + chain_prefetch <= top)
            __builtin_prefetch(sec + std::size_t(chain_prefetch) * s + s - 1);
        const ChainStep step = chain_step_as<form>(sec, s);
        length += step.bytes;
        if (step.next == 0)
            return {length, 0, Dos2Chain::clean, true};
        cur = step.next;
    }
    std::uint32_t again = start;
    for (std::uint32_t i = 0; i < steps; i++) {
        if (again == cur)
            return {length, std::uint16_t(cur), Dos2Chain::loop, true};
        const std::uint8_t *sec = chain_sector(img, again);
        if (!sec)
            break;
        again = chain_step_as<form>(sec, s).next;
    }
    memo.activate(std::size_t(top) + 1);
    return {};
}

// The chain from `start` on, from the walk's remembered results.  The
// sectors not yet known are followed once, until the chain ends, breaks,
// comes back to a sector it has passed, or reaches a known sector; then
// every one of them is remembered: a sector on a loop gives the loop's
// bytes and is itself the sector met again, every other sector gives its
// own bytes and what its successor gives.  That is exactly what following
// the chain from that sector with a fresh record of sectors passed gives.
Dos2Chain remembered_chain(Dos2Walk &walk, SectorForm form, std::uint32_t start)
{
    const AtrImage &img = *walk.image;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    ChainMemo<Dos2Chain> &memo = walk.chains[form];

    if (!memo.active) {
        Dos2Chain c;
        switch (form) {
        case wide_links:
            c = first_walk<wide_links>(img, memo, start);
            break;
        case counted:
            c = first_walk<counted>(img, memo, start);
            break;
        default:
            c = first_walk<dos1>(img, memo, start);
            break;
        }
        if (!memo.active)
            return c;
    }

    struct Pending {
        std::uint32_t sector;
        std::uint32_t bytes;
    };
    static thread_local std::vector<Pending> pending;
    pending.clear();
    walk.chain_marks.new_chain();
    Dos2Chain rest; // what the chain gives after the pending sectors
    for (std::uint32_t cur = start;;) {
        const std::uint8_t *sec = chain_sector(img, cur);
        if (!sec) {
            rest.end = Dos2Chain::bad_link;
            break;
        }
        if (memo.known[cur].known) {
            rest = memo.known[cur];
            break;
        }
        if (walk.chain_marks.passed(cur)) {
            // A loop: from where `cur` stands among the pending sectors on.
            std::size_t k = pending.size();
            while (pending[k - 1].sector != cur)
                k--;
            std::uint32_t loop_bytes = 0;
            for (std::size_t i = k - 1; i < pending.size(); i++)
                loop_bytes += pending[i].bytes;
            for (std::size_t i = k - 1; i < pending.size(); i++)
                memo.known[pending[i].sector] = {loop_bytes, std::uint16_t(pending[i].sector), Dos2Chain::loop,
                                                 true};
            pending.resize(k - 1);
            rest = {loop_bytes, std::uint16_t(cur), Dos2Chain::loop, true};
            break;
        }
        const ChainStep step = chain_step(sec, s, form);
        pending.push_back({cur, step.bytes});
        if (step.next == 0)
            break;
        cur = step.next;
    }
    for (std::size_t i = pending.size(); i-- > 0;) {
        rest.length += pending[i].bytes;
        rest.known = true;
        memo.known[pending[i].sector] = rest;
    }
    return rest;
}

// Follows the chain from `start`, appending its bytes to `data`: what each
// sector counts, from its data area and as zeros beyond it, so that a
// damaged count never takes the link bytes or the next sector.
Dos2Chain gather_chain(Dos2Walk &walk, SectorForm form, std::uint32_t start, std::vector<std::uint8_t> &data,
                       const std::string &entry_path)
{
    const AtrImage &img = *walk.image;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::uint32_t data_area = s - 3;
    Dos2Chain c;
    walk.chain_marks.new_chain();
    for (std::uint32_t cur = start;;) {
        const std::uint8_t *sec = chain_sector(img, cur);
        if (!sec) {
            c.end = Dos2Chain::bad_link;
            return c;
        }
        if (walk.chain_marks.passed(cur)) {
            c.end = Dos2Chain::loop;
            c.at = std::uint16_t(cur);
            return c;
        }
        if (walk.steps_left == 0) {
            show_msg("%s: too many sectors shared between files, not read", entry_path.c_str());
            return c;
        }
        walk.steps_left--;
        const ChainStep step = chain_step(sec, s, form);
        const std::uint32_t from_disk = std::min(step.bytes, data_area);
        data.insert(data.end(), sec, sec + from_disk);
        data.insert(data.end(), step.bytes - from_disk, 0);
        c.length += step.bytes;
        if (step.next == 0)
            return c;
        cur = step.next;
    }
}

} // namespace

Dos2File dos2_read_file(Dos2Walk &walk, unsigned flags, std::uint32_t count, std::uint32_t start,
                        std::vector<std::uint8_t> *data, const std::string &entry_path)
{
    Dos2File f;
    f.capacity = count * std::uint32_t(walk.image->sector_size);
    if (data)
        data->clear();
    if (count == 0)
        return f;

    const SectorForm form = sector_form(*walk.image, flags);
    const Dos2Chain c = data ? gather_chain(walk, form, start, *data, entry_path)
                             : remembered_chain(walk, form, start);
    if (c.end == Dos2Chain::bad_link)
        show_msg("invalid sector link");
    else if (c.end == Dos2Chain::loop)
        show_msg("loop in sector link at sector %d", int(c.at));
    f.length = c.length;
    return f;
}

namespace {

// Claims for the directory at `first` the sectors that hold the entries a
// walk of it examines: up to its last entry, or the entry that ends it.
bool claim_dir(Dos2Walk &walk, std::uint32_t first, const std::string &entry_path)
{
    const std::uint32_t claim = walk_guard_new_claim(walk.guard);
    const std::uint32_t entries = walk.dir_entries > 0 ? std::uint32_t(walk.dir_entries) : 0;
    for (std::uint32_t i = 0; i < entries; i++) {
        const std::uint8_t *block = dos2_dir_block(walk, first, i);
        if (!block)
            break;
        bool upper;
        if (!walk_guard_claim(walk.guard, claim, dir_entry_sector(walk, first, i, upper), entry_path.c_str()))
            return false;
        if (block[(i % 8) * 16] == 0)
            break;
    }
    return true;
}

// Walks the subdirectory at `first` unless the guard refuses it.
void walk_subdir(Dos2Walk &walk, std::uint32_t first, const std::string &entry_path)
{
    if (walk_guard_allows(walk.guard, first, entry_path.c_str()) && claim_dir(walk, first, entry_path))
        dos2_list_dir(walk, first, entry_path);
}

} // namespace

void dos2_list_dir(Dos2Walk &walk, std::uint32_t first, const std::string &path)
{
    const AtrImage &img = *walk.image;
    WalkScope scope(walk.guard, first);

    if (walk.atari_list)
        listing_heading(path);

    std::vector<ListingSubdir> later; // Atari style: walked after this directory's lines
    // Each entry's path: this directory's path and a slash, then its name.
    std::string entry_path = path + '/';
    const std::size_t dir_part = entry_path.size();
    const std::uint32_t entries = walk.dir_entries > 0 ? std::uint32_t(walk.dir_entries) : 0;
    for (std::uint32_t i = 0; i < entries; i++) {
        const std::uint8_t *block = dos2_dir_block(walk, first, i);
        if (!block)
            break;
        const std::uint8_t *e = block + (i % 8) * 16;
        const unsigned flags = e[0];
        if (flags == 0)
            break;
        if (flags & 0x80)
            continue;

        const AtariName name = dos2_name(e + 5, walk.lower_case);
        if (name.host.empty()) {
            show_msg("%s: invalid file name, skip", path.c_str());
            continue;
        }
        const std::uint32_t count = le16(e + 1);
        const std::uint32_t start = le16(e + 3);
        if (start == 0 || start == 1) {
            show_msg("%s: invalid file sector, skip", path.c_str());
            continue;
        }
        entry_path.resize(dir_part);
        entry_path += name.host;

        if (flags == 0x10) {
            if (walk.atari_list) {
                listing_entry(1, name.atari, 12, 0, entry_path, true);
                later.push_back({entry_path, start, 0});
                continue;
            }
            if (walk.extract)
                extract_dir(entry_path.substr(1));
            else
                listing_entry(0, name.atari, 12, count * std::uint32_t(img.sector_size), entry_path, true);
            walk_subdir(walk, start, entry_path);
        } else if (flags & 0x41) {
            // A listing needs only the length and the chain's reports;
            // extraction gathers the bytes too.
            std::vector<std::uint8_t> *data = walk.extract ? &walk.file_data : nullptr;
            const Dos2File f = dos2_read_file(walk, flags, count, start, data, entry_path);
            if (f.length > f.capacity)
                show_msg("%s: file too long in disk", entry_path.c_str());
            if (walk.extract)
                extract_file(entry_path.substr(1), data->data(), data->size());
            else
                listing_entry(walk.atari_list, name.atari, 12, f.length, entry_path, false);
        } else {
            show_msg("%s: invalid file type %02x", entry_path.c_str(), flags);
        }
    }

    if (walk.atari_list)
        listing_close_dir(later, walk.guard, [&](const ListingSubdir &sub) {
            if (claim_dir(walk, sub.first, sub.path))
                dos2_list_dir(walk, sub.first, sub.path);
        });
}

int dos2_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract)
{
    const std::uint8_t *sec = atr_sector(image, vtoc_sector);
    if (!sec)
        return 1;

    Vtoc v{sec[0], le16(sec + 1), le16(sec + 3), sec[10], sec[55]};
    const std::uint32_t n = image.sector_count;
    const int s = image.sector_size;

    // The code a large MyDOS volume writes: it grows with the bitmap.
    unsigned expected = 2;
    if ((s == 128 && n >= 944) || (s == 256 && n >= 1024))
        expected = (n / 8 + 266) / 256 + 2;

    auto walk = std::make_unique<Dos2Walk>();
    const char *qualifier = "";

    if (v.code >= 0x80) {
        // LiteDOS signs its VTOC and keeps the free count further up.
        if (std::memcmp(sec + 3, "LiteDOS", 7) != 0)
            return 1;
        v.free = le16(sec + 113);
        unsigned k = v.code & 0x7F;
        walk->dir_entries = int(8 * k);
        walk->dir_group = k + 1;
    } else if (v.code >= 0x40) {
        if (!all_zero(sec + 5, 5) || (v.map0 & 0x80))
            return 1;
        unsigned k = v.code & 0x3F;
        walk->dir_group = 2 * (k + 1);
        walk->dir_entries = int(16 * (k + 1) - 8);
    } else {
        if (v.code == 0) {
            // A VTOC without its code: believed only when it looks like a
            // freshly written DOS 1 or DOS 2 single- or double-density disk.
            if (v.map0 >= 64 || v.map360 >= 64 || !all_zero(sec + 5, 5) || n > 720 ||
                v.total < v.free || (v.total != 707 && v.total != 708 && v.total != 709))
                return 1;
            v.code = (v.total == 709) ? 1 : 2;
            qualifier = " (with bad signature)";
        }
        if (v.code == 3 && expected == 2) {
            // MyDOS-like systems that write code 3 on standard disks.
            if ((v.total == 707 && s == 128) || (v.total == 708 && s == 256)) {
                expected = 3;
                qualifier = " (with bad signature)";
            }
        }
        if (v.code == 2 && *qualifier == 0 && v.total >= v.free && v.map0 > 15 &&
            (v.total == 707 || v.total == 708)) {
            // Boot sectors marked free: a damaged bitmap on a standard disk.
            v.map0 &= 0x0F;
            v.map360 = 0x7F;
            qualifier = " (with bad VTOC)";
        }
        if (v.code == 1) {
            if (s != 128 || n > 720)
                return 1;
        } else if (v.code == 2) {
            if (n > 1120)
                return 1;
        } else if (v.code != expected) {
            return 1;
        }
        if (v.map0 & 0x80)
            return 1;
        if ((v.map0 & 0x40) || (v.code == 2 && (v.map0 & 0x30)) || (v.map360 & 0x80)) {
            show_msg("%s: invalid DOS file system, bitmap not ok.", name);
            return 1;
        }
        walk->dir_entries = 64;
        walk->dir_group = 0;
    }

    // DOS 2.5 keeps the free sectors from 720 on apart; its volume's free
    // count is the sum of both.
    if (v.code == 2 && n >= 944 && s == 128)
        if (const std::uint8_t *vtoc2 = atr_sector(image, dos25_vtoc2_sector))
            v.free += le16(vtoc2 + dos25_free_high);

    if (n < v.total)
        show_msg("%s: DOS sectors (%d) more than ATR image (%d).", name, int(v.total), int(n));
    if (v.total < v.free)
        show_msg("%s: DOS free sectors more than allocated.", name);

    const char *member;
    if (v.code == 2 && n >= 944)
        member = "DOS 2.5";
    else if (v.code == 2 && s == 128)
        member = "DOS 2.0s";
    else if (v.code == 2)
        member = "DOS 2.0D";
    else if (v.code >= 0x80)
        member = "LiteDOS";
    else if (v.code >= 0x40)
        member = "LiteDOS-SE";
    else if (v.code == 1)
        member = "DOS 1";
    else
        member = "MyDOS";

    if (walk->dir_group == 0 && s == 256 && dos2_is_bibo(image, root_sector)) {
        member = "Bibo-DOS";
        walk->bibo = 1;
    }

    if (atari_list)
        show_out("ATR image: %s\nImage size: %u sectors of %u bytes\nDOS size: %u sectors free of %u "
                 "total\nVolume: %s%s\n",
                 name, n, unsigned(s), v.free, v.total, member, qualifier);
    else
        show_out("%s: %u sectors of %u bytes, %s%s, %d sectors free of %d total.\n", name, n,
                 unsigned(s), member, qualifier, int(v.free), int(v.total));

    walk->image = &image;
    // Chains link 16-bit sector numbers, and only sectors the image has are marked.
    walk->chain_marks = SectorMarks(std::min<std::size_t>(n, 65535) + 1);
    walk->atari_list = atari_list;
    walk->lower_case = lower_case;
    walk->extract = extract;
    claim_dir(*walk, root_sector, "");
    dos2_list_dir(*walk, root_sector, "");
    return 0;
}
