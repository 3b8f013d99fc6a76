// The DOS 2 family handler: recognition from the VTOC, names, sector chains,
// both listing styles, the directory guard and extraction.
#include "capture.h"
#include "dos2.h"
#include "dos2_layout.h"
#include "extract.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

RunResult list(const Dos2Disk &d, int atari = 0, int lower = 0, int extract = 0)
{
    return run_handler(dos2_list, *d.disk.image(), "t.atr", atari, lower, extract);
}

// `times` host-style lines of one size and path.
std::string line(unsigned size, const std::string &path, int times = 1)
{
    char b[300];
    std::snprintf(b, sizeof b, "%8u\t\t%s\n", size, path.c_str());
    std::string s;
    while (times-- > 0)
        s += b;
    return s;
}

std::string summary(int s, unsigned n, const std::string &volume, unsigned free, unsigned total)
{
    return "t.atr: " + std::to_string(n) + " sectors of " + std::to_string(s) + " bytes, " + volume + ", " +
           std::to_string(free) + " sectors free of " + std::to_string(total) + " total.\n";
}

// Standard output after its first `skip` lines.
std::string body(const RunResult &r, int skip = 1)
{
    std::size_t at = 0;
    while (skip-- > 0)
        at = r.out.find('\n', at) + 1;
    return r.out.substr(at);
}

std::string adir(const std::string &name) { return name + std::string(12 - name.size(), ' ') + "  <DIR>\n"; }

std::vector<std::uint8_t> bytes_of(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++)
        v[i] = std::uint8_t(seed + i * 7);
    return v;
}

} // namespace

TEST(Dos2Recognition, Table)
{
    const char *bitmap = "vorlen: t.atr: invalid DOS file system, bitmap not ok.\n";
    // volume nullptr: declined.  `litedos` is used to put text into VTOC bytes 3-9.
    struct { const char *what; int s; std::uint32_t n; Dos2Vtoc v; const char *volume, *err = ""; } cases[] = {
        {"2.5 up to 1120", 128, 1120, {.code = 2, .total = 1010, .free = 700}, "DOS 2.5"},
        {"code 2 above 1120", 128, 1121, {.code = 2, .total = 1010, .free = 700}, nullptr},
        {"DOS 1", 128, 720, {.code = 1, .total = 709, .free = 700}, "DOS 1"},
        {"DOS 1 needs 128", 256, 720, {.code = 1, .total = 709, .free = 700}, nullptr},
        {"DOS 1 up to 720", 128, 721, {.code = 1, .total = 709, .free = 700}, nullptr},
        // Code 0: a VTOC without its code, believed only in the standard shapes.
        {"0 / 709", 128, 720, {.code = 0, .total = 709, .free = 709}, "DOS 1 (with bad signature)"},
        {"0 / 708 DD", 256, 720, {.code = 0, .total = 708}, "DOS 2.0D (with bad signature)"},
        {"0 / 709 DD is DOS 1", 256, 720, {.code = 0, .total = 709}, nullptr},
        {"0 free > total", 128, 720, {.code = 0, .total = 707, .free = 708}, nullptr},
        {"0 map0 bit 6: silent", 128, 720, {.code = 0, .total = 707, .map0 = 0x4F}, nullptr},
        // Code 2 with boot sectors marked free at 707/708: repaired before the bitmap tests.
        {"bad VTOC", 128, 720, {.code = 2, .total = 707, .free = 700, .map0 = 0x70}, "DOS 2.0s (with bad VTOC)"},
        {"no repair off 707/708", 128, 720, {.code = 2, .total = 720, .map0 = 0x40}, nullptr, bitmap},
        {"code 2 bit 5", 128, 720, {.code = 2, .total = 720, .map0 = 0x20}, nullptr, bitmap},
        {"map360 bit 7", 128, 720, {.code = 2, .total = 707, .map360 = 0x80}, nullptr, bitmap},
        {"map0 bit 7: silent", 128, 720, {.code = 2, .total = 720, .map0 = 0xC0}, nullptr},
        // MyDOS: the code must match the size; bits 5 and 4 of map0 matter only for code 2.
        {"MyDOS SD 707", 128, 720, {.code = 3, .total = 707}, "MyDOS (with bad signature)"},
        {"MyDOS SD 708", 128, 720, {.code = 3, .total = 708}, nullptr},
        {"MyDOS DD 708", 256, 720, {.code = 3, .total = 708}, "MyDOS (with bad signature)"},
        {"MyDOS 1440", 256, 1440, {.code = 3, .total = 1428, .map0 = 0x30}, "MyDOS"},
        // LiteDOS and LiteDOS-SE: no size limit, no bitmap test but SE's bit 7.
        {"LiteDOS", 128, 720, {.code = 0x88, .total = 707, .free = 5, .map0 = 0xFF, .litedos = true}, "LiteDOS"},
        {"LiteDOS unsigned", 128, 720, {.code = 0x88, .total = 707, .free = 5}, nullptr},
        {"LiteDOS-SE", 128, 720, {.code = 0x43, .total = 707, .map0 = 0x7F}, "LiteDOS-SE"},
        {"LiteDOS-SE bit 7", 128, 720, {.code = 0x43, .total = 707, .map0 = 0x80}, nullptr},
        {"LiteDOS-SE bytes 5-9", 128, 720, {.code = 0x43, .total = 707, .litedos = true}, nullptr},
        // Inconsistent counts are reported, and the volume is listed.
        {"short image", 128, 512, {.code = 2, .total = 707}, "DOS 2.0s",
         "vorlen: t.atr: DOS sectors (707) more than ATR image (512).\n"},
        {"free > total", 128, 720, {.code = 2, .total = 707, .free = 708}, "DOS 2.0s",
         "vorlen: t.atr: DOS free sectors more than allocated.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = list(Dos2Disk(c.s, c.n, c.v));
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.volume ? 0 : 1);
        EXPECT_EQ(r.out, c.volume ? summary(c.s, c.n, c.volume, c.v.free, c.v.total) : "");
    }
    Dos2Disk poked(128, 720, {.code = 0, .total = 707});
    poked.disk.bytes(dos2_vtoc_sector, 9, {1}); // code 0 needs bytes 5-9 zero
    EXPECT_EQ(list(poked).status, 1);
}

TEST(Dos2Recognition, LiteDosAndBiboDirectories)
{
    auto fill = [](Dos2Disk &d, std::initializer_list<std::uint32_t> sectors, const char *name = "X") {
        for (std::uint32_t s : sectors)
            for (unsigned slot = 0; slot < 8; slot++)
                d.entry_at(s, slot, dos2_entry(dos2_file, 0, 0x100, name));
    };
    // LiteDOS 0x86: 48 entries in the aligned group 357-363, from 361 on, wrapping to 357; 364 is outside.
    Dos2Disk lite(128, 720, {.code = 0x86, .total = 700, .free = 9, .litedos = true});
    fill(lite, {357, 358, 359, 361, 362, 363, 364});
    lite.entry_at(363, 7, dos2_entry(dos2_file, 0, 0x100, "BEFORE"));
    lite.entry_at(357, 0, dos2_entry(dos2_file, 0, 0x100, "WRAPPED"));
    EXPECT_EQ(list(lite).out, summary(128, 720, "LiteDOS", 9, 700) + line(0, "/X", 23) + line(0, "/BEFORE") +
                                  line(0, "/WRAPPED") + line(0, "/X", 23));
    // LiteDOS-SE 0x46: group of 14 from 350; after 361-363 comes 350.
    Dos2Disk se(128, 720, {.code = 0x46, .total = 700});
    fill(se, {361, 362, 363});
    se.entry_at(350, 0, dos2_entry(dos2_file, 0, 0x100, "SE"));
    EXPECT_EQ(body(list(se)), line(0, "/X", 24) + line(0, "/SE"));

    // Bibo-DOS: 256-byte sectors; slots 0-7 of sector 361 hold count-0 entries, which
    // the test passes over; TWO is plausible (count 10 + 12 <= N, start 400 <= N).
    auto bibo = [&](Dos2Vtoc v, unsigned slot) {
        Dos2Disk d(256, 720, v);
        fill(d, {361}, "E");
        d.entry_at(361, slot, dos2_entry(dos2_file, 10, 400, "TWO")).link(400, 0, 5, Dos2Form::dos2);
        d.entry_at(362, 0, dos2_entry(dos2_file, 1, 400, "THREE"));
        return d;
    };
    // TWO in slot 8: entries 8-15 come from the second half of sector 361.
    EXPECT_EQ(list(bibo({.code = 2, .total = 707, .map0 = 0x70}, 8)).out,
              summary(256, 720, "Bibo-DOS (with bad VTOC)", 0, 707) + line(0, "/E", 8) + line(5, "/TWO"));
    // TWO in slot 7, flags 0 in slot 8: plain DOS 2.0D, entry 8 in sector 362.
    EXPECT_EQ(list(bibo({.code = 2, .total = 707}, 7)).out,
              summary(256, 720, "DOS 2.0D", 0, 707) + line(0, "/E", 7) + line(5, "/TWO") + line(5, "/THREE"));
}

TEST(Dos2Names, Mapping)
{
    struct { std::string raw; int lower; const char *host, *atari; } cases[] = {
        {"AUTORUN SYS", 0, "AUTORUN.SYS", "AUTORUN  SYS"},
        {"a.b/c?\\`{  ", 0, "a_b_c___._", "a_b_c___ _  "},
        // Inverse video: letters and digits show plain, lower-case stays lower, the rest is "_".
        {"\xC1\xE1\xB0\xA0\xDB\x9F\x1F\x7F   ", 0, "Aa0_____", "Aa0_____    "},
        {"\xDA\xE1\xB9        ", 1, "za9", "za9         "},
    };
    for (const auto &c : cases) {
        AtariName n = dos2_name(reinterpret_cast<const std::uint8_t *>(c.raw.c_str()), c.lower);
        EXPECT_EQ(n.host, c.host) << c.raw;
        EXPECT_EQ(std::string(n.atari), c.atari) << c.raw;
    }
}

// One root of damaged chains and odd entries, listed in both styles and extracted.
TEST(Dos2Chains, FormsReportsAndSkippedEntries)
{
    Dos2Disk d(128, 720, {.code = 2, .total = 707, .free = 700});
    unsigned i = 0;
    auto add = [&](std::uint8_t flags, std::uint32_t count, std::uint32_t start, const char *name) -> Dos2Disk & {
        return d.entry(dos2_root_sector, i++, dos2_entry(flags, count, start, name));
    };
    add(dos2_file, 3, 400, "PLAIN").chain_in({400, 401, 402}, bytes_of(260, 1), Dos2Form::dos2, 0x3F); // file no. 63
    add(dos2_file, 9, 410, "LOOP").link(410, 411, 125, Dos2Form::dos2).link(411, 410, 125, Dos2Form::dos2);
    add(dos2_file, 2, 421, "TOONE").link(421, 1, 100, Dos2Form::dos2); // links to the boot sector 1
    add(0x03, 0, 900, "EMPTY"); // open for output (bit 0) is a file; count 0: its bad start never read
    add(dos2_file, 1, 430, "LONG").chain_in({430, 431}, bytes_of(250, 5), Dos2Form::dos2); // count 1, 2 sectors
    // DOS 1 form: 125 bytes for last byte bit 7 clear, then 0xB2 -> 50.
    add(dos1_file, 2, 440, "DOS1").link(440, 441, 0x7D, Dos2Form::dos1).link(441, 0, 0xB2, Dos2Form::dos1);
    // The last sector claims 255 bytes: its 125, then 130 zeros (not its link, nothing past the image), then 450.
    add(dos2_file, 3, 720, "OVER").chain_in({720, 450}, bytes_of(135, 9), Dos2Form::dos2);
    d.disk.bytes(720, 127, {255});
    add(dos2_file | dos2_flag_deleted, 1, 460, "OLD").link(460, 0, 4, Dos2Form::dos2); // deleted: silent
    add(dos2_file, 1, 460, "");                         // all blanks
    add(0x30, 8, 460, "ODD");                           // 0x10 with bit 5: no directory
    add(0x50, 1, 460, "FIFTY");                         // bit 6: a file, DOS 1 form
    add(dos2_flag_subdir, 8, 1, "BADDIR");              // start sector 1: never walked
    add(dos2_file, 1, 460, ".COM");
    i++; // flags 0 ends the directory: AFTER is never seen
    add(dos2_file, 1, 460, "AFTER");

    RunResult r = list(d);
    EXPECT_EQ(body(r), line(260, "/PLAIN") + line(250, "/LOOP") + line(100, "/TOONE") +
                           line(0, "/EMPTY") + line(250, "/LONG") + line(175, "/DOS1") +
                           line(265, "/OVER") + line(125, "/FIFTY") + line(4, "/.COM"));
    EXPECT_EQ(r.err, "vorlen: loop in sector link at sector 410\nvorlen: invalid sector link\n"
                     "vorlen: /LONG: file too long in disk\nvorlen: : invalid file name, skip\n"
                     "vorlen: /ODD: invalid file type 30\nvorlen: : invalid file sector, skip\n");
    RunResult a = list(d, 1); // the Atari style reports the same, BADDIR once, and does not walk it
    EXPECT_TRUE(a.err == r.err && a.out.find("BADDIR") == std::string::npos) << a.err << a.out;

    TempDir dir;
    ScopedChdir cd(dir.path);
    EXPECT_EQ(list(d, 0, 0, 1).status, 0);
    EXPECT_EQ(read_file("EMPTY"), std::vector<std::uint8_t>());
    EXPECT_EQ(read_file("LONG"), bytes_of(250, 5)); // the whole chain, as listed, not its one counted sector
    std::vector<std::uint8_t> over = bytes_of(135, 9);
    over.insert(over.begin() + 125, 130, 0);
    EXPECT_EQ(read_file("OVER"), over);
}

// A file left open for writing keeps the count it had when opened, while
// its chain holds all that was written: listed and extracted whole, in
// both link forms, with the report that the two disagree.
TEST(Dos2Chains, LongerThanItsEntry)
{
    struct { int s; std::uint32_t n; std::uint8_t code, flags; Dos2Form form; } cases[] = {
        {128, 720, 2, dos2_file, Dos2Form::dos2},
        {256, 1440, 3, mydos_file, Dos2Form::dos2_wide},
    };
    for (const auto &c : cases) {
        Dos2Disk d(c.s, c.n, {.code = c.code, .total = c.n - 13});
        const std::vector<std::uint8_t> data = bytes_of(std::size_t(c.s - 3) * 4 + 12, 3);
        d.entry(dos2_root_sector, 0, dos2_entry(c.flags, 1, 600, "OPEN.DAT"));
        d.chain_in({600, 601, 602, 603, 604}, data, c.form);
        d.entry(dos2_root_sector, 1, dos2_entry(c.flags, 0, 600, "ZERO.DAT")); // count 0: empty
        RunResult r = list(d);
        EXPECT_EQ(body(r), line(unsigned(data.size()), "/OPEN.DAT") + line(0, "/ZERO.DAT")) << c.s;
        EXPECT_EQ(r.err, "vorlen: /OPEN.DAT: file too long in disk\n") << c.s;
        TempDir dir;
        ScopedChdir cd(dir.path);
        EXPECT_EQ(list(d, 0, 0, 1).status, 0);
        EXPECT_EQ(read_file("OPEN.DAT"), data) << c.s;
        EXPECT_EQ(read_file("ZERO.DAT"), std::vector<std::uint8_t>()) << c.s;
    }
}

// Flags bit 2 gives 16-bit links only on images of more than 1022 sectors.  On
// 256-byte sectors a DOS 1 chain ends with its first full sector (253 bytes).
TEST(Dos2Chains, SixteenBitLinks)
{
    struct { std::uint32_t n; std::uint8_t code, flags; unsigned size; const char *err; } cases[] = {
        {1440, 3, mydos_file, 253 + 5, ""},                          // 0x0410 = 1040
        {1440, 3, dos2_file, 253 + 7, ""},                           // 0x010 = 16
        {1023, 2, mydos_file, 253, "vorlen: invalid sector link\n"}, // 1040 > 1023
        {1022, 2, mydos_file, 253 + 7, ""},                          // 10 bits
    };
    for (const auto &c : cases) {
        Dos2Disk d(256, c.n, {.code = c.code, .total = 700});
        d.entry(dos2_root_sector, 0, dos2_entry(c.flags, 3, 400, "F"));
        d.disk.bytes(400, 253, {0x04, 0x10, 253}); // next: 0x04 high, 0x10 low
        if (c.n >= 1040)
            d.link(1040, 0, 5, Dos2Form::dos2_wide);
        d.entry(dos2_root_sector, 1, dos2_entry(dos1_file, 2, 500, "D1"));
        d.link(16, 0, 7, Dos2Form::dos2).link(500, 501, 0, Dos2Form::dos1).link(501, 0, 0x85, Dos2Form::dos1);
        RunResult r = list(d);
        EXPECT_EQ(body(r), line(c.size, "/F") + line(253, "/D1")) << c.n;
        EXPECT_EQ(r.err, c.err) << c.n;
    }
    // Directory sectors are numbered past 65535 without wrapping to sector 0.
    Dos2Disk d(128, 65544, {.code = 35, .total = 65000});
    d.entry(dos2_root_sector, 0, dos2_entry(dos2_flag_subdir, 8, 65535, "HIGH"));
    for (unsigned k = 0; k < 8; k++)
        d.entry(65535, k, dos2_entry(dos2_file | dos2_flag_deleted, 0, 400, "E"));
    d.entry(65535, 8, dos2_entry(dos2_file, 1, 400, "WRAP")).link(400, 0, 9, Dos2Form::dos2); // in sector 65536
    EXPECT_EQ(body(list(d)), line(1024, "/HIGH/") + line(9, "/HIGH/WRAP"));
}

TEST(Dos2Tree, ListingsAndExtraction)
{
    const Dos2Disk tree = dos2_volume({}, {{"AUTORUN.SYS", bytes_of(3, 1)}, {"GAMES/PACMAN.COM", bytes_of(300, 2)},
                                           {"GAMES/DEEP/X.DAT", {}}, {"README", bytes_of(10, 3)}});
    EXPECT_EQ(list(tree).out, summary(128, 720, "DOS 2.0s", 685, 707) + line(3, "/AUTORUN.SYS") +
                                  line(1024, "/GAMES/") + line(300, "/GAMES/PACMAN.COM") + line(1024, "/GAMES/DEEP/") +
                                  line(0, "/GAMES/DEEP/X.DAT") + line(10, "/README"));
    EXPECT_EQ(list(tree, 1).out, "ATR image: t.atr\nImage size: 720 sectors of 128 bytes\n"
                                 "DOS size: 685 sectors free of 707 total\nVolume: DOS 2.0s\n"
                                 "Directory of /\n\nAUTORUN  SYS       3\nGAMES         <DIR>\nREADME            10\n\n"
                                 "Directory of /GAMES\n\nPACMAN   COM     300\nDEEP          <DIR>\n\n"
                                 "Directory of /GAMES/DEEP\n\nX        DAT       0\n\n");
    TempDir dir;
    ScopedChdir cd(dir.path);
    RunResult r = list(tree, 0, 0, 1);
    EXPECT_EQ(r.out, summary(128, 720, "DOS 2.0s", 685, 707));
    EXPECT_EQ(r.err, "AUTORUN.SYS\nGAMES/\nGAMES/PACMAN.COM\nGAMES/DEEP/\nGAMES/DEEP/X.DAT\nREADME\n");
    EXPECT_EQ(read_file("AUTORUN.SYS"), bytes_of(3, 1));
    EXPECT_EQ(read_file("GAMES/PACMAN.COM"), bytes_of(300, 2));
    const std::string exists = "AUTORUN.SYS\nvorlen: Error, AUTORUN.SYS: file already exists.\n";
    EXPECT_EQ(list(tree, 0, 0, 1).err, exists); // again: the first file stops the run

    // Refused, nothing written through them: a dangling link where a file goes, a
    // link to a directory where a directory goes, a path through a regular file.
    fs::create_directory("links");
    ScopedChdir links("links");
    fs::create_symlink("target", "AUTORUN.SYS");
    EXPECT_EQ(list(tree, 0, 0, 1).err, exists);
    EXPECT_FALSE(fs::exists("target"));
    fs::remove("AUTORUN.SYS");
    fs::create_directory("elsewhere");
    fs::create_directory_symlink("elsewhere", "GAMES");
    EXPECT_EQ(list(tree, 0, 0, 1).err,
              "AUTORUN.SYS\nGAMES/\nvorlen: Error, GAMES: can\xC2\xB4t create directory, File exists\n");
    EXPECT_TRUE(fs::is_empty("elsewhere"));
    write_file("plain", {});
    auto through_file = [](const AtrImage &, const char *, int, int, int) { return extract_file("plain/F", 0, 0), 0; };
    r = run_handler(through_file, *tree.disk.image(), "");
    EXPECT_EQ(r.err, "plain/F\nvorlen: Error, plain/F: can\xC2\xB4t create file, Not a directory\n");
}

// Root: A (sector 400) holding BACK -> 400 and a nameless entry; LOOP -> the root; D, a chain
// of 101 nested directories in 500-600.  No directory is walked twice, none below level 100.
TEST(Dos2Guard, LoopsAndDepth)
{
    Dos2Disk d(128, 720, {.code = 2, .total = 707, .free = 700});
    d.entry(dos2_root_sector, 0, dos2_entry(dos2_flag_subdir, 8, 400, "A"));
    d.entry(dos2_root_sector, 1, dos2_entry(dos2_flag_subdir, 8, dos2_root_sector, "LOOP"));
    d.entry(dos2_root_sector, 2, dos2_entry(dos2_flag_subdir, 1, 500, "D"));
    d.entry(400, 0, dos2_entry(dos2_flag_subdir, 8, 400, "BACK")).entry(400, 1, dos2_entry(dos2_file, 1, 0x100, ""));
    std::string path, host, atari, made;
    for (std::uint32_t k = 1; k <= 101; k++) { // level k lives in sector 499 + k
        d.entry(499 + k, 0, k <= 100 ? dos2_entry(dos2_flag_subdir, 1, 500 + k, "D")
                                     : dos2_entry(dos2_file, 0, 0x100, "DEEP"));
        path += "/D";
        host += line(128, path + "/");
        made += path.substr(1) + "/\n";
        if (k <= 100)
            atari += "Directory of " + path + "\n\n" + adir("D") + "\n";
    }
    const std::string deep = "vorlen: " + path + ": directory nesting too deep, skip\n";
    auto seen = [](const char *p) { return "vorlen: " + std::string(p) + ": directory already visited, skip\n"; };
    const std::string nameless = "vorlen: /A: invalid file name, skip\n";

    RunResult r = list(d);
    EXPECT_EQ(body(r), line(1024, "/A/") + line(1024, "/A/BACK/") + line(1024, "/LOOP/") + host);
    EXPECT_EQ(r.err, seen("/A/BACK") + nameless + seen("/LOOP") + deep);
    // Atari style: each report stands in the second pass, where the walk would have been.
    r = list(d, 1);
    EXPECT_EQ(body(r, 4), "Directory of /\n\n" + adir("A") + adir("LOOP") + adir("D") + "\n" +
                              "Directory of /A\n\n" + adir("BACK") + "\n" + atari);
    EXPECT_EQ(r.err, nameless + seen("/A/BACK") + seen("/LOOP") + deep);
    // Extracting: each entry's directory is made, but not walked again.
    TempDir dir;
    ScopedChdir cd(dir.path);
    r = list(d, 0, 0, 1);
    EXPECT_EQ(r.err, "A/\nA/BACK/\n" + seen("/A/BACK") + nameless + "LOOP/\n" + seen("/LOOP") + made + deep);
    for (const std::string &p : {std::string("A/BACK"), std::string("LOOP"), path.substr(1)})
        EXPECT_TRUE(fs::is_directory(p) && fs::is_empty(p)) << p;
}
