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
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

const std::string P = "vorlen: ";
const SpartaDate d_1999{31, 12, 99, 23, 59, 58};
const SpartaDate d_2016{10, 11, 116, 12, 13, 14}; // a year byte above 99
const SpartaDate d_2083{2, 3, 83, 4, 5, 6};
const SpartaDate d_2000{1, 1, 0, 0, 0, 0};

// Calls f with listing and messages in one stream, so their order shows.
template <class F> std::string merged(F f)
{
    char *buf = nullptr;
    std::size_t len = 0;
    std::FILE *s = open_memstream(&buf, &len);
    std::FILE *old_out = msg_out, *old_err = msg_err;
    const char *old_prog = prog_name;
    msg_out = msg_err = s;
    prog_name = "vorlen";
    try {
        f();
    } catch (const ProgramExit &e) {
        std::fprintf(s, "<exit %d>\n", e.status);
    }
    msg_out = old_out;
    msg_err = old_err;
    prog_name = old_prog;
    std::fclose(s);
    std::string r(buf, len);
    std::free(buf);
    return r;
}

std::string merged_list(const AtrImage &img, int atari, int lower, int extract)
{
    return merged([&] { spartados_list(img, "d.atr", atari, lower, extract); });
}

RunResult list(const AtrImage &img, int atari = 0, int lower = 0, int extract = 0)
{
    return run_handler(spartados_list, img, "d.atr", atari, lower, extract);
}

// Status, listing and messages of one run, as one text.
std::string outcome(const RunResult &r)
{
    return std::to_string(r.status) + "|" + r.out + "|" + r.err;
}

std::time_t utc(int y, int mo, int d, int h, int mi, int s)
{
    std::tm tm{};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d;
    tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
    return timegm(&tm);
}

// A host time, checked to be both the access and the modification time.
std::time_t mtime(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_atime, st.st_mtime) << path;
    return st.st_mtime;
}

std::string text(const std::vector<std::uint8_t> &b)
{
    return {b.begin(), b.end()};
}

// Extraction compares host times with entry dates read as local time.
struct SpartaExtract : ::testing::Test {
    TempDir tmp;
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// Sector 1 of a 40-sector disk of 128-byte sectors: root map 5 (a map
// sector of holes, so an empty root), bitmap 4.
DiskBuilder boot_only(int sector_size = 128, std::uint32_t count = 40)
{
    DiskBuilder d(sector_size, count);
    sparta_boot_sector(d, 5, 4, "TEST");
    return d;
}

} // namespace

TEST(SpartaDetect, SignatureSectorSizeAndEmptyImage)
{
    // Not 0x80 at offset 7: declined silently, however broken the rest is.
    DiskBuilder d = boot_only();
    d.bytes(1, sparta_boot::signature, {0x81}).bytes(1, sparta_boot::size_code, {0});
    EXPECT_EQ(outcome(list(*d.image())), "1||");

    // The size code is checked before the sizes: one message only.
    const std::string mismatch = P + "d.atr: invalid SpartaDOS file system, mismatch sector sizes ";
    d.bytes(1, sparta_boot::signature, {0x80}).le16(1, sparta_boot::total, 41);
    EXPECT_EQ(outcome(list(*d.image())), "1||" + mismatch + "(256!=128).\n");
    DiskBuilder dd = boot_only(256);
    dd.bytes(1, sparta_boot::size_code, {0x80});
    EXPECT_EQ(outcome(list(*dd.image())), "1||" + mismatch + "(128!=256).\n");

    // An image without sector 1 has nothing to look at.
    AtrImage empty;
    empty.sector_count = 0;
    EXPECT_EQ(outcome(list(empty)), "1||");
}

TEST(SpartaDetect, SizeRootBitmapAndTooFewInOrder)
{
    const std::string sum = "d.atr: 40 sectors of 128 bytes, volume name 'TEST'.\n";
    const std::string bigger = P + "d.atr: ATR image is bigger than file system.\n";
    const std::string smaller = P + "d.atr: WARNING: ATR image is smaller than file system.\n";
    const std::string bad_root =
        P + "d.atr: invalid SpartaDOS file system, root dir map outside disk.\n";
    const std::string bad_bitmap =
        P + "d.atr: invalid SpartaDOS file system, bitmap outside disk.\n";
    DiskBuilder d = boot_only();
    EXPECT_EQ(outcome(list(*d.image())), "0|" + sum + "|");

    // A size mismatch only warns; the summary shows the image's own count.
    d.le16(1, sparta_boot::total, 39);
    EXPECT_EQ(outcome(list(*d.image())), "0|" + sum + "|" + bigger);
    d.le16(1, sparta_boot::total, 1000);
    EXPECT_EQ(outcome(list(*d.image())), "0|" + sum + "|" + smaller);

    // Root map, then bitmap, each within 2 .. count.
    for (std::uint32_t bad : {0u, 1u, 41u}) {
        d.le16(1, sparta_boot::root_map, bad).le16(1, sparta_boot::bitmap, bad);
        EXPECT_EQ(outcome(list(*d.image())), "1||" + smaller + bad_root) << bad;
        d.le16(1, sparta_boot::root_map, 40); // the last sector (a map of holes) will do
        EXPECT_EQ(outcome(list(*d.image())), "1||" + smaller + bad_bitmap) << bad;
    }
    d.le16(1, sparta_boot::bitmap, 40);
    EXPECT_EQ(outcome(list(*d.image())), "0|" + sum + "|" + smaller);

    // Five sectors are too few once root and bitmap have passed; six will do.
    DiskBuilder five(128, 5);
    sparta_boot_sector(five, 2, 3);
    EXPECT_EQ(outcome(list(*five.image())), "1||" + P + "d.atr: ATR image with too few sectors.\n");
    SpartaVolume six(128, 6); // boot 1-3, bitmap 4, root map 5, root data 6
    six.root({});
    EXPECT_EQ(outcome(list(*six.image())),
              "0|d.atr: 6 sectors of 128 bytes, volume name 'TEST'.\n|");
}

TEST(SpartaDetect, SummaryForms)
{
    DiskBuilder d = boot_only();
    d.text(1, sparta_boot::volume, "        ");
    EXPECT_EQ(list(*d.image()).out, "d.atr: 40 sectors of 128 bytes, volume name ''.\n");
    EXPECT_EQ(list(*d.image(), 1).out, "ATR image: d.atr\nImage size: 40 sectors of 128 bytes\n"
                                       "Volume Name: NONE\nDirectory of /\n\n\n");
    d.text(1, sparta_boot::volume, "MY.DISK?");
    EXPECT_EQ(list(*d.image(), 0, 1).out,
              "d.atr: 40 sectors of 128 bytes, volume name 'my_disk_'.\n");
}

TEST(SpartaName, RulesAndExamples)
{
    auto conv = [](std::string_view field, int lower = 0) {
        char host[14], atari[14];
        std::memset(host, 0x55, sizeof host);
        int n = sparta_name(host, atari, reinterpret_cast<const std::uint8_t *>(field.data()),
                            int(field.size()), lower);
        EXPECT_EQ(std::size_t(n), std::strlen(host));
        EXPECT_EQ(std::strlen(atari), field.size() + 1);
        return std::pair<std::string, std::string>(host, atari);
    };
    using S = std::pair<std::string, std::string>;
    EXPECT_EQ(conv("DOS     SYS"), S("DOS.SYS", "DOS      SYS"));
    EXPECT_EQ(conv("README     "), S("README", "README      "));
    EXPECT_EQ(conv("AUTORUN SYS", 1), S("autorun.sys", "autorun  sys"));
    // Blanks vanish anywhere; one full stop before the first extension character.
    EXPECT_EQ(conv("A B     X Y"), S("AB.XY", "A B      X Y"));
    EXPECT_EQ(conv("        COM"), S(".COM", "         COM"));
    EXPECT_EQ(conv("           "), S("", "            "));
    // Control bytes, / . ? \ ` and everything above 'z' become '_'.
    EXPECT_EQ(conv(std::string("\x01/.?\\`{\xA0"
                               "az~")),
              S("________.az_", "________ az_"));
    // Everything else is kept; -l lowers A-Z only.
    EXPECT_EQ(conv("#!$-_09@Z[]"), S("#!$-_09@.Z[]", "#!$-_09@ Z[]"));
    EXPECT_EQ(conv("#!$-_09@Z[]", 1), S("#!$-_09@.z[]", "#!$-_09@ z[]"));
    // A volume name (8 bytes) never gets a full stop.
    EXPECT_EQ(conv("VOL  NAM"), S("VOLNAM", "VOL  NAM "));
}

TEST(SpartaMap, ReadMap)
{
    // 20 sectors of 128 bytes; data sectors 10 ('a') and 11 ('b'); 20 is
    // the last valid sector number.
    DiskBuilder d(128, 20);
    d.fill(10, 0, 128, 'a').fill(11, 0, 128, 'b').fill(20, 0, 128, 'z');
    sparta_map_sector(d, 5, 0, {10, 11}); // then holes
    sparta_map_sector(d, 6, 1, {10});     // invalid link, never needed below 128 bytes
    sparta_map_sector(d, 7, 1, std::vector<std::uint32_t>(62, 11)); // full, invalid link
    sparta_map_sector(d, 8, 0, {10, 20, 21});                       // 21 is past the disk
    sparta_map_sector(d, 9, 9, {10});                               // links to itself
    sparta_map_sector(d, 12, 0, {1}); // the boot sector is no data sector
    auto img = d.image();
    std::vector<std::uint8_t> buf(20000, 0xEE);
    std::uint32_t got = 0;
    auto read = [&](std::uint32_t map, std::uint32_t wanted) {
        std::fill(buf.begin(), buf.end(), 0xEE);
        return merged([&] { got = sparta_read_map(*img, map, wanted, buf.data()); });
    };

    const std::string bad_map = P + "invalid sector map\n",
                      bad_next = P + "invalid next sector map\n",
                      bad_data = P + "invalid data sector\n";
    struct {
        std::uint32_t map, wanted, got;
        std::string msgs;
    } cases[] = {
        {5, 300, 300, ""},         // holes give zeros and never end a file early
        {5, 8000, 7936, ""},       // one map sector holds 62 * 128 bytes
        {6, 10, 10, ""},           // the link is read only when more bytes are wanted
        {7, 7936, 7936, ""},       //
        {7, 7937, 7936, bad_next}, //
        {8, 400, 256, bad_data},   // what came before a bad data sector is delivered
        {12, 10, 0, bad_data},     //
        {9, 20000, 20000, ""},     // a looping chain ends at the bytes wanted
        {5, 0, 0, ""},             // bad first map sectors, also when nothing is wanted
        {0, 0, 0, bad_map},
        {1, 10, 0, bad_map},
        {21, 10, 0, bad_map},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(read(c.map, c.wanted), c.msgs) << c.map << "/" << c.wanted;
        EXPECT_EQ(got, c.got) << c.map << "/" << c.wanted;
    }
    read(5, 300);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 301),
              std::string(128, 'a') + std::string(128, 'b') + std::string(44, '\0') + "\xEE");
    read(8, 400);
    EXPECT_EQ(std::string(buf.begin() + 128, buf.begin() + 257), std::string(128, 'z') + "\xEE");
    read(9, 20000);
    EXPECT_EQ(buf[7936], 'a');

    // Listings count through the walk's remembered chain profiles instead of
    // reading: same result, same reports, for every chain and length.
    SpartaWalk walk;
    walk.image = img.get();
    for (std::uint32_t map : {5u, 6u, 7u, 8u, 9u, 12u, 0u, 21u})
        for (std::uint32_t wanted : {0u, 1u, 128u, 129u, 256u, 257u, 300u, 7936u, 7937u, 20000u}) {
            const std::string msgs = read(map, wanted);
            const std::uint32_t want_got = got;
            EXPECT_EQ(merged([&] { got = sparta_count_map(walk, map, wanted); }), msgs)
                << map << "/" << wanted;
            EXPECT_EQ(got, want_got) << map << "/" << wanted;
        }
}

TEST(SpartaMap, MapSize)
{
    DiskBuilder d(128, 20);
    sparta_map_sector(d, 5, 0, {10, 0, 11, 0, 12}); // holes do not count
    sparta_map_sector(d, 6, 7, {10});
    sparta_map_sector(d, 7, 21, {11, 500}); // 500: counted, never compared
    sparta_map_sector(d, 8, 1, {10, 11});   // sector 1 is read as a map
    d.le16(1, 0, 0).le16(1, 4, 0x1234);     // ... naming one sector, no link
    sparta_map_sector(d, 9, 13, {10});      // 9 -> 13 -> 9 ...
    sparta_map_sector(d, 13, 9, {11, 12});
    sparta_map_sector(d, 14, 14, {10}); // links to itself
    auto img = d.image();
    auto size = [&](std::uint32_t map, std::uint32_t expect, const std::string &msgs = "") {
        std::uint32_t got = 0;
        EXPECT_EQ(merged([&] { got = sparta_map_size(*img, map); }), msgs) << map;
        EXPECT_EQ(got, expect) << map;
    };
    size(5, 3 * 128);
    size(6, 3 * 128);
    size(8, 3 * 128);
    size(9, 3 * 128); // stops at the first map sector met again
    size(14, 128);
    for (std::uint32_t map : {0u, 1u, 21u})
        size(map, 0, P + "invalid sector map\n");
}

namespace {

// Root: DOS.SYS (300 bytes), SUB/ (INNER.TXT, DEEP/ (X)), EMPTY (0 bytes).
std::unique_ptr<AtrImage> small_tree()
{
    SpartaVolume v(128, 64);
    std::string dos(300, 'D');
    dos[0] = '\n';
    dos[1] = '\r';
    SpartaEntry deep = v.dir("DEEP", {v.file("X", "x", d_2000)}, d_2083);
    SpartaEntry sub = v.dir("SUB", {v.file("INNER.TXT", "hi", d_2083), deep}, d_2016);
    sub.size = 999; // a subdirectory's size field is not shown
    v.root({v.file("DOS.SYS", dos, d_1999), sub, v.file("EMPTY", "", d_2000)});
    return v.image();
}

} // namespace

TEST(SpartaWalk, HostAndAtariListings)
{
    auto img = small_tree();
    RunResult r = list(*img);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "d.atr: 64 sectors of 128 bytes, volume name 'TEST'.\n"
                     "     300\t31-12-99 23:59:58\t/DOS.SYS\n"
                     "     128\t10-11-116 12:13:14\t/SUB/\n"
                     "       2\t02-03-83 04:05:06\t/SUB/INNER.TXT\n"
                     "     128\t02-03-83 04:05:06\t/SUB/DEEP/\n"
                     "       1\t01-01-00 00:00:00\t/SUB/DEEP/X\n"
                     "       0\t01-01-00 00:00:00\t/EMPTY\n");
    r = list(*img, 0, 1);
    EXPECT_NE(r.out.find("\t/sub/deep/\n       1\t01-01-00 00:00:00\t/sub/deep/x\n"),
              std::string::npos);

    const std::string atari =
        "ATR image: d.atr\nImage size: 64 sectors of 128 bytes\nVolume Name: TEST\n"
        "Directory of /\n\n"
        "DOS      SYS     300 31-12-99 23:59\n"
        "SUB           <DIR>  10-11-116 12:13\n"
        "EMPTY              0 01-01-00 00:00\n\n"
        "Directory of /SUB\n\n"
        "INNER    TXT       2 02-03-83 04:05\n"
        "DEEP          <DIR>  02-03-83 04:05\n\n"
        "Directory of /SUB/DEEP\n\n"
        "X                  1 01-01-00 00:00\n\n";
    r = list(*img, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, atari);
    // -l: volume name, headings and the name column; <DIR> stays.
    r = list(*img, 1, 1);
    EXPECT_NE(r.out.find("Volume Name: test\nDirectory of /\n\ndos      sys     300 "),
              std::string::npos);
    EXPECT_NE(r.out.find("\nsub           <DIR>  10-11-116 12:13\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nDirectory of /sub/deep\n\nx                  1 01-01-00 00:00\n\n"),
              std::string::npos);
}

TEST_F(SpartaExtract, FilesDirectoriesAndTimes)
{
    auto img = small_tree();
    ScopedChdir in(tmp.path);
    RunResult r = list(*img, 0, 0, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "d.atr: 64 sectors of 128 bytes, volume name 'TEST'.\n");
    EXPECT_EQ(r.err, "DOS.SYS\nSUB/\nSUB/INNER.TXT\nSUB/DEEP/\nSUB/DEEP/X\nEMPTY\n");
    // Year bytes: 99 -> 1999, 0 -> 2000, 83 -> 2083, 116 -> 2016.  The
    // directories got their times after their contents were written.  (The
    // times first: reading a file may move its access time.)
    EXPECT_EQ(mtime("DOS.SYS"), utc(1999, 12, 31, 23, 59, 58));
    EXPECT_EQ(mtime("EMPTY"), utc(2000, 1, 1, 0, 0, 0));
    EXPECT_EQ(mtime("SUB/INNER.TXT"), utc(2083, 3, 2, 4, 5, 6));
    EXPECT_EQ(mtime("SUB/DEEP"), utc(2083, 3, 2, 4, 5, 6));
    EXPECT_EQ(mtime("SUB"), utc(2016, 11, 10, 12, 13, 14));
    std::string dos(300, 'D');
    dos[0] = '\n';
    dos[1] = '\r';
    EXPECT_EQ(text(read_file("DOS.SYS")), dos);
    EXPECT_EQ(text(read_file("SUB/INNER.TXT")), "hi");
    EXPECT_EQ(read_file("EMPTY").size(), 0u);

    // -l into a fresh place; then again over the same tree: the directories
    // are reused, the first file stops the run.
    fs::create_directory("lc");
    ScopedChdir lc("lc");
    list(*img, 0, 1, 1);
    EXPECT_TRUE(fs::is_regular_file("sub/deep/x"));
    EXPECT_TRUE(fs::is_regular_file("dos.sys"));
    r = list(*img, 0, 1, 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dos.sys\n" + P + "Error, dos.sys: file already exists.\n");
}

TEST_F(SpartaExtract, EntriesSkippedShortAndEnded)
{
    SpartaVolume v(128, 40);
    SpartaEntry gone = v.file("GONE", "g");
    gone.status = sparta_status::in_use | sparta_status::deleted;
    SpartaEntry unused = v.file("UNUSED", "u");
    unused.status = sparta_status::subdir;                  // not in use
    SpartaEntry blank = v.dir("", {v.file("HIDDEN", "h")}); // a name of blanks
    // SHORT: 300 bytes claimed; its chain names one data sector, then one past the disk.
    const std::uint32_t data = v.take(), map = v.take();
    v.disk.fill(data, 0, 128, 'S');
    sparta_map_sector(v.disk, map, 0, {data, 41});
    SpartaEntry end = v.file("NOMORE", "n");
    end.status = sparta_status::end;
    v.root({gone, unused, blank, sparta_file("SHORT", map, 300), v.file("OK", "ok"), end,
            v.file("AFTER", "a")});
    auto img = v.image();

    const std::string msgs = P + ": invalid file name, skip\n" + P + "invalid data sector\n" + P +
                             "/SHORT: short file in disk\n";
    RunResult r = list(*img);
    EXPECT_EQ(r.out, "d.atr: 40 sectors of 128 bytes, volume name 'TEST'.\n"
                     "     300\t01-01-84 00:00:00\t/SHORT\n"
                     "       2\t01-01-84 00:00:00\t/OK\n");
    EXPECT_EQ(r.err, msgs);
    r = list(*img, 1); // the second pass passes over the nameless directory silently
    EXPECT_EQ(r.err, msgs);
    EXPECT_EQ(r.out.substr(r.out.find("Directory of /\n")),
              "Directory of /\n\nSHORT            300 01-01-84 00:00\nOK                 2 "
              "01-01-84 00:00\n\n");

    // Extracted with the size field's length; what the chain did not give is zeros.
    ScopedChdir in(tmp.path);
    r = list(*img, 0, 0, 1);
    EXPECT_EQ(r.err, P + ": invalid file name, skip\n" + P + "invalid data sector\n" + P +
                         "/SHORT: short file in disk\nSHORT\nOK\n");
    EXPECT_EQ(text(read_file("SHORT")), std::string(128, 'S') + std::string(172, '\0'));
}

TEST(SpartaWalk, DirectoryReadLimits)
{
    // The root's chain gives 128 bytes, then a data sector past the disk.
    // Entries at 23, 46, 69 and 92 fit; the one at 115 (a subdirectory) has
    // only 13 of its bytes and must not be taken.
    SpartaVolume v(128, 40);
    std::vector<SpartaEntry> e = {v.file("A", "1"), v.file("B", "2"), v.file("C", "3"),
                                  v.file("D", "4"), v.dir("CUT", {v.file("HIDDEN", "h")})};
    const std::vector<std::uint8_t> bytes = sparta_dir_bytes(e);
    const std::uint32_t data = v.take(), root = v.take();
    std::copy(bytes.begin(), bytes.begin() + 128, v.disk.sector(data));
    sparta_map_sector(v.disk, root, 0, {data, 41});
    v.disk.le16(1, sparta_boot::root_map, root);
    auto img = v.image();
    RunResult r = list(*img);
    EXPECT_EQ(r.err, P + "invalid data sector\n");
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "       1\t01-01-84 00:00:00\t/A\n"
                                                  "       1\t01-01-84 00:00:00\t/B\n"
                                                  "       1\t01-01-84 00:00:00\t/C\n"
                                                  "       1\t01-01-84 00:00:00\t/D\n");
    r = list(*img, 1);
    EXPECT_EQ(r.out.find("CUT"), std::string::npos);

    // A chain of nine map sectors of holes reaches the 65536-byte limit.
    DiskBuilder big = boot_only();
    for (std::uint32_t m = 5; m <= 13; m++)
        sparta_map_sector(big, m, m < 13 ? m + 1 : 0, {});
    r = list(*big.image());
    EXPECT_EQ(r.err, P + ": directory too big\n");

    // A subdirectory with no map: listed with size 0, then nothing to read.
    SpartaVolume w(128, 40);
    w.root({sparta_subdir("BAD", 0)});
    EXPECT_EQ(merged_list(*w.image(), 0, 0, 0),
              "d.atr: 40 sectors of 128 bytes, volume name 'TEST'.\n" + P + "invalid sector map\n" +
                  "       0\t01-01-84 00:00:00\t/BAD/\n" + P + "invalid sector map\n" + P +
                  "/BAD: can\xC2\xB4t get directory data\n");
}

TEST_F(SpartaExtract, LoopsAreWalkedOnce)
{
    // SUB holds UP, which leads back to the root; TWIN is a second entry for SUB.
    SpartaVolume v(128, 40);
    const std::uint32_t root = v.take();
    SpartaEntry sub = v.dir("SUB", {sparta_subdir("UP", root, d_1999), v.file("F", "f")});
    SpartaEntry twin = sparta_subdir("TWIN", sub.map, d_2016);
    v.root({sub, twin}, root);
    auto img = v.image();
    const std::string up = P + "/SUB/UP: directory already visited, skip\n";
    const std::string tw = P + "/TWIN: directory already visited, skip\n";

    EXPECT_EQ(merged_list(*img, 0, 0, 0), "d.atr: 40 sectors of 128 bytes, volume name 'TEST'.\n"
                                          "     128\t01-01-84 00:00:00\t/SUB/\n"
                                          "     128\t31-12-99 23:59:58\t/SUB/UP/\n" +
                                              up + "       1\t01-01-84 00:00:00\t/SUB/F\n" +
                                              "     128\t10-11-116 12:13:14\t/TWIN/\n" + tw);
    // Atari style: the report stands where the walk would be, in the second pass.
    EXPECT_EQ(merged_list(*img, 1, 0, 0),
              "ATR image: d.atr\nImage size: 40 sectors of 128 bytes\nVolume Name: TEST\n"
              "Directory of /\n\n"
              "SUB           <DIR>  01-01-84 00:00\n"
              "TWIN          <DIR>  10-11-116 12:13\n\n"
              "Directory of /SUB\n\n"
              "UP            <DIR>  31-12-99 23:59\n"
              "F                  1 01-01-84 00:00\n\n" +
                  up + tw);
    // Extraction: the host directory is made, the report follows, and the time is still set.
    ScopedChdir in(tmp.path);
    EXPECT_EQ(merged_list(*img, 0, 0, 1), "d.atr: 40 sectors of 128 bytes, volume name 'TEST'.\n"
                                          "SUB/\nSUB/UP/\n" +
                                              up + "SUB/F\nTWIN/\n" + tw);
    EXPECT_EQ(mtime("SUB/UP"), utc(1999, 12, 31, 23, 59, 58));
    EXPECT_EQ(mtime("TWIN"), utc(2016, 11, 10, 12, 13, 14));
    EXPECT_TRUE(fs::is_empty("SUB/UP"));
}

TEST_F(SpartaExtract, NestingDepthLimit)
{
    // Levels 1 to 100 are directories D/D/.../D; level 100 holds UP (back to
    // the root: visited, tested before the depth) and DEEP at level 101.
    SpartaVolume v(128, 400);
    const std::uint32_t root = v.take();
    SpartaEntry level = v.dir("D", {sparta_subdir("UP", root), v.dir("DEEP", {v.file("NO", "n")})});
    for (int l = 99; l >= 1; l--)
        level = v.dir("D", {level});
    v.root({level}, root);
    auto img = v.image();
    std::string path100;
    for (int l = 1; l <= 100; l++)
        path100 += "/D";
    const std::string msgs = P + path100 + "/UP: directory already visited, skip\n" + P + path100 +
                             "/DEEP: directory nesting too deep, skip\n";

    RunResult r = list(*img);
    EXPECT_EQ(r.err, msgs);
    EXPECT_NE(r.out.find("\t" + path100 + "/DEEP/\n"), std::string::npos);
    EXPECT_EQ(r.out.find("/NO"), std::string::npos);
    r = list(*img, 1);
    EXPECT_EQ(r.err, msgs);
    EXPECT_NE(r.out.find("Directory of " + path100 + "\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Directory of " + path100 + "/DEEP"), std::string::npos);

    ScopedChdir in(tmp.path);
    r = list(*img, 0, 0, 1);
    const std::string host100 = path100.substr(1);
    EXPECT_EQ(r.err.substr(r.err.find(host100 + "/UP/")),
              host100 + "/UP/\n" + P + path100 + "/UP: directory already visited, skip\n" +
                  host100 + "/DEEP/\n" + P + path100 + "/DEEP: directory nesting too deep, skip\n");
    EXPECT_EQ(mtime(host100 + "/DEEP"), utc(1984, 1, 1, 0, 0, 0));
    EXPECT_TRUE(fs::is_empty(host100 + "/DEEP"));
}

TEST(SpartaLayout, WholeVolume)
{
    // The convenience the samples and the benchmark use: nested directories
    // from paths, every file readable back with its bytes.
    std::vector<SpartaFile> files;
    for (int i = 0; i < 300; i++) {
        std::string path = "D" + std::to_string(i % 3) + "/S" + std::to_string(i % 5) + "/F" +
                           std::to_string(i) + ".DAT";
        files.push_back(
            {path, std::vector<std::uint8_t>(std::size_t(i * 37), std::uint8_t(i)), {}});
    }
    files.push_back({"TOP.COM", {1, 2, 3}, d_1999});
    auto img = sparta_volume(256, 65535, files, "BIG").image();
    RunResult r = list(*img);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + 3 + 15 + 301);
    EXPECT_NE(r.out.find("   11063\t01-01-84 00:00:00\t/D2/S4/F299.DAT\n"), std::string::npos);
    EXPECT_NE(r.out.find("       3\t31-12-99 23:59:58\t/TOP.COM\n"), std::string::npos);
}
