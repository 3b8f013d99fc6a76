#include "sparta.h"

#include "extract.h"
#include "messages.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t entry_size = 23;
constexpr std::uint32_t dir_limit = 65536; // bytes of a directory that are read
constexpr std::uint32_t prefetch_ahead = 4;  // entries

// The boot record fields, decoded once.
struct SpartaBoot {
    unsigned signature;   // 0x80 on a SpartaDOS disk
    std::uint32_t root_map;
    std::uint32_t total;  // sectors of the file system
    std::uint32_t bitmap; // first bitmap sector
    unsigned size_code;   // 0 = 256 bytes, else the sector size itself
};

enum : unsigned {
    st_in_use = 0x08,
    st_deleted = 0x10,
    st_subdir = 0x20,
};

bool entry_live(const std::uint8_t *e)
{
    return (e[0] & st_in_use) && !(e[0] & st_deleted);
}

} // namespace

int sparta_name(char *host, char *atari, const std::uint8_t *src, int length, int lower_case)
{
    std::memset(atari, ' ', std::size_t(length) + 1);
    atari[length + 1] = 0;
    int n = 0;
    bool dot = false;
    for (int i = 0; i < length; i++) {
        std::uint8_t b = src[i];
        char c;
        if (lower_case && b >= 'A' && b <= 'Z')
            c = char(b + 0x20);
        else if (b < 0x20 || b == '/' || b == '.' || b == '?')
            c = '_';
        else if (b == '\\' || b == '`' || b > 'z')
            c = '_';
        else if (b == ' ')
            continue;
        else
            c = char(b);
        if (i >= 8 && !dot) {
            host[n++] = '.';
            dot = true;
        }
        host[n++] = c;
        atari[i < 8 ? i : i + 1] = c;
    }
    host[n] = 0;
    return n;
}

std::uint32_t sparta_read_map(const AtrImage &image, std::uint32_t first_map, std::uint32_t wanted,
                              std::uint8_t *out, bool to_first_hole)
{
    const std::uint8_t *map = first_map > 1 ? atr_sector(image, first_map) : nullptr;
    if (!map) {
        show_msg("invalid sector map");
        return 0;
    }
    const std::uint32_t s = std::uint32_t(image.sector_size);
    std::uint32_t pos = 4;
    std::uint32_t done = 0;
    while (wanted > 0) {
        if (pos >= s) {
            // This map sector is used up; its link is read only now that
            // more bytes are wanted.
            std::uint32_t next = le16(map);
            if (next == 0)
                return done;
            map = next > 1 ? atr_sector(image, next) : nullptr;
            if (!map) {
                show_msg("invalid next sector map");
                return done;
            }
            pos = 4;
        }
        const std::uint32_t chunk = wanted < s ? wanted : s;
        const std::uint32_t data_sector = le16(map + pos);
        pos += 2;
        if (data_sector == 0) {
            // A hole: a sector's worth of zero bytes not stored on the disk.
            if (out) {
                std::memset(out + done, 0, chunk);
                if (to_first_hole)
                    out = nullptr;
            }
        } else {
            const std::uint8_t *sec = data_sector > 1 ? atr_sector(image, data_sector) : nullptr;
            if (!sec) {
                show_msg("invalid data sector");
                return done;
            }
            if (out)
                std::memcpy(out + done, sec, chunk);
        }
        done += chunk;
        wanted -= chunk;
    }
    return done;
}

namespace {

// Marks for every sector number the image has.
SectorMarks marks_for(const AtrImage &image)
{
    return SectorMarks(std::size_t(image.sector_count) + 1);
}

// The allocated size of a chain whose first map sector is valid.
std::uint32_t chain_allocation(const AtrImage &image, std::uint32_t first_map, SectorMarks &marks)
{
    const std::uint32_t s = std::uint32_t(image.sector_size);
    // A chain that comes back to one of its own map sectors ends there.
    marks.new_chain();
    std::uint32_t total = 0;
    std::uint32_t cur = first_map;
    const std::uint8_t *map;
    while ((map = atr_sector(image, cur)) != nullptr && !marks.passed(cur)) {
        for (std::uint32_t off = 4; off + 1 < s; off += 2)
            if (le16(map + off) != 0)
                total += s;
        cur = le16(map);
    }
    return total;
}

bool map_start_valid(const AtrImage &image, std::uint32_t first_map)
{
    return first_map > 1 && first_map <= image.sector_count;
}

} // namespace

std::uint32_t sparta_map_size(const AtrImage &image, std::uint32_t first_map)
{
    if (!map_start_valid(image, first_map)) {
        show_msg("invalid sector map");
        return 0;
    }
    SectorMarks marks = marks_for(image);
    return chain_allocation(image, first_map, marks);
}

namespace {

SpartaMapProfile first_profile(const AtrImage &image, std::uint32_t first_map)
{
    SpartaMapProfile p;
    p.map = first_map;
    if (first_map <= 1 || !atr_sector(image, first_map))
        p.stop = SpartaMapProfile::bad_first_map;
    return p;
}

// Scans on until the chain names `needed` chunks or yields no more.  A scan
// never needs to notice a chain that comes back to itself: every map sector
// it passes names (s - 4) / 2 more chunks, so it reaches `needed` (at most
// 2^24 bytes' worth) after a bounded number of maps, loop or no loop, and
// reading the file would deliver all it wants.
void extend_profile(const AtrImage &image, SpartaMapProfile &p, std::uint64_t needed)
{
    const std::uint32_t s = std::uint32_t(image.sector_size);
    while (p.stop == SpartaMapProfile::open && p.chunks < needed) {
        const std::uint8_t *map = atr_sector(image, p.map);
        for (; p.pos + 1 < s && p.chunks < needed; p.pos += 2) {
            const std::uint32_t data_sector = le16(map + p.pos);
            if (data_sector != 0 && (data_sector == 1 || data_sector > image.sector_count)) {
                p.stop = SpartaMapProfile::bad_data_sector;
                return;
            }
            p.chunks++;
        }
        if (p.pos + 1 < s)
            return;
        const std::uint32_t next = le16(map);
        if (next == 0)
            p.stop = SpartaMapProfile::chain_end;
        else if (next <= 1 || !atr_sector(image, next))
            p.stop = SpartaMapProfile::bad_next_map;
        p.map = next;
        p.pos = 4;
    }
}

// An entry's date and time as "%02d-%02d-%02d %02d:%02d", with seconds
// ":%02d" after them.
void out_date(std::string &line, const std::uint8_t *e, bool seconds)
{
    out_02d(line, e[17]);
    line += '-';
    out_02d(line, e[18]);
    line += '-';
    out_02d(line, e[19]);
    line += ' ';
    out_02d(line, e[20]);
    line += ':';
    out_02d(line, e[21]);
    if (seconds) {
        line += ':';
        out_02d(line, e[22]);
    }
}

// A host-style line: "%8u\t%02d-%02d-%02d %02d:%02d:%02d\t%s" and `end`
// ("/\n" for a directory).
void host_line(SpartaWalk &walk, std::uint32_t size, const std::uint8_t *e, const std::string &entry_path,
               const char *end)
{
    walk.line.clear();
    out_u(walk.line, size, 8);
    walk.line += '\t';
    out_date(walk.line, e, true);
    walk.line += '\t';
    walk.line += entry_path;
    walk.line += end;
    out_line(walk.line);
}

// An Atari-style line: "%-12s %7u %02d-%02d-%02d %02d:%02d\n" for a file of
// `*size` bytes, "%-12s  <DIR>  %02d-%02d-%02d %02d:%02d\n" for a directory.
void atari_line(SpartaWalk &walk, const char *atari, const std::uint8_t *e, const std::uint32_t *size)
{
    walk.line.clear();
    out_s(walk.line, atari, 12);
    if (size) {
        walk.line += ' ';
        out_u(walk.line, *size, 7);
        walk.line += ' ';
    } else {
        walk.line += "  <DIR>  ";
    }
    out_date(walk.line, e, false);
    walk.line += '\n';
    out_line(walk.line);
}

// sparta_map_size, remembered per first map sector for this walk.
std::uint32_t allocated_size(SpartaWalk &walk, std::uint32_t first_map)
{
    if (!map_start_valid(*walk.image, first_map)) {
        show_msg("invalid sector map");
        return 0;
    }
    auto known = walk.map_sizes.find(first_map);
    if (known == walk.map_sizes.end())
        known = walk.map_sizes.emplace(first_map, chain_allocation(*walk.image, first_map, walk.map_marks)).first;
    return known->second;
}

} // namespace

SpartaMapProfile sparta_map_profile(const AtrImage &image, std::uint32_t first_map, std::uint64_t needed)
{
    SpartaMapProfile p = first_profile(image, first_map);
    extend_profile(image, p, needed);
    return p;
}

std::uint32_t sparta_count_map(SpartaWalk &walk, std::uint32_t first_map, std::uint32_t wanted)
{
    // Profiles that took more than a map sector's scan are remembered: a
    // damaged disk can point thousands of entries at one long chain.  A
    // chain of one map costs less to scan again than to remember.
    const std::uint32_t s = std::uint32_t(walk.image->sector_size);
    const std::uint64_t needed = (std::uint64_t(wanted) + s - 1) / s;
    SpartaMapProfile fresh;
    SpartaMapProfile *known = nullptr;
    auto it = walk.profiles.find(first_map);
    if (it != walk.profiles.end()) {
        known = &it->second;
    } else {
        fresh = first_profile(*walk.image, first_map);
        known = &fresh;
    }
    SpartaMapProfile &p = *known;
    if (p.stop == SpartaMapProfile::bad_first_map) {
        show_msg("invalid sector map");
        return 0;
    }
    extend_profile(*walk.image, p, needed);
    if (known == &fresh && p.chunks > (s - 4) / 2)
        walk.profiles.emplace(first_map, p);
    if (needed <= p.chunks)
        return wanted;
    if (p.stop == SpartaMapProfile::bad_next_map)
        show_msg("invalid next sector map");
    else if (p.stop == SpartaMapProfile::bad_data_sector)
        show_msg("invalid data sector");
    return std::uint32_t(p.chunks * s);
}

void sparta_list_dir(SpartaWalk &walk, std::uint32_t first_map, const std::string &path)
{
    const AtrImage &img = *walk.image;
    WalkScope scope(walk.guard, first_map);

    if (walk.atari_list)
        show_out("Directory of %s\n\n", path.empty() ? "/" : path.c_str());

    // The entries end at the first zero status byte, so a directory's bytes
    // after its first hole (a map of 126 or 62 slots mostly holds holes)
    // are never looked at: they are counted, not copied.
    CBuffer dir = check_buffer(dir_limit, false);
    const std::uint32_t got = sparta_read_map(img, first_map, dir_limit, dir.get(), true);
    if (got == 0) {
        show_msg("%s: " CANT " get directory data", path.c_str());
        return;
    }
    if (got == dir_limit)
        show_msg("%s: directory too big", path.c_str());

    char host[13];
    char atari[13];
    // Entry 0 describes the directory itself.  An entry cut short by the end
    // of the bytes read ends the pass like an end marker.
    for (std::uint32_t off = entry_size; off + entry_size <= got; off += entry_size) {
        const std::uint8_t *e = dir.get() + off;
        if (e[0] == 0)
            break;
        // On a large disk the map sectors of successive entries lie far
        // apart; ask for the one a few entries ahead while this one is done.
        if (off + (prefetch_ahead + 1) * entry_size <= got)
            if (const std::uint8_t *ahead = atr_sector(img, le16(e + prefetch_ahead * entry_size + 1)))
                __builtin_prefetch(ahead);
        if (!entry_live(e))
            continue;
        if (sparta_name(host, atari, e + 6, 11, walk.lower_case) == 0) {
            show_msg("%s: invalid file name, skip", path.c_str());
            continue;
        }
        const std::string entry_path = path + "/" + host;
        const std::uint32_t map = le16(e + 1);
        const int day = e[17], month = e[18], year = e[19];
        const int hour = e[20], minute = e[21], second = e[22];

        const std::string host_path = walk.extract ? entry_path.substr(1) : std::string();

        if (e[0] & st_subdir) {
            // In the Atari style subdirectories are walked after the listing
            // of this one (second pass below).
            if (walk.atari_list) {
                atari_line(walk, atari, e, nullptr);
                continue;
            }
            if (walk.extract)
                extract_dir(host_path);
            else
                host_line(walk, allocated_size(walk, map), e, entry_path, "/\n");
            if (walk_guard_allows(walk.guard, map, entry_path.c_str()))
                sparta_list_dir(walk, map, entry_path);
            // The directory's time goes on after its contents are written.
            if (walk.extract)
                set_file_time(host_path, day, month, year, hour, minute, second);
            continue;
        }

        // A listing needs only what reading would deliver and report;
        // extraction reads the bytes, and what a short chain does not
        // deliver stays zero.
        const std::uint32_t size = le24(e + 3);
        std::uint8_t *data = walk.extract ? reused_buffer(walk.file_buffer, size) : nullptr;
        const std::uint32_t delivered = walk.extract ? sparta_read_map(img, map, size, data)
                                                     : sparta_count_map(walk, map, size);
        if (walk.extract)
            std::memset(data + delivered, 0, size - delivered);
        if (delivered < size)
            show_msg("%s: short file in disk", entry_path.c_str());
        if (walk.extract) {
            const std::string written = extract_file(host_path, data, size);
            set_file_time(written, day, month, year, hour, minute, second);
        } else if (walk.atari_list) {
            atari_line(walk, atari, e, &size);
        } else {
            host_line(walk, size, e, entry_path, "\n");
        }
    }

    if (!walk.atari_list)
        return;
    show_out("\n");
    for (std::uint32_t off = entry_size; off + entry_size <= got; off += entry_size) {
        const std::uint8_t *e = dir.get() + off;
        if (e[0] == 0)
            break;
        if (!entry_live(e) || !(e[0] & st_subdir))
            continue;
        if (sparta_name(host, atari, e + 6, 11, walk.lower_case) == 0)
            continue;
        const std::string entry_path = path + "/" + host;
        const std::uint32_t map = le16(e + 1);
        if (walk_guard_allows(walk.guard, map, entry_path.c_str()))
            sparta_list_dir(walk, map, entry_path);
    }
}

int spartados_list(const AtrImage &image, const char *name, int atari_list, int lower_case,
                   int extract)
{
    // An image without sector 1 has no boot record to look at.
    const std::uint8_t *boot = atr_sector(image, 1);
    if (!boot)
        return 1;

    SpartaBoot b{boot[7], le16(boot + 9), le16(boot + 11), le16(boot + 16), boot[31]};
    char volume[10];
    char volume_atari[10];
    sparta_name(volume, volume_atari, boot + 22, 8, lower_case);

    if (b.signature != 0x80)
        return 1;

    const int fs_sector_size = b.size_code == 0 ? 256 : int(b.size_code);
    if (fs_sector_size != image.sector_size) {
        show_msg("%s: invalid SpartaDOS file system, mismatch sector sizes (%d!=%d).", name,
                 fs_sector_size, image.sector_size);
        return 1;
    }

    const std::uint32_t count = image.sector_count;
    if (b.total < count)
        show_msg("%s: ATR image is bigger than file system.", name);
    else if (count < b.total)
        show_msg("%s: WARNING: ATR image is smaller than file system.", name);

    if (b.root_map <= 1 || b.root_map > count) {
        show_msg("%s: invalid SpartaDOS file system, root dir map outside disk.", name);
        return 1;
    }
    if (b.bitmap > count || b.bitmap <= 1) {
        show_msg("%s: invalid SpartaDOS file system, bitmap outside disk.", name);
        return 1;
    }
    if (count <= 5) {
        show_msg("%s: ATR image with too few sectors.", name);
        return 1;
    }

    if (atari_list)
        show_out("ATR image: %s\nImage size: %u sectors of %u bytes\nVolume Name: %s\n", name, count,
                 unsigned(image.sector_size), volume[0] ? volume : "NONE");
    else
        show_out("%s: %u sectors of %u bytes, volume name '%s'.\n", name, count,
                 unsigned(image.sector_size), volume);

    auto walk = std::make_unique<SpartaWalk>();
    walk->image = &image;
    walk->atari_list = atari_list;
    walk->lower_case = lower_case;
    walk->extract = extract;
    walk->map_marks = SectorMarks(std::size_t(count) + 1);
    sparta_list_dir(*walk, b.root_map, "");
    return 0;
}
