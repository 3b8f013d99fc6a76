#include "dos2_layout.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

Dos2Entry dos2_entry(std::uint8_t flags, std::uint32_t count, std::uint32_t start, std::string_view name)
{
    Dos2Entry e{flags, count, start, {}};
    e.name.fill(' ');
    std::size_t dot = std::min(name.find('.'), name.size());
    std::string_view ext = name.substr(std::min(dot + 1, name.size()));
    if (dot > 8 || ext.size() > 3)
        throw std::invalid_argument("not an 8+3 name: " + std::string(name));
    std::copy_n(name.begin(), dot, e.name.begin());
    std::copy(ext.begin(), ext.end(), e.name.begin() + 8);
    return e;
}

std::uint32_t Dos2Disk::alloc(std::uint32_t n)
{
    for (bool moved = true; moved;) {
        moved = false;
        for (auto [first, last] : reserved)
            if (next_free <= last && next_free + n > first)
                next_free = last + 1, moved = true;
    }
    // A directory entry holds 16-bit sector numbers.
    if (next_free + n - 1 > std::min<std::uint32_t>(disk.sector_count, 65535))
        throw std::length_error("Dos2Disk: disk full");
    for (std::uint32_t s = next_free; s < next_free + n; s++)
        in_use[s] = true;
    used += n;
    next_free += n;
    return next_free - n;
}

Dos2Disk &Dos2Disk::vtoc(const Dos2Vtoc &v)
{
    disk.bytes(dos2_vtoc_sector, 0, {v.code}).le16(dos2_vtoc_sector, 1, v.total);
    if (v.litedos)
        disk.text(dos2_vtoc_sector, 3, "LiteDOS").le16(dos2_vtoc_sector, 113, v.free);
    else
        disk.le16(dos2_vtoc_sector, 3, v.free);
    disk.bytes(dos2_vtoc_sector, 10, {v.map0}).bytes(dos2_vtoc_sector, 55, {v.map360});
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

Dos2Disk &Dos2Disk::link(std::uint32_t sector, std::uint32_t next, std::uint8_t last, Dos2Form form, unsigned file_no)
{
    const bool wide = form == Dos2Form::dos2_wide;
    if (next > (wide ? 0xFFFFu : 0x3FFu))
        throw std::out_of_range("Dos2Disk: link to " + std::to_string(next) + " does not fit");
    std::uint8_t *p = disk.sector(sector) + disk.sector_size - 3;
    p[0] = std::uint8_t(wide ? next >> 8 : file_no << 2 | next >> 8);
    p[1] = std::uint8_t(next);
    p[2] = last;
    return *this;
}

Dos2Disk &Dos2Disk::chain_in(const std::vector<std::uint32_t> &sectors, std::span<const std::uint8_t> data,
                             Dos2Form form, unsigned file_no)
{
    const std::size_t area = std::size_t(disk.sector_size) - 3;
    const std::size_t need = std::max<std::size_t>(1, (data.size() + area - 1) / area);
    if (sectors.size() < need)
        throw std::invalid_argument("Dos2Disk: too few sectors for the chain");
    for (std::size_t i = 0, at = 0; i < need; i++, at += area) {
        const bool last = i + 1 == need;
        const std::size_t n = std::min(area, data.size() - at);
        std::copy_n(data.begin() + std::ptrdiff_t(at), n, disk.sector(sectors[i]));
        std::uint8_t count = std::uint8_t(n);
        if (form == Dos2Form::dos1) {
            // DOS 1 marks only the last sector, with 0x80 | count.
            if (last && n > 0x7F)
                throw std::invalid_argument("Dos2Disk: DOS 1 form cannot end with a full sector");
            count = last ? std::uint8_t(0x80 | n) : 0;
        }
        link(sectors[i], last ? 0 : sectors[i + 1], count, form, file_no);
    }
    return *this;
}

Dos2Disk dos2_volume(const Dos2Volume &vol, const std::vector<Dos2Item> &items)
{
    const std::uint32_t n = vol.sector_count;
    const int s = vol.sector_size;
    // MyDOS writes (N / 8 + 266) / 256 + 2 on large volumes, 2 on the others.
    const bool large = (s == 128 && n >= 944) || (s == 256 && n >= 1024);
    const std::uint8_t code = vol.code ? vol.code : large ? std::uint8_t((n / 8 + 266) / 256 + 2) : 2;
    Dos2Disk d(s, n);
    if (code == 2 && n >= 1024)
        d.reserved.emplace_back(1024, 1024); // DOS 2.5 keeps the rest of its bitmap there
    if (code >= 3 && code < 0x40)
        d.reserved.emplace_back(dos2_vtoc_sector - (code - 2), dos2_vtoc_sector - 1); // MyDOS bitmap sectors
    const Dos2Form form = (vol.file_flags & dos2_flag_wide) && n > 1022 ? Dos2Form::dos2_wide
                          : vol.file_flags & (dos2_flag_dos2 | dos2_flag_wide) ? Dos2Form::dos2
                                                                              : Dos2Form::dos1;

    // Directories by path ("" for the root, else "A/B"): first sector, entries used.
    std::map<std::string, std::pair<std::uint32_t, unsigned>> dirs{{"", {dos2_root_sector, 0}}};
    auto add = [&](const std::string &dir, const Dos2Entry &e) {
        auto &[first, entries] = dirs.at(dir);
        if (entries == 64)
            throw std::length_error("dos2_volume: directory full: /" + dir);
        d.entry(first, entries++, e);
    };
    for (const Dos2Item &item : items) {
        std::string dir;
        std::size_t at = 0;
        for (std::size_t slash; (slash = item.path.find('/', at)) != std::string::npos; at = slash + 1) {
            std::string sub = item.path.substr(0, slash);
            if (!dirs.count(sub)) {
                std::uint32_t first = d.alloc(8);
                add(dir, dos2_entry(dos2_flag_subdir, 8, first, item.path.substr(at, slash - at)));
                dirs[sub] = {first, 0};
            }
            dir = sub;
        }
        if (at == item.path.size())
            continue; // "DIR/": the directory alone
        const std::size_t area = std::size_t(s) - 3;
        std::vector<std::uint32_t> sectors(std::max<std::size_t>(1, (item.data.size() + area - 1) / area));
        for (std::uint32_t &sector : sectors)
            sector = d.alloc();
        const unsigned file_no = dirs.at(dir).second;
        d.chain_in(sectors, item.data, form, file_no);
        add(dir, dos2_entry(vol.file_flags, std::uint32_t(sectors.size()), sectors[0], item.path.substr(at)));
    }

    Dos2Vtoc v{.code = code, .map0 = 0, .map360 = 0};
    v.total = vol.total ? vol.total : code == 2 && n >= 944 ? 1010 : std::min<std::uint32_t>(n - 13, 65535);
    v.free = v.total > d.used ? v.total - d.used : 0;
    // DOS 2.5 counts the free sectors from 720 to 1023 apart, in bytes
    // 122-123 of sector 1024; the VTOC's count covers those below 720.
    std::uint32_t free_high = 0;
    if (code == 2 && s == 128 && n >= 1024) {
        for (std::uint32_t sector = 720; sector < 1024; sector++)
            free_high += !d.in_use[sector];
        free_high = std::min(free_high, v.free);
        v.free -= free_high;
        d.disk.le16(1024, 122, free_high);
    }
    d.vtoc(v);
    // The bitmap of the first 720 sectors in bytes 10-99; in use are sector 0
    // (which the bitmap counts), the boot sectors, the reserved ones and the files.
    std::uint8_t *map = d.disk.sector(dos2_vtoc_sector) + 10;
    for (std::uint32_t sector = 4; sector < std::min<std::uint32_t>(n + 1, 720); sector++) {
        bool reserved = std::any_of(d.reserved.begin(), d.reserved.end(),
                                    [&](auto r) { return sector >= r.first && sector <= r.second; });
        if (!d.in_use[sector] && !reserved)
            map[sector / 8] |= std::uint8_t(0x80 >> sector % 8);
    }
    return d;
}
