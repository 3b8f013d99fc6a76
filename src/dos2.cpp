#include "dos2.h"

#include "extract.h"
#include "messages.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t vtoc_sector = 360;
constexpr std::uint32_t root_sector = 361;

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

// A name byte as it goes into both names; 0 for a blank, which the host name
// drops and the Atari-style name keeps as a blank.
char dos2_char(std::uint8_t b, int lower_case)
{
    // Inverse-video letters and digits show as their plain selves.
    if ((b >= 0xC1 && b <= 0xDA) || (b >= 0xE1 && b <= 0xFA) || (b >= 0xB0 && b <= 0xB9))
        b &= 0x7F;
    if (b == 0x20)
        return 0;
    if (lower_case && b >= 'A' && b <= 'Z')
        return char(b + 0x20);
    if (b < 0x20 || b > 0x7A || b == '.' || b == '/' || b == '?' || b == '\\' || b == '`')
        return '_';
    return char(b);
}

} // namespace

Dos2Name dos2_name(const std::uint8_t *raw, int lower_case)
{
    Dos2Name n;
    std::memset(n.atari, ' ', 12);
    n.atari[12] = 0;
    for (int i = 0; i < 8; i++) {
        char c = dos2_char(raw[i], lower_case);
        if (c) {
            n.host += c;
            n.atari[i] = c;
        }
    }
    bool dot = false;
    for (int i = 8; i < 11; i++) {
        char c = dos2_char(raw[i], lower_case);
        if (c) {
            if (!dot)
                n.host += '.';
            dot = true;
            n.host += c;
            n.atari[i + 1] = c;
        }
    }
    return n;
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
    const std::uint32_t g = walk.dir_group;
    if (g != 0) {
        // LiteDOS: the directory runs upward from its first sector and wraps
        // around inside the aligned group of g sectors that holds it.
        std::uint32_t sector = (first - first % g) + (first + index / 8) % g;
        return atr_sector(*walk.image, sector);
    }
    if (walk.bibo) {
        const std::uint8_t *sec = atr_sector(*walk.image, first + index / 16);
        if (!sec)
            return nullptr;
        return (index % 16 < 8) ? sec : sec + 128;
    }
    return atr_sector(*walk.image, first + index / 8);
}

namespace {

// How the sectors of a file carry their byte count and link.
// Chains of at least this many sectors are remembered for the walk.
constexpr std::uint32_t remembered_chain = 64;

enum class SectorForm { wide_links, counted, dos1 };

SectorForm sector_form(const AtrImage &img, unsigned flags)
{
    if ((flags & 0x04) && img.sector_count > 1022)
        return SectorForm::wide_links;
    if (flags & 0x06)
        return SectorForm::counted;
    return SectorForm::dos1;
}

// Follows the chain from `start`; with `data`, gathers at most `capacity`
// bytes there.
Dos2Chain follow_chain(Dos2Walk &walk, SectorForm form, std::uint32_t start, std::uint8_t *data,
                       std::uint32_t capacity)
{
    const AtrImage &img = *walk.image;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::uint32_t data_area = s - 3;
    Dos2Chain c;

    walk.chain_marks.new_chain();

    std::uint32_t cur = start;
    for (;;) {
        const std::uint8_t *sec = (cur > 1) ? atr_sector(img, cur) : nullptr;
        if (!sec) {
            c.end = Dos2Chain::bad_link;
            return c;
        }
        const std::uint8_t last = sec[s - 1];
        const std::uint32_t link10 = std::uint32_t(sec[s - 3] & 0x03) << 8 | sec[s - 2];
        std::uint32_t bytes;
        std::uint32_t next;
        switch (form) {
        case SectorForm::wide_links:
            bytes = last;
            next = std::uint32_t(sec[s - 3]) << 8 | sec[s - 2];
            break;
        case SectorForm::counted:
            bytes = last;
            next = link10;
            break;
        default:
            if (last & 0x80) {
                // DOS 1: the last sector of a file carries its byte count.
                bytes = last & 0x7F;
                next = link10;
            } else {
                bytes = data_area;
                next = (s == 128) ? link10 : 0;
            }
        }

        c.sectors++;
        if (walk.chain_marks.passed(cur)) {
            c.end = Dos2Chain::loop;
            c.loop_sector = cur;
            return c;
        }

        if (data && c.length < capacity) {
            std::uint32_t room = capacity - c.length;
            std::uint32_t take = bytes < room ? bytes : room;
            // A damaged sector may claim more bytes than its data area holds:
            // never take the link bytes or the next sector for them.
            std::uint32_t from_disk = take < data_area ? take : data_area;
            std::memcpy(data + c.length, sec, from_disk);
            std::memset(data + c.length + from_disk, 0, take - from_disk);
        }
        c.length += bytes;
        if (next == 0)
            return c;
        cur = next;
    }
}

} // namespace

Dos2File dos2_read_file(Dos2Walk &walk, unsigned flags, std::uint32_t count, std::uint32_t start,
                        std::uint8_t *data)
{
    Dos2File f;
    f.capacity = count * std::uint32_t(walk.image->sector_size);
    if (count == 0)
        return f;

    const SectorForm form = sector_form(*walk.image, flags);
    Dos2Chain c;
    if (data) {
        c = follow_chain(walk, form, start, data, f.capacity);
    } else {
        const std::uint32_t key = start << 2 | std::uint32_t(form);
        auto it = walk.chains.find(key);
        if (it != walk.chains.end()) {
            c = it->second;
        } else {
            c = follow_chain(walk, form, start, nullptr, 0);
            if (c.sectors >= remembered_chain)
                walk.chains.emplace(key, c);
        }
    }
    if (c.end == Dos2Chain::bad_link)
        show_msg("invalid sector link");
    else if (c.end == Dos2Chain::loop)
        show_msg("loop in sector link at sector %d", int(c.loop_sector));
    f.length = c.length;
    return f;
}

namespace {

// A file's listing line: "%-12s %7u\n" in the Atari style, else
// "%8u\t\t%s\n".
void list_file(Dos2Walk &walk, const char *atari, std::uint32_t length, const std::string &entry_path)
{
    walk.line.clear();
    if (walk.atari_list) {
        out_s(walk.line, atari, 12);
        walk.line += ' ';
        out_u(walk.line, length, 7);
    } else {
        out_u(walk.line, length, 8);
        walk.line += "\t\t";
        walk.line += entry_path;
    }
    walk.line += '\n';
    out_line(walk.line);
}

} // namespace

void dos2_list_dir(Dos2Walk &walk, std::uint32_t first, const std::string &path)
{
    const AtrImage &img = *walk.image;
    WalkScope scope(walk.guard, first);

    if (walk.atari_list)
        show_out("Directory of %s\n\n", path.empty() ? "/" : path.c_str());

    std::uint32_t entries = walk.dir_entries > 0 ? std::uint32_t(walk.dir_entries) : 0;
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

        Dos2Name name = dos2_name(e + 5, walk.lower_case);
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
        const std::string entry_path = path + "/" + name.host;

        if (flags == 0x10) {
            // In the Atari style subdirectories are walked after the listing
            // of this one (second pass below).
            if (walk.atari_list) {
                show_out("%-12s  <DIR>\n", name.atari);
                continue;
            }
            if (walk.extract)
                extract_dir(entry_path.substr(1));
            else
                show_out("%8u\t\t%s/\n", count * std::uint32_t(img.sector_size), entry_path.c_str());
            if (walk_guard_allows(walk.guard, start, entry_path.c_str()))
                dos2_list_dir(walk, start, entry_path);
        } else if (flags & 0x41) {
            // A listing needs only the length and the chain's reports;
            // extraction gathers the bytes too.
            std::uint8_t *data = nullptr;
            if (walk.extract)
                data = reused_buffer(walk.file_buffer, std::size_t(count) * std::size_t(img.sector_size));
            Dos2File f = dos2_read_file(walk, flags, count, start, data);
            if (f.length > f.capacity)
                show_msg("%s: file too long in disk", entry_path.c_str());
            if (walk.extract)
                extract_file(entry_path.substr(1), data, std::min(f.length, f.capacity));
            else
                list_file(walk, name.atari, f.length, entry_path);
        } else {
            show_msg("%s: invalid file type %02x", entry_path.c_str(), flags);
        }
    }

    if (!walk.atari_list)
        return;
    show_out("\n");
    for (std::uint32_t i = 0; i < entries; i++) {
        const std::uint8_t *block = dos2_dir_block(walk, first, i);
        if (!block)
            break;
        const std::uint8_t *e = block + (i % 8) * 16;
        if (e[0] == 0)
            break;
        if (e[0] != 0x10)
            continue;
        Dos2Name name = dos2_name(e + 5, walk.lower_case);
        const std::uint32_t start = le16(e + 3);
        if (name.host.empty() || start <= 1)
            continue;
        const std::string entry_path = path + "/" + name.host;
        if (walk_guard_allows(walk.guard, start, entry_path.c_str()))
            dos2_list_dir(walk, start, entry_path);
    }
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
    dos2_list_dir(*walk, root_sector, "");
    return 0;
}
