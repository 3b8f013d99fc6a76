// The DOS XE handler: recognition, both listing styles, damaged disks,
// extraction with dates, a disk of shared clusters, and the real system disk.
#include "capture.h"
#include "dos2_layout.h"
#include "dosxe.h"
#include "dosxe_layout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <sys/stat.h>

namespace {

[[maybe_unused]] const bool in_utc = (setenv("TZ", "UTC", 1), tzset(), true);

RunResult list(const DosXeDisk &d, int atari = 0, int lower = 0, int extract = 0)
{
    return run_handler(dosxe_list, *d.disk.image(), "t.atr", atari, lower, extract);
}

std::string line(unsigned size, const std::string &path)
{
    char b[300];
    std::snprintf(b, sizeof b, "%8u\t\t%s\n", size, path.c_str());
    return b;
}

std::string summary(const DosXeDisk &d)
{
    char b[200];
    std::snprintf(b, sizeof b, "t.atr: %u sectors of %d bytes, DOS XE, %u clusters free of %u total.\n",
                  d.geo.sectors, d.geo.sector_size, d.geo.total - d.next_cluster, d.geo.total);
    return b;
}

std::vector<std::uint8_t> bytes_of(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++)
        v[i] = std::uint8_t(seed + i * 7 + i / 250);
    return v;
}

// Six root entries (two directory clusters), two levels of subdirectories,
// a file of two maps, an empty file and an empty directory.
const std::vector<DosXeItem> &tree()
{
    static const std::vector<DosXeItem> t = {
        {"AUTORUN.SYS", bytes_of(300, 1), dosxe_date(1988, 9, 20), dosxe_date(1988, 1, 2)},
        {"GAMES/PACMAN.COM", bytes_of(1000, 2), dosxe_date(1988, 10, 1)},
        {"GAMES/ARCADE/BIG.DAT", bytes_of(32000, 3), dosxe_date(1992, 2, 29)},
        {"GAMES/ARCADE/EMPTY.DAT", {}, dosxe_date(1999, 12, 31)},
        {"DOCS/", {}, dosxe_date(2020, 1, 15)},
        {"A1", bytes_of(250, 4)},
        {"A2.X", bytes_of(251, 5)},
        {"A3.BAS", bytes_of(1, 6), 0}, // no date
    };
    return t;
}

const char host_tree[] = "     300\t\t/AUTORUN.SYS\n"
                         "     256\t\t/GAMES/\n"
                         "    1000\t\t/GAMES/PACMAN.COM\n"
                         "     256\t\t/GAMES/ARCADE/\n"
                         "   32000\t\t/GAMES/ARCADE/BIG.DAT\n"
                         "       0\t\t/GAMES/ARCADE/EMPTY.DAT\n"
                         "     256\t\t/DOCS/\n"
                         "     250\t\t/A1\n"
                         "     251\t\t/A2.X\n"
                         "       1\t\t/A3.BAS\n";

const char atari_tree[] = "Directory of /\n\n"
                          "AUTORUN  SYS     300\n"
                          "GAMES         <DIR>\n"
                          "DOCS          <DIR>\n"
                          "A1               250\n"
                          "A2       X       251\n"
                          "A3       BAS       1\n\n"
                          "Directory of /GAMES\n\n"
                          "PACMAN   COM    1000\n"
                          "ARCADE        <DIR>\n\n"
                          "Directory of /GAMES/ARCADE\n\n"
                          "BIG      DAT   32000\n"
                          "EMPTY    DAT       0\n\n"
                          "Directory of /DOCS\n\n\n";

const DosXeDensity densities[] = {DosXeDensity::at810, DosXeDensity::at1050, DosXeDensity::ssdd,
                                  DosXeDensity::xf551};

} // namespace

TEST(DosXeRecognition, Table)
{
    using Poke = std::function<void(DosXeDisk &)>;
    // Each poke breaks one recognition rule of a clean single-density disk,
    // except those marked as kept.
    struct { const char *what; Poke poke; bool kept = false; } cases[] = {
        {"clean", [](DosXeDisk &) {}, true},
        {"code in lower case", [](DosXeDisk &d) { d.disk.text(1, 0x10, "at810"); }},
        {"code empty", [](DosXeDisk &d) { d.disk.fill(1, 0x10, 6, 0); }},
        {"byte after the code's end", [](DosXeDisk &d) { d.disk.bytes(1, 0x14, {0, '1'}); }},
        {"six characters", [](DosXeDisk &d) { d.disk.bytes(1, 0x15, {'1'}); }, true},
        {"placeholder code", [](DosXeDisk &d) { d.disk.text(1, 0x10, "??????"); }, true},
        {"unit 3", [](DosXeDisk &d) { d.disk.bytes(1, 0x17, {3}); }},
        {"unit 0", [](DosXeDisk &d) { d.disk.bytes(1, 0x17, {0}); }},
        {"root in the VTOC", [](DosXeDisk &d) { d.disk.bytes(1, 0x1D, {4}); }},
        {"formatted free = total", [](DosXeDisk &d) { d.disk.le16(1, 0x1A, 353); }},
        // Cluster T - 1 is sectors 2T - 2 and 2T - 1: 360 fits 720 sectors, 361 does not.
        {"total 360", [](DosXeDisk &d) { d.disk.le16(1, 0x18, 360); d.cluster_word(4, 2, 360); }, true},
        {"total 361", [](DosXeDisk &d) { d.disk.le16(1, 0x18, 361); d.cluster_word(4, 2, 361); }},
        {"VTOC total differs", [](DosXeDisk &d) { d.cluster_word(4, 2, 352); }},
        {"VTOC free > total", [](DosXeDisk &d) { d.cluster_word(4, 4, 354); }},
        {"root of another disk", [](DosXeDisk &d) { d.cluster_word(5, 0xFC, 0x1234); }},
        {"root not first", [](DosXeDisk &d) { d.trailer(5, 0, 1, 0xFF); }},
        {"root owned by a file", [](DosXeDisk &d) { d.trailer(5, 1, 0, 0xFF); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DosXeDisk d = dosxe_volume(DosXeDensity::at810, {{"A.COM", bytes_of(10, 1)}});
        c.poke(d);
        const RunResult r = list(d);
        EXPECT_EQ(r.status, c.kept ? 0 : 1);
        EXPECT_EQ(r.err, "");
        if (!c.kept) {
            EXPECT_EQ(r.out, "");
        }
    }

    // Every density the DOS formats, with its own summary and the same tree.
    for (DosXeDensity den : densities) {
        DosXeDisk d = dosxe_volume(den, tree());
        SCOPED_TRACE(d.geo.code);
        const RunResult r = list(d);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, summary(d) + host_tree);
    }

    // Disks of other kinds stay with the others, and unsupported disks stay unsupported.
    EXPECT_EQ(list(DosXeDisk(DosXeDensity::at810)).status, 1);
    EXPECT_EQ(run_handler(dosxe_list, *dos2_volume({}, {{"A.COM", bytes_of(10, 1)}}).disk.image(), "t.atr").status, 1);
    TempDir tmp;
    DosXeDisk broken = dosxe_volume(DosXeDensity::at810, tree());
    broken.cluster_word(4, 2, 352);
    write_file(tmp / "x.atr", broken.disk.atr());
    const RunResult r = run_driver({"vorlen", tmp / "x.atr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vorlen: " + tmp / "x.atr" + ": ATR image format not supported.\n");
}

TEST(DosXeListing, AtariStyleAndLowerCase)
{
    DosXeDisk d = dosxe_volume(DosXeDensity::xf551, tree());
    RunResult r = list(d, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "ATR image: t.atr\nImage size: 1440 sectors of 256 bytes\nDOS size: " +
                         std::to_string(1441 - d.next_cluster) + " clusters free of 1441 total\nVolume: DOS XE\n" +
                         atari_tree);

    r = list(d, 0, 1);
    EXPECT_NE(r.out.find(line(32000, "/games/arcade/big.dat")), std::string::npos);
    r = list(d, 1, 1);
    EXPECT_NE(r.out.find("Directory of /games/arcade\n\nbig      dat   32000\n"), std::string::npos);
}

TEST(DosXeDamage, Table)
{
    using Poke = std::function<void(DosXeDisk &)>;
    // A.COM has data clusters 7, 8, 9 behind map 6; SUB is cluster 10 with B.COM behind map 11.
    const std::vector<DosXeItem> items = {
        {"A.COM", bytes_of(600, 1)}, {"SUB/B.COM", bytes_of(300, 2)}, {"C.COM", bytes_of(10, 3)}};
    const std::string clean = line(600, "/A.COM") + line(256, "/SUB/") + line(300, "/SUB/B.COM") + line(10, "/C.COM");
    struct Case {
        const char *what;
        Poke poke;
        std::string err;
        std::string out;          // host listing after the summary; "" = the clean one
        long extracted_a = 600;   // bytes of A.COM extracted; -1: not extracted
    } cases[] = {
        {"map names a cluster twice", [](DosXeDisk &d) { d.map_slot(6, 2, 7); },
         "/A.COM: loop in data clusters at cluster 7\n/A.COM: short file in disk\n", "", 500},
        {"map names a cluster beyond the total", [](DosXeDisk &d) { d.map_slot(6, 1, 353); },
         "/A.COM: data cluster 1 at invalid cluster 353\n/A.COM: short file in disk\n", "", 250},
        {"map ends early", [](DosXeDisk &d) { d.map_slot(6, 1, 0); },
         "/A.COM: data cluster 1 missing\n/A.COM: short file in disk\n", "", 250},
        {"size larger than its clusters", [](DosXeDisk &d) { d.size("/A.COM", 1000); },
         "/A.COM: data cluster 3 missing\n/A.COM: short file in disk\n",
         line(1000, "/A.COM") + line(256, "/SUB/") + line(300, "/SUB/B.COM") + line(10, "/C.COM"), 750},
        {"rest above 250: one more cluster", [](DosXeDisk &d) { d.size("/A.COM", 250); d.entry("/A.COM")[0x0E] = 255; },
         "", line(505, "/A.COM") + line(256, "/SUB/") + line(300, "/SUB/B.COM") + line(10, "/C.COM"), 505},
        {"foreign data trailers: one report, bytes used",
         [](DosXeDisk &d) { d.trailer(8, 77, 1, 0).trailer(9, 1, 9, 0); },
         "/A.COM: data cluster 1 not of this file\n", "", 600},
        {"unwritten data cluster reads as zeros", [](DosXeDisk &d) { d.trailer(8, 0x5A5A, 0x5A, 0x5A).cluster_word(8, 0xFC, 0x5A5A); },
         "", "", 600},
        {"foreign map trailer", [](DosXeDisk &d) { d.trailer(6, 1, 0, 0xFF); },
         "/A.COM: map cluster 0 not of this file\n", "", 600},
        {"large-run file reads runs from one slot", [](DosXeDisk &d) { d.entry("/A.COM")[0] = 0x48; d.map_slot(6, 1, 0); },
         "", "", 600},
        {"first map 0", [](DosXeDisk &d) { d.cluster_word(5, 0x13, 0); },
         "/A.COM: invalid first cluster 0, skip\n", line(256, "/SUB/") + line(300, "/SUB/B.COM") + line(10, "/C.COM"), -1},
        {"first map beyond the total", [](DosXeDisk &d) { d.cluster_word(5, 0x13, 999); },
         "/A.COM: invalid first cluster 999, skip\n", line(256, "/SUB/") + line(300, "/SUB/B.COM") + line(10, "/C.COM"), -1},
        {"empty file without a map", [](DosXeDisk &d) { d.size("/A.COM", 0).cluster_word(5, 0x13, 0); },
         "", line(0, "/A.COM") + line(256, "/SUB/") + line(300, "/SUB/B.COM") + line(10, "/C.COM"), 0},
        {"flags 0 end the directory", [](DosXeDisk &d) { d.entry("/SUB")[0] = 0; }, "", line(600, "/A.COM")},
        {"deleted and open entries are invisible", [](DosXeDisk &d) { d.entry("/SUB")[0] = 0x81; d.entry("/C.COM")[0] = 0xC4; },
         "", line(600, "/A.COM")},
        {"bit 6 clear", [](DosXeDisk &d) { d.entry("/C.COM")[0] = 0x02; }, "/C.COM: invalid file type 02\n",
         line(600, "/A.COM") + line(256, "/SUB/") + line(300, "/SUB/B.COM")},
        {"blank name", [](DosXeDisk &d) { std::fill_n(d.entry("/C.COM") + 1, 11, ' '); }, "/: invalid file name, skip\n",
         line(600, "/A.COM") + line(256, "/SUB/") + line(300, "/SUB/B.COM")},
        {"entry of another disk", [](DosXeDisk &d) { d.entry("/C.COM")[0x12] = 0x12; }, "/C.COM: wrong disk number 1299\n", ""},
        {"directory chain loops", [](DosXeDisk &d) { d.dir_next(10, 10); },
         "/SUB: loop in directory clusters at cluster 10\n", ""},
        {"directory chain leaves the disk", [](DosXeDisk &d) { d.dir_next(10, 400); },
         "/SUB: invalid directory cluster 400\n", ""},
        {"directory chain runs into a file", [](DosXeDisk &d) { d.dir_next(10, 7); },
         "/SUB: cluster 7 not of this directory\n", ""},
        {"directory flag on a map", [](DosXeDisk &d) { d.cluster_word(d.nodes["/SUB"].entry_cluster, 49 + 0x13, 11); },
         "/SUB: cluster 11 not of this directory\n", line(600, "/A.COM") + line(0, "/SUB/") + line(10, "/C.COM")},
        {"subdirectory is the root", [](DosXeDisk &d) { d.cluster_word(5, 49 + 0x13, 5).cluster_word(5, 49 + 0x0F, 0); },
         "/SUB: directory already visited, skip\n", line(600, "/A.COM") + line(256, "/SUB/") + line(10, "/C.COM")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DosXeDisk d = dosxe_volume(DosXeDensity::at810, items);
        ASSERT_EQ(d.nodes["/A.COM"].data, (std::vector<std::uint32_t>{7, 8, 9}));
        ASSERT_EQ(d.nodes["/SUB"].dir, std::vector<std::uint32_t>{10});
        c.poke(d);
        std::string err;
        for (std::size_t at = 0; at < c.err.size();) {
            const std::size_t nl = c.err.find('\n', at);
            err += "vorlen: " + c.err.substr(at, nl + 1 - at);
            at = nl + 1;
        }
        RunResult r = list(d);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, summary(d) + (c.out.empty() ? clean : c.out));

        // The Atari style reports the same damage.
        EXPECT_EQ(list(d, 1).err, err);

        TempDir tmp;
        {
            ScopedChdir in(tmp.path);
            EXPECT_EQ(list(d, 0, 0, 1).status, 0);
        }
        struct stat st {};
        if (c.extracted_a < 0) {
            EXPECT_NE(stat((tmp / "A.COM").c_str(), &st), 0);
        } else {
            const std::vector<std::uint8_t> a = read_file(tmp / "A.COM");
            EXPECT_EQ(long(a.size()), c.extracted_a);
            const std::vector<std::uint8_t> want = bytes_of(600, 1);
            const bool zeros = std::string(c.what).starts_with("unwritten");
            for (std::size_t i = 0; i < a.size() && i < want.size(); i++)
                ASSERT_EQ(a[i], zeros && i >= 250 && i < 500 ? 0 : want[i]) << i;
        }
    }
}

TEST(DosXeExtract, BytesAndTimes)
{
    for (DosXeDensity den : {DosXeDensity::at810, DosXeDensity::xf551}) {
        DosXeDisk d = dosxe_volume(den, tree());
        SCOPED_TRACE(d.geo.code);
        TempDir tmp;
        RunResult r;
        {
            ScopedChdir in(tmp.path);
            r = list(d, 0, 0, 1);
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, summary(d));
        EXPECT_EQ(r.err, "AUTORUN.SYS\nGAMES/\nGAMES/PACMAN.COM\nGAMES/ARCADE/\nGAMES/ARCADE/BIG.DAT\n"
                         "GAMES/ARCADE/EMPTY.DAT\nDOCS/\nA1\nA2.X\nA3.BAS\n");
        for (const DosXeItem &it : tree()) {
            if (it.path.back() != '/') {
                EXPECT_EQ(read_file(tmp / it.path), it.data) << it.path;
            }
        }

        // Last-change dates at 00:00; directories too, after their contents.
        // A3.BAS has no date and keeps the time it was written.
        struct { const char *path; int y, m, day; } times[] = {
            {"AUTORUN.SYS", 1988, 9, 20}, {"GAMES", 1988, 10, 1}, {"GAMES/ARCADE", 1992, 2, 29},
            {"GAMES/ARCADE/BIG.DAT", 1992, 2, 29}, {"GAMES/ARCADE/EMPTY.DAT", 1999, 12, 31}, {"DOCS", 2020, 1, 15},
        };
        for (const auto &t : times) {
            std::tm tm{};
            tm.tm_year = t.y - 1900, tm.tm_mon = t.m - 1, tm.tm_mday = t.day;
            struct stat st {};
            ASSERT_EQ(stat((tmp / t.path).c_str(), &st), 0) << t.path;
            EXPECT_EQ(st.st_mtime, timegm(&tm)) << t.path;
        }
        struct stat st {};
        ASSERT_EQ(stat((tmp / "A3.BAS").c_str(), &st), 0);
        EXPECT_GT(st.st_mtime, std::time(nullptr) - 600);
    }
}

// A root of 1000 entries that all name one file of 1000 clusters: reading
// each anew would read a million clusters.
TEST(DosXeBudget, ManyEntriesShareOneFile)
{
    DosXeDisk d = dosxe_volume(DosXeDensity::xf551, {{"BIG.DAT", bytes_of(1000 * 250, 1)}});
    const std::uint8_t *big = d.entry("/BIG.DAT");
    std::vector<std::uint32_t> chain{5};
    for (int i = 1; i < 200; i++)
        chain.push_back(d.alloc());
    for (std::size_t i = 0; i < chain.size(); i++) {
        d.trailer(chain[i], 0, std::uint8_t(i), 0xFF).dir_next(chain[i], i + 1 < chain.size() ? chain[i + 1] : 0);
        for (unsigned k = 0; k < 5; k++) {
            std::uint8_t *e = d.cluster(chain[i]) + 49 * k;
            if (e != big)
                std::copy_n(big, 49, e);
            std::snprintf(reinterpret_cast<char *>(e + 1), 9, "F%07zu", i * 5 + k);
            e[9] = 'D'; // over the name's terminating zero
        }
    }
    const auto t0 = std::chrono::steady_clock::now();
    const RunResult r = list(d);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1001);
    EXPECT_NE(r.out.find(line(250000, "/F0000999.DAT")), std::string::npos);
    EXPECT_NE(r.err.find("vorlen: /F0000131.DAT: too many clusters shared between files, not read\n"), std::string::npos);
}

TEST(DosXeRealDisk, SystemDisk)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "real disk images not present";
    const std::string file = "130XE_SIO2SD__Dos_XE_1.0.atr";
    RunResult r;
    {
        ScopedChdir in(dir);
        r = run_driver({"vorlen", file});
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, file + ": 720 sectors of 128 bytes, DOS XE, 209 clusters free of 353 total.\n"
                     "   14224\t\t/DOSXE.SYS\n    2776\t\t/DOS2.SYS\n    9195\t\t/SETUP.COM\n"
                     "     212\t\t/RDRIVER.SYS\n    5740\t\t/COPY3_XE.COM\n     227\t\t/WELCOME.BAS\n");

    TempDir tmp;
    {
        ScopedChdir in(dir);
        r = run_driver({"vorlen", "-X", tmp / "out", file});
    }
    EXPECT_EQ(r.status, 0);
    std::tm tm{};
    tm.tm_year = 88, tm.tm_mon = 8, tm.tm_mday = 20;
    struct { const char *name; std::size_t size; } files[] = {
        {"DOSXE.SYS", 14224}, {"DOS2.SYS", 2776}, {"SETUP.COM", 9195},
        {"RDRIVER.SYS", 212}, {"COPY3_XE.COM", 5740}, {"WELCOME.BAS", 227},
    };
    for (const auto &f : files) {
        const std::string path = tmp / "out/" + f.name;
        const std::vector<std::uint8_t> b = read_file(path);
        EXPECT_EQ(b.size(), f.size) << f.name;
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, timegm(&tm)) << f.name;
        // The executables start with their segment header.
        if (std::string(f.name) != "WELCOME.BAS") {
            EXPECT_TRUE(b.size() > 2 && b[0] == 0xFF && b[1] == 0xFF) << f.name;
        }
    }
}

// The seed images load and list; only the demonstration disk is clean.
TEST(DosXeSeeds, ListAsBuilt)
{
    for (const auto &[name, bytes] : dosxe_seed_files()) {
        SCOPED_TRACE(name);
        std::unique_ptr<AtrImage> img = atr_load_bytes(bytes, name.c_str());
        const RunResult r = run_handler(dosxe_list, *img, name.c_str());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.empty(), name == "dosxe_demo.atr" || name == "dosxe_xf551.atr") << r.err;
    }
}
