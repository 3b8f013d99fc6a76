#include "dos3_layout.h"

#include "flat_layout.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::uint32_t block_bytes = 1024;

std::uint32_t block_sector(unsigned b) { return 25 + 8 * b; }

std::vector<std::uint8_t> text_lines(std::string_view line, std::size_t times)
{
    std::vector<std::uint8_t> v;
    for (std::size_t i = 0; i < times; i++) {
        v.insert(v.end(), line.begin(), line.end());
        v.push_back(0x9B); // ATASCII end of line
    }
    return v;
}

} // namespace

Dos3Entry dos3_entry(std::uint8_t flags, std::string_view name, std::uint8_t blocks, std::uint8_t first,
                     std::uint16_t length)
{
    Dos3Entry e{flags, {}, blocks, first, length};
    e.name.fill(' ');
    std::size_t dot = std::min(name.find('.'), name.size());
    std::string_view ext = name.substr(std::min(dot + 1, name.size()));
    if (dot > 8 || ext.size() > 3)
        throw std::invalid_argument("not an 8+3 name: " + std::string(name));
    std::copy_n(name.begin(), dot, e.name.begin());
    std::copy(ext.begin(), ext.end(), e.name.begin() + 8);
    return e;
}

Dos3Disk::Dos3Disk(std::uint32_t sectors) : disk(128, sectors), blocks(std::min<std::uint32_t>((sectors - 24) / 8, 128))
{
    if (sectors < 32)
        throw std::invalid_argument("Dos3Disk: no room for a block");
    for (std::uint32_t s = dos3_dir_sector; s < dos3_fat_sector; s++)
        disk.bytes(s, 14, {std::uint8_t(blocks), 0xA5});
    disk.fill(dos3_fat_sector, 0, 128, dos3_absent).fill(dos3_fat_sector, 0, blocks, dos3_free);
}

std::uint8_t &Dos3Disk::fat(unsigned block)
{
    if (block >= 128)
        throw std::out_of_range("Dos3Disk: no table byte for this block");
    return disk.sector(dos3_fat_sector)[block];
}

std::uint8_t *Dos3Disk::block(unsigned b)
{
    if (b >= blocks)
        throw std::out_of_range("Dos3Disk: block beyond the volume");
    return disk.sector(block_sector(b));
}

Dos3Disk &Dos3Disk::entry(unsigned slot, const Dos3Entry &e)
{
    if (slot == 0 || slot >= 64)
        throw std::out_of_range("Dos3Disk: no such directory slot");
    std::uint8_t *p = disk.sector(dos3_dir_sector + slot / 8) + (slot % 8) * 16;
    p[0] = e.flags;
    std::memcpy(p + 1, e.name.data(), e.name.size());
    p[12] = e.blocks;
    p[13] = e.first;
    p[14] = std::uint8_t(e.length);
    p[15] = std::uint8_t(e.length >> 8);
    return *this;
}

Dos3Disk &Dos3Disk::chain(const std::vector<unsigned> &chain, std::span<const std::uint8_t> data)
{
    if (chain.empty() || data.size() > chain.size() * block_bytes)
        throw std::length_error("Dos3Disk: data longer than its blocks");
    for (std::size_t i = 0; i < chain.size(); i++) {
        const std::size_t from = std::min(data.size(), i * block_bytes);
        const std::size_t n = std::min<std::size_t>(data.size() - from, block_bytes);
        if (n)
            std::memcpy(block(chain[i]), data.data() + from, n);
        fat(chain[i]) = i + 1 < chain.size() ? std::uint8_t(chain[i + 1]) : dos3_last;
    }
    return *this;
}

unsigned Dos3Disk::add(std::string_view name, std::span<const std::uint8_t> data, std::uint8_t flags)
{
    const unsigned count = std::max<unsigned>(1, unsigned((data.size() + block_bytes - 1) / block_bytes));
    if (next_block + count > blocks || count > 255)
        throw std::length_error("Dos3Disk: disk full");
    std::vector<unsigned> c(count);
    for (unsigned i = 0; i < count; i++)
        c[i] = next_block + i;
    chain(c, data);
    entry(next_slot, dos3_entry(flags, name, std::uint8_t(count), std::uint8_t(next_block),
                                std::uint16_t(data.size() & 0xFFFF)));
    next_block += count;
    return next_slot++;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> dos3_seed_files()
{
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> seeds;

    // The demo: a single-density disk with a few files, one locked, and a
    // deleted entry between them.
    Dos3Disk demo(720);
    demo.add("AUTORUN.SYS", flat_pattern(300, 0xFF));
    demo.add("README.TXT", text_lines("A DOS 3 DISK: 1 KB BLOCKS, ONE TABLE IN SECTOR 24.", 30));
    const unsigned gone = demo.add("OLD.BAS", flat_pattern(100, 3));
    const unsigned freed = demo.next_block - 1;
    demo.entry(gone, dos3_entry(dos3_deleted, "OLD.BAS", 1, std::uint8_t(freed), 100));
    demo.fat(freed) = dos3_free;
    demo.add("GAME.COM", flat_pattern(5000, 7), dos3_locked);
    seeds.emplace_back("dos3.atr", demo.disk.atr());

    // Enhanced density, with a file of more than 64 blocks.
    Dos3Disk ed(1040);
    ed.add("BIG.DAT", flat_pattern(70000, 5));
    ed.add("SMALL", flat_pattern(10, 9));
    seeds.emplace_back("dos3_ed.atr", ed.disk.atr());

    // A chain that comes back to its first block.
    Dos3Disk loop(720);
    loop.add("LOOP", flat_pattern(2500, 11));
    loop.fat(2) = 0;
    seeds.emplace_back("dos3_loop.atr", loop.disk.atr());

    // A file never closed, and one whose length exceeds its blocks.
    Dos3Disk open(720);
    open.add("OPEN.TMP", {}, dos3_open);
    const unsigned slot = open.add("LONG", flat_pattern(900, 13));
    open.entry(slot, dos3_entry(dos3_file, "LONG", 1, 1, 3000));
    seeds.emplace_back("dos3_open.atr", open.disk.atr());

    // Links out of the volume and a first block beyond it.
    Dos3Disk bad(720);
    bad.add("FAR", flat_pattern(2048, 17));
    bad.fat(0) = 0x60;
    bad.entry(2, dos3_entry(dos3_file, "NOWHERE", 1, 100, 10));
    seeds.emplace_back("dos3_links.atr", bad.disk.atr());
    return seeds;
}
