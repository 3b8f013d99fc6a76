#include "bomb_layout.h"

#include "dos2_layout.h"
#include "sparta_layout.h"

#include <algorithm>
#include <string>

namespace {

// "<stem><k>", built so that GCC 12 sees no overlap in it.
std::string label(const char *stem, unsigned k)
{
    std::string s(stem);
    s += std::to_string(k);
    return s;
}

// A DOS 2 entry with a name made from a number, so that no two collide.
Dos2Entry numbered(std::uint8_t flags, std::uint32_t count, std::uint32_t start, const char *stem, unsigned k)
{
    return dos2_entry(flags, count, start, label(stem, k).substr(0, 8));
}

// One chain of `length` sectors from `first`, each counting `bytes`.
void long_chain(Dos2Disk &d, std::uint32_t first, std::uint32_t length, std::uint8_t bytes, Dos2Form form)
{
    for (std::uint32_t s = first; s < first + length; s++)
        d.link(s, s + 1 < first + length ? s + 1 : 0, bytes, form);
}

// A SpartaDOS directory of these entries, written into consecutive data
// sectors from `first`; returns how many it takes.
std::uint32_t sparta_dir_at(DiskBuilder &d, std::uint32_t first, const std::vector<SpartaEntry> &entries)
{
    const std::vector<std::uint8_t> dir = sparta_dir_bytes(entries);
    const std::uint32_t sectors = std::uint32_t((dir.size() + 255) / 256);
    for (std::uint32_t i = 0; i < sectors; i++)
        std::copy_n(dir.begin() + i * 256, std::min<std::size_t>(256, dir.size() - i * 256), d.sector(first + i));
    return sectors;
}

} // namespace

Bomb bomb_mydos_shared_tails()
{
    const std::uint32_t n = 65535;
    Dos2Disk d(256, n, {.code = 35, .total = 65000, .free = 0});
    std::uint32_t next_dir = 1000; // directories of 8 sectors from here
    const std::uint32_t chain = 40000, chain_len = 25000;
    unsigned file = 0;
    for (unsigned a = 0; a < 64; a++) {
        const std::uint32_t dir_a = next_dir;
        next_dir += 8;
        d.entry(dos2_root_sector, a, numbered(dos2_flag_subdir, 8, dir_a, "D", a));
        for (unsigned b = 0; b < 64; b++) {
            const std::uint32_t dir_b = next_dir;
            next_dir += 8;
            d.entry(dir_a, b, numbered(dos2_flag_subdir, 8, dir_b, "E", b));
            for (unsigned f = 0; f < 64; f++, file++)
                d.entry(dir_b, f, numbered(mydos_file, 65535, chain + file % chain_len, "F", f));
        }
    }
    long_chain(d, chain, chain_len, 253, Dos2Form::dos2_wide);
    return {"mydos-shared-tails.atr", d.disk};
}

Bomb bomb_mydos_overlapping_dirs()
{
    const std::uint32_t n = 65535;
    Dos2Disk d(256, n, {.code = 35, .total = 65000, .free = 0});
    const std::uint32_t first = 1000, dirs = 60000;
    d.entry(dos2_root_sector, 0, numbered(dos2_flag_subdir, 8, first, "S", 0));
    // Directory k starts in sector first + k; its 64 entries (8 per sector)
    // are subdirectories naming the directories that start after it.
    for (std::uint32_t s = first; s < first + dirs + 8; s++)
        for (unsigned slot = 0; slot < 8; slot++)
            d.entry_at(s, slot, numbered(dos2_flag_subdir, 8, s + 1 + slot, "S", slot));
    return {"mydos-overlapping-dirs.atr", d.disk};
}

Bomb bomb_litedos_shared_files()
{
    const std::uint32_t n = 65535;
    // Code 0xFF: 127 directory sectors (1,016 entries) in the aligned group
    // of 128 that holds sectors 360 and 361.
    Dos2Disk d(256, n, {.code = 0xFF, .total = 65000, .free = 0, .litedos = true});
    const std::uint32_t chain = 2000, chain_len = 60000;
    for (unsigned k = 0; k < 1016; k++) {
        const std::uint32_t sector = 256 + (361 - 256 + k / 8) % 128;
        d.entry_at(sector, k % 8, numbered(mydos_file, 65535, chain + k * 59, "F", k));
    }
    long_chain(d, chain, chain_len, 253, Dos2Form::dos2_wide);
    return {"litedos-shared-files.atr", d.disk};
}

Bomb bomb_sparta_shared_dir_data()
{
    const std::uint32_t n = 65535;
    DiskBuilder d(256, n);
    const unsigned subdirs = 2847;
    const std::uint32_t root_map = 10, data = 100, maps = 1000;
    std::vector<SpartaEntry> entries;
    for (unsigned k = 0; k < subdirs; k++)
        entries.push_back(sparta_subdir(label("D", k), maps + k));
    const std::uint32_t sectors = sparta_dir_at(d, data, entries);
    // The root's chain and every subdirectory's: a first map of its own
    // naming data sectors 0-125, then two shared maps for the rest.
    auto first_map = [&](std::uint32_t m) {
        std::vector<std::uint32_t> slots;
        for (std::uint32_t i = 0; i < 126; i++)
            slots.push_back(data + i);
        sparta_map_sector(d, m, 20, slots);
    };
    first_map(root_map);
    for (unsigned k = 0; k < subdirs; k++)
        first_map(maps + k);
    std::vector<std::uint32_t> second, third;
    for (std::uint32_t i = 126; i < sectors; i++)
        (i < 252 ? second : third).push_back(data + i);
    sparta_map_sector(d, 20, 21, second);
    sparta_map_sector(d, 21, 0, third);
    sparta_boot_sector(d, root_map, 4, "BOMB");
    return {"sparta-shared-dir-data.atr", d};
}

Bomb bomb_sparta_hole_files()
{
    const std::uint32_t n = 1440;
    DiskBuilder d(256, n);
    const unsigned files = 2000;
    const std::uint32_t root_map = 10, data = 100, holes = 11;
    std::vector<SpartaEntry> entries;
    for (unsigned k = 0; k < files; k++)
        entries.push_back(sparta_file(label("F", k), holes, 0xFFFFFF));
    const std::uint32_t sectors = sparta_dir_at(d, data, entries);
    std::vector<std::uint32_t> slots[2];
    for (std::uint32_t i = 0; i < sectors; i++)
        slots[i / 126].push_back(data + i);
    sparta_map_sector(d, root_map, 12, slots[0]);
    sparta_map_sector(d, 12, 0, slots[1]);
    sparta_map_sector(d, holes, holes, {}); // all holes, next map: itself
    sparta_boot_sector(d, root_map, 4, "HOLES");
    return {"sparta-hole-files.atr", d};
}

std::vector<Bomb> all_bombs()
{
    std::vector<Bomb> b;
    b.push_back(bomb_mydos_shared_tails());
    b.push_back(bomb_mydos_overlapping_dirs());
    b.push_back(bomb_litedos_shared_files());
    b.push_back(bomb_sparta_shared_dir_data());
    b.push_back(bomb_sparta_hole_files());
    return b;
}
