// PRO images: sectors and damage lines decoded, the strict signature, the real binary on a PRO vs. its ATR.
#include "capture.h"
#include "pro.h"
#include "pro_layout.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

static std::unique_ptr<AtrImage> decode(std::span<const std::uint8_t> file, std::string &err)
{
    std::unique_ptr<AtrImage> output;
    err = messages_of([&] { output = pro_decode(file, "t"); });
    return output;
}

// Patches {record (0: file header), byte, value}; controller status (byte 1) is active low: 0xEF record not found,
// 0xF7 CRC error, 0xFB lost data.  No byte of the source is zero, so a sector read as zeros shows.
TEST(ProDecode, Table)
{
    DiskBuilder src(128, 720);
    std::mt19937 rng;
    for (std::uint8_t &b : src.data)
        b = std::uint8_t(rng() | 1);
    const struct {
        std::uint32_t records;
        std::vector<std::array<unsigned, 3>> patch;
        std::vector<std::uint32_t> zero = {};
        std::vector<std::string> lines = {};
    } cases[] = {
        // P3, mode 9, a phantom with a wrong count, status bits and record header bytes 0, 4, 10 a lister ignores.
        {723, {{0, 3, '3'}, {0, 4, 9}, {5, 7, 1}, {5, 5, 4}, {7, 1, 0x1C}, {8, 0, 0}, {12, 4, 0xFF}, {12, 10, 0xFF}}},
        // Record 721 is the last: sector 3 names it, 20, 25 and 30 name 729, 722, 729 (fields 6, 8, 11).
        // "Not found" outranks CRC error and lost data (41).
        {721,
         {{17, 1, 0xEF}, {40, 1, 0xEF}, {41, 1, 0xE3}, {9, 1, 0xF3}, {100, 1, 0xF7}, {150, 1, 0xFB}, {3, 7, 1},
          {20, 6, 9}, {25, 8, 2}, {30, 11, 9}},
         {17, 40, 41},
         {"record not found: 3 sectors from sector 17 read as zeros",
          "CRC error: 2 sectors from sector 9, stored data used",
          "lost data (long sector): 2 sectors from sector 9, stored data used",
          "phantom past the end of the image: 3 sectors from sector 20"}},
        {700, {{2, 9, 200}, {50, 1, 0xEF}}, {50},
         {"image ends early: 20 sectors missing from sector 701",
          "record not found: 1 sector from sector 50 read as zeros",
          "phantom past the end of the image: 1 sector from sector 2"}},
    };
    for (const auto &c : cases) {
        std::vector<std::uint8_t> f = pro_image(src, c.records);
        for (auto [k, at, v] : c.patch)
            f.at(k ? 16 + (k - 1) * 140 + at : at) = std::uint8_t(v);
        std::string err, want_err;
        const std::unique_ptr<AtrImage> d = decode(f, err);
        for (const std::string &l : c.lines)
            want_err += "vorlen: t: PRO " + l + "\n";
        DiskBuilder want = src;
        for (std::uint32_t s = 1; s <= 720; s++)
            if (s > c.records || std::count(c.zero.begin(), c.zero.end(), s))
                want.fill(s, 0, 128, 0);
        ASSERT_TRUE(d);
        EXPECT_EQ(std::tie(err, d->sector_size, d->size), std::make_tuple(want_err, 128, 92160u));
        EXPECT_TRUE(std::equal(want.data.begin(), want.data.end(), d->data)) << c.records;
    }
}

// A byte or a record more or less; a count of 0, 2 or 257; magic "p" or with bit 7; version 1, 4 or with bit 7;
// random files of 7-bit bytes: "not an ATR image".  No real disk is taken for a PRO either.
TEST(ProSignature, NearMissesRandomAndRealFiles)
{
    TempDir t;
    std::string err;
    const std::vector<std::uint8_t> one = pro_image(DiskBuilder(128, 720), 1);
    const std::array<unsigned, 3> misses[] = {{157, 0, 0},   {155, 0, 0},    {296, 0, 0},  {16, 0, 0},
                                              {156, 1, 0},   {156, 1, 2},    {156, 0, 1},  {156, 2, 'p'},
                                              {156, 2, 0xD0}, {156, 3, '1'}, {156, 3, '4'}, {156, 3, 0xB2}};
    const std::string not_atr = "vorlen: Error, " + (t / "m: not an ATR image\n");
    std::mt19937 rng;
    ASSERT_TRUE(decode(one, err));
    for (unsigned i = 0; i < 28; i++) {
        std::vector<std::uint8_t> f = one;
        if (i < 12) {
            f.resize(misses[i][0]), f[misses[i][1]] = std::uint8_t(misses[i][2]);
        } else {
            for (f.resize(i % 2 ? 16 + 140 * (1 + rng() % 800) : 16 + rng() % 20000); std::uint8_t &b : f)
                b = std::uint8_t(rng() & 0x7F);
        }
        write_file(t / "m", f);
        const RunResult r = run_driver({"vorlen", t / "m"});
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(1, "", not_atr)) << i;
    }
    if (!realdisks_dir().empty()) {
        for (const auto &e : std::filesystem::recursive_directory_iterator(realdisks_dir()))
            EXPECT_TRUE(e.is_directory() || (!decode(read_file(e.path()), err) && err.empty())) << e.path();
    }
}

// The real binary on the damaged sample and on its disk as an ATR, both named "disk": the PRO's lines, then the
// same output, status and extracted files.
TEST(ProCli, SameAsTheAtr)
{
    const auto seeds = pro_seed_files();
    std::string err;
    const std::unique_ptr<AtrImage> clean = decode(seeds[0].second, err);
    std::vector<std::uint8_t> atr = atr_header(92160, 128);
    atr.insert(atr.end(), clean->data, clean->data + clean->size);
    const std::string lines = "P: disk: PRO record not found: 1 sector from sector 700 read as zeros\n"
                              "P: disk: PRO CRC error: 1 sector from sector 361, stored data used\n"
                              "P: disk: PRO lost data (long sector): 1 sector from sector 361, stored data used\n"
                              "P: disk: PRO phantom past the end of the image: 1 sector from sector 6\n";
    for (const std::vector<std::string> &argv : std::vector<std::vector<std::string>>{
             {"P", "disk"}, {"P", "-a", "disk"}, {"P", "-l", "disk"}, {"P", "-X", "out", "disk"}}) {
        TempDir t;
        std::filesystem::create_directory(t / "a"), std::filesystem::create_directory(t / "p");
        write_file(t / "a/disk", atr), write_file(t / "p/disk", seeds[1].second);
        const RunResult ra = run_vorlen(argv, t / "a"), rp = run_vorlen(argv, t / "p");
        std::filesystem::remove(t / "a/disk"), std::filesystem::remove(t / "p/disk");
        EXPECT_EQ(std::tie(rp.status, rp.out, rp.err), std::make_tuple(ra.status, ra.out, lines + ra.err)) << argv[1];
        EXPECT_EQ(std::filesystem::exists(t / "a/out") && !ra.out.empty(), argv[1] == "-X");
        EXPECT_EQ(std::system(("diff -r " + (t / "a") + " " + (t / "p")).c_str()), 0) << argv[1];
    }
}
