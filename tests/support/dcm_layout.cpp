#include "dcm_layout.h"

#include "dos2_layout.h"
#include "flat_layout.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

using Bytes = std::vector<std::uint8_t>;

// 0x43: literal parts up to each stretch of 4 or more equal bytes, which
// becomes a run.  Empty when the sector would be all literal, unless
// `forced`: then the last byte becomes a run of one.
Bytes dcm_rle(const std::uint8_t *c, std::size_t s, bool forced)
{
    Bytes out{dcm_type::compressed};
    bool runs = false;
    auto end = [](std::size_t e) { return std::uint8_t(e == 256 ? 0 : e); };
    for (std::size_t i = 0; i < s;) {
        std::size_t a = i;
        while (a + 3 < s && !(c[a] == c[a + 1] && c[a] == c[a + 2] && c[a] == c[a + 3]))
            a++;
        if (a + 3 >= s)
            a = s;
        if (i == 0 && a == s) { // all literal
            if (!forced)
                return {};
            a = s - 1;
        }
        out.push_back(i == 0 && a == 0 ? 0 : end(a));
        out.insert(out.end(), c + i, c + a);
        if ((i = a) >= s)
            break;
        std::size_t b = a;
        while (b < s && c[b] == c[a])
            b++;
        out.push_back(end(b));
        out.push_back(c[a]);
        runs = true;
        i = b;
    }
    if (!runs && !forced)
        return {};
    return out;
}

// The block that gives `c` after the previous sector `p` (type byte
// without bit 7, then the data): `type` when non-zero, else DiskComm's choice.
Bytes dcm_block(const std::uint8_t *c, const std::uint8_t *p, std::size_t s, std::uint8_t type)
{
    const bool same = std::memcmp(c, p, s) == 0;
    const bool dos = std::all_of(c, c + 124, [&](std::uint8_t b) { return b == c[0]; }) &&
                     (s == 128 || std::memcmp(c + 128, p + 128, 128) == 0);
    std::size_t low = 0, high = s - 1;
    while (low < s && c[low] == p[low])
        low++;
    while (high > 0 && c[high] == p[high])
        high--;
    if (low == 256) // k = S is no byte in double density: give the last byte again
        low = 255;
    Bytes begin{dcm_type::modify_begin, std::uint8_t(high)};
    for (std::size_t j = high + 1; j-- > 0;)
        begin.push_back(c[j]);
    Bytes end{dcm_type::modify_end, std::uint8_t(low)};
    end.insert(end.end(), c + low, c + s);
    Bytes raw{dcm_type::raw};
    raw.insert(raw.end(), c, c + s);

    switch (type) {
    case 0:
        break;
    case dcm_type::same:
        if (!same)
            throw std::invalid_argument("dcm: 0x46 forced on a sector unlike the previous one");
        return {type};
    case dcm_type::dos:
        if (!dos)
            throw std::invalid_argument("dcm: 0x42 forced on a sector it cannot give");
        return {type, c[0], c[124], c[125], c[126], c[127]};
    case dcm_type::compressed:
        return dcm_rle(c, s, true);
    case dcm_type::modify_begin:
        return begin;
    case dcm_type::modify_end:
        return end;
    case dcm_type::raw:
        return raw;
    default:
        throw std::invalid_argument("dcm: no such block type");
    }
    if (same)
        return {dcm_type::same};
    if (dos && s == 128)
        return {dcm_type::dos, c[0], c[124], c[125], c[126], c[127]};
    Bytes best = dcm_rle(c, s, false);
    if (best.empty() || best.size() > raw.size())
        best = raw;
    // DiskComm's own choice of 0x41 and 0x44 is unknown: these take them
    // when they save 5 bytes or more.
    const Bytes &modify = end.size() <= begin.size() ? end : begin;
    if (modify.size() + 5 <= best.size())
        return modify;
    return best;
}

void put16(Bytes &b, std::uint32_t v)
{
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}

} // namespace

DcmArchive dcm_archive(const DiskBuilder &disk, const DcmOptions &opt)
{
    const std::size_t s = std::size_t(disk.sector_size);
    const int density = s == 256 ? 1 : disk.sector_count == 1040 ? 2 : 0;
    const std::uint32_t per_number = s == 256 ? 9 : 18; // sectors in 2304 bytes

    // Every stored sector's block, coded against the one before.
    struct Block {
        std::uint32_t sector;
        Bytes bytes;
    };
    std::vector<Block> blocks;
    std::uint8_t prev[256] = {};
    for (std::uint32_t n = 1; n <= disk.sector_count; n++) {
        std::uint8_t c[256] = {};
        std::memcpy(c, disk.data.data() + std::size_t(n - 1) * s, s == 256 && n <= 3 ? 128 : s);
        const auto forced = opt.force.find(n);
        const bool blank = std::all_of(c, c + s, [](std::uint8_t b) { return b == 0; });
        if (blank && !opt.store_blank.count(n) && forced == opt.force.end())
            continue;
        blocks.push_back({n, dcm_block(c, prev, s, forced == opt.force.end() ? 0 : forced->second)});
        std::memcpy(prev, c, s);
    }

    DcmArchive a;
    Bytes &out = a.bytes;
    std::size_t pass_size = 0; // bytes of the pass open at the end of `out`
    std::uint32_t start = 0, seq = 0;
    bool owed = false; // the block before owes an explicit number
    auto open_pass = [&](std::uint32_t sector) {
        a.pass_at.push_back(out.size());
        out.insert(out.end(), {opt.type, std::uint8_t(density << 5 | ++seq), 0, 0});
        out[out.size() - 2] = std::uint8_t(sector);
        out[out.size() - 1] = std::uint8_t(sector >> 8);
        start = sector;
        pass_size = 4;
        owed = false;
    };
    std::size_t last_type = 0; // offset of the type byte of the last block
    for (std::size_t k = 0; k < blocks.size(); k++) {
        const Block &b = blocks[k];
        bool fresh = out.empty();
        if (!fresh) {
            const std::uint32_t m = blocks[k - 1].sector;
            owed = b.sector != m + 1 || opt.number_after.count(m) ||
                   (opt.numbers_every_2304 && (m - start + 1) % per_number == 0);
            const std::size_t need = pass_size + (owed ? 2 : 0) + b.bytes.size() + 1;
            if (opt.pass_at.count(b.sector) || need > opt.pass_limit) {
                out[last_type] |= 0x80; // the last block of a pass runs straight into the end code
                out.push_back(dcm_type::end);
                fresh = true;
            } else if (owed) {
                put16(out, b.sector);
                pass_size += 2;
            } else {
                out[last_type] |= 0x80;
            }
        }
        if (fresh)
            open_pass(b.sector);
        last_type = out.size();
        a.block_at[b.sector] = out.size();
        out.insert(out.end(), b.bytes.begin(), b.bytes.end());
        pass_size += b.bytes.size();
    }
    if (out.empty()) {
        open_pass(1); // a blank disk: one empty pass
    } else {
        out.push_back(dcm_type::end); // the number after the last block, which nothing uses
        out.push_back(0);
    }
    out.push_back(dcm_type::end);
    out[a.pass_at.back() + 1] |= 0x80; // the last pass
    return a;
}

std::vector<std::vector<std::uint8_t>> dcm_split(const DiskBuilder &disk, DcmOptions opt)
{
    opt.type = 0xF9;
    const DcmArchive a = dcm_archive(disk, opt);
    std::vector<Bytes> files;
    for (std::size_t k = 0; k < a.pass_at.size(); k++) {
        const std::size_t to = k + 1 < a.pass_at.size() ? a.pass_at[k + 1] : a.bytes.size();
        files.emplace_back(a.bytes.begin() + std::ptrdiff_t(a.pass_at[k]), a.bytes.begin() + std::ptrdiff_t(to));
    }
    return files;
}

void dcm_bad_type(DcmArchive &a, std::uint32_t sector, std::uint8_t type)
{
    std::uint8_t &t = a.bytes.at(a.block_at.at(sector));
    t = std::uint8_t((t & 0x80) | (type & 0x7F));
}

void dcm_bad_number(DcmArchive &a, std::uint32_t sector, std::uint32_t number)
{
    const std::size_t at = a.block_at.at(sector);
    if (at < 2 || a.bytes[at - 2] != std::uint8_t(sector) || a.bytes[at - 1] != std::uint8_t(sector >> 8))
        throw std::invalid_argument("dcm: no explicit number before this sector's block");
    a.bytes[at - 2] = std::uint8_t(number);
    a.bytes[at - 1] = std::uint8_t(number >> 8);
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dcm_seed_files()
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    const char readme[] = "This archive was made by vorlen's own image builder.\x9B";

    // The demo: DOS 2.5 on an enhanced-density disk, in one pass.
    Dos2Volume ed;
    ed.sector_count = 1040;
    Dos2Disk dos25 = dos2_volume(ed, {{"DOS.SYS", flat_pattern(1500, 1)},
                                      {"README.TXT", Bytes(readme, readme + sizeof readme - 1)}});
    seeds.emplace_back("dos25.dcm", dcm_archive(dos25.disk).bytes);

    // MyDOS on double density, cut into passes of 4 KiB, every block type.
    Dos2Volume dd;
    dd.sector_size = 256;
    dd.file_flags = mydos_file;
    dd.code = 0;
    Dos2Disk mydos = dos2_volume(dd, {{"A/B.DAT", flat_pattern(3000, 2)}, {"C.COM", flat_pattern(700, 3)}});
    mydos.disk.fill(600, 0, 256, 0x5A).fill(601, 0, 256, 0x5A).fill(602, 0, 250, 0x5A);
    mydos.disk.fill(603, 0, 128, 0x77).fill(603, 128, 122, 0x5A); // 0x42 keeps the upper half
    DcmOptions multi;
    multi.pass_limit = 4096;
    multi.force = {{5, dcm_type::modify_begin}, {6, dcm_type::modify_end}, {601, dcm_type::same},
                   {603, dcm_type::dos}};
    seeds.emplace_back("mydos-passes.dcm", dcm_archive(mydos.disk, multi).bytes);

    // The first file of a set of two, alone.
    DiskBuilder sd = dos2_volume(Dos2Volume{}, {{"AUTORUN.SYS", flat_pattern(900, 4)}}).disk;
    DcmOptions two;
    two.pass_at = {361};
    seeds.emplace_back("set-part1.dcm", dcm_split(sd, two).at(0));

    // Cut short in the middle of the directory, and a bad block type.
    DcmArchive cut = dcm_archive(sd);
    cut.bytes.resize(cut.block_at.at(361) + 20);
    seeds.emplace_back("truncated.dcm", cut.bytes);
    DcmArchive bad = dcm_archive(sd);
    dcm_bad_type(bad, 8, 0x4C);
    seeds.emplace_back("bad-type.dcm", bad.bytes);
    return seeds;
}
