#include "sparta_layout.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <stdexcept>
#include <utility>

// "DOS.SYS" -> "DOS     SYS" (parts longer than 8 and 3 are cut).
static std::string name_field(std::string_view name)
{
    const std::size_t dot = std::min(name.rfind('.'), name.size());
    std::string f(11, ' ');
    f.replace(0, std::min<std::size_t>(dot, 8), name.substr(0, std::min<std::size_t>(dot, 8)));
    const std::string_view ext = dot < name.size() ? name.substr(dot + 1, 3) : "";
    f.replace(8, ext.size(), ext);
    return f;
}

SpartaEntry sparta_file(std::string_view name, std::uint32_t map, std::uint32_t size, SpartaDate date)
{
    return {sparta_status::in_use, map, size, std::string(name), date};
}

SpartaEntry sparta_subdir(std::string_view name, std::uint32_t map, SpartaDate date)
{
    return {std::uint8_t(sparta_status::in_use | sparta_status::subdir), map, 0, std::string(name), date};
}

std::vector<std::uint8_t> sparta_dir_bytes(const std::vector<SpartaEntry> &entries, SpartaEntry header)
{
    header.size = std::uint32_t(23 * (entries.size() + 1));
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i <= entries.size(); i++) {
        const SpartaEntry &e = i ? entries[i - 1] : header;
        const SpartaDate &d = e.date;
        const std::string name = name_field(e.name);
        out.insert(out.end(), {e.status, std::uint8_t(e.map), std::uint8_t(e.map >> 8), std::uint8_t(e.size),
                               std::uint8_t(e.size >> 8), std::uint8_t(e.size >> 16)});
        out.insert(out.end(), name.begin(), name.end());
        for (int v : {d.day, d.month, d.year, d.hour, d.minute, d.second})
            out.push_back(std::uint8_t(v));
    }
    return out;
}

void sparta_boot_sector(DiskBuilder &d, std::uint32_t root_map, std::uint32_t bitmap, std::string_view volume)
{
    std::string vol(8, ' ');
    vol.replace(0, std::min<std::size_t>(volume.size(), 8), volume.substr(0, 8));
    d.bytes(1, sparta_boot::signature, {0x80})
        .le16(1, sparta_boot::root_map, root_map)
        .le16(1, sparta_boot::total, d.sector_count)
        .le16(1, sparta_boot::bitmap, bitmap)
        .text(1, sparta_boot::volume, vol)
        .bytes(1, sparta_boot::size_code, {std::uint8_t(d.sector_size == 256 ? 0 : d.sector_size)})
        .bytes(1, sparta_boot::version, {0x20});
}

void sparta_map_sector(DiskBuilder &d, std::uint32_t n, std::uint32_t next,
                       const std::vector<std::uint32_t> &data, std::uint32_t prev)
{
    if (4 + 2 * data.size() > std::size_t(d.sector_size))
        throw std::length_error("sparta_map_sector: too many data sectors");
    d.le16(n, 0, next).le16(n, 2, prev);
    for (std::size_t i = 0; i < data.size(); i++)
        d.le16(n, 4 + 2 * i, data[i]);
}

SpartaVolume::SpartaVolume(int sector_size, std::uint32_t sector_count, std::string_view volume)
    : disk(sector_size, sector_count)
{
    if (sector_count > 65535)
        throw std::length_error("SpartaVolume: sector numbers are 16 bits");
    // One bit per sector number, sector 0 included.
    const std::uint32_t bits = std::uint32_t(sector_size) * 8;
    const std::uint32_t bitmap_sectors = (sector_count + bits) / bits;
    next_free = first_bitmap + bitmap_sectors;
    sparta_boot_sector(disk, 0, first_bitmap, volume);
    disk.bytes(1, sparta_boot::bitmap_count, {std::uint8_t(bitmap_sectors)});
}

std::uint32_t SpartaVolume::take(std::uint32_t n)
{
    if (n > disk.sector_count + 1 - next_free)
        throw std::length_error("SpartaVolume: disk full");
    next_free += n;
    return next_free - n;
}

std::uint32_t SpartaVolume::put(std::span<const std::uint8_t> bytes, std::uint32_t at)
{
    const std::size_t s = std::size_t(disk.sector_size), per_map = (s - 4) / 2;
    const std::size_t n_data = (bytes.size() + s - 1) / s;
    const std::uint32_t first = at ? at : take();
    std::uint32_t map = first, prev = 0;
    for (std::size_t done = 0;;) { // data sectors written
        std::vector<std::uint32_t> data;
        for (; data.size() < per_map && done < n_data; done++) {
            data.push_back(take());
            const std::size_t off = done * s;
            std::memcpy(disk.sector(data.back()), bytes.data() + off, std::min(s, bytes.size() - off));
        }
        const std::uint32_t next = done < n_data ? take() : 0;
        sparta_map_sector(disk, map, next, data, prev);
        if (!next)
            return first;
        prev = std::exchange(map, next);
    }
}

SpartaEntry SpartaVolume::file(std::string_view name, std::string_view bytes, SpartaDate date)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(bytes.data());
    return sparta_file(name, put({p, bytes.size()}), std::uint32_t(bytes.size()), date);
}

SpartaEntry SpartaVolume::dir(std::string_view name, const std::vector<SpartaEntry> &entries,
                              SpartaDate date)
{
    return sparta_subdir(name, put(sparta_dir_bytes(entries, sparta_subdir(name, 0, date))), date);
}

std::uint32_t SpartaVolume::root(const std::vector<SpartaEntry> &entries, std::uint32_t at)
{
    const std::uint32_t map = put(sparta_dir_bytes(entries, sparta_subdir("MAIN", 0)), at);
    disk.le16(1, sparta_boot::root_map, map);
    // Bitmap, most significant bit first, 1 = free: sector 0 and everything handed out so far
    // are in use.
    const std::uint32_t bits = std::uint32_t(disk.sector_size) * 8;
    for (std::uint32_t n = next_free; n <= disk.sector_count; n++)
        disk.sector(first_bitmap + n / bits)[n % bits / 8] |= std::uint8_t(0x80 >> (n % 8));
    disk.le16(1, sparta_boot::free_count, disk.sector_count + 1 - next_free);
    return map;
}

namespace {

// Writes the directory holding files[i] for every i in `members` (their paths below it start at
// `from`) and returns its first map sector, taken before the contents so they can name it.
std::uint32_t write_dir(SpartaVolume &vol, const std::vector<SpartaFile> &files,
                        const std::vector<std::size_t> &members, std::size_t from, std::string_view name,
                        std::uint32_t parent, SpartaDate date)
{
    const std::uint32_t map = vol.take();
    std::vector<std::pair<std::string, std::vector<std::size_t>>> items; // (subdirectory or "", files)
    std::map<std::string, std::size_t> dirs;
    for (std::size_t i : members) {
        const std::size_t slash = files[i].path.find('/', from);
        if (slash == std::string::npos) {
            items.push_back({"", {i}});
            continue;
        }
        auto [it, added] = dirs.try_emplace(files[i].path.substr(from, slash - from), items.size());
        if (added)
            items.push_back({it->first, {}});
        items[it->second].second.push_back(i);
    }
    std::vector<SpartaEntry> entries;
    for (const auto &[dir, in] : items) {
        const SpartaFile &f = files[in[0]];
        const std::string_view bytes(reinterpret_cast<const char *>(f.bytes.data()), f.bytes.size());
        entries.push_back(dir.empty() ? vol.file(std::string_view(f.path).substr(from), bytes, f.date)
                                      : sparta_subdir(dir, write_dir(vol, files, in, from + dir.size() + 1,
                                                                     dir, map, date), date));
    }
    if (from == 0)
        return vol.root(entries, map);
    return vol.put(sparta_dir_bytes(entries, sparta_subdir(name, parent, date)), map);
}

} // namespace

DiskBuilder sparta_volume(int sector_size, std::uint32_t sector_count,
                          const std::vector<SpartaFile> &files, std::string_view volume,
                          SpartaDate dir_date)
{
    std::vector<std::size_t> all(files.size());
    std::iota(all.begin(), all.end(), std::size_t(0));
    SpartaVolume vol(sector_size, sector_count, volume);
    write_dir(vol, files, all, 0, "MAIN", 0, dir_date);
    return std::move(vol.disk);
}
