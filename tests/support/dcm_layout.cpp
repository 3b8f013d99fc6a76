#include "dcm_layout.h"

#include "dos2_layout.h"
#include "flat_layout.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

using Bytes = std::vector<std::uint8_t>;

// The block (type without bit 7, then data) that gives `c` after `p`: of
// the type forced, else DiskComm's choice.  0x43 makes each stretch of 4 or
// more equal bytes a run (an end of 256 written 0), the rest literal parts;
// a sector with no such stretch ends in a run of one.
static Bytes dcm_block(const std::uint8_t *c, const std::uint8_t *p, std::size_t s, std::uint8_t type)
{
    Bytes rle{0x43};
    for (std::size_t i = 0, a = 0; a < s; i = a) {
        while (a + 3 < s && std::count(c + a, c + a + 4, c[a]) < 4)
            a++;
        a = a + 3 < s ? a : i ? s : s - 1;
        rle.push_back(std::uint8_t(a));
        rle.insert(rle.end(), c + i, c + a);
        for (i = a; a < s && c[a] == c[i];)
            a++;
        if (i < s)
            rle.insert(rle.end(), {std::uint8_t(a), c[i]});
    }
    const bool same = !std::memcmp(c, p, s);
    const bool dos = std::count(c, c + 124, c[0]) == 124 && !std::memcmp(c + 128, p + 128, s - 128);
    if (!type) // 0x43 wins a tie with 0x47
        type = same ? 0x46 : dos && s == 128 ? 0x42 : rle.size() <= s + 1 ? 0x43 : 0x47;
    if ((type == 0x46 && !same) || (type == 0x42 && !dos) || type < 0x41 || type > 0x47 || type == 0x45)
        throw std::invalid_argument("dcm: the block type cannot give the sector");
    std::size_t k = 0, e = s; // 0x44 from the first byte that differs, 0x41 back from the last
    while (k < std::min<std::size_t>(s, 255) && c[k] == p[k])
        k++;
    while (e > 1 && c[e - 1] == p[e - 1])
        e--;
    Bytes b{type};
    if (type == 0x41)
        b.push_back(std::uint8_t(e - 1)), b.insert(b.end(), std::reverse_iterator(c + e), std::reverse_iterator(c));
    else if (type == 0x42)
        b.insert(b.end(), {c[0], c[124], c[125], c[126], c[127]});
    else if (type == 0x44)
        b.push_back(std::uint8_t(k)), b.insert(b.end(), c + k, c + s);
    else if (type == 0x47)
        b.insert(b.end(), c, c + s);
    return type == 0x43 ? rle : b;
}

std::vector<std::uint8_t> dcm_archive(const DiskBuilder &disk, const DcmOptions &opt,
                                      std::vector<std::size_t> *pass_offsets)
{
    const std::size_t s = std::size_t(disk.sector_size);
    const int density = s == 256 ? 1 : disk.sector_count == 1040 ? 2 : 0;
    Bytes out;
    std::vector<std::size_t> passes;
    std::uint8_t prev[256] = {};
    std::uint32_t last = 0, start = 0;        // the last sector stored, the open pass's first
    std::size_t last_type = 0;                // offset of the last block
    for (std::uint32_t n = 1; n <= disk.sector_count; n++) {
        std::uint8_t c[256] = {}; // DD sectors 1-3 are coded at 256 bytes, the upper half zero
        std::memcpy(c, disk.data.data() + std::size_t(n - 1) * s, s == 256 && n <= 3 ? 128 : s);
        const auto forced = opt.force.find(n);
        if (forced == opt.force.end() && std::count(c, c + s, 0) == std::ptrdiff_t(s))
            continue;
        const Bytes b = dcm_block(c, prev, s, forced == opt.force.end() ? 0 : forced->second);
        std::memcpy(prev, c, s);
        const bool owed = n != last + 1 || opt.number_after.count(last) ||
                          (opt.numbers_every_2304 && (last - start + 1) % (s == 256 ? 9 : 18) == 0);
        const bool fresh = !last || opt.pass_at.count(n) || out.size() - passes.back() + 2 * owed + b.size() + 1 > opt.pass_limit;
        if (last && (fresh || !owed)) // the next block gives the following sector, or the end code follows
            out[last_type] |= 0x80;
        if (fresh && last)
            out.push_back(0x45);
        if (fresh)
            passes.push_back(out.size()), out.insert(out.end(), {opt.type, std::uint8_t(density << 5 | passes.size())});
        if (fresh || owed) // the pass's first sector, or the number of the next block's
            out.insert(out.end(), {std::uint8_t(n), std::uint8_t(n >> 8)});
        start = fresh ? n : start, last = n, last_type = out.size();
        out.insert(out.end(), b.begin(), b.end());
    }
    if (!last) // a blank disk: one empty pass
        passes = {0}, out = {opt.type, std::uint8_t(density << 5 | 1), 1, 0};
    else // the number after the last block, which nothing uses
        out.insert(out.end(), {0x45, 0});
    out.push_back(0x45);
    out[passes.back() + 1] |= 0x80; // the last pass
    if (pass_offsets)
        *pass_offsets = passes;
    return out;
}

std::vector<std::vector<std::uint8_t>> dcm_split(const DiskBuilder &disk, DcmOptions opt)
{
    opt.type = 0xF9;
    std::vector<std::size_t> passes;
    Bytes a = dcm_archive(disk, opt, &passes);
    std::vector<Bytes> files(passes.size());
    for (std::size_t k = passes.size(); k-- > 0; a.resize(passes[k]))
        files[k].assign(a.begin() + std::ptrdiff_t(passes[k]), a.end());
    return files;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dcm_seed_files()
{
    const std::string text = "This archive was made by vorlen's own image builder.\x9B";
    Dos2Volume ed{.sector_count = 1040}, dd{.sector_size = 256, .code = 0, .file_flags = mydos_file};
    DiskBuilder dos25 = // the demo: DOS 2.5 on an enhanced-density disk
        dos2_volume(ed, {{"DOS.SYS", flat_pattern(1500, 1)}, {"README.TXT", Bytes(text.begin(), text.end())}}).disk;
    DiskBuilder mydos = dos2_volume(dd, {{"A/B.DAT", flat_pattern(3000, 2)}, {"C.COM", flat_pattern(700, 3)}}).disk;
    std::vector<std::size_t> at; // MyDOS in passes of 1 KiB, every block type
    Bytes demo = dcm_archive(dos25), cut(demo.begin(), demo.begin() + std::ptrdiff_t(demo.size() * 2 / 3)),
          passes = dcm_archive(mydos, {.force = {{5, 0x41}, {6, 0x44}, {600, 0x47}, {601, 0x46}, {602, 0x42}},
                                       .pass_limit = 1024}, &at), bad = passes;
    bad.at(at.at(1) + 4) ^= 0x0F; // the block opening pass 2 of an unknown type
    return {{"dos25.dcm", demo}, {"mydos-passes.dcm", passes}, {"truncated.dcm", cut}, {"bad-type.dcm", bad},
            {"set-part1.dcm", dcm_split(dos25, {.pass_at = {361}}).at(0)}}; // the first file of two
}
