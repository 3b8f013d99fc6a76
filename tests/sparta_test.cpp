// SpartaDOS: boot record checks, names, map chains, the three walks.
#include "capture.h"
#include "messages.h"
#include "sparta.h"
#include "sparta_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <utility>

namespace fs = std::filesystem;
namespace B = sparta_boot;

namespace {

// Extraction sets host times from entry dates read as local time.
[[maybe_unused]] const bool in_utc = (setenv("TZ", "UTC", 1), tzset(), true);

const std::string P = "vorlen: ", SUM40 = "d.atr: 40 sectors of 128 bytes, volume name 'TEST'.\n";
const SpartaDate d_1999{31, 12, 99, 23, 59, 58}, d_2000{1, 1, 0, 0, 0, 0},
    d_2016{10, 11, 116, 12, 13, 14}, d_2083{2, 3, 83, 4, 5, 6}; // 116: a year byte above 99

// Calls f with listing and messages in one stream, so their order shows.
template <class F> std::string merged(F f)
{
    char *buf = nullptr;
    std::size_t len = 0;
    std::FILE *s = open_memstream(&buf, &len);
    std::FILE *old_out = std::exchange(msg_out, s), *old_err = std::exchange(msg_err, s);
    const char *old_prog = std::exchange(prog_name, "vorlen");
    f();
    msg_sync();
    msg_out = old_out, msg_err = old_err, prog_name = old_prog;
    std::fclose(s);
    std::string r(buf, len);
    std::free(buf);
    return r;
}

// status|listing|messages of one run.
std::string run(const AtrImage &img, int atari = 0, int lower = 0, int extract = 0)
{
    const RunResult r = run_handler(spartados_list, img, "d.atr", atari, lower, extract);
    return std::to_string(r.status) + "|" + r.out + "|" + r.err;
}

// Checks a host path's modification and access time against a date in UTC.
void expect_time(const std::string &path, int y, int mo, int d, int h, int mi, int s)
{
    std::tm tm{};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mtime, timegm(&tm)) << path;
    EXPECT_EQ(st.st_atime, st.st_mtime) << path;
}

std::string text(const std::string &path)
{
    const std::vector<std::uint8_t> b = read_file(path);
    return {b.begin(), b.end()};
}

// Root: DOS.SYS (300 bytes), a deleted entry, SUB/ (INNER.TXT, DEEP/ (X)), EMPTY (0 bytes), an
// end marker and an entry after it (neither shown).
const std::string dos_sys = "\n\r" + std::string(298, 'D');
std::unique_ptr<AtrImage> small_tree()
{
    SpartaVolume v(128, 64);
    SpartaEntry deep = v.dir("DEEP", {v.file("X", "x", d_2000)}, d_2083);
    SpartaEntry sub = v.dir("SUB", {v.file("INNER.TXT", "hi", d_2083), deep}, d_2016);
    sub.size = 999; // a subdirectory's size field is not shown
    v.root({v.file("DOS.SYS", dos_sys, d_1999), {sparta_status::in_use | sparta_status::deleted, 0, 1, "GONE"}, sub,
            v.file("EMPTY", "", d_2000), {sparta_status::end, 0, 1, "NOMORE"}, v.file("AFTER", "a")});
    return v.image();
}

} // namespace

TEST(SpartaDetect, BootRecordChecksInOrder)
{
    // Each row: one change to a boot record (root map 5: holes, an empty root; bitmap 4), status|listing|messages.
    const std::string fs = P + "d.atr: invalid SpartaDOS file system, ", root = fs + "root dir map outside disk.\n",
                      bitmap = fs + "bitmap outside disk.\n", too_few = P + "d.atr: ATR image with too few sectors.\n",
                      bigger = P + "d.atr: ATR image is bigger than file system.\n",
                      smaller = P + "d.atr: WARNING: ATR image is smaller than file system.\n";
    using D = DiskBuilder &;
    struct { int size; std::uint32_t count; std::function<void(D)> change; std::string want; int atari = 0; } rows[] = {
        // Not 0x80 at offset 7: declined silently, however broken the rest is.
        {128, 40, [](D d) { d.bytes(1, B::signature, {0x81}).bytes(1, B::size_code, {0}); }, "1||"},
        // The size code is checked before the sizes: one message only.
        {128, 40, [](D d) { d.bytes(1, B::size_code, {0}).le16(1, B::total, 41); },
         "1||" + fs + "mismatch sector sizes (256!=128).\n"},
        {256, 40, [](D d) { d.bytes(1, B::size_code, {0x80}); }, "1||" + fs + "mismatch sector sizes (128!=256).\n"},
        // A size mismatch only warns; the summary shows the image's own count.
        {128, 40, [](D d) { d.le16(1, B::total, 39); }, "0|" + SUM40 + "|" + bigger},
        {128, 40, [](D d) { d.le16(1, B::total, 1000); }, "0|" + SUM40 + "|" + smaller},
        // Root map, then bitmap, each within 2 .. count; after the size warning.
        {128, 40, [](D d) { d.le16(1, B::total, 1000).le16(1, B::root_map, 41); }, "1||" + smaller + root},
        {128, 40, [](D d) { d.le16(1, B::root_map, 1).le16(1, B::bitmap, 1); }, "1||" + root},
        {128, 40, [](D d) { d.le16(1, B::bitmap, 41); }, "1||" + bitmap},
        {128, 40, [](D d) { d.le16(1, B::bitmap, 1); }, "1||" + bitmap},
        {128, 40, [](D d) { d.le16(1, B::root_map, 40).le16(1, B::bitmap, 40); }, "0|" + SUM40 + "|"},
        // Five sectors are too few once root and bitmap have passed; six will do.
        {128, 5, [](D d) { d.le16(1, B::root_map, 2).le16(1, B::bitmap, 3); }, "1||" + too_few},
        {128, 6, [](D) {}, "0|d.atr: 6 sectors of 128 bytes, volume name 'TEST'.\n|"},
        // The summary's two forms of a blank volume name.
        {128, 40, [](D d) { d.text(1, B::volume, "        "); },
         "0|d.atr: 40 sectors of 128 bytes, volume name ''.\n|"},
        {128, 40, [](D d) { d.text(1, B::volume, "        "); },
         "0|ATR image: d.atr\nImage size: 40 sectors of 128 bytes\nVolume Name: NONE\nDirectory of /\n\n\n|", 1},
    };
    for (const auto &row : rows) {
        DiskBuilder d(row.size, row.count);
        sparta_boot_sector(d, 5, 4, "TEST");
        row.change(d);
        EXPECT_EQ(run(*d.image(), row.atari), row.want);
    }
    EXPECT_EQ(run(AtrImage{}), "1||"); // no sector 1: nothing to look at
}

TEST(SpartaName, RulesAndExamples)
{
    struct { std::string field; int lower; std::string host, atari; } rows[] = {
        {"DOS     SYS", 0, "DOS.SYS", "DOS      SYS"},
        {"README     ", 0, "README", "README      "},
        {"AUTORUN SYS", 1, "autorun.sys", "autorun  sys"},
        // Blanks vanish anywhere; one full stop before the first extension character.
        {"A B     X Y", 0, "AB.XY", "A B      X Y"},
        {"        COM", 0, ".COM", "         COM"},
        {"           ", 0, "", "            "},
        // Control bytes, / . ? \ ` and everything above 'z' become '_'.
        {"\x01/.?\\`{\xA0" "az~", 0, "________.az_", "________ az_"},
        // Everything else is kept; -l lowers A-Z only.
        {"#!$-_09@Z[]", 0, "#!$-_09@.Z[]", "#!$-_09@ Z[]"},
        {"#!$-_09@Z[]", 1, "#!$-_09@.z[]", "#!$-_09@ z[]"},
        {"VOL  NAM", 0, "VOLNAM", "VOL  NAM "}, // a volume name (8 bytes): no full stop
    };
    for (const auto &row : rows) {
        char host[14], atari[14];
        std::memset(host, 0x55, sizeof host);
        const auto *field = reinterpret_cast<const std::uint8_t *>(row.field.data());
        const int n = sparta_name(host, atari, field, int(row.field.size()), row.lower);
        EXPECT_EQ(host + ("|" + std::string(atari)), row.host + "|" + row.atari) << row.field;
        EXPECT_EQ(std::size_t(n), row.host.size()) << row.field;
    }
}

TEST(SpartaMap, ReadMapAndMapSize)
{
    // 20 sectors of 128 bytes: data 10 ('a'), 11 ('b'), 20 ('z', the last).
    DiskBuilder d(128, 20);
    d.fill(10, 0, 128, 'a').fill(11, 0, 128, 'b').fill(20, 0, 128, 'z');
    sparta_map_sector(d, 5, 0, {10, 11}); // then holes
    sparta_map_sector(d, 6, 1, {10});     // invalid link, never needed below 128 bytes
    sparta_map_sector(d, 7, 1, std::vector<std::uint32_t>(62, 11)); // full, invalid link
    sparta_map_sector(d, 8, 0, {10, 20, 21});                       // 21 is past the disk
    sparta_map_sector(d, 9, 9, {10});                               // links to itself
    sparta_map_sector(d, 12, 0, {1});          // the boot sector is no data sector
    sparta_map_sector(d, 13, 14, {10, 0, 11}); // 13 -> 14 -> 13 ...
    sparta_map_sector(d, 14, 13, {12});
    sparta_map_sector(d, 15, 21, {10});
    d.le16(1, 0, 0).le16(1, 4, 0x1234); // sector 1 read as a map: one data sector, no link
    auto img = d.image();
    const std::string bad_map = P + "invalid sector map\n", bad_next = P + "invalid next sector map\n",
                      bad_data = P + "invalid data sector\n";
    // What a read delivers, its reports and, where given, the buffer up to one byte past it.
    const std::string ab = std::string(128, 'a') + std::string(128, 'b');
    struct { std::uint32_t map, wanted, got; std::string msgs, bytes = ""; } reads[] = {
        {5, 300, 300, "", ab + std::string(44, '\0') + "\xEE"}, // holes give zeros, never end a file
        {5, 8000, 7936, ""},                                    // 62 * 128 bytes per map sector
        {6, 10, 10, ""},                                        // the link is read only when needed
        {7, 7936, 7936, ""}, {7, 7937, 7936, bad_next},
        // What came before a bad data sector is delivered, nothing of its chunk.
        {8, 400, 256, bad_data, std::string(128, 'a') + std::string(128, 'z') + "\xEE"},
        {12, 10, 0, bad_data}, {9, 20000, 20000, ""},                   // a loop ends at the bytes wanted
        {5, 0, 0, ""}, {0, 0, 0, bad_map}, {1, 10, 0, bad_map}, {21, 10, 0, bad_map}, // bad first map sectors
    };
    std::vector<std::uint8_t> buf(20000);
    std::uint32_t got = 0;
    for (const auto &c : reads) {
        std::fill(buf.begin(), buf.end(), 0xEE);
        EXPECT_EQ(merged([&] { got = sparta_read_map(*img, c.map, c.wanted, buf.data()); }), c.msgs) << c.map;
        EXPECT_EQ(got, c.got) << c.map << "/" << c.wanted;
        EXPECT_EQ(std::string(buf.begin(), buf.begin() + c.bytes.size()), c.bytes) << c.map;
    }
    // Allocated size: non-zero data sector numbers (never checked) up to a bad link or a repeated map, silently.
    struct { std::uint32_t map, size; std::string msgs; } sizes[] = {
        {5, 256, ""}, {6, 256, ""}, {13, 384, ""}, {9, 128, ""}, {15, 128, ""}, {0, 0, bad_map}, {1, 0, bad_map},
        {21, 0, bad_map}};
    for (const auto &c : sizes) {
        EXPECT_EQ(merged([&] { got = sparta_map_size(*img, c.map); }), c.msgs) << c.map;
        EXPECT_EQ(got, c.size) << c.map;
    }
}

TEST(SpartaWalk, ListingsInBothStylesAndExtraction)
{
    auto img = small_tree();
    // Host style: directories with the size of their chain, 3-digit years.
    EXPECT_EQ(run(*img), "0|d.atr: 64 sectors of 128 bytes, volume name 'TEST'.\n"
                         "     300\t31-12-99 23:59:58\t/DOS.SYS\n"
                         "     128\t10-11-116 12:13:14\t/SUB/\n"
                         "       2\t02-03-83 04:05:06\t/SUB/INNER.TXT\n"
                         "     128\t02-03-83 04:05:06\t/SUB/DEEP/\n"
                         "       1\t01-01-00 00:00:00\t/SUB/DEEP/X\n"
                         "       0\t01-01-00 00:00:00\t/EMPTY\n|");
    // Atari style: a second pass for the subdirectories.
    EXPECT_EQ(run(*img, 1), "0|ATR image: d.atr\nImage size: 64 sectors of 128 bytes\nVolume Name: TEST\n"
                            "Directory of /\n\n"
                            "DOS      SYS     300 31-12-99 23:59\n"
                            "SUB           <DIR>  10-11-116 12:13\n"
                            "EMPTY              0 01-01-00 00:00\n\n"
                            "Directory of /SUB\n\n"
                            "INNER    TXT       2 02-03-83 04:05\n"
                            "DEEP          <DIR>  02-03-83 04:05\n\n"
                            "Directory of /SUB/DEEP\n\n"
                            "X                  1 01-01-00 00:00\n\n|");
    // -l: volume name, headings and the name column; <DIR> stays.
    const std::string lower = run(*img, 1, 1);
    EXPECT_NE(lower.find("Volume Name: test\nDirectory of /\n\ndos      sys     300 "), std::string::npos);
    EXPECT_NE(lower.find("\nDirectory of /sub\n\ninner    txt       2 02-03-83 04:05\n"
                         "deep          <DIR>  02-03-83 04:05\n\n"), std::string::npos);

    TempDir tmp;
    ScopedChdir in(tmp.path);
    EXPECT_EQ(run(*img, 0, 0, 1), "0|d.atr: 64 sectors of 128 bytes, volume name 'TEST'.\n"
                                  "|DOS.SYS\nSUB/\nSUB/INNER.TXT\nSUB/DEEP/\nSUB/DEEP/X\nEMPTY\n");
    // Year bytes: 99 -> 1999, 0 -> 2000, 83 -> 2083, 116 -> 2016.  The directories got their
    // times after their contents were written.  (Times first: reading may move the access time.)
    expect_time("DOS.SYS", 1999, 12, 31, 23, 59, 58);
    expect_time("EMPTY", 2000, 1, 1, 0, 0, 0);
    expect_time("SUB/INNER.TXT", 2083, 3, 2, 4, 5, 6);
    expect_time("SUB/DEEP", 2083, 3, 2, 4, 5, 6);
    expect_time("SUB", 2016, 11, 10, 12, 13, 14);
    EXPECT_EQ(text("DOS.SYS") + "|" + text("SUB/INNER.TXT") + "|" + text("EMPTY"), dos_sys + "|hi|");
    // -l: lower-case host names.
    fs::create_directory("lc");
    ScopedChdir lc("lc");
    EXPECT_EQ(run(*img, 0, 1, 1), "0|d.atr: 64 sectors of 128 bytes, volume name 'test'.\n"
                                  "|dos.sys\nsub/\nsub/inner.txt\nsub/deep/\nsub/deep/x\nempty\n");
    EXPECT_EQ(text("sub/deep/x"), "x");
}

TEST(SpartaWalk, DamagedRootEntries)
{
    // The root's chain gives 128 bytes, then a data sector past the disk: four entries fit, the fifth (CUT at
    // 115) is cut short and ends the pass.  UNUSED lacks the in-use bit; the blank name is reported once, in
    // both styles.  SHORT claims 300 bytes, its chain gives 128: listed and extracted with 300, zero-filled.
    TempDir tmp;
    SpartaVolume v(128, 40);
    SpartaEntry unused{sparta_status::subdir, 0, 1, "UNUSED"}, short_file = v.file("SHORT", std::string(128, 'S'));
    short_file.size = 300;
    v.disk.le16(short_file.map, 6, 41); // second data sector
    const std::vector<std::uint8_t> root = sparta_dir_bytes(
        {unused, v.dir("", {v.file("HIDDEN", "h")}), short_file, v.file("OK", "ok"), v.dir("CUT", {v.file("X", "x")})});
    const std::uint32_t root_map = v.put(std::span(root).first(128));
    v.disk.le16(root_map, 6, 41).le16(1, B::root_map, root_map);
    auto img = v.image();

    const std::string msgs = P + "invalid data sector\n" + P + ": invalid file name, skip\n" + P +
                             "invalid data sector\n" + P + "/SHORT: short file in disk\n";
    EXPECT_EQ(run(*img),
              "0|" + SUM40 + "     300\t01-01-84 00:00:00\t/SHORT\n       2\t01-01-84 00:00:00\t/OK\n|" + msgs);
    const std::string atari = run(*img, 1);
    EXPECT_EQ(atari.substr(atari.find("SHORT")),
              "SHORT            300 01-01-84 00:00\nOK                 2 01-01-84 00:00\n\n|" + msgs);
    ScopedChdir in(tmp.path);
    EXPECT_EQ(run(*img, 0, 0, 1), "0|" + SUM40 + "|" + msgs + "SHORT\nOK\n");
    EXPECT_EQ(text("SHORT"), std::string(128, 'S') + std::string(172, '\0'));
}

TEST(SpartaWalk, DirectoryGuardInAllModes)
{
    // Levels 1 to 100 are directories D/D/.../D.  Level 100 holds UP (back to the root: visited,
    // tested before the depth) and DEEP at level 101.  TWIN in the root is a second entry for level 1.
    TempDir tmp;
    SpartaVolume v(128, 400);
    const std::uint32_t root = v.take();
    SpartaEntry level = v.dir("D", {sparta_subdir("UP", root, d_1999), v.dir("DEEP", {v.file("NO", "n")}, d_2083)});
    std::string d100 = "/D";
    for (; d100.size() < 200; d100 += "/D")
        level = v.dir("D", {level});
    v.root({level, sparta_subdir("TWIN", level.map, d_2016)}, root);
    auto img = v.image();
    const std::string up = P + d100 + "/UP: directory already visited, skip\n", h100 = d100.substr(1),
                      deep = P + d100 + "/DEEP: directory nesting too deep, skip\n",
                      twin = P + "/TWIN: directory already visited, skip\n";
    // Listing and messages in one stream, from `mark` on.
    auto walk = [&](int atari, int extract, const std::string &mark) {
        const std::string s = merged([&] { spartados_list(*img, "d.atr", atari, 0, extract); });
        return s.substr(std::min(s.find(mark), s.size()));
    };
    // Host style: each report follows the line of its directory.
    EXPECT_EQ(walk(0, 0, "     128\t31-12-99"), "     128\t31-12-99 23:59:58\t" + d100 + "/UP/\n" + up +
                                                    "     128\t02-03-83 04:05:06\t" + d100 + "/DEEP/\n" + deep +
                                                    "     128\t10-11-116 12:13:14\t/TWIN/\n" + twin);
    // Atari style: the reports stand where the walks would be, in the second pass.
    EXPECT_EQ(walk(1, 0, "Directory of " + d100 + "\n"),
              "Directory of " + d100 + "\n\nUP            <DIR>  31-12-99 23:59\n" +
                  "DEEP          <DIR>  02-03-83 04:05\n\n" + up + deep + twin);
    // Extraction: the host directory is made before the report, its time set after it.
    ScopedChdir in(tmp.path);
    EXPECT_EQ(walk(0, 1, h100 + "/UP/"), h100 + "/UP/\n" + up + h100 + "/DEEP/\n" + deep + "TWIN/\n" + twin);
    expect_time(h100 + "/DEEP", 2083, 3, 2, 4, 5, 6);
    expect_time("TWIN", 2016, 11, 10, 12, 13, 14);
    EXPECT_TRUE(fs::is_empty(h100 + "/DEEP") && fs::is_empty("TWIN"));
}
