// The image loader: raw and ATR files, geometry checks and rounding, short
// files, the repair of misplaced first sectors, and sector access.
#include "capture.h"
#include "image_builder.h"
#include "messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Loaded { std::unique_ptr<AtrImage> img; int status; std::string err; };

// Loads `file` as "d.atr" inside run_captured, which captures the messages.
Loaded load(const Bytes &file)
{
    std::unique_ptr<AtrImage> out;
    RunResult r = run_captured([&] { out = atr_load_bytes(file, "d.atr"); return 0; });
    return {std::move(out), r.status, r.err};
}

Bytes fill(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

// An ATR header declaring `n` data bytes of `s`-byte sectors, then `body`.
Bytes atr(std::uint64_t n, int s, std::initializer_list<Bytes> body = {}) { return cat({atr_header(n, s), cat(body)}); }

// Whether `len` bytes at `offset` of sector n all hold `v`.
struct Probe { std::uint32_t n; std::size_t offset, len; std::uint8_t v; };
bool holds(const AtrImage &img, const Probe &p)
{
    const std::uint8_t *s = atr_sector(img, p.n);
    return s && std::all_of(s + p.offset, s + p.offset + p.len, [&](std::uint8_t b) { return b == p.v; });
}

const std::string warn = "vorlen: d.atr: ";
const std::string fatal = "vorlen: Error, d.atr: ";
const std::string too_short = warn + "ATR file too short at sector ";
std::string round_down(std::uint64_t from, std::uint64_t to)
{
    return warn + "invalid ATR image size (" + std::to_string(from) + "), rounding down to (" + std::to_string(to) +
           ")\n";
}

} // namespace

TEST(Atr, SizesGeometryAndShortFiles)
{
    constexpr std::uint32_t refused = 0xFFFFFFFF; // the run stops with status 1
    // N bytes of 256-byte sectors, the first three as 128-byte records of 1, 2, 3, then `rest`.
    const auto short_first = [](std::uint64_t n, const Bytes &rest) {
        return atr(n, 256, {fill(128, 1), fill(128, 2), fill(128, 3), rest});
    };
    Bytes full = fill(256, 0); // upper half empty: no repair
    std::fill_n(full.begin(), 128, 1);
    // Each file with all the loader says ("" for nothing), the sectors it finds and bytes they must hold.
    const struct { Bytes file; std::string err; std::uint32_t count; std::vector<Probe> probes; } cases[] = {
        // Raw images: only the two standard sizes, sector 1 from the first byte.
        {fill(92160, 0x11), "", 720, {{1, 0, 128, 0x11}, {720, 0, 128, 0x11}}},
        {fill(133120, 0x11), "", 1040, {{1, 0, 128, 0x11}, {1040, 0, 128, 0x11}}},
        {fill(92161, 0x11), fatal + "not an ATR image\n", refused, {}},
        {fill(133136, 0x11), fatal + "not an ATR image\n", refused, {}}, // what a longer file reads as
        {fill(100, 0x11), fatal + "not an ATR image\n", refused, {}},
        {fill(10, 0x11), fatal + CANT " read ATR header\n", refused, {}},
        {atr(92160, 512), fatal + "unsupported ATR sector size (512)\n", refused, {}},
        {atr(0, 0, {fill(92144, 0)}), fatal + "unsupported ATR sector size (0)\n", refused, {}}, // raw, starts 96 02
        {atr(272, 128, {fill(272, 5)}), fatal + "invalid ATR image size (272), too small.\n", refused, {}},
        // Exact fits: nothing said, even for 0, 1 and 2 sectors.
        {atr(0, 128), "", 0, {}},
        {atr(128, 128, {fill(128, 5)}), "", 1, {{1, 0, 128, 5}}},
        {atr(256, 128, {fill(256, 5)}), "", 2, {{2, 0, 128, 5}}},
        // N = 256 * 720 - 384: first three short, each at the front of its slot.
        {short_first(183936, fill(256 * 717, 4)), "", 720,
         {{2, 0, 128, 2}, {2, 128, 128, 0}, {4, 0, 256, 4}, {720, 0, 256, 4}}},
        // N = 256 * 720: full-size first records.
        {atr(184320, 256, {full, full, full, fill(256 * 717, 4)}), "", 720, {{3, 0, 128, 1}, {4, 0, 256, 4}}},
        // No cap on an exact fit: 131071 sectors of 128 bytes.
        {atr(16777088, 128, {fill(16777088, 7)}), "", 131071, {{131071, 0, 128, 7}}},
        // Inexact sizes round down; 256-byte ones then read the first three short.
        {atr(92176, 128, {fill(92176, 1)}), round_down(92176, 92160), 720, {{720, 0, 128, 1}}},
        {short_first(183952, fill(256 * 717 + 16, 4)), round_down(183952, 183936), 720,
         {{3, 0, 128, 3}, {4, 0, 256, 4}}},
        // 16 MiB is never exact: capped at 65535 sectors; the file holds four.
        {short_first(16777216, fill(256, 4)), round_down(16777216, 16776576) + too_short + "5\n", 65535,
         {{2, 0, 128, 2}, {4, 0, 256, 4}, {5, 0, 256, 0}}},
        {atr(16777216, 128), round_down(16777216, 8388480) + too_short + "1\n", 65535, {}},
        // 720 sectors declared, 100 and a half there: the count stays, the part
        // that arrived stays, the rest is zeros.
        {atr(92160, 128, {fill(128 * 100, 0xAA), fill(50, 0x55)}), too_short + "101\n", 720,
         {{100, 0, 128, 0xAA}, {101, 0, 50, 0x55}, {101, 50, 78, 0}, {720, 0, 128, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        Loaded r = load(c.file);
        EXPECT_EQ(r.err, c.err) << c.file.size();
        EXPECT_EQ(r.status, c.count == refused ? 1 : 0);
        if (c.count == refused)
            continue;
        ASSERT_TRUE(r.img);
        EXPECT_EQ(r.img->sector_count, c.count);
        for (const Probe &p : c.probes)
            EXPECT_TRUE(holds(*r.img, p)) << "sector " << p.n << " offset " << p.offset;
    }
}

TEST(Atr, RepairOfMisplacedFirstSectors)
{
    // 256-byte images of 8 sectors (N = 2048) whose records 1-3 and sectors
    // 4-8 hold 0x10 + their number; repaired, each sector is in its slot and
    // the upper halves of slots 1-3 are zero.
    const auto rec = [](int k, std::size_t len = 128) { return fill(len, std::uint8_t(0x10 + k)); };
    const Bytes zero = fill(128, 0), four_on = cat({rec(4, 256), rec(5, 256), rec(6, 256), rec(7, 256), rec(8, 256)});
    const std::pair<Bytes, std::string> cases[] = {
        // Short records, sector 4 right behind them, 384 zeros at the end: shift, spread, clear.
        {atr(2048, 256, {rec(1), rec(2), rec(3), four_on, zero, zero, zero}), "1"},
        // Short records, 384 zeros, sector 4 in its slot: spread and clear only;
        // sector 4's first 128 bytes must survive.
        {atr(2048, 256, {rec(1), rec(2), rec(3), zero, zero, zero, four_on}), "1"},
        // Full-size records, only slot 3's upper half carries data: it is named and cleared.
        {atr(2048, 256, {rec(1), zero, rec(2), zero, rec(3), fill(128, 0xE3), four_on}), "3"},
    };
    for (const auto &[file, named] : cases) {
        Loaded r = load(file);
        ASSERT_TRUE(r.img);
        EXPECT_EQ(r.err, warn + "ATR suspect - sector " + named + " has data over 128 bytes, fixing.\n");
        for (std::uint8_t k = 1; k <= 8; k++) {
            const std::size_t len = k <= 3 ? 128 : 256; // its data, then zeros to the end of the slot
            EXPECT_TRUE(holds(*r.img, {k, 0, len, std::uint8_t(0x10 + k)})) << named << ": sector " << int(k);
            EXPECT_TRUE(holds(*r.img, {k, len, 256 - len, 0})) << named << ": sector " << int(k);
        }
    }
}

TEST(Atr, SectorBounds)
{
    std::unique_ptr<AtrImage> img = DiskBuilder(128, 10).image();
    const std::uint8_t *base = img->data;
    EXPECT_EQ(atr_sector(*img, 0), nullptr);
    EXPECT_EQ(atr_sector(*img, 1), base);
    EXPECT_EQ(atr_sector(*img, 10), base + 9 * 128);
    EXPECT_EQ(atr_sector(*img, 11), nullptr);
    EXPECT_EQ(atr_sector(*img, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(atr_run(*img, 1, 1280), base); // the whole image
    EXPECT_EQ(atr_run(*img, 1, 1281), nullptr);
    EXPECT_EQ(atr_run(*img, 10, 129), nullptr);
    EXPECT_EQ(atr_run(*img, 2, SIZE_MAX), nullptr);
    const AtrImage empty; // no sectors at all
    EXPECT_EQ(atr_sector(empty, 1), nullptr);
    EXPECT_EQ(atr_run(empty, 1, 0), nullptr);
}

// Image files are mapped instead of read, whatever their size: sector 4 on
// in place, sectors 1-3 moved into full slots, the repair done on a private
// copy.  Each must load exactly as the same bytes read from memory, and the
// file must stay as it was; a file that ends early is read.  A file of 2 MiB
// or more starts on a 2 MiB boundary of the address space, where the kernel
// can map its large page cache folios whole.
TEST(Atr, FilesMapLikeTheyRead)
{
    TempDir dir;
    DiskBuilder dd(256, 4200), sd(128, 9000), big(256, 20000);
    for (std::uint32_t n = 1; n <= 4200; n++)
        dd.fill(n, 0, 256, std::uint8_t(n * 7));
    for (std::uint32_t n = 1; n <= 9000; n++)
        sd.fill(n, 0, 128, std::uint8_t(n * 3));
    for (std::uint32_t n = 1; n <= 20000; n += 97)
        big.fill(n, 0, 256, std::uint8_t(n * 5));
    const Bytes dd_short = dd.atr();                                  // sectors 1-3 as 128-byte records
    const Bytes dd_full = dd.atr(true);                               // upper halves used: repaired
    const Bytes dd_cut(dd_short.begin(), dd_short.end() - 1000);      // ends early: read, not mapped
    const Bytes raw = DiskBuilder(128, 720).fill(700, 0, 128, 0x70).raw();
    const struct { Bytes file; bool mapped; } cases[] = {
        {dd_short, true}, {dd_full, true}, {sd.atr(), true}, {big.atr(), true}, {big.atr(true), true},
        {raw, true},      {dd_cut, false},
    };
    for (const auto &c : cases) {
        write_file(dir / "d.atr", c.file);
        static std::string path;
        static std::unique_ptr<AtrImage> mapped;
        path = dir / "d.atr";
        RunResult r = run_handler([](const AtrImage &, const char *, int, int, int) {
            mapped = atr_load(path.c_str());
            return 0;
        }, AtrImage{}, "");
        Loaded read = load(c.file);
        ASSERT_TRUE(mapped && read.img);
        EXPECT_EQ(mapped->mapping != nullptr, c.mapped) << c.file.size();
        if (c.mapped && c.file.size() >= (std::size_t(2) << 20)) {
            // The mapping is the file with the room in front of it, if any.
            const std::size_t front = mapped->mapping_length - c.file.size();
            EXPECT_EQ((reinterpret_cast<std::uintptr_t>(mapped->mapping) + front) % (std::size_t(2) << 20), 0u);
        }
        atr_will_read_all(*mapped); // a hint: changes no byte
        EXPECT_EQ(r.err, std::regex_replace(read.err, std::regex("d\\.atr"), path));
        ASSERT_EQ(mapped->sector_count, read.img->sector_count);
        ASSERT_EQ(mapped->size, read.img->size);
        EXPECT_TRUE(std::equal(mapped->data, mapped->data + mapped->size, read.img->data));
        EXPECT_EQ(read_file(path), c.file);
        mapped.reset();
    }
}

// A mapped image file that another process cuts short: the bytes it lost
// read as zeros instead of ending the process with SIGBUS, and the run ends
// with a fatal error that says why, once.
TEST(Atr, FileCutShortWhileMapped)
{
    TempDir dir;
    DiskBuilder sd(128, 720), dd(256, 720);
    for (std::uint32_t n = 1; n <= 720; n++) {
        sd.fill(n, 0, 128, std::uint8_t(n | 1));
        dd.fill(n, 0, n <= 3 ? 128 : 256, std::uint8_t(n | 1));
    }
    // Each file, where it is cut, and the file offset of sector 4 (sectors
    // 4 on lie back to back from there).
    const struct { Bytes file; std::size_t cut; std::size_t sector4; int s; } cases[] = {
        {sd.atr(), 16 + 128 * 300 + 5, 16 + 3 * 128, 128},
        {sd.raw(), 128 * 500, 3 * 128, 128},
        {dd.atr(), 16 + 384 + 256 * 100, 16 + 384, 256},
        {dd.atr(), 0, 16 + 384, 256},
    };
    const std::string path = dir / "d.atr";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cut);
        write_file(path, c.file);
        std::unique_ptr<AtrImage> img;
        {
            static const std::string *p;
            static std::unique_ptr<AtrImage> out;
            p = &path;
            RunResult r = run_handler([](const AtrImage &, const char *, int, int, int) {
                out = atr_load(p->c_str());
                return 0;
            }, AtrImage{}, "");
            ASSERT_EQ(r.err, "");
            img = std::move(out);
        }
        ASSERT_TRUE(img && img->mapping);
        ASSERT_EQ(truncate(path.c_str(), off_t(c.cut)), 0);
        // Every sector from 4 on: what the file still holds, zeros after it.
        for (std::uint32_t n = 4; n <= img->sector_count; n++) {
            const std::uint8_t *sec = atr_sector(*img, n);
            const std::size_t at = c.sector4 + (n - 4) * std::size_t(c.s);
            for (std::size_t i = 0; i < std::size_t(c.s); i++)
                ASSERT_EQ(sec[i], at + i < c.cut ? std::uint8_t(n | 1) : 0) << "sector " << n << " byte " << i;
        }
        const auto check = [](const AtrImage &, const char *, int, int, int) {
            atr_check_unchanged("d.atr");
            return 0;
        };
        RunResult first = run_handler(check, AtrImage{}, "");
        EXPECT_EQ(first.status, 1);
        EXPECT_EQ(first.err, fatal + "image file changed while being read\n");
        RunResult again = run_handler(check, AtrImage{}, "");
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.err, "");
    }
}
