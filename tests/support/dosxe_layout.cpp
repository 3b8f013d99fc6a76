#include "dosxe_layout.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr std::uint32_t payload = 250;
constexpr unsigned per_cluster = 5; // directory entries
constexpr std::size_t entry_bytes = 49;

// The tree the items describe; children in the order they were first named.
struct Tree {
    std::string name;
    bool dir = true;
    DosXeItem item;
    std::vector<std::unique_ptr<Tree>> children;
};

Tree &child(Tree &t, const std::string &name, bool dir, const DosXeItem &item)
{
    for (auto &c : t.children)
        if (c->name == name) {
            if (c->dir != dir)
                throw std::invalid_argument("dosxe: " + name + " is both file and directory");
            return *c;
        }
    t.children.push_back(std::make_unique<Tree>());
    Tree &c = *t.children.back();
    c.name = name;
    c.dir = dir;
    c.item = item;
    c.item.data.clear();
    c.item.flags = 0;
    return c;
}

void put_name(std::uint8_t *p, const std::string &name)
{
    const std::size_t dot = std::min(name.find('.'), name.size());
    const std::string ext = dot < name.size() ? name.substr(dot + 1) : "";
    if (dot > 8 || ext.size() > 3)
        throw std::invalid_argument("dosxe: not an 8+3 name: " + name);
    std::memset(p, ' ', 11);
    std::memcpy(p, name.data(), dot);
    std::memcpy(p + 8, ext.data(), ext.size());
}

void put16(std::uint8_t *p, std::uint32_t v)
{
    p[0] = std::uint8_t(v), p[1] = std::uint8_t(v >> 8);
}

void place_dir(DosXeDisk &d, const Tree &t, std::uint32_t first, std::uint32_t file_no, const std::string &path)
{
    const std::size_t n = std::max<std::size_t>(1, (t.children.size() + per_cluster - 1) / per_cluster);
    std::vector<std::uint32_t> chain{first};
    while (chain.size() < n)
        chain.push_back(d.alloc());
    for (std::size_t i = 0; i < n; i++)
        d.trailer(chain[i], file_no, std::uint8_t(i), 0xFF).dir_next(chain[i], i + 1 < n ? chain[i + 1] : 0);
    d.nodes[path.empty() ? "/" : path].dir = chain;

    for (std::size_t idx = 0; idx < t.children.size(); idx++) {
        const Tree &c = *t.children[idx];
        const std::string cpath = path + "/" + c.name;
        DosXeNode node;
        node.entry_cluster = chain[idx / per_cluster];
        node.entry_index = unsigned(idx % per_cluster);
        node.file_no = ++d.last_file_no;

        std::uint8_t *e = d.cluster(node.entry_cluster) + node.entry_index * entry_bytes;
        e[0] = c.item.flags ? c.item.flags : (c.dir ? 0x41 : 0x40);
        put_name(e + 1, c.name);
        put16(e + 0x0F, node.file_no);
        put16(e + 0x11, d.disk_no);
        const std::uint16_t created = c.item.created ? c.item.created : c.item.changed;
        e[0x2B] = std::uint8_t(created >> 8), e[0x2C] = std::uint8_t(created);
        e[0x2D] = std::uint8_t(c.item.changed >> 8), e[0x2E] = std::uint8_t(c.item.changed);

        if (c.dir) {
            const std::uint32_t sub = d.alloc();
            put16(e + 0x13, sub);
            d.nodes[cpath] = node;
            place_dir(d, c, sub, node.file_no, cpath);
            continue;
        }
        const std::vector<std::uint8_t> &data = c.item.data;
        const std::uint32_t size = std::uint32_t(data.size());
        put16(e + 0x0C, size / payload);
        e[0x0E] = std::uint8_t(size % payload);
        const std::uint32_t clusters = (size + payload - 1) / payload;
        const std::uint32_t maps = std::max<std::uint32_t>(1, (clusters + 124) / 125);
        if (maps > 12)
            throw std::length_error("dosxe: file needs more than 12 maps: " + cpath);
        std::uint32_t i = 0;
        for (std::uint32_t k = 0; k < maps; k++) {
            const std::uint32_t m = d.alloc();
            put16(e + 0x13 + 2 * k, m);
            d.trailer(m, node.file_no, std::uint8_t(2 * k), std::uint8_t(0x80 | 2 * k));
            node.maps.push_back(m);
            for (unsigned slot = 0; slot < 125 && i < clusters; slot++, i++) {
                const std::uint32_t dc = d.alloc();
                d.map_slot(m, slot, dc).trailer(dc, node.file_no, std::uint8_t(i), std::uint8_t(i >> 8));
                const std::uint32_t from = i * payload;
                std::copy_n(data.begin() + from, std::min(payload, size - from), d.cluster(dc));
                node.data.push_back(dc);
            }
        }
        d.nodes[cpath] = node;
    }
}

} // namespace

DosXeGeometry dosxe_geometry(DosXeDensity d)
{
    switch (d) {
    case DosXeDensity::at810:
        return {"AT810", 128, 720, 353, 347};
    case DosXeDensity::at1050:
        return {"AT1050", 128, 1040, 513, 507};
    case DosXeDensity::ssdd:
        return {"SSDD", 256, 720, 721, 715};
    case DosXeDensity::xf551:
        break;
    }
    return {"XF551", 256, 1440, 1441, 1435};
}

std::uint16_t dosxe_date(int year, int month, int day)
{
    return std::uint16_t((year - 1900) << 9 | month << 5 | day);
}

DosXeDisk::DosXeDisk(DosXeDensity d) : disk(dosxe_geometry(d).sector_size, dosxe_geometry(d).sectors), geo(dosxe_geometry(d))
{
}

std::uint8_t *DosXeDisk::cluster(std::uint32_t c)
{
    const std::size_t off = geo.sector_size == 128 ? (2 * std::size_t(c) - 1) * 128 : (std::size_t(c) - 1) * 256;
    if (c == 0 || off + 256 > disk.data.size())
        throw std::out_of_range("dosxe: no cluster " + std::to_string(c));
    return disk.data.data() + off;
}

std::uint8_t *DosXeDisk::entry(const std::string &path)
{
    const DosXeNode &n = nodes.at(path);
    return cluster(n.entry_cluster) + n.entry_index * entry_bytes;
}

DosXeDisk &DosXeDisk::trailer(std::uint32_t c, std::uint32_t file_no, std::uint8_t seq0, std::uint8_t seq1)
{
    std::uint8_t *p = cluster(c) + 0xFA;
    put16(p, file_no);
    put16(p + 2, disk_no);
    p[4] = seq0, p[5] = seq1;
    return *this;
}

DosXeDisk &DosXeDisk::cluster_word(std::uint32_t c, std::size_t offset, std::uint32_t v)
{
    put16(cluster(c) + offset, v);
    return *this;
}

DosXeDisk &DosXeDisk::size(const std::string &path, std::uint32_t bytes)
{
    std::uint8_t *e = entry(path);
    put16(e + 0x0C, bytes / payload);
    e[0x0E] = std::uint8_t(bytes % payload);
    return *this;
}

std::uint32_t DosXeDisk::alloc()
{
    if (next_cluster >= geo.total)
        throw std::length_error("dosxe: disk full");
    return next_cluster++;
}

DosXeDisk dosxe_volume(DosXeDensity density, const std::vector<DosXeItem> &items)
{
    Tree root;
    for (const DosXeItem &it : items) {
        Tree *t = &root;
        std::size_t at = 0;
        for (std::size_t slash; (slash = it.path.find('/', at)) != std::string::npos; at = slash + 1)
            t = &child(*t, it.path.substr(at, slash - at), true, it);
        if (at < it.path.size()) {
            Tree &f = child(*t, it.path.substr(at), false, it);
            f.item = it;
        } else if (t != &root) {
            t->item = it; // an explicit directory sets its own date and flags
        }
    }

    DosXeDisk d(density);
    const DosXeGeometry &g = d.geo;
    // Boot sector: the sample's boot header and configuration, the density
    // and the cluster counts.
    d.disk.bytes(1, 0, {0x58, 0x03, 0x00, 0x07, 0xCA, 0x0C, 0x4C, 0x30, 0x07, 3, 3})
        .text(1, 0x10, g.code)
        .bytes(1, 0x16, {1, 1})
        .le16(1, 0x18, g.total)
        .le16(1, 0x1A, g.formatted_free)
        .bytes(1, 0x1C, {7, 5})
        .bytes(1, 0x22, {0x52, 0x57});

    place_dir(d, root, 5, 0, "");

    // VTOC: clusters below next_cluster are in use; a set bit is free.
    std::uint8_t *v = d.cluster(4);
    v[0] = v[1] = 1;
    put16(v + 2, g.total);
    put16(v + 4, g.total - d.next_cluster);
    put16(v + 6, d.last_file_no);
    put16(v + 8, d.disk_no);
    for (std::uint32_t c = d.next_cluster; c < g.total; c++)
        v[0x0A + (c - 1) / 8] |= std::uint8_t(0x80 >> ((c - 1) % 8));
    return d;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dosxe_seed_files()
{
    auto bytes = [](std::size_t n, std::uint8_t seed) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; i++)
            v[i] = std::uint8_t(seed + i * 13);
        return v;
    };
    const std::vector<DosXeItem> tree = {
        {"README.TXT", {'D', 'O', 'S', ' ', 'X', 'E', '\n'}, dosxe_date(1988, 9, 12)},
        {"GAMES/PACMAN.COM", bytes(1000, 1), dosxe_date(1988, 10, 1)},
        {"GAMES/SAVE/", {}, dosxe_date(1988, 10, 2)},
        {"WELCOME.BAS", bytes(227, 2)},
    };
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
    out.emplace_back("dosxe_demo.atr", dosxe_volume(DosXeDensity::at810, tree).disk.atr());
    out.emplace_back("dosxe_xf551.atr", dosxe_volume(DosXeDensity::xf551, tree).disk.atr());

    // A data cluster of PACMAN.COM that the map names twice.
    DosXeDisk loop = dosxe_volume(DosXeDensity::at810, tree);
    loop.map_slot(loop.nodes["/GAMES/PACMAN.COM"].maps[0], 3, loop.nodes["/GAMES/PACMAN.COM"].data[1]);
    out.emplace_back("dosxe_map_loop.atr", loop.disk.atr());

    // GAMES's directory chain leads back to its own first cluster.
    DosXeDisk dloop = dosxe_volume(DosXeDensity::at810, tree);
    dloop.dir_next(dloop.nodes["/GAMES"].dir[0], dloop.nodes["/GAMES"].dir[0]);
    dloop.cluster_word(dloop.nodes["/GAMES/SAVE"].entry_cluster, 0x13 + 49 * dloop.nodes["/GAMES/SAVE"].entry_index,
                       dloop.nodes["/GAMES"].dir[0]);
    out.emplace_back("dosxe_dir_loop.atr", dloop.disk.atr());

    // A size beyond the clusters the map names, on a double-density disk.
    DosXeDisk big = dosxe_volume(DosXeDensity::ssdd, tree);
    big.size("/WELCOME.BAS", 60000);
    out.emplace_back("dosxe_big_size.atr", big.disk.atr());
    return out;
}
