#include "sparta_layout.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

std::string sparta_field(std::string_view name, std::size_t width)
{
    std::string f(width, ' ');
    if (width <= 8) {
        name = name.substr(0, std::min(name.size(), width));
        f.replace(0, name.size(), name);
        return f;
    }
    const std::size_t dot = name.rfind('.');
    std::string_view base = name.substr(0, dot);
    std::string_view ext =
        dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    base = base.substr(0, std::min<std::size_t>(base.size(), 8));
    ext = ext.substr(0, std::min<std::size_t>(ext.size(), 3));
    f.replace(0, base.size(), base);
    f.replace(8, ext.size(), ext);
    return f;
}

SpartaEntry sparta_file(std::string_view name, std::uint32_t map, std::uint32_t size,
                        SpartaDate date)
{
    return {sparta_status::in_use, map, size, sparta_field(name), date};
}

SpartaEntry sparta_subdir(std::string_view name, std::uint32_t map, SpartaDate date)
{
    return {std::uint8_t(sparta_status::in_use | sparta_status::subdir), map, 0, sparta_field(name),
            date};
}

std::vector<std::uint8_t> sparta_entry_bytes(const SpartaEntry &e)
{
    std::vector<std::uint8_t> b(23, 0);
    b[0] = e.status;
    b[1] = std::uint8_t(e.map);
    b[2] = std::uint8_t(e.map >> 8);
    b[3] = std::uint8_t(e.size);
    b[4] = std::uint8_t(e.size >> 8);
    b[5] = std::uint8_t(e.size >> 16);
    std::string name = e.name;
    name.resize(11, ' ');
    std::memcpy(&b[6], name.data(), 11);
    const SpartaDate &d = e.date;
    b[17] = std::uint8_t(d.day);
    b[18] = std::uint8_t(d.month);
    b[19] = std::uint8_t(d.year);
    b[20] = std::uint8_t(d.hour);
    b[21] = std::uint8_t(d.minute);
    b[22] = std::uint8_t(d.second);
    return b;
}

std::vector<std::uint8_t> sparta_dir_bytes(const std::vector<SpartaEntry> &entries,
                                           SpartaEntry header)
{
    std::vector<std::uint8_t> out;
    out.reserve(23 * (entries.size() + 1));
    header.size = std::uint32_t(23 * (entries.size() + 1));
    auto append = [&out](const SpartaEntry &e) {
        std::vector<std::uint8_t> b = sparta_entry_bytes(e);
        out.insert(out.end(), b.begin(), b.end());
    };
    append(header);
    for (const SpartaEntry &e : entries)
        append(e);
    return out;
}

void sparta_boot_sector(DiskBuilder &d, std::uint32_t root_map, std::uint32_t bitmap,
                        std::string_view volume)
{
    d.bytes(1, sparta_boot::signature, {0x80})
        .le16(1, sparta_boot::root_map, root_map)
        .le16(1, sparta_boot::total, d.sector_count)
        .le16(1, sparta_boot::bitmap, bitmap)
        .text(1, sparta_boot::volume, sparta_field(volume, 8))
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
    const std::uint32_t bits_per_sector = std::uint32_t(sector_size) * 8;
    bitmap_sectors = (sector_count + 1 + bits_per_sector - 1) / bits_per_sector;
    next_free = first_bitmap + bitmap_sectors;
    sparta_boot_sector(disk, 0, first_bitmap, volume);
    disk.bytes(1, sparta_boot::bitmap_count, {std::uint8_t(bitmap_sectors)});
}

std::uint32_t SpartaVolume::take(std::uint32_t n)
{
    if (n > disk.sector_count + 1 - next_free)
        throw std::length_error("SpartaVolume: disk full");
    const std::uint32_t first = next_free;
    next_free += n;
    return first;
}

std::uint32_t SpartaVolume::put(std::span<const std::uint8_t> bytes, std::uint32_t at)
{
    const std::size_t s = std::size_t(disk.sector_size);
    const std::size_t per_map = (s - 4) / 2;
    const std::size_t n_data = (bytes.size() + s - 1) / s;
    const std::uint32_t first = at ? at : take();
    std::uint32_t map = first, prev = 0;
    std::size_t done = 0; // data sectors written
    for (;;) {
        const std::size_t here = std::min(per_map, n_data - done);
        std::vector<std::uint32_t> data(here);
        for (std::size_t i = 0; i < here; i++) {
            const std::uint32_t sec = take();
            const std::size_t off = (done + i) * s;
            const std::size_t len = std::min(s, bytes.size() - off);
            std::memcpy(disk.sector(sec), bytes.data() + off, len);
            data[i] = sec;
        }
        done += here;
        const std::uint32_t next = done < n_data ? take() : 0;
        sparta_map_sector(disk, map, next, data, prev);
        if (!next)
            return first;
        prev = map;
        map = next;
    }
}

std::uint32_t SpartaVolume::put(std::string_view text, std::uint32_t at)
{
    return put(std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()), at);
}

SpartaEntry SpartaVolume::file(std::string_view name, std::span<const std::uint8_t> bytes,
                               SpartaDate date)
{
    return sparta_file(name, put(bytes), std::uint32_t(bytes.size()), date);
}

SpartaEntry SpartaVolume::file(std::string_view name, std::string_view text, SpartaDate date)
{
    return sparta_file(name, put(text), std::uint32_t(text.size()), date);
}

SpartaEntry SpartaVolume::dir(std::string_view name, const std::vector<SpartaEntry> &entries,
                              SpartaDate date, std::uint32_t at)
{
    SpartaEntry header = sparta_subdir(name, 0, date);
    return sparta_subdir(name, put(sparta_dir_bytes(entries, header), at), date);
}

std::uint32_t SpartaVolume::root(const std::vector<SpartaEntry> &entries, std::uint32_t at)
{
    SpartaEntry header = sparta_subdir("MAIN", 0);
    const std::uint32_t map = put(sparta_dir_bytes(entries, header), at);
    disk.le16(1, sparta_boot::root_map, map);

    // Bitmap, most significant bit first: 1 = free.  Everything handed out
    // so far, and sector 0, is in use.
    const std::size_t s = std::size_t(disk.sector_size);
    std::uint32_t free = 0;
    for (std::uint32_t n = 0; n <= disk.sector_count; n++) {
        const bool is_free = n >= next_free;
        std::uint8_t *byte = disk.sector(first_bitmap + n / (8 * s)) + (n % (8 * s)) / 8;
        const std::uint8_t bit = std::uint8_t(0x80 >> (n % 8));
        *byte = is_free ? (*byte | bit) : (*byte & ~bit);
        free += is_free;
    }
    disk.le16(1, sparta_boot::free_count, free);
    return map;
}

namespace {

struct DirNode {
    std::string name;
    // Children in order: a file (index into the file list) or a directory
    // (index into the node list).
    std::vector<std::pair<bool, std::size_t>> children;
};

struct TreeWriter {
    SpartaVolume &vol;
    const std::vector<SpartaFile> &files;
    const std::vector<DirNode> &nodes;
    SpartaDate dir_date;

    // Writes directory `node` below `parent_map` and returns its entry.  Its
    // first map sector is taken before its contents so that they can name
    // it as their parent.
    SpartaEntry write(std::size_t node, std::uint32_t parent_map)
    {
        const std::uint32_t map = vol.take();
        std::vector<SpartaEntry> entries;
        entries.reserve(nodes[node].children.size());
        for (auto [is_dir, i] : nodes[node].children) {
            if (is_dir) {
                entries.push_back(write(i, map));
            } else {
                const SpartaFile &f = files[i];
                const std::size_t slash = f.path.rfind('/');
                std::string_view leaf = f.path;
                if (slash != std::string::npos)
                    leaf.remove_prefix(slash + 1);
                entries.push_back(vol.file(leaf, f.bytes, f.date));
            }
        }
        SpartaEntry header =
            sparta_subdir(node == 0 ? "MAIN" : nodes[node].name, parent_map, dir_date);
        if (node == 0) {
            vol.root(entries, map);
            return header;
        }
        vol.put(sparta_dir_bytes(entries, header), map);
        return sparta_subdir(nodes[node].name, map, dir_date);
    }
};

} // namespace

DiskBuilder sparta_volume(int sector_size, std::uint32_t sector_count,
                          const std::vector<SpartaFile> &files, std::string_view volume,
                          SpartaDate dir_date)
{
    std::vector<DirNode> nodes(1); // the root
    std::unordered_map<std::string, std::size_t> by_path;
    for (std::size_t i = 0; i < files.size(); i++) {
        const std::string &path = files[i].path;
        std::size_t node = 0;
        std::size_t start = 0;
        for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos;
             start = slash + 1) {
            auto [it, added] = by_path.try_emplace(path.substr(0, slash), nodes.size());
            if (added) {
                nodes.push_back({path.substr(start, slash - start), {}});
                nodes[node].children.push_back({true, it->second});
            }
            node = it->second;
        }
        nodes[node].children.push_back({false, i});
    }
    SpartaVolume vol(sector_size, sector_count, volume);
    TreeWriter{vol, files, nodes, dir_date}.write(0, 0);
    return std::move(vol.disk);
}
