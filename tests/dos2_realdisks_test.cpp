// DOS 2 family disks that nobody here made: listings and extraction
// checked against what their makers and other tools say about them.
#include "atr.h"
#include "capture.h"
#include "dos2.h"
#include "image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

std::string line(unsigned size, const std::string &path)
{
    char b[300];
    std::snprintf(b, sizeof b, "%8u\t\t%s\n", size, path.c_str());
    return b;
}

// Lists (or, with more words, handles) a disk of the folder by its bare name.
RunResult vorlen(const std::string &dir, std::vector<std::string> words)
{
    words.insert(words.begin(), "vorlen");
    return run_vorlen(words, dir);
}

#define REALDISKS(dir)                                                                             \
    const std::string dir = realdisks_dir();                                                       \
    if (dir.empty())                                                                               \
        GTEST_SKIP() << "no real disk images here";

// The franny recipes of the atrcopy test images: a number adds a file of
// that many bytes named <letters><size>.DAT (A, B, ... Z, BA, ... counting the
// files of that size), dK deletes the K-th file added.
std::map<std::string, std::size_t> atrcopy_recipe(int test)
{
    std::vector<std::pair<std::string, std::size_t>> added;
    std::vector<bool> live;
    std::map<std::size_t, unsigned> per_size;
    auto add = [&](std::size_t n, int times = 1) {
        while (times--) {
            std::string letters;
            unsigned k = per_size[n]++;
            do {
                letters.insert(letters.begin(), char('A' + k % 26));
                k /= 26;
            } while (k);
            added.emplace_back(letters + std::to_string(n) + ".DAT", n);
            live.push_back(true);
        }
    };
    auto del = [&](std::initializer_list<int> ks) {
        for (int k : ks)
            live[std::size_t(k)] = false;
    };
    switch (test) {
    case 1: // 128 256 512 1024 4096
        for (std::size_t n : {128, 256, 512, 1024, 4096})
            add(n);
        break;
    case 2: // 50*256 2*512 256 1024 256 d1 d2 d3 4096
        add(256, 50), add(512, 2), add(256), add(1024), add(256), del({1, 2, 3}), add(4096);
        break;
    case 3: // 10*256 d1 d7 4096 d3 d5 d9 8000
        add(256, 10), del({1, 7}), add(4096), del({3, 5, 9}), add(8000);
        break;
    case 4: // 10*4096 d1 d3 d5 d7 d9 15000
        add(4096, 10), del({1, 3, 5, 7, 9}), add(15000);
        break;
    case 5: // 100-500,7
        for (std::size_t n = 100; n < 500; n += 7)
            add(n);
        break;
    }
    std::map<std::string, std::size_t> files;
    for (std::size_t i = 0; i < added.size(); i++)
        if (live[i])
            files.insert(added[i]);
    return files;
}

// Their contents: the stem padded with blanks to 8 bytes, repeated, every
// 8th byte replaced by a running counter.
std::vector<std::uint8_t> atrcopy_content(const std::string &name, std::size_t size)
{
    std::string stem = name.substr(0, name.find('.'));
    stem.resize(8, ' ');
    std::vector<std::uint8_t> v(size);
    for (std::size_t i = 0; i < size; i++)
        v[i] = i % 8 == 7 ? std::uint8_t(i / 8) : std::uint8_t(stem[i % 8]);
    return v;
}

} // namespace

TEST(Dos2RealDisks, AtrcopyTestImages)
{
    REALDISKS(dir);
    struct Kind {
        const char *tag, *volume;
    } kinds[] = {{"sd", "720 sectors of 128 bytes, DOS 2.0s"},
                 {"ed", "1040 sectors of 128 bytes, DOS 2.5"},
                 {"dd", "720 sectors of 256 bytes, DOS 2.0D"}};
    const int deleted_left[] = {0, 0, 2, 3, 4, 0}; // franny reuses freed slots
    for (const Kind &k : kinds) {
        for (int test = 1; test <= 5; test++) {
            const std::string file = std::string("atrcopy__dos_") + k.tag + "_test" + std::to_string(test) + ".atr";
            SCOPED_TRACE(file);
            const auto want = atrcopy_recipe(test);

            RunResult r = vorlen(dir, {file});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out.rfind(file + ": " + k.volume + ", ", 0), 0u) << r.out;
            for (const auto &[name, size] : want)
                EXPECT_NE(r.out.find(line(unsigned(size), "/" + name)), std::string::npos) << name;
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), std::ptrdiff_t(want.size() + 1));

            // Deleted entries (flags 0x80) stand between the live ones and are passed over.
            auto img = atr_load((dir + "/" + file).c_str());
            int deleted = 0;
            for (std::uint32_t i = 0; i < 64; i++) {
                const std::uint8_t *e = atr_sector(*img, 361 + i / 8) + i % 8 * 16;
                if (e[0] == 0)
                    break;
                if (e[0] & 0x80) {
                    deleted++;
                    EXPECT_EQ(want.count(dos2_name(e + 5, 0).host), 0u);
                }
            }
            EXPECT_EQ(deleted, deleted_left[test]);

            TempDir out;
            r = vorlen(dir, {"-X", out.path, file});
            EXPECT_EQ(r.status, 0);
            std::set<std::string> names;
            for (const auto &f : fs::directory_iterator(out.path))
                names.insert(f.path().filename().string());
            EXPECT_EQ(names.size(), want.size());
            for (const auto &[name, size] : want) {
                ASSERT_TRUE(names.count(name)) << name;
                EXPECT_EQ(read_file(out / name), atrcopy_content(name, size)) << name;
            }
        }
    }
}

TEST(Dos2RealDisks, XediskImages)
{
    REALDISKS(dir);
    // Sizes and the lower-case plain listing as xedisk asserts them.
    RunResult r = vorlen(dir, {"-l", "xedisk__MYDOS450.ATR"});
    EXPECT_EQ(r.out, "xedisk__MYDOS450.ATR: 720 sectors of 128 bytes, DOS 2.0s, 499 sectors free of 708 total.\n" +
                         line(4375, "/dos.sys") + line(6638, "/dup.sys") + line(5452, "/ramboot.m65") +
                         line(755, "/ramboot.aut") + line(7111, "/ramboot3.m65") + line(1156, "/ramboot3.aut") +
                         line(230, "/read.me"));

    // The MyDOS directory tree, depth first.
    std::string tree;
    for (const char *d : {"/DIR1", "/DIR1/DIR11", "/DIR1/DIR12", "/DIR2", "/DIR2/DIR21", "/DIR2/DIR21/DIR211",
                          "/DIR2/DIR21/DIR212"})
        tree += line(1024, std::string(d) + "/");
    tree += line(263, "/DIR2/DIR21/DIR212/FILE2121");
    for (const char *d : {"/DIR3", "/DIR3/DIR31", "/DIR3/DIR32", "/DIR3/DIR33", "/DIR4"})
        tree += line(1024, std::string(d) + "/");
    r = vorlen(dir, {"xedisk__MYDIRS.ATR"});
    EXPECT_EQ(r.out, "xedisk__MYDIRS.ATR: 720 sectors of 128 bytes, DOS 2.0s, 609 sectors free of 708 total.\n" + tree);

    TempDir out;
    r = vorlen(dir, {"-X", out.path, "xedisk__MYDIRS.ATR"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fs::file_size(out / "DIR2/DIR21/DIR212/FILE2121"), 263u);
    EXPECT_TRUE(fs::is_directory(out / "DIR3/DIR33"));
}

TEST(Dos2RealDisks, SummariesAndSizes)
{
    REALDISKS(dir);
    struct Disk {
        const char *file, *summary;             // after "<file>: "
        std::vector<std::pair<unsigned, const char *>> lines; // some of the listing
        const char *err = "";
    } disks[] = {
        {"MyAtari8Bit__T_MEINE.ATR", "720 sectors of 128 bytes, DOS 2.0s, 260 sectors free of 707 total.",
         {{4875, "/DOS.SYS"}, {9470, "/DUP.SYS"}, {11681, "/AUTORUN.SYS"}, {16474, "/WRITER.COM"},
          {279, "/USEPRG.TXT"}, {1664, "/BRIEF.TXT"}, {427, "/MENUE.TXT"}, {194, "/DBBRIEF.TXT"},
          {3911, "/SCHULE.TXT"}, {6343, "/SCHULE2.TXT"}}},
        // Chain walks that ignore file numbers; count 0 is an empty file.
        {"MyAtari8Bit__BB2MEINE.ATR", "720 sectors of 128 bytes, DOS 2.0s, 0 sectors free of 707 total.",
         {{19689, "/KONG.BAS"}, {9982, "/DASH"}, {148, "/AUTORUN.SYS"}, {0, "/DISKDAT.FIL"}, {1875, "/MOP.BAS"}}},
        {"130XE_SIO2SD__92-01.atr", "720 sectors of 128 bytes, DOS 2.0s, 399 sectors free of 1010 total.", {},
         "vorlen: 130XE_SIO2SD__92-01.atr: DOS sectors (1010) more than ATR image (720).\n"},
        {"130XE_SIO2SD__BiboDos_5.4_RN.xfd",
         "720 sectors of 128 bytes, DOS 2.0s (with bad signature), 469 sectors free of 707 total.", {}},
        {"130XE_SIO2SD__Dos_I.atr", "720 sectors of 128 bytes, DOS 1, 645 sectors free of 709 total.",
         {{8000, "/DOS.SYS"}}},
        {"130XE_SIO2SD__Top_Dos_1.5.atr",
         "720 sectors of 128 bytes, MyDOS (with bad signature), 427 sectors free of 707 total.", {}},
        {"130XE_SIO2SD__Mydos_4.50t_v3.atr",
         "720 sectors of 256 bytes, MyDOS (with bad signature), 663 sectors free of 708 total.", {}},
        // 16-bit links on large MyDOS volumes.
        {"Mad-Pascal__graph_vbxe_disk.atr", "3132 sectors of 256 bytes, MyDOS, 0 sectors free of 3119 total.",
         {{332259, "/BMP.OBX"}, {332360, "/BMP2.OBX"}}},
        {"fujinet-firmware__midimaze.atr", "1040 sectors of 128 bytes, MyDOS, 140 sectors free of 1027 total.",
         {{99555, "/AUTORUN.AR1"}}},
        {"130XE_SIO2SD__Numen.atr", "769 sectors of 256 bytes, DOS 2.0D, 0 sectors free of 756 total.",
         {{0, "/MEMORY.CFG"}, {82453, "/NUMEN1.TQA"}, {92457, "/NUMEN2.TQA"}}},
        {"Mad-Pascal__xbios.atr", "720 sectors of 256 bytes, DOS 2.0D, 589 sectors free of 708 total.",
         {{2048, "/_SUBDIR/"}, {1274, "/_SUBDIR/SUBFILE.XEX"}, {191, "/_SUBDIR/TEST.TXT"}, {0, "/FILENAME.OLD"}}},
    };
    for (const Disk &d : disks) {
        SCOPED_TRACE(d.file);
        RunResult r = vorlen(dir, {d.file});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), std::string(d.file) + ": " + d.summary + "\n");
        for (const auto &[size, path] : d.lines)
            EXPECT_NE(r.out.find(line(size, path)), std::string::npos) << path;
        EXPECT_EQ(r.err, d.err);
    }
    // Not DOS 2 family disks at all.
    for (const char *file : {"130XE_SIO2SD__Dos_II_3.atr", "130XE_SIO2SD__Dos_XE_1.0.atr",
                             "MyAtari8Bit__FIL0000B_DOS_3.ATR", "130XE_SIO2SD__Visage_2.5.atr",
                             "omnivore__Jumpman-2016-commented.atr"}) {
        RunResult r = vorlen(dir, {file});
        EXPECT_EQ(r.status, 1) << file;
        EXPECT_EQ(r.err, std::string("vorlen: ") + file + ": ATR image format not supported.\n");
    }
}

TEST(Dos2RealDisks, DamagedDirectories)
{
    REALDISKS(dir);
    // Diskey writes a disk label as entries of count 0 and start 0.
    RunResult r = vorlen(dir, {"130XE_SIO2SD__Diskey_b.atr"});
    std::string skips;
    for (int i = 0; i < 11; i++)
        skips += "vorlen: : invalid file sector, skip\n";
    EXPECT_EQ(r.err, skips);
    EXPECT_EQ(r.out, "130XE_SIO2SD__Diskey_b.atr: 720 sectors of 128 bytes, DOS 2.0s, 0 sectors free of 0 total.\n" +
                         line(4875, "/DOS.SYS") + line(2106, "/AUTORUN.SYS") + line(768, "/D") +
                         line(18813, "/DISKEY") + line(1783, "/DSKYTAP") + line(7369, "/DSKYDRV") +
                         line(516, "/DSKYDAT") + line(7712, "/DSKYSPC"));

    // Only 512 sectors of a 707-sector volume: reported, then listed.
    r = vorlen(dir, {"130XE_SIO2SD__Polskie_Logo.atr"});
    EXPECT_EQ(r.err, "vorlen: 130XE_SIO2SD__Polskie_Logo.atr: DOS sectors (707) more than ATR image (512).\n");
    EXPECT_EQ(r.out, "130XE_SIO2SD__Polskie_Logo.atr: 512 sectors of 128 bytes, DOS 2.0s, 528 sectors free of 707 "
                     "total.\n" + line(4625, "/DOS.SYS") + line(17633, "/AUTORUN.SYS"));

    // Two entries named KOALA: the first (empty) is written, the second stops the run.
    TempDir out;
    r = vorlen(dir, {"-X", out.path, "130XE_SIO2SD__Superdos_2.9_v2.atr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "130XE_SIO2SD__Superdos_2.9_v2.atr: 1040 sectors of 128 bytes, DOS 2.5, 0 sectors free of "
                     "1011 total.\n");
    const std::string tail = "MAC65.COM\nKOALA\nKOALA\nvorlen: Error, KOALA: file already exists.\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail);
    EXPECT_EQ(fs::file_size(out / "KOALA"), 0u);
    EXPECT_EQ(fs::file_size(out / "MAC65.COM"), 15307u);
    EXPECT_FALSE(fs::exists(out / "USSECTOR"));
}
