#include "dosxe_layout.h"

#include <algorithm>

namespace {

constexpr std::uint32_t payload = 250, disk_no = 0xCF99;

void place_dir(DosXeDisk &d, const std::vector<DosXeItem> &items, std::uint32_t first, std::uint32_t file_no)
{
    std::vector<std::uint32_t> chain{first};
    while (chain.size() * 5 < items.size())
        chain.push_back(d.used++);
    for (std::size_t i = 0; i < chain.size(); i++)
        d.trailer(chain[i], file_no, std::uint8_t(i), 0xFF)
            .word(chain[i], 0xF8, i + 1 < chain.size() ? chain[i + 1] : 0);

    for (std::size_t idx = 0; idx < items.size(); idx++) {
        const DosXeItem &it = items[idx];
        const std::uint32_t ec = chain[idx / 5], o = std::uint32_t(49 * (idx % 5)), no = ++d.files;
        const std::size_t dot = std::min(it.name.find_first_of("./"), it.name.size());
        std::uint8_t *e = d.cluster(ec) + o;
        e[0] = it.name.back() == '/' ? 0x41 : 0x40;
        std::fill_n(e + 1, 11, ' ');
        std::copy_n(it.name.begin(), dot, e + 1);
        std::copy(it.name.begin() + std::min(dot + 1, it.name.size()), it.name.end(), e + 9);
        d.word(ec, o + 0x0F, no).word(ec, o + 0x11, disk_no);
        e[0x2B] = e[0x2D] = std::uint8_t(it.changed >> 8), e[0x2C] = e[0x2E] = std::uint8_t(it.changed);
        if (e[0] == 0x41) {
            d.word(ec, o + 0x13, d.used);
            place_dir(d, it.items, d.used++, no);
            continue;
        }
        const std::uint32_t size = std::uint32_t(it.data.size());
        d.word(ec, o + 0x0C, size / payload);
        e[0x0E] = std::uint8_t(size % payload);
        for (std::uint32_t i = 0, m = 0; i * payload < size; i++) {
            if (i % 125 == 0) { // a map cluster names 125 data clusters
                m = d.used++;
                d.word(ec, o + 0x13 + i / 125 * 2, m).trailer(m, no, 2 * (i / 125), 0x80 | 2 * (i / 125));
            }
            const std::uint32_t c = d.used++;
            d.word(m, 2 * (i % 125), c).trailer(c, no, std::uint8_t(i), std::uint8_t(i >> 8));
            std::copy_n(it.data.begin() + i * payload, std::min(payload, size - i * payload), d.cluster(c));
        }
    }
}

} // namespace

std::vector<std::uint8_t> dosxe_pattern(std::size_t n, int seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++)
        v[i] = std::uint8_t(seed + i * 7 + i / 250);
    return v;
}

DosXeDisk dosxe_volume(DosXeDensity density, const std::vector<DosXeItem> &root)
{
    const struct { const char *code; int sector_size; std::uint32_t sectors, total; } g[] = {
        {"AT810", 128, 720, 353}, {"AT1050", 128, 1040, 513}, {"SSDD", 256, 720, 721}, {"XF551", 256, 1440, 1441}};
    const auto &[code, sector_size, sectors, t] = g[int(density)];
    DosXeDisk d{DiskBuilder(sector_size, sectors), t};
    // The sample's boot header, the density code, version and unit 1, the
    // cluster counts, the root in cluster 5, the SIO commands.
    d.disk.bytes(1, 0, {0x58, 0x03, 0x00, 0x07, 0xCA, 0x0C, 0x4C, 0x30, 0x07, 3, 3}).text(1, 0x10, code);
    d.disk.bytes(1, 0x16, {1, 1}).le16(1, 0x18, t).le16(1, 0x1A, t - 6).bytes(1, 0x1C, {7, 5});
    d.disk.bytes(1, 0x22, {0x52, 0x57});
    place_dir(d, root, 5, 0);
    // VTOC, with a set bit for each free cluster (cluster 1 first).
    d.word(4, 0, 0x0101).word(4, 2, t).word(4, 4, t - d.used).word(4, 6, d.files).word(4, 8, disk_no);
    for (std::uint32_t c = d.used; c < t; c++)
        d.cluster(4)[0x0A + (c - 1) / 8] |= std::uint8_t(0x80 >> ((c - 1) % 8));
    return d;
}

// Root 5, 6; AUTORUN.SYS map 7, data 8-9; GAMES 10; PACMAN.COM map 11, data 12-15; ARCADE 16; BIG.DAT maps 17
// and 143, data 18-142, 144-146; DOCS 147; A1 map 148; A2.X map 150; WELCOME.BAS (in cluster 6) map 153, data 154.
const std::vector<DosXeItem> &dosxe_demo_tree()
{
    static const std::vector<DosXeItem> tree = {
        {"AUTORUN.SYS", dosxe_pattern(300, 1), dosxe_date(1988, 9, 12)},
        {"GAMES/", {}, dosxe_date(1988, 10, 1), {{"PACMAN.COM", dosxe_pattern(1000, 2)},
         {"ARCADE/", {}, dosxe_date(1992, 2, 29),
          {{"BIG.DAT", dosxe_pattern(32000, 3)}, {"EMPTY.DAT", {}, dosxe_date(1999, 12, 31)}}}}},
        {"DOCS/", {}, dosxe_date(2020, 1, 15)},
        {"A1", dosxe_pattern(250, 4)}, {"A2.X", dosxe_pattern(251, 5)}, {"WELCOME.BAS", dosxe_pattern(227, 6), 0},
    };
    return tree;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dosxe_seed_files()
{
    const DosXeDisk demo = dosxe_volume(DosXeDensity::at810, dosxe_demo_tree());
    DosXeDisk loop = demo, dloop = demo, big = dosxe_volume(DosXeDensity::ssdd, dosxe_demo_tree());
    loop.word(11, 2 * 3, 13);                         // PACMAN.COM's map names cluster 13 twice
    dloop.word(10, 0xF8, 10).word(10, 49 + 0x13, 10); // GAMES leads back to itself, and ARCADE is GAMES
    big.word(6, 0x0C, 240);                           // WELCOME.BAS: 60227 bytes in one cluster
    return {{"dosxe_demo.atr", demo.disk.atr()}, {"dosxe_map_loop.atr", loop.disk.atr()},
            {"dosxe_dir_loop.atr", dloop.disk.atr()}, {"dosxe_big_size.atr", big.disk.atr()}};
}
