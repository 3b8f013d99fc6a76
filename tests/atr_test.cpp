// The image loader: raw and ATR files, geometry checks and rounding, short
// files, the repair of misplaced first sectors, and sector access.
#include "image_builder.h"
#include "messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Loaded {
    std::unique_ptr<AtrImage> img;
    int status = 0; // the ProgramExit status when the loader stopped the run
    std::string err;
};

// Runs a load with the error stream captured.
template <class F> Loaded capture(F load)
{
    char *buf = nullptr;
    std::size_t len = 0;
    std::FILE *old = msg_err;
    prog_name = "vorlen";
    msg_err = open_memstream(&buf, &len);
    Loaded r;
    try {
        r.img = load();
    } catch (const ProgramExit &e) {
        r.status = e.status;
    }
    std::fclose(msg_err);
    msg_err = old;
    r.err.assign(buf, len);
    std::free(buf);
    return r;
}

Loaded load_bytes(const Bytes &b) { return capture([&] { return atr_load_bytes(b, "d.atr"); }); }
Loaded load_file(const std::string &path) { return capture([&] { return atr_load(path.c_str()); }); }

// An ATR header declaring `n` data bytes of `s`-byte sectors, then `body`.
Bytes atr_file(std::uint64_t n, int s, const Bytes &body = {})
{
    Bytes f = atr_header(n, s);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

Bytes fill(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Whether `len` bytes at `offset` of sector n all hold `v`.
bool sector_is(const AtrImage &img, std::uint32_t n, std::size_t offset, std::size_t len, std::uint8_t v)
{
    const std::uint8_t *p = atr_sector(img, n);
    return p && std::all_of(p + offset, p + offset + len, [v](std::uint8_t b) { return b == v; });
}

// Sectors 1 to 3 as 128-byte records holding 1, 2 and 3, then `rest`.
Bytes short_first(const Bytes &rest) { return cat({fill(128, 1), fill(128, 2), fill(128, 3), rest}); }

const std::string warn = "vorlen: d.atr: ";
const std::string fatal = "vorlen: Error, d.atr: ";

} // namespace

TEST(AtrRaw, OnlyTheTwoStandardSizesAreBelieved)
{
    TempDir t;
    for (std::size_t size : {92160u, 133120u}) {
        Bytes raw = fill(size, 0x11);
        raw[0] = 0x42; // the first 16 bytes belong to sector 1
        raw[size - 1] = 0x99;
        write_file(t / "raw", raw);
        Loaded r = load_file(t / "raw");
        ASSERT_TRUE(r.img) << size;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.img->sector_size, 128);
        EXPECT_EQ(r.img->sector_count, size / 128);
        EXPECT_EQ(atr_sector(*r.img, 1)[0], 0x42);
        EXPECT_EQ(atr_sector(*r.img, r.img->sector_count)[127], 0x99);
    }
    // 133136 is what a longer file reads as, so 140000 is refused as well.
    for (std::size_t size : {92161u, 133136u, 140000u, 100u}) {
        write_file(t / "raw", fill(size, 0x11));
        Loaded r = load_file(t / "raw");
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.err, "vorlen: Error, " + (t / "raw") + ": not an ATR image\n") << size;
    }
    write_file(t / "raw", fill(10, 0x11));
    EXPECT_EQ(load_file(t / "raw").err, "vorlen: Error, " + (t / "raw") + ": " CANT " read ATR header\n");
    EXPECT_EQ(load_file(t / "none").err,
              "vorlen: Error, " CANT " open disk image '" + (t / "none") + "': No such file or directory\n");
}

TEST(AtrHeader, SectorSizeMustBe128Or256)
{
    EXPECT_EQ(load_bytes(atr_file(92160, 512)).err, fatal + "unsupported ATR sector size (512)\n");
    // A raw image that happens to start with the signature is taken as ATR:
    // its sector size field reads 0.
    Bytes raw = fill(92160, 0);
    raw[0] = 0x96;
    raw[1] = 0x02;
    Loaded r = load_bytes(raw);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal + "unsupported ATR sector size (0)\n");
}

TEST(AtrGeometry, ExactFitsLoadSilently)
{
    Loaded sd = load_bytes(atr_file(92160, 128, fill(92160, 1)));
    EXPECT_EQ(sd.err, "");
    EXPECT_EQ(sd.img->sector_count, 720u);

    // 256-byte sectors, first three stored as 128-byte records: N = 256 * 720 - 384.
    Loaded shrt = load_bytes(atr_file(183936, 256, short_first(fill(256 * 717, 4))));
    EXPECT_EQ(shrt.err, "");
    ASSERT_EQ(shrt.img->sector_count, 720u);
    EXPECT_TRUE(sector_is(*shrt.img, 2, 0, 128, 2));
    EXPECT_TRUE(sector_is(*shrt.img, 2, 128, 128, 0));
    EXPECT_TRUE(sector_is(*shrt.img, 4, 0, 256, 4));
    EXPECT_TRUE(sector_is(*shrt.img, 720, 0, 256, 4));

    // The same disk with full-size first records: N = 256 * 720, no repair
    // since their upper halves are empty.
    Bytes first = cat({fill(128, 1), fill(128, 0)});
    Loaded full = load_bytes(atr_file(184320, 256, cat({first, first, first, fill(256 * 717, 4)})));
    EXPECT_EQ(full.err, "");
    ASSERT_EQ(full.img->sector_count, 720u);
    EXPECT_TRUE(sector_is(*full.img, 3, 0, 128, 1));
    EXPECT_TRUE(sector_is(*full.img, 4, 0, 256, 4));

    // No cap on the exact path: 131071 sectors of 128 bytes.
    Loaded big = load_bytes(atr_file(16777088, 128, fill(16777088, 7)));
    EXPECT_EQ(big.err, "");
    EXPECT_EQ(big.img->sector_count, 131071u);
    EXPECT_TRUE(sector_is(*big.img, 131071, 0, 128, 7));
}

TEST(AtrGeometry, TinyImages)
{
    Loaded none = load_bytes(atr_file(0, 128));
    EXPECT_EQ(none.err, "");
    ASSERT_TRUE(none.img);
    EXPECT_EQ(none.img->sector_count, 0u);
    for (std::uint32_t n : {0u, 1u, 2u})
        EXPECT_EQ(atr_sector(*none.img, n), nullptr);
    EXPECT_EQ(atr_run(*none.img, 1, 0), nullptr);

    for (std::uint32_t count : {1u, 2u}) {
        Loaded r = load_bytes(atr_file(128 * count, 128, fill(128 * count, 5)));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.img->sector_count, count);
    }
    Loaded small = load_bytes(atr_file(272, 128, fill(272, 5)));
    EXPECT_EQ(small.status, 1);
    EXPECT_EQ(small.err, fatal + "invalid ATR image size (272), too small.\n");
}

TEST(AtrGeometry, InexactSizesRoundDown)
{
    Loaded sd = load_bytes(atr_file(92176, 128, fill(92176, 1)));
    EXPECT_EQ(sd.err, warn + "invalid ATR image size (92176), rounding down to (92160)\n");
    EXPECT_EQ(sd.img->sector_count, 720u);

    // 256-byte sectors with 16 bytes too many: the first three are read short.
    Loaded dd = load_bytes(atr_file(183952, 256, short_first(fill(256 * 717 + 16, 4))));
    EXPECT_EQ(dd.err, warn + "invalid ATR image size (183952), rounding down to (183936)\n");
    ASSERT_EQ(dd.img->sector_count, 720u);
    EXPECT_TRUE(sector_is(*dd.img, 3, 0, 128, 3));
    EXPECT_TRUE(sector_is(*dd.img, 4, 0, 256, 4));

    // 16 MiB is never an exact fit: capped at 65535 sectors, the first three
    // read as 128-byte records.  The file holds only four sectors.
    Loaded big = load_bytes(atr_file(16777216, 256, short_first(fill(256, 4))));
    EXPECT_EQ(big.err, warn + "invalid ATR image size (16777216), rounding down to (16776576)\n" + warn +
                           "ATR file too short at sector 5\n");
    ASSERT_EQ(big.img->sector_count, 65535u);
    EXPECT_TRUE(sector_is(*big.img, 2, 0, 128, 2));
    EXPECT_TRUE(sector_is(*big.img, 4, 0, 256, 4));
    EXPECT_TRUE(sector_is(*big.img, 5, 0, 256, 0));

    Loaded big128 = load_bytes(atr_file(16777216, 128));
    EXPECT_EQ(big128.err, warn + "invalid ATR image size (16777216), rounding down to (8388480)\n" + warn +
                              "ATR file too short at sector 1\n");
    EXPECT_EQ(big128.img->sector_count, 65535u);
}

TEST(AtrGeometry, ShortFileKeepsDeclaredCountAndZeroTail)
{
    // 720 sectors declared; the file holds 100 and a half.
    Loaded r = load_bytes(atr_file(92160, 128, cat({fill(128 * 100, 0xAA), fill(50, 0x55)})));
    EXPECT_EQ(r.err, warn + "ATR file too short at sector 101\n");
    ASSERT_EQ(r.img->sector_count, 720u);
    EXPECT_TRUE(sector_is(*r.img, 100, 0, 128, 0xAA));
    EXPECT_TRUE(sector_is(*r.img, 101, 0, 50, 0x55)); // the part that arrived stays
    EXPECT_TRUE(sector_is(*r.img, 101, 50, 78, 0));
    EXPECT_TRUE(sector_is(*r.img, 720, 0, 128, 0));
}

// Repairs of 256-byte images of 8 sectors read at full size (N = 2048).
// Record k of the first three holds 0x10 + k; sector k >= 4 holds 0x10 + k.
namespace {

Bytes rec(int k, std::size_t len = 128) { return fill(len, std::uint8_t(0x10 + k)); }

Bytes sectors_4_to_8() { return cat({rec(4, 256), rec(5, 256), rec(6, 256), rec(7, 256), rec(8, 256)}); }

// Every sector in its own slot, the upper halves of slots 1 to 3 zero.
void expect_repaired(const AtrImage &img)
{
    ASSERT_EQ(img.sector_count, 8u);
    for (std::uint32_t k = 1; k <= 3; k++) {
        EXPECT_TRUE(sector_is(img, k, 0, 128, std::uint8_t(0x10 + k))) << k;
        EXPECT_TRUE(sector_is(img, k, 128, 128, 0)) << k;
    }
    for (std::uint32_t k = 4; k <= 8; k++)
        EXPECT_TRUE(sector_is(img, k, 0, 256, std::uint8_t(0x10 + k))) << k;
}

} // namespace

TEST(AtrRepair, PackedRecordsWithEverythingShifted)
{
    // Three short records, sector 4 on right behind them, 384 zeros at the
    // end: shift, spread and clear.
    Loaded r = load_bytes(atr_file(2048, 256, cat({rec(1), rec(2), rec(3), sectors_4_to_8(), fill(384, 0)})));
    EXPECT_EQ(r.err, warn + "ATR suspect - sector 1 has data over 128 bytes, fixing.\n");
    expect_repaired(*r.img);
}

TEST(AtrRepair, PackedRecordsWithSector4InPlace)
{
    // Three short records, 384 zeros, sector 4 at its own slot: spread and
    // clear; the first half of sector 4 must survive.
    Loaded r = load_bytes(atr_file(2048, 256, cat({rec(1), rec(2), rec(3), fill(384, 0), sectors_4_to_8()})));
    EXPECT_EQ(r.err, warn + "ATR suspect - sector 1 has data over 128 bytes, fixing.\n");
    expect_repaired(*r.img);
}

TEST(AtrRepair, FullSizeRecordsWithDataInUpperHalves)
{
    // Real full-size first sectors; only slot 3's upper half carries data,
    // so the warning names sector 3.  Only the upper halves are cleared.
    Bytes body = cat({rec(1), fill(128, 0), rec(2), fill(128, 0), rec(3), fill(128, 0xE3), sectors_4_to_8()});
    Loaded r = load_bytes(atr_file(2048, 256, body));
    EXPECT_EQ(r.err, warn + "ATR suspect - sector 3 has data over 128 bytes, fixing.\n");
    expect_repaired(*r.img);
}

TEST(AtrSector, BoundsAndRuns)
{
    std::unique_ptr<AtrImage> img = DiskBuilder(128, 10).image();
    const std::uint8_t *base = img->data.data();
    EXPECT_EQ(atr_sector(*img, 0), nullptr);
    EXPECT_EQ(atr_sector(*img, 1), base);
    EXPECT_EQ(atr_sector(*img, 10), base + 9 * 128);
    EXPECT_EQ(atr_sector(*img, 11), nullptr);
    EXPECT_EQ(atr_sector(*img, 0xFFFFFFFFu), nullptr);

    EXPECT_EQ(atr_run(*img, 1, 1280), base); // the whole image
    EXPECT_EQ(atr_run(*img, 1, 1281), nullptr);
    EXPECT_EQ(atr_run(*img, 10, 128), base + 9 * 128);
    EXPECT_EQ(atr_run(*img, 10, 129), nullptr);
    EXPECT_EQ(atr_run(*img, 0, 1), nullptr);
    EXPECT_EQ(atr_run(*img, 11, 0), nullptr);
    EXPECT_EQ(atr_run(*img, 2, SIZE_MAX), nullptr);
}
