#include "dos2_layout.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

std::array<std::uint8_t, 11> dos2_name_bytes(std::string_view name)
{
    std::array<std::uint8_t, 11> raw;
    raw.fill(' ');
    std::size_t dot = name.find('.');
    std::string_view base = name.substr(0, dot);
    std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (base.size() > 8 || ext.size() > 3)
        throw std::invalid_argument("not an 8+3 name: " + std::string(name));
    std::copy(base.begin(), base.end(), raw.begin());
    std::copy(ext.begin(), ext.end(), raw.begin() + 8);
    return raw;
}

Dos2Form dos2_form_for(std::uint8_t flags, std::uint32_t sector_count)
{
    if ((flags & dos2_flag_wide) && sector_count > 1022)
        return Dos2Form::dos2_wide;
    if (flags & (dos2_flag_dos2 | dos2_flag_wide))
        return Dos2Form::dos2;
    return Dos2Form::dos1;
}

std::uint8_t mydos_code(int sector_size, std::uint32_t n)
{
    if ((sector_size == 128 && n >= 944) || (sector_size == 256 && n >= 1024))
        return std::uint8_t((n / 8 + 266) / 256 + 2);
    return 2;
}

Dos2Disk::Dos2Disk(int sector_size, std::uint32_t sector_count)
    : disk(sector_size, sector_count), in_use(std::size_t(sector_count) + 1, false)
{
    reserve(dos2_vtoc_sector, dos2_root_sector + dos2_dir_sectors - 1);
}

std::uint32_t Dos2Disk::alloc(std::uint32_t n)
{
    // A directory entry holds 16-bit sector numbers.
    const std::uint32_t last_usable = std::min<std::uint32_t>(disk.sector_count, 65535);
    for (;;) {
        bool moved = false;
        for (auto [first, last] : reserved) {
            if (next_free <= last && next_free + n > first) {
                next_free = last + 1;
                moved = true;
            }
        }
        if (!moved)
            break;
    }
    if (next_free + n - 1 > last_usable)
        throw std::length_error("Dos2Disk: disk full");
    std::uint32_t got = next_free;
    next_free += n;
    used += n;
    for (std::uint32_t s = got; s < next_free; s++)
        in_use[s] = true;
    return got;
}

Dos2Disk &Dos2Disk::vtoc(const Dos2Vtoc &v)
{
    disk.bytes(dos2_vtoc_sector, 0, {v.code});
    disk.le16(dos2_vtoc_sector, 1, v.total);
    if (v.litedos) {
        disk.text(dos2_vtoc_sector, 3, "LiteDOS");
        disk.le16(dos2_vtoc_sector, 113, v.free);
    } else {
        disk.le16(dos2_vtoc_sector, 3, v.free);
    }
    disk.bytes(dos2_vtoc_sector, 10, {v.map0});
    disk.bytes(dos2_vtoc_sector, 55, {v.map360});
    return *this;
}

Dos2Disk &Dos2Disk::entry_at(std::uint32_t sector, unsigned slot, const Dos2Entry &e)
{
    std::uint8_t *p = disk.sector(sector) + slot * 16;
    p[0] = e.flags;
    p[1] = std::uint8_t(e.count);
    p[2] = std::uint8_t(e.count >> 8);
    p[3] = std::uint8_t(e.start);
    p[4] = std::uint8_t(e.start >> 8);
    std::memcpy(p + 5, e.name.data(), e.name.size());
    return *this;
}

Dos2Disk &Dos2Disk::entry(std::uint32_t dir, unsigned index, const Dos2Entry &e)
{
    return entry_at(dir + index / 8, index % 8, e);
}

Dos2Disk &Dos2Disk::link(std::uint32_t sector, std::uint32_t next, std::uint8_t last, Dos2Form form,
                         unsigned file_no)
{
    std::uint8_t *p = disk.sector(sector) + disk.sector_size - 3;
    if (form == Dos2Form::dos2_wide) {
        if (next > 0xFFFF)
            throw std::out_of_range("Dos2Disk: 16-bit link to " + std::to_string(next));
        p[0] = std::uint8_t(next >> 8);
    } else {
        if (next > 0x3FF)
            throw std::out_of_range("Dos2Disk: 10-bit link to " + std::to_string(next));
        p[0] = std::uint8_t(file_no << 2 | next >> 8);
    }
    p[1] = std::uint8_t(next);
    p[2] = last;
    return *this;
}

Dos2Extent Dos2Disk::chain_in(const std::vector<std::uint32_t> &sectors,
                              std::span<const std::uint8_t> data, Dos2Form form, unsigned file_no)
{
    const std::uint32_t area = data_area();
    const std::uint32_t need = std::max<std::uint32_t>(1, std::uint32_t((data.size() + area - 1) / area));
    if (sectors.size() < need)
        throw std::invalid_argument("Dos2Disk: too few sectors for the chain");
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < need; i++) {
        const bool last = i + 1 == need;
        const std::uint32_t n = std::uint32_t(std::min<std::size_t>(area, data.size() - at));
        if (n)
            std::memcpy(disk.sector(sectors[i]), data.data() + at, n);
        at += n;
        std::uint8_t count = std::uint8_t(n);
        if (form == Dos2Form::dos1) {
            // DOS 1 marks only the last sector, with 0x80 | count.
            if (last && n > 0x7F)
                throw std::invalid_argument("Dos2Disk: DOS 1 form cannot end with a sector of " +
                                            std::to_string(n) + " bytes");
            count = last ? std::uint8_t(0x80 | n) : 0;
        }
        link(sectors[i], last ? 0 : sectors[i + 1], count, form, file_no);
    }
    return {sectors[0], need};
}

Dos2Extent Dos2Disk::chain(std::span<const std::uint8_t> data, Dos2Form form, unsigned file_no)
{
    const std::uint32_t area = data_area();
    const std::size_t need = std::max<std::size_t>(1, (data.size() + area - 1) / area);
    std::vector<std::uint32_t> sectors(need);
    for (auto &s : sectors)
        s = alloc();
    return chain_in(sectors, data, form, file_no);
}

namespace {

struct VolumeDir {
    std::uint32_t first;
    unsigned entries = 0;
};

// The next free entry of a directory; a directory holds 64.
unsigned take_slot(VolumeDir &dir, const std::string &path)
{
    if (dir.entries >= 8 * dos2_dir_sectors)
        throw std::length_error("dos2_volume: directory full: /" + path);
    return dir.entries++;
}

} // namespace

Dos2Disk dos2_volume(const Dos2Volume &vol, const std::vector<Dos2Item> &items)
{
    const std::uint32_t n = vol.sector_count;
    const std::uint8_t code = vol.code ? vol.code : mydos_code(vol.sector_size, n);
    Dos2Disk d(vol.sector_size, n);
    if (code == 2 && n >= 1024)
        d.reserve(1024, 1024); // DOS 2.5 keeps the rest of its bitmap there
    if (code >= 3 && code < 0x40)
        d.reserve(dos2_vtoc_sector - (code - 2), dos2_vtoc_sector - 1); // MyDOS bitmap sectors

    std::uint32_t total = vol.total;
    if (total == 0 && code == 2 && n >= 944)
        total = 1010;
    else if (total == 0)
        total = std::min<std::uint32_t>(n - 13, 65535); // 707 on 720 sectors

    const Dos2Form form = dos2_form_for(vol.file_flags, n);
    std::vector<bool> &taken = d.in_use;
    auto mark = [&](std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t s = first; s < first + count && s <= n; s++)
            taken[s] = true;
    };

    std::unordered_map<std::string, VolumeDir> dirs;
    dirs.emplace("", VolumeDir{dos2_root_sector});

    // The directory at `path` ("" for the root, else "A/B"), made on first use.
    auto directory = [&](const std::string &path) -> VolumeDir & {
        std::size_t at = 0;
        std::string parent;
        while (at < path.size()) {
            std::size_t slash = path.find('/', at);
            if (slash == std::string::npos)
                slash = path.size();
            std::string here = path.substr(0, slash);
            if (!dirs.count(here)) {
                VolumeDir &up = dirs.at(parent);
                unsigned slot = take_slot(up, parent);
                std::uint32_t first = d.alloc(dos2_dir_sectors);
                d.entry(up.first, slot,
                        dos2_entry(dos2_flag_subdir, dos2_dir_sectors, first,
                                   std::string_view(path).substr(at, slash - at)));
                dirs.emplace(here, VolumeDir{first});
            }
            parent = here;
            at = slash + 1;
        }
        return dirs.at(path);
    };

    for (const Dos2Item &item : items) {
        std::size_t slash = item.path.rfind('/');
        std::string dir_path = slash == std::string::npos ? "" : item.path.substr(0, slash);
        std::string name = slash == std::string::npos ? item.path : item.path.substr(slash + 1);
        VolumeDir &dir = directory(dir_path);
        if (name.empty())
            continue; // "DIR/": the directory alone
        unsigned slot = take_slot(dir, item.path);
        Dos2Extent x = d.chain(item.data, form, slot);
        d.entry(dir.first, slot, dos2_entry(vol.file_flags, x.count, x.start, name));
    }

    // In use: sector 0 (which the bitmap counts), the boot sectors, the
    // reserved ones and whatever the allocator handed out.
    mark(0, 4);
    for (auto [first, last] : d.reserved)
        mark(first, last - first + 1);

    Dos2Vtoc v;
    v.code = code;
    v.total = total;
    v.free = total > d.used ? total - d.used : 0;
    d.vtoc(v);
    // The bitmap of the first 720 sectors, in bytes 10-99 as DOS 2 keeps it;
    // readers look only at the bytes of sectors 0-7 and 360-367.
    std::uint8_t *vtoc = d.disk.sector(dos2_vtoc_sector);
    const std::uint32_t mapped = std::min<std::uint32_t>(n + 1, 720);
    for (std::uint32_t s = 0; s < mapped; s++) {
        std::uint8_t bit = std::uint8_t(0x80 >> (s % 8));
        if (taken[s])
            vtoc[10 + s / 8] &= std::uint8_t(~bit);
        else
            vtoc[10 + s / 8] |= bit;
    }
    return d;
}
