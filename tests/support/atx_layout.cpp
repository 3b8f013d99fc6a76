#include "atx_layout.h"

#include "dos2_layout.h"

#include <stdexcept>

// Appends an 8-byte chunk or record header.
static void header(std::vector<std::uint8_t> &b, std::size_t size, unsigned type, std::size_t num = 0, int data = 0)
{
    b.resize(b.size() + 8);
    atx_put32(b, b.size() - 8, std::uint32_t(size));
    atx_put32(b, b.size() - 4, std::uint32_t(type | num << 8 | unsigned(data) << 16));
}

void atx_put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v)
{
    for (int k = 0; k < 4; k++)
        b.at(at + k) = std::uint8_t(v >> 8 * k);
}

AtxFile atx_from_disk(const DiskBuilder &disk, bool density_byte)
{
    const bool ed = disk.sector_count == 1040, dd = disk.sector_size == 256;
    AtxFile f{std::uint8_t(!density_byte ? 0 : ed ? 1 : dd ? 2 : 0), ed ? 26u : 18u, std::vector<std::vector<AtxSector>>(40)};
    for (std::uint32_t tn = 0; tn < 40; tn++)
        for (std::uint32_t i = 0; i < f.spt; i++) {
            const std::uint32_t n = i < f.spt / 2 ? 2 * i + 1 : 2 * i + 2 - f.spt, logical = tn * f.spt + n;
            const std::uint8_t *p = disk.data.data() + (logical - 1) * std::size_t(disk.sector_size);
            f.tracks[tn].push_back({std::uint8_t(n), 0, {p, p + (dd && logical <= 3 ? 128 : disk.sector_size)}});
        }
    return f;
}

AtxSector &atx_sector(AtxFile &f, std::uint32_t n, int fill, std::uint8_t status, bool first)
{
    std::vector<AtxSector> &list = f.tracks.at((n - 1) / f.spt);
    const std::uint8_t number = std::uint8_t((n - 1) % f.spt + 1);
    if (fill >= 0)
        return *list.insert(first ? list.begin() : list.end(), {number, status, std::vector<std::uint8_t>(128, std::uint8_t(fill))});
    for (AtxSector &s : list)
        if (s.number == number)
            return s;
    throw std::out_of_range("atx_sector: no sector " + std::to_string(n));
}

std::vector<std::uint8_t> atx_encode(const AtxFile &f)
{
    // Version 1, readers from version 1, creator 2, the density, the first record at 48.
    std::vector<std::uint8_t> b{'A', 'T', '8', 'X', 1, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, f.density, 0, 0, 0, 0, 0, 0, 0, 0, 0, 48};
    b.resize(48);
    for (std::size_t tn = 0; tn < f.tracks.size(); tn++) {
        // Track header, sector list, sector data, weak and extended-header chunks, end chunk.
        const std::vector<AtxSector> &list = f.tracks[tn];
        const std::size_t data = 40 + 8 * list.size();
        std::vector<std::uint8_t> r(32), chunks;
        r[8] = std::uint8_t(tn), r[10] = std::uint8_t(list.size()), r[20] = 32;
        r[16] = f.spt == 26 || f.density == 2 ? 2 : 0; // MFM
        header(r, 8 + 8 * list.size(), 0x01);
        r.resize(data + 8);
        for (std::size_t i = 0; i < list.size(); i++) {
            r[40 + 8 * i] = list[i].number, r[41 + 8 * i] = list[i].status;
            atx_put32(r, 44 + 8 * i, std::uint32_t(list[i].data_offset < 0 ? long(r.size()) : list[i].data_offset));
            r.insert(r.end(), list[i].data.begin(), list[i].data.end());
            if (list[i].weak >= 0)
                header(chunks, 8, 0x10, i, list[i].weak);
            if (list[i].size_code >= 0)
                header(chunks, 8, 0x11, i, list[i].size_code);
        }
        atx_put32(r, data, std::uint32_t(r.size() - data));
        r.insert(r.end(), chunks.begin(), chunks.end());
        header(r, 0, 0);
        atx_put32(r, 0, std::uint32_t(r.size()));
        b.insert(b.end(), r.begin(), r.end());
    }
    atx_put32(b, 32, std::uint32_t(b.size()));
    return b;
}

DiskBuilder atx_demo_disk()
{
    std::string text;
    while (text.size() < 700)
        text += "ATX DEMO FILE\x9B";
    return dos2_volume({}, {{"README.TXT", {text.begin(), text.end()}}, {"GAMES/DATA.BIN", {7, 7, 7}}}).disk;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> atx_seed_files()
{
    // Bad copies first of README's first sector (CRC), the directory (deleted
    // mark), a free sector (weak) and another (long); a sector 0; a host
    // record that `end` does not count.
    AtxFile p = atx_from_disk(atx_demo_disk());
    atx_sector(p, 4, 0xBF, 0x08, true), atx_sector(p, 361, 0xFF, 0x20, true), atx_sector(p, 360, 0).number = 0;
    atx_sector(p, 700, 0x11, 0x48, true).weak = 64, atx_sector(p, 701, 0x22, 0x44, true).size_code = 1;
    std::vector<std::uint8_t> prot = atx_encode(p), cut = atx_encode(atx_from_disk(atx_demo_disk()));
    prot.resize(prot.size() + 48), prot[prot.size() - 48] = 48, prot[prot.size() - 43] = 1;
    cut.resize(48 + 20 * 2504 + 1000); // in track 20
    return {{"demo.atx", atx_encode(atx_from_disk(atx_demo_disk()))}, {"protected.atx", prot}, {"cut.atx", cut}};
}
