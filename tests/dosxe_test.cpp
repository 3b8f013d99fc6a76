// The DOS XE handler: recognition, damaged disks, the command line on built
// disks and on the real one, clusters shared by many entries.
#include "capture.h"
#include "dosxe.h"
#include "dosxe_layout.h"
#include "time_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sys/stat.h>

namespace {

[[maybe_unused]] const bool in_utc = (setenv("TZ", "UTC", 1), tzset(), true);
using Poke = std::function<void(DosXeDisk &d, std::uint8_t *root)>;

std::string line(unsigned size, const std::string &path)
{
    char b[300];
    std::snprintf(b, sizeof b, "%8u\t\t%s\n", size, path.c_str());
    return b;
}

long mtime(const std::string &path) // -1: no such file
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? long(st.st_mtime) : -1;
}

RunResult list(const DosXeDisk &d, int atari = 0, int extract = 0)
{
    return run_handler(dosxe_list, *d.disk.image(), "t.atr", atari, 0, extract);
}

} // namespace

TEST(DosXeRecognition, NearMissesDecline)
{
    // kept: the total the listing of a disk still taken shows, 0 when declined.
    const struct { Poke poke; unsigned kept = 0; } cases[] = {
        {[](DosXeDisk &d, auto) { d.disk.text(1, 0x10, "at810"); }},        // density code in lower case
        {[](DosXeDisk &d, auto) { d.disk.text(1, 0x10, "??????"); }, 353},  // the DOS's placeholder code
        {[](DosXeDisk &d, auto) { d.disk.bytes(1, 0x14, {0, '1'}); }},      // a character after the code's end
        {[](DosXeDisk &d, auto) { d.disk.bytes(1, 0x17, {3}); }},           // unit not a power of two
        {[](DosXeDisk &d, auto) { d.disk.bytes(1, 0x1D, {4}), d.trailer(4, 0, 0, 0xFF); }}, // root in the VTOC
        {[](DosXeDisk &d, auto) { d.disk.le16(1, 0x1A, 353); }},            // as many free as in total
        {[](DosXeDisk &d, auto) { d.disk.le16(1, 0x18, 360), d.word(4, 2, 360); }, 360}, // 359: sector 719
        {[](DosXeDisk &d, auto) { d.disk.le16(1, 0x18, 361), d.word(4, 2, 361); }},       // 360: no sector 721
        {[](DosXeDisk &d, auto) { d.word(4, 2, 352); }},                    // VTOC total differs
        {[](DosXeDisk &d, auto) { d.word(4, 4, 354); }},                    // VTOC free above total
        {[](DosXeDisk &, auto r) { r[0xFC] = 0x12; }},                      // root of another disk
        {[](DosXeDisk &, auto r) { r[0xFE] = 1; }},                         // root trailer of a second cluster
        {[](DosXeDisk &, auto r) { r[0xFA] = 1; }},                         // root owned by a file
    };
    for (const auto &c : cases) {
        DosXeDisk d = dosxe_volume(DosXeDensity::at810, {{"A.COM", {1}}});
        c.poke(d, d.cluster(5));
        const RunResult r = list(d);
        const std::string listed = c.kept ? "t.atr: 720 sectors of 128 bytes, DOS XE, 345 clusters free of " +
                                                std::to_string(c.kept) + " total.\n" + line(1, "/A.COM")
                                          : "";
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(c.kept ? 0 : 1, listed, "")) << &c - cases;
    }
}

TEST(DosXeDamage, ListAndExtract)
{
    // A.COM: map 6, data 7-9; SUB: cluster 10, B.COM: map 11, data 12-13; C.COM: map 14, data 15.
    const std::string a = line(600, "/A.COM"), sub = line(256, "/SUB/") + line(300, "/SUB/B.COM"), c = line(1, "/C.COM");
    const std::string all = a + sub + c, shorter = "/A.COM: short file in disk\n";
    const std::string head = "t.atr: 720 sectors of 128 bytes, DOS XE, 337 clusters free of 353 total.\n";
    const struct { const char *what; Poke poke; std::string err, out; long a_size; } cases[] = {
        {"map names a cluster twice", [](DosXeDisk &d, auto) { d.word(6, 4, 7); },
         "/A.COM: loop in data clusters at cluster 7\n" + shorter, all, 500},
        {"map names a cluster past the total", [](DosXeDisk &d, auto) { d.word(6, 2, 353); },
         "/A.COM: data cluster 1 at invalid cluster 353\n" + shorter, all, 250},
        {"size larger than its clusters", [](DosXeDisk &, auto r) { r[0x0C] = 4; },
         "/A.COM: data cluster 3 missing\n" + shorter, line(1100, "/A.COM") + sub + c, 750},
        {"rest above 250: one cluster more", [](DosXeDisk &, auto r) { r[0x0C] = 1, r[0x0E] = 255; }, "",
         line(505, "/A.COM") + sub + c, 505},
        {"foreign trailers: reported once, used", [](DosXeDisk &d, auto) { d.trailer(6, 1, 0, 1).trailer(8, 9, 1, 0).trailer(9, 1, 9, 0); },
         "/A.COM: map cluster 0 not of this file\n/A.COM: data cluster 1 not of this file\n", all, 600},
        {"unwritten cluster: zeros", [](DosXeDisk &d, auto) { d.trailer(8, 0x5A5A, 0x5A, 0x5A).word(8, 0xFC, 0x5A5A); },
         "", all, 600},
        {"large-run file: a slot names 8", [](DosXeDisk &d, auto r) { r[0] = 0x48, d.word(6, 2, 0); }, "", all, 600},
        {"first map past the total", [](DosXeDisk &d, auto) { d.word(5, 0x13, 999); },
         "/A.COM: invalid first cluster 999, skip\n", sub + c, -1},
        {"flags 0 end the directory", [](DosXeDisk &, auto r) { r[49] = 0; }, "", a, 600},
        {"deleted, then bit 6 clear", [](DosXeDisk &, auto r) { r[49] = 0x81, r[98] = 0x02; },
         "/C.COM: invalid file type 02\n", a, 600},
        {"blank name", [](DosXeDisk &, auto r) { std::fill_n(r + 99, 11, ' '); }, "/: invalid file name, skip\n", a + sub, 600},
        {"another disk", [](DosXeDisk &, auto r) { r[98 + 0x12] = 0x12; }, "/C.COM: wrong disk number 1299\n", all, 600},
        {"directory loop", [](DosXeDisk &d, auto) { d.word(10, 0xF8, 10); },
         "/SUB: loop in directory clusters at cluster 10\n", all, 600},
        {"directory chain off the disk", [](DosXeDisk &d, auto) { d.word(10, 0xF8, 400); },
         "/SUB: invalid directory cluster 400\n", all, 600},
        {"directory chain into a file", [](DosXeDisk &d, auto) { d.word(10, 0xF8, 7); },
         "/SUB: cluster 7 not of this directory\n", all, 600},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        DosXeDisk d = dosxe_volume(DosXeDensity::at810, {{"A.COM", dosxe_pattern(600, 1)},
                                                          {"SUB/", {}, 0, {{"B.COM", dosxe_pattern(300, 2)}}}, {"C.COM", {1}}});
        k.poke(d, d.cluster(5));
        std::string err;
        for (std::size_t at = 0, nl; (nl = k.err.find('\n', at)) != std::string::npos; at = nl + 1)
            err += "vorlen: " + k.err.substr(at, nl + 1 - at);
        const RunResult r = list(d);
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(0, head + k.out, err));
        EXPECT_EQ(list(d, 1).err, err); // the Atari style meets the same damage
        TempDir t;
        ScopedChdir in(t.path);
        EXPECT_EQ(list(d, 0, 1).status, 0);
        std::vector<std::uint8_t> want = dosxe_pattern(600, 1);
        if (k.what[0] == 'u')
            std::fill_n(want.begin() + 250, 250, 0);
        want.resize(std::max(0L, k.a_size));
        EXPECT_EQ(k.a_size < 0 ? want : read_file(t / "A.COM"), want);
        EXPECT_EQ(mtime(t / "A.COM") < 0, k.a_size < 0);
    }
}

// The binary in each mode on the seed images, disks of the other densities,
// a near miss and the real system disk.
TEST(DosXeCli, BuiltAndRealDisks)
{
    const std::string tree = "     300\t\t/AUTORUN.SYS\n     256\t\t/GAMES/\n    1000\t\t/GAMES/PACMAN.COM\n"
                             "     256\t\t/GAMES/ARCADE/\n   32000\t\t/GAMES/ARCADE/BIG.DAT\n"
                             "       0\t\t/GAMES/ARCADE/EMPTY.DAT\n     256\t\t/DOCS/\n     250\t\t/A1\n"
                             "     251\t\t/A2.X\n     227\t\t/WELCOME.BAS\n";
    const std::string real = "   14224\t\t/DOSXE.SYS\n    2776\t\t/DOS2.SYS\n    9195\t\t/SETUP.COM\n"
                             "     212\t\t/RDRIVER.SYS\n    5740\t\t/COPY3_XE.COM\n     227\t\t/WELCOME.BAS\n";
    auto names = [](const std::string &listing) { // what extraction echoes
        std::string s;
        for (std::size_t at = 0; (at = listing.find("\t/", at)) != std::string::npos; at += 2)
            s += listing.substr(at + 2, listing.find('\n', at) - at - 1);
        return s;
    };
    std::string lower = tree;
    std::transform(tree.begin(), tree.end(), lower.begin(), ::tolower);
    TempDir t;
    for (const auto &[name, bytes] : dosxe_seed_files())
        write_file(t / name, bytes);
    write_file(t / "e.atr", dosxe_volume(DosXeDensity::at1050, dosxe_demo_tree()).disk.atr());
    DosXeDisk xf = dosxe_volume(DosXeDensity::xf551, dosxe_demo_tree());
    write_file(t / "xf.atr", xf.disk.atr());
    write_file(t / "bad.atr", xf.disk.bytes(1, 0x17, {3}).atr());
    const std::string rd = realdisks_dir(), sample = rd + "/130XE_SIO2SD__Dos_XE_1.0.atr";
    const std::string real_head = sample + ": 720 sectors of 128 bytes, DOS XE, 209 clusters free of 353 total.\n";
    const std::string sd = ": 720 sectors of 128 bytes, DOS XE, 198 clusters free of 353 total.\n";
    const std::string demo = "dosxe_demo.atr" + sd, w = "vorlen: /WELCOME.BAS: ", p = "vorlen: /GAMES/PACMAN.COM: ";
    const struct { std::vector<std::string> args; int status; std::string out, err; } runs[] = {
        {{"dosxe_demo.atr"}, 0, demo + tree, ""},
        {{"-l", "dosxe_demo.atr"}, 0, demo + lower, ""},
        {{"-X", "x", "dosxe_demo.atr"}, 0, demo, "vorlen: creating output path 'x'.\n" + names(tree)},
        {{"-a", "xf.atr"}, 0, "ATR image: xf.atr\nImage size: 1440 sectors of 256 bytes\n"
         "DOS size: 1286 clusters free of 1441 total\nVolume: DOS XE\nDirectory of /\n\nAUTORUN  SYS     300\n"
         "GAMES         <DIR>\nDOCS          <DIR>\nA1               250\nA2       X       251\nWELCOME  BAS     227\n\n"
         "Directory of /GAMES\n\nPACMAN   COM    1000\nARCADE        <DIR>\n\nDirectory of /GAMES/ARCADE\n\n"
         "BIG      DAT   32000\nEMPTY    DAT       0\n\nDirectory of /DOCS\n\n\n", ""},
        {{"e.atr"}, 0, "e.atr: 1040 sectors of 128 bytes, DOS XE, 358 clusters free of 513 total.\n" + tree, ""},
        {{"dosxe_big_size.atr"}, 0, "dosxe_big_size.atr: 720 sectors of 256 bytes, DOS XE, 566 clusters free of 721 "
         "total.\n" + tree.substr(0, tree.rfind("     227")) + line(60227, "/WELCOME.BAS"),
         w + "data cluster 1 missing\n" + w + "short file in disk\n"},
        {{"dosxe_map_loop.atr"}, 0, "dosxe_map_loop.atr" + sd + tree,
         p + "loop in data clusters at cluster 13\n" + p + "short file in disk\n"},
        {{"dosxe_dir_loop.atr"}, 0, "dosxe_dir_loop.atr" + sd + tree.substr(0, tree.find("     256\t\t/GAMES/A")) +
         line(0, "/GAMES/ARCADE/") + tree.substr(tree.find("     256\t\t/DOCS")),
         "vorlen: /GAMES: loop in directory clusters at cluster 10\nvorlen: /GAMES/ARCADE: directory already visited, skip\n"},
        {{"bad.atr"}, 1, "", "vorlen: bad.atr: ATR image format not supported.\n"},
        {{sample}, 0, real_head + real, ""},
        {{"-X", "r", sample}, 0, real_head, "vorlen: creating output path 'r'.\n" + names(real)},
    };
    for (const auto &run : runs) {
        if (run.args.back() == sample && rd.empty())
            continue;
        std::vector<std::string> argv{"vorlen"};
        argv.insert(argv.end(), run.args.begin(), run.args.end());
        const RunResult r = run_vorlen(argv, t.path);
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(run.status, run.out, run.err)) << run.args.back();
    }

    // Extracted bytes, and dates at 00:00 (directories too, after their
    // contents); WELCOME.BAS has no date and keeps the time it was written.
    std::function<void(const std::vector<DosXeItem> &, const std::string &)> check = [&](const auto &items, auto dir) {
        for (const DosXeItem &it : items)
            if (it.name.back() == '/')
                check(it.items, dir + it.name);
            else
                EXPECT_EQ(read_file(t / dir + it.name), it.data) << it.name;
    };
    check(dosxe_demo_tree(), "x/");
    const struct { const char *path; long time; } times[] = {
        {"x/AUTORUN.SYS", 590025600}, {"x/GAMES", 591667200}, {"x/GAMES/ARCADE", 699321600},
        {"x/GAMES/ARCADE/EMPTY.DAT", 946598400}, {"x/DOCS", 1579046400}, {"x/GAMES/PACMAN.COM", 590716800},
        {"r/DOSXE.SYS", 590716800}, {"r/WELCOME.BAS", 590716800}}; // 12.9.88, 1.10.88, 29.2.92, 31.12.99, 15.1.20, 20.9.88
    for (const auto &[path, time] : times)
        EXPECT_EQ(mtime(t / path), path[0] == 'r' && rd.empty() ? -1 : time) << path;
    EXPECT_GT(mtime(t / "x/WELCOME.BAS"), std::time(nullptr) - 600);
}

// 200 root entries (40 directory clusters) all name one file of 1000
// clusters.  Reading each anew would read 200000 clusters; the budget of
// 131072 runs out in the 132nd entry.
TEST(DosXeBudget, ManyEntriesShareOneFile)
{
    DosXeDisk d = dosxe_volume(DosXeDensity::xf551, {{"BIG.DAT", dosxe_pattern(250000, 1)}});
    const std::vector<std::uint8_t> big(d.cluster(5), d.cluster(5) + 49);
    for (std::uint32_t i = 0, c = 5, next; i < 40; i++, c = next) {
        d.trailer(c, 0, std::uint8_t(i), 0xFF).word(c, 0xF8, next = i < 39 ? d.used++ : 0);
        for (unsigned k = 0; k < 5; k++) {
            std::uint8_t *e = std::copy(big.begin(), big.end(), d.cluster(c) + 49 * k) - 49;
            std::snprintf(reinterpret_cast<char *>(e + 1), 9, "F%07u", i * 5 + k);
            e[9] = 'D'; // over the terminating zero
        }
    }
    const auto t0 = std::chrono::steady_clock::now();
    const RunResult r = list(d);
    EXPECT_LT(time_since(t0), time_limit(1.0));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 201);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2 * 69); // too many shared, short file
    EXPECT_EQ(r.err.find("vorlen: /F0000131.DAT: too many clusters shared between files, not read\n"), 0u);
}
