// The DOS 2 family handler: recognition from the VTOC, names, sector chains,
// both listing styles, the directory guard and extraction.
#include "capture.h"
#include "dos2.h"
#include "dos2_layout.h"
#include "extract.h"
#include "image_builder.h"
#include "messages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A volume with a clean VTOC and an empty root directory.
Dos2Disk blank(int s = 128, std::uint32_t n = 720, Dos2Vtoc v = {.code = 2, .total = 707, .free = 700})
{
    Dos2Disk d(s, n);
    d.vtoc(v);
    return d;
}

RunResult list(const Dos2Disk &d, int atari = 0, int lower = 0, int extract = 0)
{
    auto img = d.disk.image();
    return run_handler(dos2_list, *img, "t.atr", atari, lower, extract);
}

std::string line(unsigned size, const std::string &path)
{
    char b[300];
    std::snprintf(b, sizeof b, "%8u\t\t%s\n", size, path.c_str());
    return b;
}

std::string summary(int s, unsigned n, const std::string &volume, unsigned free, unsigned total)
{
    return "t.atr: " + std::to_string(n) + " sectors of " + std::to_string(s) + " bytes, " + volume +
           ", " + std::to_string(free) + " sectors free of " + std::to_string(total) + " total.\n";
}

// Standard output after its first `lines` lines (the summary).
std::string body(const RunResult &r, int lines = 1)
{
    std::size_t at = 0;
    for (int i = 0; i < lines; i++)
        at = r.out.find('\n', at) + 1;
    return r.out.substr(at);
}

// Atari-style lines of a file and of a subdirectory.
std::string afile(const char *name, unsigned size)
{
    char b[64];
    std::snprintf(b, sizeof b, "%-12s %7u\n", name, size);
    return b;
}
std::string adir(const char *name) { return std::string(name) + std::string(12 - std::strlen(name), ' ') + "  <DIR>\n"; }

std::vector<std::uint8_t> bytes_of(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++)
        v[i] = std::uint8_t(seed + i * 7);
    return v;
}

// Runs host-output calls with the streams captured, as the handlers do.
RunResult capture(std::function<void()> f)
{
    static std::function<void()> pending;
    pending = std::move(f);
    auto img = DiskBuilder(128, 1).image();
    return run_handler([](const AtrImage &, const char *, int, int, int) { pending(); return 0; }, *img, "");
}

} // namespace

// ---- Recognition --------------------------------------------------------

struct Recognition {
    const char *what;
    int s;
    std::uint32_t n;
    Dos2Vtoc v;
    const char *volume; // nullptr: declined
    const char *err = "";
    int poke = -1;      // a VTOC byte set to 1 after the fields
};

TEST(Dos2Recognition, Table)
{
    const Recognition cases[] = {
        {"2.0s", 128, 720, {.code = 2, .total = 707, .free = 700}, "DOS 2.0s"},
        {"2.0D", 256, 720, {.code = 2, .total = 707, .free = 700}, "DOS 2.0D"},
        {"2.5", 128, 1040, {.code = 2, .total = 1010, .free = 700}, "DOS 2.5"},
        {"code 2 up to 1120", 128, 1120, {.code = 2, .total = 1010, .free = 700}, "DOS 2.5"},
        {"code 2 above 1120", 128, 1121, {.code = 2, .total = 1010, .free = 700}, nullptr},
        {"DOS 1", 128, 720, {.code = 1, .total = 709, .free = 700}, "DOS 1"},
        {"DOS 1 needs 128", 256, 720, {.code = 1, .total = 709, .free = 700}, nullptr},
        {"DOS 1 up to 720", 128, 721, {.code = 1, .total = 709, .free = 700}, nullptr},
        // Code 0: a VTOC without its code, believed only in the standard shapes.
        {"0 / 709", 128, 720, {.code = 0, .total = 709, .free = 709}, "DOS 1 (with bad signature)"},
        {"0 / 708 DD", 256, 720, {.code = 0, .total = 708, .free = 0}, "DOS 2.0D (with bad signature)"},
        {"0 / 709 DD is DOS 1", 256, 720, {.code = 0, .total = 709, .free = 0}, nullptr},
        {"0 free > total", 128, 720, {.code = 0, .total = 707, .free = 708}, nullptr},
        {"0 total 706", 128, 720, {.code = 0, .total = 706, .free = 0}, nullptr},
        {"0 above 720", 128, 721, {.code = 0, .total = 707, .free = 0}, nullptr},
        {"0 map0 bit 6", 128, 720, {.code = 0, .total = 707, .free = 0, .map0 = 0x4F}, nullptr},
        {"0 byte 9", 128, 720, {.code = 0, .total = 707, .free = 0}, nullptr, "", 9},
        // Code 2 with boot sectors marked free: a damaged bitmap, repaired first.
        {"bad VTOC", 128, 720, {.code = 2, .total = 707, .free = 700, .map0 = 0x70}, "DOS 2.0s (with bad VTOC)"},
        {"bad VTOC hides bit 7", 128, 720, {.code = 2, .total = 708, .free = 0, .map0 = 0x8F, .map360 = 0x80},
         "DOS 2.0s (with bad VTOC)"},
        {"no repair off 707/708", 128, 720, {.code = 2, .total = 720, .free = 0, .map0 = 0x40}, nullptr,
         "vorlen: t.atr: invalid DOS file system, bitmap not ok.\n"},
        {"code 2 bit 5", 128, 720, {.code = 2, .total = 720, .free = 0, .map0 = 0x20}, nullptr,
         "vorlen: t.atr: invalid DOS file system, bitmap not ok.\n"},
        {"map360 bit 7", 128, 720, {.code = 2, .total = 707, .free = 0, .map360 = 0x80}, nullptr,
         "vorlen: t.atr: invalid DOS file system, bitmap not ok.\n"},
        {"map0 bit 7 silent", 128, 720, {.code = 2, .total = 720, .free = 0, .map0 = 0xC0}, nullptr},
        // MyDOS: the code must match the size, bits 5 and 4 matter only for code 2.
        {"MyDOS SD 707", 128, 720, {.code = 3, .total = 707, .free = 0}, "MyDOS (with bad signature)"},
        {"MyDOS SD 708", 128, 720, {.code = 3, .total = 708, .free = 0}, nullptr},
        {"MyDOS DD 708", 256, 720, {.code = 3, .total = 708, .free = 0}, "MyDOS (with bad signature)"},
        {"MyDOS 1440", 256, 1440, {.code = 3, .total = 1428, .free = 0, .map0 = 0x30}, "MyDOS"},
        {"MyDOS 1440 code 4", 256, 1440, {.code = 4, .total = 1428, .free = 0}, nullptr},
        {"MyDOS 2048", 256, 2048, {.code = 4, .total = 2035, .free = 0}, "MyDOS"},
        // LiteDOS and LiteDOS-SE: no size limit, no bitmap test but SE's bit 7.
        {"LiteDOS", 128, 720, {.code = 0x88, .total = 707, .free = 5, .map0 = 0xFF, .litedos = true}, "LiteDOS"},
        {"LiteDOS unsigned", 128, 720, {.code = 0x88, .total = 707, .free = 5}, nullptr},
        {"LiteDOS-SE", 128, 720, {.code = 0x43, .total = 707, .free = 0, .map0 = 0x7F}, "LiteDOS-SE"},
        {"LiteDOS-SE bit 7", 128, 720, {.code = 0x43, .total = 707, .free = 0, .map0 = 0x80}, nullptr},
        {"LiteDOS-SE byte 5", 128, 720, {.code = 0x43, .total = 707, .free = 0}, nullptr, "", 5},
        // Inconsistent counts are reported, and the volume is listed.
        {"short image", 128, 512, {.code = 2, .total = 707, .free = 0}, "DOS 2.0s",
         "vorlen: t.atr: DOS sectors (707) more than ATR image (512).\n"},
        {"free > total", 128, 720, {.code = 2, .total = 707, .free = 708}, "DOS 2.0s",
         "vorlen: t.atr: DOS free sectors more than allocated.\n"},
    };
    for (const Recognition &c : cases) {
        SCOPED_TRACE(c.what);
        Dos2Disk d = blank(c.s, c.n, c.v);
        if (c.poke >= 0)
            d.disk.bytes(dos2_vtoc_sector, std::size_t(c.poke), {1});
        RunResult r = list(d);
        EXPECT_EQ(r.err, c.err);
        if (!c.volume) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            continue;
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, summary(c.s, c.n, c.volume, c.v.free, c.v.total));
    }
    // Fewer than 360 sectors: no VTOC at all.
    EXPECT_EQ(list(Dos2Disk(128, 359)).status, 1);
    // The Atari-style summary, and an empty root still has its heading.
    RunResult r = list(blank(), 1);
    EXPECT_EQ(r.out, "ATR image: t.atr\nImage size: 720 sectors of 128 bytes\n"
                     "DOS size: 700 sectors free of 707 total\nVolume: DOS 2.0s\n"
                     "Directory of /\n\n\n");
}

// LiteDOS directories wrap inside an aligned group of sectors around the VTOC.
TEST(Dos2Recognition, LiteDosDirectoryPlacement)
{
    auto file = [](const char *name) { return dos2_entry(dos2_file, 0, 0x100, name); };
    // Code 0x86: 48 entries in the group of 7 from 357: 361, 362, 363, 357, 358, 359.
    Dos2Disk lite = blank(128, 720, {.code = 0x86, .total = 700, .free = 9, .litedos = true});
    for (std::uint32_t s : {357u, 358u, 359u, 361u, 362u, 363u})
        for (unsigned slot = 0; slot < 8; slot++)
            lite.entry_at(s, slot, file("X"));
    lite.entry_at(361, 0, file("FIRST")).entry_at(357, 0, file("WRAPPED"));
    lite.entry_at(359, 7, file("LAST")).entry_at(364, 0, file("OUTSIDE"));
    RunResult r = list(lite);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "t.atr: 720 sectors of 128 bytes, LiteDOS, 9 sectors free of 700 total.");
    std::string b = body(r);
    EXPECT_EQ(b.find(line(0, "/FIRST")), 0u);
    EXPECT_NE(b.find(line(0, "/WRAPPED")), std::string::npos);
    EXPECT_EQ(b.rfind(line(0, "/LAST")), b.size() - line(0, "/LAST").size());
    EXPECT_EQ(b.find("OUTSIDE"), std::string::npos);

    // LiteDOS-SE code 0x46: group of 14 from 350; the fourth sector is 350.
    Dos2Disk se = blank(128, 720, {.code = 0x46, .total = 700, .free = 0});
    for (std::uint32_t s : {361u, 362u, 363u})
        for (unsigned slot = 0; slot < 8; slot++)
            se.entry_at(s, slot, file("X"));
    se.entry_at(350, 0, file("SE")).entry_at(364, 0, file("OUTSIDE"));
    b = body(list(se));
    EXPECT_NE(b.find(line(0, "/SE")), std::string::npos);
    EXPECT_EQ(b.find("OUTSIDE"), std::string::npos);
}

TEST(Dos2Recognition, BiboDos)
{
    // 256-byte sectors, a plausible entry in the second half of sector 361.
    // Slots 0-7 hold entries of count 0, which the test passes over; TWO is
    // the plausible one (count 10 + 12 <= N, start 400 <= N); THREE opens sector 362.
    auto bibo = [](Dos2Vtoc v, unsigned slot) {
        Dos2Disk d = blank(256, 720, v);
        for (unsigned i = 0; i < 8; i++)
            d.entry_at(361, i, dos2_entry(dos2_file, 0, 400, "E"));
        d.entry_at(361, slot, dos2_entry(dos2_file, 10, 400, "TWO"));
        d.entry_at(362, 0, dos2_entry(dos2_file, 1, 400, "THREE"));
        d.link(400, 0, 5, Dos2Form::dos2);
        return d;
    };
    std::string e7;
    for (int i = 0; i < 7; i++)
        e7 += line(0, "/E");
    // Entries 8-15 come from the second half of sector 361.
    RunResult r = list(bibo({.code = 2, .total = 707, .free = 0}, 8));
    EXPECT_EQ(r.out, summary(256, 720, "Bibo-DOS", 0, 707) + e7 + line(0, "/E") + line(5, "/TWO"));
    r = list(bibo({.code = 2, .total = 707, .free = 0, .map0 = 0x70}, 8));
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), summary(256, 720, "Bibo-DOS (with bad VTOC)", 0, 707));

    // TWO in slot 7 (first half), flags 0 in slot 8: a plain DOS 2.0D
    // directory, 8 entries to a sector, entry 8 in sector 362.
    r = list(bibo({.code = 2, .total = 707, .free = 0}, 7));
    EXPECT_EQ(r.out, summary(256, 720, "DOS 2.0D", 0, 707) + e7 + line(5, "/TWO") + line(5, "/THREE"));
    // LiteDOS is never Bibo-DOS.
    Dos2Disk lite = bibo({.code = 0x88, .total = 707, .free = 0, .litedos = true}, 8);
    EXPECT_EQ(list(lite).out.find("Bibo"), std::string::npos);
}

// ---- Names --------------------------------------------------------------

TEST(Dos2Names, Mapping)
{
    struct Case {
        std::string raw;
        int lower;
        const char *host, *atari;
    } cases[] = {
        {"AUTORUN SYS", 0, "AUTORUN.SYS", "AUTORUN  SYS"},
        {"AUTORUN SYS", 1, "autorun.sys", "autorun  sys"},
        {"        COM", 0, ".COM", "         COM"},
        {"DISK       ", 0, "DISK", "DISK        "},
        {"A B    C D ", 0, "ABC.D", "A B    C  D "},
        {"           ", 0, "", "            "},
        {"a.b/c?\\`{  ", 0, "a_b_c___._", "a_b_c___ _  "},
        {"@[]^_-!~   ", 1, "@[]^_-!_", "@[]^_-!_    "},
        // Inverse video: letters and digits show plain, lower-case stays lower.
        {"\xC1\xE1\xB0\xA0\xDB\x9F\x1F\x7F   ", 0, "Aa0_____", "Aa0_____    "},
        {"\xC1\xE1\xB9        ", 1, "aa9", "aa9         "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.raw);
        Dos2Name n = dos2_name(reinterpret_cast<const std::uint8_t *>(c.raw.c_str()), c.lower);
        EXPECT_EQ(n.host, c.host);
        EXPECT_EQ(std::string(n.atari), c.atari);
    }
}

// ---- Chains -------------------------------------------------------------

TEST(Dos2Chains, FormsAndReports)
{
    Dos2Disk d = blank();
    unsigned i = 0;
    auto add = [&](std::uint8_t flags, std::uint32_t count, std::uint32_t start, const char *name) {
        d.entry(dos2_root_sector, i++, dos2_entry(flags, count, start, name));
    };
    // 125 + 125 + 10 in three sectors; file number bits set in every link.
    add(dos2_file, 3, 400, "PLAIN");
    d.chain_in({400, 401, 402}, bytes_of(260, 1), Dos2Form::dos2, 0x3F);
    // 410 -> 411 -> 410: loop, 250 bytes gathered.
    add(dos2_file, 9, 410, "LOOP");
    d.link(410, 411, 125, Dos2Form::dos2).link(411, 410, 125, Dos2Form::dos2);
    // Start beyond the image; a chain into sector 1; one past the last sector.
    add(dos2_file, 1, 800, "BEYOND");
    add(dos2_file, 2, 420, "TOONE");
    d.link(420, 1, 100, Dos2Form::dos2);
    add(dos2_file, 2, 421, "TO721");
    d.link(421, 721, 100, Dos2Form::dos2);
    // Count 0: empty, and its (bad) start sector is never read.
    add(0x43, 0, 900, "EMPTY");
    // Count 1, two full sectors: too long.
    add(dos2_file, 1, 430, "LONG");
    d.link(430, 431, 125, Dos2Form::dos2).link(431, 0, 125, Dos2Form::dos2);
    // DOS 1 form: 125 for a sector with bit 7 clear, then 0xB2 -> 50 bytes.
    add(dos1_file, 2, 440, "DOS1");
    d.link(440, 441, 0x7D, Dos2Form::dos1).link(441, 0, 0xB2, Dos2Form::dos1);

    RunResult r = list(d);
    EXPECT_EQ(body(r), line(260, "/PLAIN") + line(250, "/LOOP") + line(0, "/BEYOND") + line(100, "/TOONE") +
                           line(100, "/TO721") + line(0, "/EMPTY") + line(250, "/LONG") + line(175, "/DOS1"));
    EXPECT_EQ(r.err, "vorlen: loop in sector link at sector 410\n"
                     "vorlen: invalid sector link\n"
                     "vorlen: invalid sector link\n"
                     "vorlen: invalid sector link\n"
                     "vorlen: /LONG: file too long in disk\n");

    // DOS 1 form on 256-byte sectors: a full sector of 253 bytes ends the chain.
    Dos2Disk dd = blank(256);
    dd.entry(dos2_root_sector, 0, dos2_entry(dos1_file, 2, 400, "DOS1"));
    dd.link(400, 401, 0x00, Dos2Form::dos1).link(401, 0, 0x85, Dos2Form::dos1);
    EXPECT_EQ(body(list(dd)), line(253, "/DOS1"));
}

// Flags bit 2 gives 16-bit links only on images of more than 1022 sectors.
TEST(Dos2Chains, SixteenBitLinks)
{
    struct Case {
        std::uint32_t n;
        std::uint8_t code, flags;
        unsigned size;
        const char *err;
    } cases[] = {
        {1440, 3, mydos_file, 253 + 5, ""},                                 // 0x0410 = 1040
        {1440, 3, dos2_file, 253 + 7, ""},                                  // 0x010 = 16
        {1023, 2, mydos_file, 253, "vorlen: invalid sector link\n"},        // 1040 > 1023
        {1022, 2, mydos_file, 253 + 7, ""},                                 // 10 bits
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        Dos2Disk d = blank(256, c.n, {.code = c.code, .total = 700, .free = 0});
        d.entry(dos2_root_sector, 0, dos2_entry(c.flags, 3, 400, "F"));
        d.disk.bytes(400, 253, {0x04, 0x10, 253}); // next: 0x04 high, 0x10 low
        if (c.n >= 1040)
            d.link(1040, 0, 5, Dos2Form::dos2_wide);
        d.link(16, 0, 7, Dos2Form::dos2);
        RunResult r = list(d);
        EXPECT_EQ(body(r), line(c.size, "/F"));
        EXPECT_EQ(r.err, c.err);
    }
}

// Directory sectors are numbered past 65535 without wrapping to sector 0.
TEST(Dos2Chains, DirectorySectorsPast65535)
{
    Dos2Disk d = blank(128, 65544, {.code = 35, .total = 65000, .free = 0});
    d.entry(dos2_root_sector, 0, dos2_entry(dos2_flag_subdir, 8, 65535, "HIGH"));
    for (unsigned i = 0; i < 8; i++)
        d.entry(65535, i, dos2_entry(dos2_file, 0, 400, "E"));
    d.entry(65535, 8, dos2_entry(dos2_file, 1, 400, "WRAP")); // in sector 65536
    d.link(400, 0, 9, Dos2Form::dos2);
    EXPECT_NE(list(d).out.find(line(9, "/HIGH/WRAP")), std::string::npos);
}

// ---- Listings -----------------------------------------------------------

namespace {

Dos2Disk tree_volume()
{
    return dos2_volume({}, {{"AUTORUN.SYS", bytes_of(3, 1)},
                            {"GAMES/PACMAN.COM", bytes_of(300, 2)},
                            {"GAMES/DEEP/X.DAT", {}},
                            {"README", bytes_of(10, 3)}});
}

} // namespace

TEST(Dos2Listing, HostAndAtariStyles)
{
    RunResult r = list(tree_volume());
    EXPECT_EQ(r.out, summary(128, 720, "DOS 2.0s", 685, 707) + line(3, "/AUTORUN.SYS") + line(1024, "/GAMES/") +
                         line(300, "/GAMES/PACMAN.COM") + line(1024, "/GAMES/DEEP/") +
                         line(0, "/GAMES/DEEP/X.DAT") + line(10, "/README"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(body(list(tree_volume(), 0, 1)), line(3, "/autorun.sys") + line(1024, "/games/") +
                                                   line(300, "/games/pacman.com") + line(1024, "/games/deep/") +
                                                   line(0, "/games/deep/x.dat") + line(10, "/readme"));
    r = list(tree_volume(), 1);
    EXPECT_EQ(r.out, "ATR image: t.atr\nImage size: 720 sectors of 128 bytes\n"
                     "DOS size: 685 sectors free of 707 total\nVolume: DOS 2.0s\n"
                     "Directory of /\n\n"
                     "AUTORUN  SYS       3\n"
                     "GAMES         <DIR>\n"
                     "README            10\n"
                     "\n"
                     "Directory of /GAMES\n\n"
                     "PACMAN   COM     300\n"
                     "DEEP          <DIR>\n"
                     "\n"
                     "Directory of /GAMES/DEEP\n\n"
                     "X        DAT       0\n"
                     "\n");
    EXPECT_EQ(r.err, "");
}

TEST(Dos2Listing, EntriesThatAreSkipped)
{
    Dos2Disk d = blank();
    const Dos2Entry entries[] = {
        dos2_entry(dos2_file | dos2_flag_deleted, 1, 400, "OLD"), // deleted: silent
        dos2_entry(dos2_file, 1, 400, ""),                       // all blanks
        dos2_entry(0x30, 8, 400, "ODD"),                         // 0x10 with bit 5: no directory
        dos2_entry(0x50, 1, 400, "FIFTY"),                       // bit 6: a file, DOS 1 form
        dos2_entry(dos2_flag_subdir, 8, 1, "BADDIR"),            // start sector 1
        dos2_entry(dos2_file, 1, 0, "ZERO"),                     // start sector 0
        dos2_entry(0x08, 1, 400, "NOTYPE"),
        dos2_entry(dos2_file, 1, 400, ".COM"),
    };
    for (unsigned i = 0; i < 8; i++)
        d.entry(dos2_root_sector, i, entries[i]);
    // Entry 8 is flags 0: the end, so entry 9 is never seen.
    d.entry(dos2_root_sector, 9, dos2_entry(dos2_file, 1, 400, "AFTER"));
    d.link(400, 0, 4, Dos2Form::dos2);
    RunResult r = list(d);
    EXPECT_EQ(body(r), line(125, "/FIFTY") + line(4, "/.COM"));
    const std::string reports = "vorlen: : invalid file name, skip\n"
                                "vorlen: /ODD: invalid file type 30\n"
                                "vorlen: : invalid file sector, skip\n"
                                "vorlen: : invalid file sector, skip\n"
                                "vorlen: /NOTYPE: invalid file type 08\n";
    EXPECT_EQ(r.err, reports);
    // The Atari style reports the bad subdirectory once, and does not walk it.
    r = list(d, 1);
    EXPECT_EQ(body(r, 4), "Directory of /\n\n" + afile("FIFTY", 125) + afile("         COM", 4) + "\n");
    EXPECT_EQ(r.err, reports);
}

// ---- Directory loops and depth ------------------------------------------

namespace {

// Root: A (sector 400) holding BACK -> 400 and a nameless entry; LOOP -> the
// root; B -> 400 again.  No directory may be walked twice.
Dos2Disk looping_volume()
{
    Dos2Disk d = blank();
    d.entry(dos2_root_sector, 0, dos2_entry(dos2_flag_subdir, 8, 400, "A"));
    d.entry(dos2_root_sector, 1, dos2_entry(dos2_flag_subdir, 8, dos2_root_sector, "LOOP"));
    d.entry(dos2_root_sector, 2, dos2_entry(dos2_flag_subdir, 8, 400, "B"));
    d.entry(400, 0, dos2_entry(dos2_flag_subdir, 8, 400, "BACK"));
    d.entry(400, 1, dos2_entry(dos2_file, 1, 0x100, ""));
    return d;
}

} // namespace

TEST(Dos2Guard, Loops)
{
    RunResult r = list(looping_volume());
    EXPECT_EQ(body(r), line(1024, "/A/") + line(1024, "/A/BACK/") + line(1024, "/LOOP/") + line(1024, "/B/"));
    EXPECT_EQ(r.err, "vorlen: /A/BACK: directory already visited, skip\n"
                     "vorlen: /A: invalid file name, skip\n"
                     "vorlen: /LOOP: directory already visited, skip\n"
                     "vorlen: /B: directory already visited, skip\n");

    // Atari style: each report stands in the second pass, where the walk
    // would have been (after A's own first-pass report).
    r = list(looping_volume(), 1);
    EXPECT_EQ(body(r, 4), "Directory of /\n\n" + adir("A") + adir("LOOP") + adir("B") + "\n" +
                              "Directory of /A\n\n" + adir("BACK") + "\n");
    EXPECT_EQ(r.err, "vorlen: /A: invalid file name, skip\n"
                     "vorlen: /A/BACK: directory already visited, skip\n"
                     "vorlen: /LOOP: directory already visited, skip\n"
                     "vorlen: /B: directory already visited, skip\n");

    // Extracting: each entry's directory is made, but not walked again.
    TempDir dir;
    ScopedChdir cd(dir.path);
    r = list(looping_volume(), 0, 0, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "A/\nA/BACK/\n"
                     "vorlen: /A/BACK: directory already visited, skip\n"
                     "vorlen: /A: invalid file name, skip\n"
                     "LOOP/\nvorlen: /LOOP: directory already visited, skip\n"
                     "B/\nvorlen: /B: directory already visited, skip\n");
    // The directories of the entries exist, empty.
    for (const char *p : {"A/BACK", "LOOP", "B"})
        EXPECT_TRUE(fs::is_directory(p) && fs::is_empty(p)) << p;
}

TEST(Dos2Guard, DepthLimit)
{
    // Level k (1-based) lives in sector 399 + k and holds one subdirectory D;
    // level 101 holds a file that must never be reached.
    Dos2Disk d = blank();
    d.entry(dos2_root_sector, 0, dos2_entry(dos2_flag_subdir, 1, 400, "D"));
    for (std::uint32_t k = 1; k <= 100; k++)
        d.entry(399 + k, 0, dos2_entry(dos2_flag_subdir, 1, 400 + k, "D"));
    d.entry(500, 0, dos2_entry(dos2_file, 0, 0x100, "DEEP"));

    std::string path, lines;
    for (int k = 1; k <= 101; k++) {
        path += "/D";
        lines += line(128, path + "/");
    }
    const std::string report = path + ": directory nesting too deep, skip\n";
    RunResult r = list(d);
    EXPECT_EQ(body(r), lines);
    EXPECT_EQ(r.err, "vorlen: " + report);

    r = list(d, 1);
    EXPECT_EQ(r.err, "vorlen: " + report);
    EXPECT_NE(r.out.find("Directory of " + path.substr(0, path.size() - 2) + "\n\n" + adir("D") + "\n"),
              std::string::npos);
    EXPECT_EQ(r.out.find("Directory of " + path + "\n"), std::string::npos);

    TempDir dir;
    ScopedChdir cd(dir.path);
    r = list(d, 0, 0, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(path.substr(1) + "/\nvorlen: " + report), std::string::npos);
    EXPECT_TRUE(fs::is_directory(path.substr(1)));
    EXPECT_TRUE(fs::is_empty(path.substr(1)));
}

// ---- Extraction ---------------------------------------------------------

TEST(Dos2Extract, TreeBytesAndEcho)
{
    TempDir dir;
    ScopedChdir cd(dir.path);
    RunResult r = list(tree_volume(), 0, 0, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(128, 720, "DOS 2.0s", 685, 707));
    EXPECT_EQ(r.err, "AUTORUN.SYS\nGAMES/\nGAMES/PACMAN.COM\nGAMES/DEEP/\nGAMES/DEEP/X.DAT\nREADME\n");
    EXPECT_EQ(read_file("AUTORUN.SYS"), bytes_of(3, 1));
    EXPECT_EQ(read_file("GAMES/PACMAN.COM"), bytes_of(300, 2));
    EXPECT_EQ(read_file("GAMES/DEEP/X.DAT"), std::vector<std::uint8_t>());
    EXPECT_EQ(read_file("README"), bytes_of(10, 3));

    // Again: the directories are reused, the first file stops the run.
    r = list(tree_volume(), 0, 0, 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "AUTORUN.SYS\nvorlen: Error, AUTORUN.SYS: file already exists.\n");
}

TEST(Dos2Extract, DamagedChains)
{
    Dos2Disk d = blank();
    // Count 1 but two full sectors: listed as 250, written as the first 128 bytes.
    d.entry(dos2_root_sector, 0, dos2_entry(dos2_file, 1, 400, "LONG"));
    d.chain_in({400, 401}, bytes_of(250, 5), Dos2Form::dos2);
    // The image's last sector claims 255 bytes: its 125 data bytes count, the
    // other 130 are zeros (not its link, not the next sector), then sector 402.
    d.entry(dos2_root_sector, 1, dos2_entry(dos2_file, 3, 720, "OVER"));
    d.chain_in({720, 402}, bytes_of(135, 9), Dos2Form::dos2);
    d.disk.bytes(720, 127, {255});

    EXPECT_EQ(body(list(d)), line(250, "/LONG") + line(265, "/OVER"));
    TempDir dir;
    ScopedChdir cd(dir.path);
    RunResult r = list(d, 0, 0, 1);
    EXPECT_EQ(r.err, "vorlen: /LONG: file too long in disk\nLONG\nOVER\n");
    std::vector<std::uint8_t> longer = bytes_of(250, 5);
    EXPECT_EQ(read_file("LONG"), std::vector<std::uint8_t>(longer.begin(), longer.begin() + 128));
    std::vector<std::uint8_t> over = bytes_of(135, 9), want(over.begin(), over.begin() + 125);
    want.resize(255, 0);
    want.insert(want.end(), over.begin() + 125, over.end());
    EXPECT_EQ(read_file("OVER"), want);
}

TEST(Dos2Extract, RefusesWhatIsThere)
{
    {   // A dangling link at a file's path is an existing path: nothing is written through it.
        TempDir dir;
        ScopedChdir cd(dir.path);
        ASSERT_EQ(symlink("target", "AUTORUN.SYS"), 0);
        RunResult r = list(tree_volume(), 0, 0, 1);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "AUTORUN.SYS\nvorlen: Error, AUTORUN.SYS: file already exists.\n");
        EXPECT_FALSE(fs::exists("target"));
    }
    {   // A link to a directory where a directory is to be made is not followed.
        TempDir dir;
        ScopedChdir cd(dir.path);
        fs::create_directory("elsewhere");
        ASSERT_EQ(symlink("elsewhere", "GAMES"), 0);
        RunResult r = list(tree_volume(), 0, 0, 1);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "AUTORUN.SYS\nGAMES/\nvorlen: Error, GAMES: can\xC2\xB4t create directory, File exists\n");
        EXPECT_TRUE(fs::is_empty("elsewhere"));
    }
    {   // A path through a regular file.
        TempDir dir;
        ScopedChdir cd(dir.path);
        write_file("plain", {});
        const std::uint8_t byte = 'x';
        RunResult r = capture([&] { extract_file("plain/FOO", &byte, 1); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "plain/FOO\nvorlen: Error, plain/FOO: can\xC2\xB4t create file, Not a directory\n");
        r = capture([] { extract_dir("plain/SUB"); });
        EXPECT_EQ(r.err, "plain/SUB/\nvorlen: Error, plain/SUB: can\xC2\xB4t create directory, Not a directory\n");
    }
}
