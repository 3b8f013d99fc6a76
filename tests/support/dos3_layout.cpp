#include "dos3_layout.h"

#include "flat_layout.h"

#include <algorithm>
#include <array>

namespace {

struct Dos3File { const char *name; unsigned first, size; std::uint8_t flags = 0xC0; }; // name: 11 bytes, blank-filled

// A disk as DOS 3 formats it: the marker (14 zeros, N, 0xA5) in slot 0 of all eight directory sectors, table
// bytes 0xFE for the blocks below N = (sectors - 24) / 8 and 0xFF for the rest.  Then the files in slots 1, 2,
// ...: flat_pattern(size, slot) in consecutive blocks from `first`, linked up to 0xFD; then the pokes.
std::vector<std::uint8_t> dos3_disk(std::uint32_t sectors, const std::vector<Dos3File> &files,
                                    std::initializer_list<std::array<unsigned, 3>> pokes)
{
    DiskBuilder d(128, sectors);
    for (std::uint32_t s = 16; s < 24; s++)
        d.bytes(s, 14, {std::uint8_t((sectors - 24) / 8), 0xA5});
    d.fill(24, 0, 128, 0xFF).fill(24, 0, (sectors - 24) / 8, 0xFE);
    for (unsigned s = 1; s <= files.size(); s++) {
        const Dos3File &f = files[s - 1];
        const unsigned count = std::max(1u, (f.size + 1023) / 1024), at = s * 16; // slots 1-7 are in sector 16
        const std::vector<std::uint8_t> data = flat_pattern(f.size, std::uint8_t(s));
        d.sector(24 + 8 * (f.first + count)); // throws unless all the blocks, one run of sectors, exist
        std::copy(data.begin(), data.end(), d.sector(25 + 8 * f.first));
        for (unsigned i = 0; i < count; i++)
            d.sector(24)[f.first + i] = i + 1 < count ? std::uint8_t(f.first + i + 1) : 0xFD;
        d.bytes(16, at, {f.flags}).fill(16, at + 1, 11, ' ').text(16, at + 1, f.name);
        d.bytes(16, at + 12, {std::uint8_t(count), std::uint8_t(f.first)}).le16(16, at + 14, f.size & 0xFFFF);
    }
    for (const auto &[sector, at, v] : pokes)
        d.bytes(sector, at, {std::uint8_t(v)});
    return d.atr();
}

} // namespace

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dos3_seed_files()
{
    // The demo: a deleted file, whose block is free again, and a locked one.  Enhanced density: 70000 bytes
    // in 69 blocks, where the count gives the high part of the size.  Damage: LOOP's block 2 links back to
    // block 0, FAR's block 3 to 87 (past the last block), OPEN.TMP was never closed, LONG records 0x0B00
    // bytes for one block, the fifth name is blank.
    return {{"dos3.atr", dos3_disk(720, {{"AUTORUN SYS", 0, 300}, {"DATA    BIN", 1, 1500}, {"OLD     BAS", 3, 100, 0x80},
                                         {"GAME    COM", 4, 5000, 0xC2}}, {{24, 3, 0xFE}})},
            {"dos3_ed.atr", dos3_disk(1040, {{"BIG     DAT", 0, 70000}, {"EMPTY", 69, 0}}, {})},
            {"dos3_loop.atr", dos3_disk(720, {{"LOOP", 0, 2500}, {"FAR", 3, 2048}, {"OPEN    TMP", 5, 0, 0xC1},
                                              {"LONG", 6, 1024}, {"", 7, 10}}, {{24, 2, 0}, {24, 3, 87}, {16, 79, 0x0B}})}};
}
