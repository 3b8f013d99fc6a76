// The DOS 3 handler: recognition from the format marker and the allocation
// table, byte sizes, chains through the table and their damage, both listing
// styles, extraction, and the two real DOS 3 disks.
#include "capture.h"
#include "dos3.h"
#include "dos3_layout.h"
#include "flat_layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

std::string line(unsigned size, const std::string &path)
{
    char b[300];
    std::snprintf(b, sizeof b, "%8u\t\t%s\n", size, path.c_str());
    return b;
}

std::string aline(const char *atari_name, unsigned size)
{
    char b[300];
    std::snprintf(b, sizeof b, "%-12s %7u\n", atari_name, size);
    return b;
}

std::string summary(unsigned n, unsigned free, unsigned total)
{
    return "t.atr: " + std::to_string(n) + " sectors of 128 bytes, DOS 3, " + std::to_string(free) +
           " blocks free of " + std::to_string(total) + " total.\n";
}

std::string warn(const std::string &s) { return "vorlen: " + s + "\n"; }

RunResult list(const Dos3Disk &d, int atari = 0, int lower = 0, int extract = 0)
{
    return run_handler(dos3_list, *d.disk.image(), "t.atr", atari, lower, extract);
}

// A disk with files A (300 bytes) and B.DAT (1500 bytes) in blocks 0 and 1-2.
Dos3Disk two_files(std::uint32_t sectors = 720)
{
    Dos3Disk d(sectors);
    d.add("A", flat_pattern(300, 1));
    d.add("B.DAT", flat_pattern(1500, 2));
    return d;
}

} // namespace

TEST(Dos3Recognition, Table)
{
    // Each case damages a freshly formatted single-density disk (N = 87); all
    // must be declined without a word, except the ones marked as taken.
    const struct { const char *what; std::function<void(Dos3Disk &)> poke; bool taken; } cases[] = {
        {"formatted", [](Dos3Disk &) {}, true},
        {"no A5", [](Dos3Disk &d) { d.disk.bytes(dos3_dir_sector, 15, {0xA4}); }, false},
        {"marker byte 0", [](Dos3Disk &d) { d.disk.bytes(dos3_dir_sector, 0, {0xC0}); }, false},
        {"marker byte 13", [](Dos3Disk &d) { d.disk.bytes(dos3_dir_sector, 13, {1}); }, false},
        {"N 0", [](Dos3Disk &d) { d.disk.bytes(dos3_dir_sector, 14, {0}); }, false},
        // N = 88 needs sector 728: beyond the image.
        {"N past the image", [](Dos3Disk &d) { d.disk.bytes(dos3_dir_sector, 14, {88}); }, false},
        // A smaller N is fine as long as the table's tail says "no such block".
        {"N 80, tail not FF", [](Dos3Disk &d) { d.disk.bytes(dos3_dir_sector, 14, {80}); }, false},
        {"N 80", [](Dos3Disk &d) { d.disk.bytes(dos3_dir_sector, 14, {80}).fill(dos3_fat_sector, 80, 48, 0xFF); }, true},
        {"table FC", [](Dos3Disk &d) { d.fat(5) = 0xFC; }, false},
        {"table FF below N", [](Dos3Disk &d) { d.fat(86) = 0xFF; }, false},
        {"table 80", [](Dos3Disk &d) { d.fat(0) = 0x80; }, false},
        {"table FE above N", [](Dos3Disk &d) { d.fat(87) = 0xFE; }, false},
        // Links up to 0x7F are what DOS 3 could write; past N they are damage found later.
        {"link 7F", [](Dos3Disk &d) { d.fat(0) = 0x7F; }, true},
        // Slots 1-63 are not looked at: an entry of any kind leaves the decision alone.
        {"only sector 16 counts", [](Dos3Disk &d) { d.disk.fill(17, 0, 128, 0x55); }, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Dos3Disk d(720);
        c.poke(d);
        RunResult r = list(d);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.taken ? 0 : 1);
        if (!c.taken) {
            EXPECT_EQ(r.out, "");
        }
    }
    // Other geometries: 256-byte sectors, or too few sectors for sector 24 or block 0.
    DiskBuilder dd(256, 720);
    dd.bytes(dos3_dir_sector, 14, {87, 0xA5}).fill(dos3_fat_sector, 0, 87, 0xFE).fill(dos3_fat_sector, 87, 41, 0xFF);
    EXPECT_EQ(run_handler(dos3_list, *dd.image(), "t.atr").status, 1);
    Dos3Disk tiny(32);
    EXPECT_EQ(list(tiny).out, summary(32, 1, 1));
    DiskBuilder cut(128, 31);
    std::copy_n(tiny.disk.data.begin(), cut.data.size(), cut.data.begin());
    EXPECT_EQ(run_handler(dos3_list, *cut.image(), "t.atr").status, 1);
}

TEST(Dos3Listing, Table)
{
    const struct {
        const char *what;
        std::function<Dos3Disk()> make;
        int atari, lower;
        std::string out, err;
    } cases[] = {
        {"single density", [] { return two_files(); }, 0, 0,
         summary(720, 84, 87) + line(300, "/A") + line(1500, "/B.DAT"), ""},
        {"enhanced density, Atari style, lower case",
         [] { return two_files(1040); }, 1, 1,
         "ATR image: t.atr\nImage size: 1040 sectors of 128 bytes\nDOS size: 124 blocks free of 127 total\n"
         "Volume: DOS 3\nDirectory of /\n\n" + aline("a", 300) + aline("b        dat", 1500) + "\n", ""},
        {"empty directory, Atari style", [] { return Dos3Disk(720); }, 1, 0,
         "ATR image: t.atr\nImage size: 720 sectors of 128 bytes\nDOS size: 87 blocks free of 87 total\n"
         "Volume: DOS 3\nDirectory of /\n\n\n", ""},
        // Sizes of 64 blocks and more: the block count gives the high part.
        {"70000 bytes in 69 blocks", [] {
             Dos3Disk d(1040);
             d.add("X69", flat_pattern(70000));
             d.add("EMPTY", {});
             return d;
         }, 0, 0, summary(1040, 57, 127) + line(70000, "/X69") + line(0, "/EMPTY"), ""},
        // A length of 0 modulo 65536 fills all 64 blocks.
        {"65536 bytes in 64 blocks", [] {
             Dos3Disk d(720);
             d.add("X64", flat_pattern(65536));
             return d;
         }, 0, 0, summary(720, 23, 87) + line(65536, "/X64"), ""},
        // Deleted and locked entries; slot 8 sits in sector 17 over the marker's copy.
        {"deleted, locked, nine slots", [] {
             Dos3Disk d(720);
             for (char c = '1'; c <= '9'; c++)
                 d.add(std::string("F") + c, flat_pattern(10), c == '5' ? dos3_locked : dos3_file);
             d.entry(3, dos3_entry(dos3_deleted, "F3", 1, 2, 10));
             return d;
         }, 0, 0, [] {
             std::string s = summary(720, 78, 87);
             for (char c : std::string("12456789"))
                 s += line(10, std::string("/F") + c);
             return s;
         }(), ""},
        // The directory ends at the first slot never used, whatever follows.
        {"end at unused slot", [] {
             Dos3Disk d = two_files();
             d.entry(4, dos3_entry(dos3_file, "AFTER", 1, 0, 5));
             return d;
         }, 0, 0, summary(720, 84, 87) + line(300, "/A") + line(1500, "/B.DAT"), ""},
        {"left open", [] {
             Dos3Disk d(720);
             d.add("OPEN.TMP", {}, dos3_open);
             d.add("KEEP", flat_pattern(5));
             return d;
         }, 0, 0, summary(720, 85, 87) + line(5, "/KEEP"), warn("/OPEN.TMP: file left open for writing, skip")},
        {"blank name and first block past N", [] {
             Dos3Disk d = two_files();
             d.entry(1, dos3_entry(dos3_file, "", 1, 0, 300));
             d.entry(3, dos3_entry(dos3_file, "FAR", 1, 87, 10));
             return d;
         }, 0, 0, summary(720, 84, 87) + line(1500, "/B.DAT"),
         warn("/: invalid file name, skip") + warn("/FAR: invalid first block, skip")},
        // Blocks 1 -> 2 -> 1: the bytes read before the repeat make the file.
        {"loop", [] {
             Dos3Disk d = two_files();
             d.fat(2) = 1;
             return d;
         }, 0, 0, summary(720, 84, 87) + line(300, "/A") + line(1500, "/B.DAT"),
         warn("/B.DAT: loop in block link at block 1")},
        {"link to itself, size beyond", [] {
             Dos3Disk d = two_files();
             d.fat(1) = 1;
             d.entry(2, dos3_entry(dos3_file, "B.DAT", 2, 1, 1500));
             d.fat(0) = 0;
             return d;
         }, 0, 0, summary(720, 84, 87) + line(300, "/A") + line(1500, "/B.DAT"),
         warn("/A: loop in block link at block 0") + warn("/B.DAT: loop in block link at block 1") +
             warn("/B.DAT: file is 1500 bytes, its blocks hold only 1024")},
        // A link past N (still below 0x80), and a link to a free block.
        {"links out of the chain", [] {
             Dos3Disk d = two_files();
             d.fat(1) = 87;
             d.add("C", flat_pattern(2048));
             d.fat(3) = dos3_free;
             return d;
         }, 0, 0, summary(720, 83, 87) + line(300, "/A") + line(1500, "/B.DAT") + line(2048, "/C"),
         warn("/B.DAT: invalid block link at block 1") + warn("/B.DAT: file is 1500 bytes, its blocks hold only 1024") +
             warn("/C: invalid block link at block 3") + warn("/C: file is 2048 bytes, its blocks hold only 1024")},
        // The entry's length beyond its one block, and block counts that differ from the chain.
        {"size and count", [] {
             Dos3Disk d = two_files();
             d.entry(1, dos3_entry(dos3_file, "A", 1, 0, 3000));
             d.entry(2, dos3_entry(dos3_file, "B.DAT", 0, 1, 1500));
             d.add("C", flat_pattern(100));
             d.entry(3, dos3_entry(dos3_file, "C", 3, 3, 100));
             return d;
         }, 0, 0, summary(720, 83, 87) + line(3000, "/A") + line(1500, "/B.DAT") + line(100, "/C"),
         warn("/A: file is 3000 bytes, its blocks hold only 1024") + warn("/B.DAT: file has 2 blocks, its entry says 0") +
             warn("/C: file has 1 blocks, its entry says 3")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = list(c.make(), c.atari, c.lower);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Dos3Listing, Extraction)
{
    // Clean files of both densities come out byte for byte; damaged ones
    // with the bytes their chain holds, cut to the size.
    Dos3Disk ed(1040);
    ed.add("BIG.DAT", flat_pattern(70000, 5));
    ed.add("EMPTY", {});
    ed.add("SMALL", flat_pattern(10, 9));
    Dos3Disk sd = two_files();
    sd.fat(2) = 1;                                       // B.DAT loops after its two blocks
    sd.add("LONG", flat_pattern(900, 4));
    sd.entry(3, dos3_entry(dos3_file, "LONG", 1, 3, 3000)); // claims 3000 bytes in one block
    sd.add("OPEN", flat_pattern(10), dos3_open);

    TempDir t;
    ScopedChdir in(t.path);
    RunResult r = list(ed, 0, 1, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(1040, 127 - 71, 127));
    EXPECT_EQ(r.err, "big.dat\nempty\nsmall\n");
    EXPECT_EQ(read_file(t / "big.dat"), flat_pattern(70000, 5));
    EXPECT_EQ(read_file(t / "empty"), std::vector<std::uint8_t>());
    EXPECT_EQ(read_file(t / "small"), flat_pattern(10, 9));

    fs::create_directory(t / "sd");
    ScopedChdir sub(t / "sd");
    r = list(sd, 0, 0, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "A\n" + warn("/B.DAT: loop in block link at block 1") + "B.DAT\n" +
                         warn("/LONG: file is 3000 bytes, its blocks hold only 1024") + "LONG\n" +
                         warn("/OPEN: file left open for writing, skip"));
    EXPECT_EQ(read_file(t / "sd/A"), flat_pattern(300, 1));
    EXPECT_EQ(read_file(t / "sd/B.DAT"), flat_pattern(1500, 2));
    std::vector<std::uint8_t> held = flat_pattern(900, 4);
    held.resize(1024); // the rest of the block as it is on the disk
    EXPECT_EQ(read_file(t / "sd/LONG"), held);
    EXPECT_FALSE(fs::exists(t / "sd/OPEN"));
}

TEST(Dos3Listing, ThroughTheDriver)
{
    // Every seed is taken by this handler through the whole program; a disk
    // that only looks like DOS 3 still ends unsupported.
    TempDir t;
    for (const auto &[name, bytes] : dos3_seed_files()) {
        SCOPED_TRACE(name);
        write_file(t / name, bytes);
        RunResult r = run_vorlen({"vorlen", name}, t.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.substr(0, name.size() + 2), name + ": ");
        EXPECT_NE(r.out.find(", DOS 3, "), std::string::npos);
    }
    RunResult r = run_vorlen({"vorlen", "dos3.atr"}, t.path);
    EXPECT_EQ(r.out, "dos3.atr: 720 sectors of 128 bytes, DOS 3, 79 blocks free of 87 total.\n" +
                         line(300, "/AUTORUN.SYS") + line(1530, "/README.TXT") + line(5000, "/GAME.COM"));
    EXPECT_EQ(r.err, "");

    Dos3Disk fake(720);
    fake.fat(10) = 0xFC;
    write_file(t / "fake.atr", fake.disk.atr());
    r = run_vorlen({"vorlen", "fake.atr"}, t.path);
    EXPECT_EQ(std::tie(r.status, r.out, r.err),
              std::make_tuple(1, std::string(), std::string("vorlen: fake.atr: ATR image format not supported.\n")));
}

TEST(Dos3RealDisks, ListAndExtract)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "real disk images not available";
    const struct { const char *file, *head; std::vector<std::pair<unsigned, const char *>> files; } disks[] = {
        {"130XE_SIO2SD__Dos_II_3.atr", ": 720 sectors of 128 bytes, DOS 3, 0 blocks free of 87 total.\n",
         {{3494, "FMS.SYS"}, {1020, "KCP.SYS"}, {4278, "KCPOVER.SYS"}, {4619, "COPY.UTL"}, {3248, "DUPDISK.UTL"},
          {5936, "INIT.UTL"}, {4564, "CONVERT.UTL"}, {277, "NO"}, {155, "NO.3"}, {253, "QUEST"}, {423, "INTSTRUK"},
          {1212, "QUESTA"}, {222, "NO.4"}, {238, "NO.5"}, {322, "NO.6"}, {9519, "AMORADO.MUZ"}, {10190, "CYFENLET"},
          {143, "VER"}, {706, "VISICALC"}, {12586, "ESC"}, {12411, "ACROBAT"}}},
        {"MyAtari8Bit__FIL0000B_DOS_3.ATR", ": 1040 sectors of 128 bytes, DOS 3, 8 blocks free of 127 total.\n",
         {{3494, "FMS.SYS"}, {5597, "BILD.I"}, {4031, "MINER"}, {537, "MINER.VOR"}, {53, "MINER.BAS"},
          {18752, "MINER.III"}, {2638, "TEXT.VER"}, {12359, "FIGHTING"}, {15347, "MANIAC"}, {3571, "MUSIC"},
          {2544, "BLOCATE"}, {5137, "MR.PAC"}, {3915, "BIORYH.I"}, {2868, "KALEIDOS.KOP"}, {8389, "ADRESSEN.VER"},
          {738, "PICTURE.PRO"}, {4146, "MUSIK.DEM"}, {1140, "AUTORUN.UTL"}, {300, "DEMO.GR1"}, {3014, "DEMO.GR2"},
          {836, "PAYER.DEM"}, {4263, "LEANDER"}, {5267, "PORTRAET"}}},
    };
    for (const auto &d : disks) {
        SCOPED_TRACE(d.file);
        std::string want = d.file + std::string(d.head), echo;
        for (const auto &[size, name] : d.files) {
            want += line(size, std::string("/") + name);
            echo += std::string(name) + "\n";
        }
        RunResult r = run_vorlen({"vorlen", d.file}, dir);
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(0, want, std::string()));

        TempDir out;
        r = run_vorlen({"vorlen", "-X", out.path, dir + "/" + d.file}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, echo);
        for (const auto &[size, name] : d.files)
            EXPECT_EQ(fs::file_size(out / name), size) << name;
        // FMS.SYS, the DOS itself, is an Atari executable on both disks.
        const std::vector<std::uint8_t> fms = read_file(out / "FMS.SYS");
        EXPECT_EQ(fms[0], 0xFF);
        EXPECT_EQ(fms[1], 0xFF);

        if (d.files.size() == 21) {
            // QUESTA runs from block 34 (sectors 297-304) to block 49 (sectors 417-424).
            const auto image = atr_load((dir + "/" + d.file).c_str());
            std::vector<std::uint8_t> want_questa(atr_run(*image, 297, 1024), atr_run(*image, 297, 1024) + 1024);
            want_questa.insert(want_questa.end(), atr_run(*image, 417, 188), atr_run(*image, 417, 188) + 188);
            EXPECT_EQ(read_file(out / "QUESTA"), want_questa);
        }
    }
}
