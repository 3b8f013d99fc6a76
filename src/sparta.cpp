#include "sparta.h"

#include "listing.h"
#include "messages.h"
#include "names.h"

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
    // Blanks vanish from the host name; an upper-case letter taken to
    // lower case is never one.
    const NamesTable &t = names_table(false, lower_case);
    std::memset(atari, ' ', std::size_t(length) + 1);
    atari[length + 1] = 0;
    int n = 0;
    for (int i = 0; i < length && i < 8; i++)
        if (const char c = t[src[i]]) {
            host[n++] = c;
            atari[i] = c;
        }
    bool dot = false;
    for (int i = 8; i < length; i++)
        if (const char c = t[src[i]]) {
            if (!dot) {
                host[n++] = '.';
                dot = true;
            }
            host[n++] = c;
            atari[i + 1] = c;
        }
    host[n] = 0;
    return n;
}

std::uint32_t sparta_read_map(const AtrImage &image, std::uint32_t first_map, std::uint32_t wanted,
                              std::uint8_t *out)
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
            if (out)
                std::memset(out + done, 0, chunk);
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

bool map_start_valid(const AtrImage &image, std::uint32_t first_map)
{
    return first_map > 1 && first_map <= image.sector_count;
}

// Bytes allocated by one map sector: its non-zero data sector numbers.
std::uint32_t map_allocation(const std::uint8_t *map, std::uint32_t s)
{
    std::uint32_t total = 0;
    for (std::uint32_t off = 4; off + 1 < s; off += 2)
        if (le16(map + off) != 0)
            total += s;
    return total;
}

// The allocated size from map sector `first` on (valid), from the walk's
// remembered sizes.  A chain that comes back to one of its own map sectors
// ends there, so a map sector on a loop gives the loop's total; every
// other gives its own and what its successor gives.  The map sectors not
// yet known are scanned once and then remembered.
std::uint32_t remembered_size(SpartaWalk &walk, std::uint32_t first)
{
    const AtrImage &img = *walk.image;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::size_t count = std::size_t(img.sector_count) + 1;
    ChainMemo<SpartaMapSize> &memo = walk.sizes;
    struct Pending {
        std::uint32_t map;
        std::uint32_t bytes;
    };
    std::vector<Pending> pending;
    for (;;) {
        pending.clear();
        walk.map_marks.new_chain();
        std::uint32_t rest = 0;
        bool met_earlier_walk = false;
        const std::uint8_t *map;
        for (std::uint32_t cur = first; (map = atr_sector(img, cur)) != nullptr; cur = le16(map)) {
            if (memo.active && memo.known[cur].known) {
                rest = memo.known[cur].bytes;
                break;
            }
            if (walk.map_marks.passed(cur)) {
                std::size_t k = pending.size();
                while (pending[k - 1].map != cur)
                    k--;
                std::uint32_t loop = 0;
                for (std::size_t i = k - 1; i < pending.size(); i++)
                    loop += pending[i].bytes;
                if (memo.active)
                    for (std::size_t i = k - 1; i < pending.size(); i++)
                        memo.known[pending[i].map] = {loop, true};
                pending.resize(k - 1);
                rest = loop;
                break;
            }
            if (!memo.active && memo.met(cur, count)) {
                met_earlier_walk = true;
                break;
            }
            pending.push_back({cur, map_allocation(map, s)});
        }
        if (met_earlier_walk) {
            memo.activate(count);
            continue;
        }
        for (std::size_t i = pending.size(); i-- > 0;) {
            rest += pending[i].bytes;
            if (memo.active)
                memo.known[pending[i].map] = {rest, true};
        }
        return rest;
    }
}

// sparta_map_size, from the walk's remembered sizes.
std::uint32_t allocated_size(SpartaWalk &walk, std::uint32_t first_map)
{
    if (!map_start_valid(*walk.image, first_map)) {
        show_msg("invalid sector map");
        return 0;
    }
    return remembered_size(walk, first_map);
}

constexpr std::uint32_t no_end = 0xFFFFFFFF;

// What the chain gives from the first slot of map sector `first` (valid)
// on, from the walk's remembered results: the slots up to the first
// invalid data sector, else this map's slots and what the next map gives.
// A chain that loops with every slot valid gives without end.
SpartaMapRest remembered_rest(SpartaWalk &walk, std::uint32_t first)
{
    const AtrImage &img = *walk.image;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::uint32_t slots = (s - 4) / 2;
    const std::size_t count = std::size_t(img.sector_count) + 1;
    ChainMemo<SpartaMapRest> &memo = walk.rests;
    std::vector<std::uint32_t> pending;
    for (;;) {
        pending.clear();
        walk.map_marks.new_chain();
        SpartaMapRest rest;
        bool met_earlier_walk = false;
        for (std::uint32_t cur = first;;) {
            if (memo.active && memo.known[cur].known) {
                rest = memo.known[cur];
                break;
            }
            if (walk.map_marks.passed(cur)) {
                // Every map of the loop is among the pending ones, and each of
                // them passed its slots: reading never ends there.
                rest = {no_end, SpartaMapRest::without_end, true};
                std::size_t k = pending.size();
                while (pending[k - 1] != cur)
                    k--;
                if (memo.active)
                    for (std::size_t i = k - 1; i < pending.size(); i++)
                        memo.known[pending[i]] = rest;
                pending.resize(k - 1);
                break;
            }
            if (!memo.active && memo.met(cur, count)) {
                met_earlier_walk = true;
                break;
            }
            const std::uint8_t *map = atr_sector(img, cur);
            std::uint32_t good = 0;
            for (std::uint32_t off = 4; off + 1 < s; off += 2, good++) {
                const std::uint32_t d = le16(map + off);
                if (d != 0 && (d == 1 || d > img.sector_count))
                    break;
            }
            if (good < slots) {
                rest = {good, SpartaMapRest::bad_data_sector, true};
                if (memo.active)
                    memo.known[cur] = rest;
                break;
            }
            pending.push_back(cur);
            const std::uint32_t next = le16(map);
            if (next == 0) {
                rest = {0, SpartaMapRest::chain_end, true};
                break;
            }
            if (next == 1 || !atr_sector(img, next)) {
                rest = {0, SpartaMapRest::bad_next_map, true};
                break;
            }
            cur = next;
        }
        if (met_earlier_walk) {
            memo.activate(count);
            continue;
        }
        for (std::size_t i = pending.size(); i-- > 0;) {
            if (rest.chunks != no_end)
                rest.chunks = rest.chunks + slots < rest.chunks ? no_end : rest.chunks + slots;
            if (memo.active)
                memo.known[pending[i]] = rest;
        }
        return rest;
    }
}

} // namespace

std::uint32_t sparta_map_size(const AtrImage &image, std::uint32_t first_map)
{
    SpartaWalk walk;
    walk.image = &image;
    walk.map_marks = SectorMarks(std::size_t(image.sector_count) + 1);
    return allocated_size(walk, first_map);
}

namespace {

// The data sectors that hold `wanted` bytes (a sector is 128 or 256 bytes).
std::uint64_t sectors_for(std::uint64_t wanted, std::uint32_t s)
{
    return s == 256 ? (wanted + 255) >> 8 : s == 128 ? (wanted + 127) >> 7 : (wanted + s - 1) / s;
}

// Whether the `wanted` bytes of the file whose first map sector is `first_map`
// all lie in that sector's slots, each of them a hole or a valid sector.
// Most files end in their first map sector, and reading them then looks at
// no slot past their size and at no link.
inline bool ends_in_first_map(const AtrImage &img, std::uint32_t first_map, std::uint32_t wanted)
{
    const std::uint8_t *map = first_map > 1 ? atr_sector(img, first_map) : nullptr;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::uint64_t needed = sectors_for(wanted, s);
    if (!map || needed > (s - 4) / 2)
        return false;
    const std::uint32_t top = img.sector_count;
    // A slot is bad when it is neither a hole (0) nor a sector 2 .. top.
    std::uint32_t bad = 0;
    for (const std::uint8_t *slot = map + 4, *end = slot + 2 * needed; slot < end; slot += 2) {
        const std::uint32_t d = le16(slot);
        bad |= std::uint32_t(d != 0) & std::uint32_t(d - 2 > top - 2);
    }
    return !bad;
}

} // namespace

std::uint32_t sparta_count_map(SpartaWalk &walk, std::uint32_t first_map, std::uint32_t wanted)
{
    const AtrImage &img = *walk.image;
    if (first_map <= 1 || !atr_sector(img, first_map)) {
        show_msg("invalid sector map");
        return 0;
    }
    if (ends_in_first_map(img, first_map, wanted))
        return wanted;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::uint64_t needed = sectors_for(wanted, s);
    const SpartaMapRest rest = remembered_rest(walk, first_map);
    if (needed <= rest.chunks)
        return wanted;
    if (rest.stop == SpartaMapRest::bad_next_map)
        show_msg("invalid next sector map");
    else if (rest.stop == SpartaMapRest::bad_data_sector)
        show_msg("invalid data sector");
    return rest.chunks * s;
}

namespace {

// Copies a directory's bytes, `got` of them as counted, from the chain at
// `first_map` into `out`, up to and including its first hole: the zeros of
// a hole end the entries, so nothing after it is ever looked at.
void copy_dir(const AtrImage &img, std::uint32_t first_map, std::uint32_t got, std::uint8_t *out)
{
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::uint8_t *map = atr_sector(img, first_map);
    std::uint32_t pos = 4;
    for (std::uint32_t done = 0; done < got;) {
        if (pos >= s) {
            map = atr_sector(img, le16(map)); // valid: the count passed it
            pos = 4;
        }
        const std::uint32_t chunk = std::min(got - done, s);
        const std::uint32_t d = le16(map + pos);
        pos += 2;
        if (d == 0) {
            std::memset(out + done, 0, chunk);
            return;
        }
        std::memcpy(out + done, atr_sector(img, d), chunk);
        done += chunk;
    }
}

// Claims for the directory at `first_map` the data sectors that hold the
// entries a walk of it can examine: those before its first hole, within
// the bytes a directory is read to.
bool claim_dir(SpartaWalk &walk, std::uint32_t first_map, const std::string &entry_path)
{
    const AtrImage &img = *walk.image;
    const std::uint32_t s = std::uint32_t(img.sector_size);
    const std::uint32_t claim = walk_guard_new_claim(walk.guard);
    const std::uint8_t *map = first_map > 1 ? atr_sector(img, first_map) : nullptr;
    std::uint32_t pos = 4;
    for (std::uint32_t chunk = 0; map && chunk < dir_limit / s; chunk++) {
        if (pos >= s) {
            const std::uint32_t next = le16(map);
            map = next > 1 ? atr_sector(img, next) : nullptr;
            pos = 4;
            if (!map)
                break;
        }
        const std::uint32_t d = le16(map + pos);
        pos += 2;
        if (d == 0 || d == 1 || d > img.sector_count)
            break;
        if (!walk_guard_claim(walk.guard, claim, d, entry_path.c_str()))
            return false;
    }
    return true;
}

// Walks the subdirectory at `first_map` unless the guard refuses it.
bool walk_subdir(SpartaWalk &walk, std::uint32_t first_map, const std::string &entry_path)
{
    if (!walk_guard_allows(walk.guard, first_map, entry_path.c_str()) || !claim_dir(walk, first_map, entry_path))
        return false;
    sparta_list_dir(walk, first_map, entry_path);
    return true;
}

} // namespace

void sparta_list_dir(SpartaWalk &walk, std::uint32_t first_map, const std::string &path)
{
    const AtrImage &img = *walk.image;
    WalkScope scope(walk.guard, first_map);

    if (walk.atari_list)
        listing_heading(path);

    const std::uint32_t got = sparta_count_map(walk, first_map, dir_limit);
    if (got == 0) {
        show_msg("%s: " CANT " get directory data", path.c_str());
        return;
    }
    if (got == dir_limit)
        show_msg("%s: directory too big", path.c_str());
    CBuffer dir = check_buffer(got, false);
    copy_dir(img, first_map, got, dir.get());

    char host[13];
    char atari_name[13];
    const std::string_view atari(atari_name, 12);
    std::vector<ListingSubdir> later; // Atari style: walked after this directory's lines
    // Each entry's path: this directory's path and a slash, which a file's
    // listing line takes as it is, then the entry's name.
    const std::string dir_part = path + '/';
    std::string entry_path;
    // Entry 0 describes the directory itself.  An entry cut short by the end
    // of the bytes read ends the pass like an end marker.
    for (std::uint32_t off = entry_size; off + entry_size <= got; off += entry_size) {
        const std::uint8_t *e = dir.get() + off;
        if (e[0] == 0)
            break;
        // On a large disk the map sectors of successive entries lie far
        // apart; ask for the one a few entries ahead while this one is done.
        if (off + (prefetch_ahead + 1) * entry_size <= got && e[prefetch_ahead * entry_size] != 0)
            if (const std::uint8_t *ahead = atr_sector(img, le16(e + prefetch_ahead * entry_size + 1)))
                __builtin_prefetch(ahead);
        if (!entry_live(e))
            continue;
        const int host_length = sparta_name(host, atari_name, e + 6, 11, walk.lower_case);
        if (host_length == 0) {
            show_msg("%s: invalid file name, skip", path.c_str());
            continue;
        }
        const std::string_view name(host, std::size_t(host_length));
        const std::uint32_t map = le16(e + 1);
        const std::uint8_t *date = e + 17;
        const std::uint32_t size = le24(e + 3);
        if (!walk.extract && !(e[0] & st_subdir)) {
            // A listing needs only what reading would deliver and report.
            if (!ends_in_first_map(img, map, size) && sparta_count_map(walk, map, size) < size)
                show_msg("%s%s: short file in disk", dir_part.c_str(), host);
            listing_dated_entry(walk.atari_list, atari, size, date, dir_part, false, name);
            continue;
        }

        entry_path.assign(dir_part).append(name);
        const int day = e[17], month = e[18], year = e[19];
        const int hour = e[20], minute = e[21], second = e[22];
        const std::string host_path = walk.extract ? entry_path.substr(1) : std::string();

        if (e[0] & st_subdir) {
            if (walk.atari_list) {
                listing_dated_entry(1, atari, 0, date, entry_path, true);
                later.push_back({entry_path, map, 0});
                continue;
            }
            if (walk.extract)
                extract_dir(host_path);
            else
                listing_dated_entry(0, atari, allocated_size(walk, map), date, entry_path, true);
            walk_subdir(walk, map, entry_path);
            // The directory's time goes on after its contents are written.
            if (walk.extract)
                set_file_time(host_path, day, month, year, hour, minute, second);
            continue;
        }

        // Extraction reads the bytes; what a short chain does not deliver
        // stays zero.
        std::uint8_t *data = reused_buffer(walk.file_buffer, size);
        const std::uint32_t delivered = sparta_read_map(img, map, size, data);
        std::memset(data + delivered, 0, size - delivered);
        if (delivered < size)
            show_msg("%s: short file in disk", entry_path.c_str());
        const std::string written = extract_file(host_path, data, size);
        set_file_time(written, day, month, year, hour, minute, second);
    }

    if (walk.atari_list)
        listing_close_dir(later, walk.guard, [&](const ListingSubdir &sub) {
            if (claim_dir(walk, sub.first, sub.path))
                sparta_list_dir(walk, sub.first, sub.path);
        });
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
    claim_dir(*walk, b.root_map, "");
    sparta_list_dir(*walk, b.root_map, "");
    return 0;
}
