// PRO (APE) images: the disk decoded from the records, the damage lines,
// the strict signature, and the command line on a PRO against the same
// disk stored as an ATR.
#include "capture.h"
#include "dos2_layout.h"
#include "flat_layout.h"
#include "messages.h"
#include "pro.h"
#include "pro_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace {

// The input and the result of a decoder run under run_handler, which
// captures its messages.
std::span<const std::uint8_t> input;
std::unique_ptr<AtrImage> output;

struct Decoded {
    std::unique_ptr<AtrImage> disk;
    std::string err;
};

// pro_decode with its messages captured.
Decoded decode(std::span<const std::uint8_t> file)
{
    input = file;
    const RunResult r = run_handler(
        [](const AtrImage &, const char *name, int, int, int) {
            output = pro_decode(input, name);
            return 0;
        },
        AtrImage{}, "t.pro");
    return {std::move(output), r.err};
}

// A 720 x 128 disk of random bytes: every sector differs from every other.
DiskBuilder noise_disk()
{
    DiskBuilder d(128, 720);
    std::mt19937 rng(720);
    for (std::uint8_t &b : d.data)
        b = std::uint8_t(rng());
    return d;
}

std::string pro_line(const std::string &what) { return "vorlen: t.pro: PRO " + what + "\n"; }

// File offset of byte `at` of record `k`'s header.
std::size_t rec(std::uint32_t k, std::size_t at) { return 16 + std::size_t(k - 1) * 140 + at; }

std::uint8_t cleared(std::uint8_t bits) { return std::uint8_t(0xFF & ~bits); }

} // namespace

TEST(ProDecode, Table)
{
    const DiskBuilder src = noise_disk();
    const std::vector<std::uint8_t> copy = flat_pattern(128, 9);
    struct Case {
        const char *what;
        std::function<void(ProOptions &)> setup;
        std::vector<std::pair<std::size_t, std::uint8_t>> patch; // file bytes changed after encoding
        std::vector<std::uint32_t> zero;                         // sectors that read as zeros
        std::string err;
    };
    const Case cases[] = {
        {"clean", [](ProOptions &) {}, {}, {}, ""},
        // Phantoms in all five fields: the main record is served, nothing lost.
        {"P3, cycling phantoms",
         [&](ProOptions &o) {
             o.version = '3';
             o.phantom_mode = 9;
             o.sectors[5].phantoms.assign(5, copy);
         },
         {}, {}, ""},
        // Busy, data request, deleted mark, write protect and not ready, and
        // any drive status, change nothing a DOS reads.
        {"harmless status bits",
         [](ProOptions &o) { o.sectors[7].controller = cleared(0x01 | 0x02 | pro_deleted | 0x40 | 0x80); },
         {{rec(8, 0), 0xFF}}, {}, ""},
        {"record not found", [](ProOptions &o) { o.sectors[41].controller = o.sectors[40].controller = o.sectors[17].controller = cleared(pro_not_found); },
         {}, {17, 40, 41}, pro_line("record not found: 3 sectors from sector 17 read as zeros")},
        {"CRC error", [](ProOptions &o) { o.sectors[100].controller = cleared(pro_crc_error); }, {}, {},
         pro_line("CRC error: 1 sector from sector 100, stored data used")},
        {"lost data", [](ProOptions &o) { o.sectors[200].controller = o.sectors[150].controller = cleared(pro_lost_data); },
         {}, {}, pro_line("lost data (long sector): 2 sectors from sector 150, stored data used")},
        {"CRC error and lost data on one sector",
         [](ProOptions &o) { o.sectors[9].controller = cleared(pro_crc_error | pro_lost_data); }, {}, {},
         pro_line("CRC error: 1 sector from sector 9, stored data used") +
             pro_line("lost data (long sector): 1 sector from sector 9, stored data used")},
        // The bytes of a sector the drive did not find are no data at all.
        {"record not found outranks the rest",
         [](ProOptions &o) { o.sectors[9].controller = cleared(pro_not_found | pro_crc_error | pro_lost_data); },
         {}, {9}, pro_line("record not found: 1 sector from sector 9 read as zeros")},
        {"700 records", [](ProOptions &o) { o.main_records = 700; }, {}, {},
         pro_line("image ends early: 20 sectors missing from sector 701")},
        {"one record", [](ProOptions &o) { o.main_records = 1; }, {}, {},
         pro_line("image ends early: 719 sectors missing from sector 2")},
        // Record 721 exists, 722 does not; fields in header bytes 6 (phantom 4) and 11 (phantom 5).
        {"phantoms past the end",
         [&](ProOptions &o) {
             o.sectors[3].phantoms = {copy};
             o.sectors[3].extra_fields = {1, 2};
             o.sectors[20].extra_fields = {0, 0, 0, 9};
             o.sectors[30].extra_fields = {0, 0, 0, 0, 9};
         },
         {}, {}, pro_line("phantom past the end of the image: 3 sectors from sector 3")},
        // Header bytes 4 and 10 of a record, the phantom count, the phantom
        // mode and the rest of the file header are no concern of a lister;
        // neither are records after 720 that nobody names.
        {"unknown fields and stray records",
         [](ProOptions &o) {
             o.unreferenced = 3;
             o.sectors[12].phantom_count = 5;
         },
         {{rec(12, 4), 0xFF}, {rec(12, 10), 0xFF}, {4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {15, 0xFF}}, {}, ""},
        {"a short file loses its phantoms",
         [&](ProOptions &o) {
             o.main_records = 400;
             o.sectors[5].phantoms = {copy};
         },
         {}, {},
         pro_line("image ends early: 320 sectors missing from sector 401") +
             pro_line("phantom past the end of the image: 1 sector from sector 5")},
        {"every kind at once, in a fixed order",
         [](ProOptions &o) {
             o.main_records = 710;
             o.sectors[2].extra_fields = {200};
             o.sectors[70].controller = cleared(pro_lost_data);
             o.sectors[60].controller = cleared(pro_crc_error);
             o.sectors[50].controller = cleared(pro_not_found);
         },
         {}, {50},
         pro_line("image ends early: 10 sectors missing from sector 711") +
             pro_line("record not found: 1 sector from sector 50 read as zeros") +
             pro_line("CRC error: 1 sector from sector 60, stored data used") +
             pro_line("lost data (long sector): 1 sector from sector 70, stored data used") +
             pro_line("phantom past the end of the image: 1 sector from sector 2")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ProOptions o;
        c.setup(o);
        std::vector<std::uint8_t> file = pro_image(src, o);
        for (auto [at, v] : c.patch)
            file[at] = v;
        Decoded d = decode(file);
        ASSERT_TRUE(d.disk);
        EXPECT_EQ(d.err, c.err);
        // The disk as an ATR would give it: the source, less what is lost.
        DiskBuilder want = src;
        for (std::uint32_t s : c.zero)
            want.fill(s, 0, 128, 0);
        for (std::uint32_t s = o.main_records + 1; s <= 720; s++)
            want.fill(s, 0, 128, 0);
        EXPECT_EQ(std::tie(d.disk->sector_size, d.disk->sector_count, d.disk->size), std::make_tuple(128, 720u, 92160u));
        EXPECT_TRUE(std::equal(want.data.begin(), want.data.end(), d.disk->data));
    }
}

TEST(ProSignature, NearMissesAndRandomFilesAreNoImage)
{
    TempDir t;
    const DiskBuilder src = noise_disk();
    ProOptions one_record;
    one_record.main_records = 1;
    const std::vector<std::uint8_t> one = pro_image(src, one_record), full = pro_image(src);

    auto with = [](std::vector<std::uint8_t> f, std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
        for (auto [at, v] : bytes)
            f[at] = v;
        return f;
    };
    auto resized = [](std::vector<std::uint8_t> f, std::size_t n) {
        f.resize(n, 0xE5);
        return f;
    };
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> misses = {
        {"one byte long", resized(one, 157)},
        {"one byte short", resized(one, 155)},
        {"a full file one byte long", resized(full, full.size() + 1)},
        {"a full file one byte short", resized(full, full.size() - 1)},
        {"padded by a record", resized(full, full.size() + 140)},
        {"cut by a record", resized(full, full.size() - 140)},
        {"the header alone", resized(one, 16)},
        {"header and the header of a record", with(resized(one, 28), {{1, 0}})},
        {"count 0", with(one, {{1, 0}})},
        {"count 2", with(one, {{1, 2}})},
        {"count 257", with(one, {{0, 1}})},
        {"count 719", with(full, {{1, 0xCF}})},
        {"count 721", with(full, {{1, 0xD1}})},
        {"count little-endian", with(full, {{0, 0xD0}, {1, 0x02}})},
        {"magic p", with(one, {{2, 'p'}})},
        {"magic Q", with(one, {{2, 'Q'}})},
        {"magic with bit 7", with(one, {{2, 'P' | 0x80}})},
        {"version 1", with(one, {{3, '1'}})},
        {"version 4", with(one, {{3, '4'}})},
        {"version 0 byte", with(one, {{3, 0}})},
        {"version with bit 7", with(one, {{3, '2' | 0x80}})},
        {"2P", with(one, {{2, '2'}, {3, 'P'}})},
    };
    // Random files: byte 0 below 0x80 keeps them off the ATR and DCM
    // signatures; half have a length of whole PRO records.
    std::mt19937 rng(10);
    for (int i = 0; i < 24; i++) {
        std::size_t n = i % 2 ? 16 + 140 * (1 + rng() % 800) : 16 + rng() % 120000;
        if (n == 92160 || n == 133120)
            n++;
        std::vector<std::uint8_t> f(n);
        for (std::uint8_t &b : f)
            b = std::uint8_t(rng());
        f[0] &= 0x7F;
        misses.emplace_back("random " + std::to_string(i), f);
    }
    for (const auto &[what, file] : misses) {
        SCOPED_TRACE(what);
        EXPECT_FALSE(decode(file).disk);
        write_file(t / "m.pro", file);
        RunResult r = run_driver({"vorlen", t / "m.pro"});
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(1, "", "vorlen: Error, " + (t / "m.pro") + ": not an ATR image\n"));
    }

    // The controls pass; so do random records behind a good signature, which
    // give a 720-sector disk and at most one line per kind of damage.
    EXPECT_TRUE(decode(one).disk && decode(full).disk);
    for (int i = 0; i < 16; i++) {
        const std::uint32_t records = 1 + rng() % 1000;
        std::vector<std::uint8_t> f(16 + 140 * std::size_t(records));
        for (std::uint8_t &b : f)
            b = std::uint8_t(rng());
        f[0] = std::uint8_t(records >> 8), f[1] = std::uint8_t(records), f[2] = 'P', f[3] = i % 2 ? '2' : '3';
        Decoded d = decode(f);
        ASSERT_TRUE(d.disk);
        EXPECT_EQ(d.disk->sector_count, 720u);
        std::size_t lines = 0;
        for (std::size_t at = 0; (at = d.err.find("vorlen: t.pro: PRO ", at)) != std::string::npos; at++)
            lines++;
        EXPECT_LE(lines, 5u);
        EXPECT_EQ(lines, std::size_t(std::count(d.err.begin(), d.err.end(), '\n')));
    }
}

namespace {

// Every file and directory under `root`, by relative path, with its bytes.
std::map<std::string, std::string> tree(const std::string &root)
{
    std::map<std::string, std::string> m;
    if (!fs::exists(root))
        return m;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        if (e.is_directory()) {
            m[rel] = "<dir>";
        } else {
            const std::vector<std::uint8_t> b = read_file(e.path().string());
            m[rel] = std::string(b.begin(), b.end());
        }
    }
    return m;
}

std::string renamed(std::string s, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

} // namespace

TEST(ProCli, SameAsTheAtrInEveryMode)
{
    const Dos2Disk vol = dos2_volume({}, {{"AUTORUN.SYS", flat_pattern(300, 1)},
                                          {"README.TXT", flat_pattern(90, 2)},
                                          {"BIG.DAT", flat_pattern(5000, 3)},
                                          {"GAMES/PAC.COM", flat_pattern(700, 4)}});
    // Protection on sectors no file uses: a phantom, a deleted mark, a
    // cycling phantom mode.
    ProOptions clean;
    clean.version = '3';
    clean.phantom_mode = 9;
    clean.sectors[719].phantoms = {flat_pattern(128, 7), flat_pattern(128, 8)};
    clean.sectors[718].controller = cleared(pro_deleted);
    // A bad sector inside BIG.DAT, a CRC error in README.TXT, the last 20
    // sectors missing.
    ProOptions damaged;
    damaged.main_records = 700;
    damaged.sectors[20].controller = cleared(pro_not_found);
    damaged.sectors[7].controller = cleared(pro_crc_error);
    DiskBuilder damaged_disk = vol.disk;
    damaged_disk.fill(20, 0, 128, 0);
    for (std::uint32_t s = 701; s <= 720; s++)
        damaged_disk.fill(s, 0, 128, 0);

    struct Case {
        const char *what;
        std::vector<std::uint8_t> pro;
        std::vector<std::uint8_t> atr; // the disk the PRO holds
        std::string lines;              // what the PRO adds, "<image>" for its name
    } cases[] = {
        {"clean", pro_image(vol.disk, clean), vol.disk.atr(), ""},
        {"damaged", pro_image(vol.disk, damaged), damaged_disk.atr(),
         "P: <image>: PRO image ends early: 20 sectors missing from sector 701\n"
         "P: <image>: PRO record not found: 1 sector from sector 20 read as zeros\n"
         "P: <image>: PRO CRC error: 1 sector from sector 7, stored data used\n"},
    };
    const std::vector<std::vector<std::string>> modes = {{}, {"-a"}, {"-l"}, {"-al"}, {"-X", "out"}, {"-l", "-X", "out"}};
    for (const Case &c : cases) {
        for (const std::vector<std::string> &mode : modes) {
            SCOPED_TRACE(std::string(c.what) + " " + ::testing::PrintToString(mode));
            TempDir t;
            fs::create_directory(t / "a");
            fs::create_directory(t / "p");
            write_file(t / "a/disk.atr", c.atr);
            write_file(t / "p/disk.pro", c.pro);
            std::vector<std::string> a = {"P"}, p = {"P"};
            a.insert(a.end(), mode.begin(), mode.end());
            p.insert(p.end(), mode.begin(), mode.end());
            a.push_back("disk.atr");
            p.push_back("disk.pro");
            const RunResult ra = run_vorlen(a, t / "a"), rp = run_vorlen(p, t / "p");
            EXPECT_FALSE(ra.out.empty());
            EXPECT_EQ(rp.status, ra.status);
            EXPECT_EQ(rp.out, renamed(ra.out, "disk.atr", "disk.pro"));
            EXPECT_EQ(rp.err, renamed(c.lines, "<image>", "disk.pro") + renamed(ra.err, "disk.atr", "disk.pro"));
            EXPECT_EQ(tree(t / "p/out"), tree(t / "a/out"));
            if (mode.size() > 1) {
                EXPECT_FALSE(tree(t / "a/out").empty());
            }
        }
    }
}

// No real image or container is taken for a PRO; every single-density real
// disk, encoded as a PRO, lists as its ATR does.
TEST(ProCli, RealDisksAsPro)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "no real disk images here";
    TempDir t;
    int checked = 0;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file())
            continue;
        const std::vector<std::uint8_t> bytes = read_file(e.path().string());
        const Decoded none = decode(bytes);
        EXPECT_TRUE(!none.disk && none.err.empty()) << e.path();
        if (bytes.size() > 200000)
            continue;
        // The disk as the loader gives it; its own warnings are no concern here.
        input = bytes;
        run_handler([](const AtrImage &, const char *, int, int, int) {
            output = atr_load_bytes(input, "x");
            return 0;
        }, AtrImage{}, "");
        const std::unique_ptr<AtrImage> img = std::move(output);
        if (!img || img->sector_size != 128 || img->sector_count != 720)
            continue;
        DiskBuilder disk(128, 720);
        std::copy(img->data, img->data + img->size, disk.data.begin());
        write_file(t / "d.atr", disk.atr());
        write_file(t / "d.pro", pro_image(disk));
        for (const char *mode : {"-a", "-l"}) {
            SCOPED_TRACE(e.path().filename().string() + " " + mode);
            const RunResult ra = run_driver({"vorlen", mode, t / "d.atr"});
            const RunResult rp = run_driver({"vorlen", mode, t / "d.pro"});
            EXPECT_EQ(std::tie(rp.status, rp.out, rp.err),
                      std::make_tuple(ra.status, renamed(ra.out, "d.atr", "d.pro"), renamed(ra.err, "d.atr", "d.pro")));
        }
        checked++;
    }
    EXPECT_GT(checked, 10);
}
