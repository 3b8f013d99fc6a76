// SpartaDOS and BW-DOS disks that nobody here made, run through the whole
// program (every handler in its order).  Skipped when the folder of real
// disk images is absent.
#include "capture.h"
#include "image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

struct Line {
    std::uint32_t size;
    std::string date; // dd-mm-yy hh:mm:ss as listed
    std::string path;
};

struct Listing {
    RunResult run;
    std::string summary;
    std::vector<Line> lines;
};

// vorlen [opts] file, run from the folder of real disks.
Listing run(const std::string &file, std::vector<std::string> opts = {})
{
    ScopedChdir in(realdisks_dir());
    opts.insert(opts.begin(), "vorlen");
    opts.push_back(file);
    Listing l{run_driver(opts), "", {}};
    std::istringstream s(l.run.out);
    std::getline(s, l.summary);
    for (std::string t; std::getline(s, t);) {
        const std::size_t a = t.find('\t'), b = t.find('\t', a + 1);
        if (a != 8 || b == std::string::npos)
            break; // not a host-style line
        l.lines.push_back({std::uint32_t(std::stoul(t.substr(0, 8))), t.substr(a + 1, b - a - 1),
                           t.substr(b + 1)});
    }
    return l;
}

// The host time a listed date stands for (TZ=UTC).
std::time_t listed_time(const std::string &date)
{
    std::tm tm{};
    int year = 0;
    std::sscanf(date.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_mday, &tm.tm_mon, &year, &tm.tm_hour,
                &tm.tm_min, &tm.tm_sec);
    tm.tm_mon -= 1;
    tm.tm_year = year > 83 ? year : year + 100;
    return timegm(&tm);
}

std::vector<std::pair<std::string, std::uint32_t>> files_of(const Listing &l)
{
    std::vector<std::pair<std::string, std::uint32_t>> v;
    for (const Line &x : l.lines)
        if (x.path.back() != '/')
            v.push_back({x.path, x.size});
    std::sort(v.begin(), v.end());
    return v;
}

// The files that atrcopy's franny recipes add, with their sizes: "N*S" adds
// N files of S bytes, "A-B,K" sizes A, A+K, ... below B, "dK" deletes the
// K-th file added.  Names are a per-size letter count (A .. Z, BA ...),
// the size and ".DAT".
std::vector<std::pair<std::string, std::uint32_t>> recipe(const std::string &r, bool keep_deleted)
{
    std::vector<std::pair<std::string, std::uint32_t>> added;
    std::vector<bool> deleted;
    std::map<std::uint32_t, int> per_size;
    auto add = [&](std::uint32_t size) {
        std::string letters;
        for (int n = per_size[size]++; letters.empty() || n > 0; n /= 26)
            letters.insert(letters.begin(), char('A' + n % 26));
        added.push_back({"/" + letters + std::to_string(size) + ".DAT", size});
        deleted.push_back(false);
    };
    std::istringstream s(r);
    for (std::string w; s >> w;) {
        unsigned a = 0, b = 0, k = 0;
        if (w[0] == 'd')
            deleted[std::stoul(w.substr(1))] = true;
        else if (std::sscanf(w.c_str(), "%u-%u,%u", &a, &b, &k) == 3)
            for (; a < b; a += k)
                add(a);
        else if (std::sscanf(w.c_str(), "%u*%u", &k, &a) == 2)
            while (k--)
                add(a);
        else
            add(std::stoul(w));
    }
    std::vector<std::pair<std::string, std::uint32_t>> live;
    for (std::size_t i = 0; i < added.size(); i++)
        if (keep_deleted || !deleted[i])
            live.push_back(added[i]);
    std::sort(live.begin(), live.end());
    return live;
}

// The franny content: the stem padded to 8 bytes, repeated, with every 8th
// byte a running counter.
std::vector<std::uint8_t> franny_bytes(const std::string &stem, std::uint32_t size)
{
    const std::string pad = (stem + "        ").substr(0, 8);
    std::vector<std::uint8_t> b(size);
    for (std::uint32_t i = 0; i < size; i++)
        b[i] = i % 8 == 7 ? std::uint8_t(i / 8) : std::uint8_t(pad[i % 8]);
    return b;
}

std::time_t mtime(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtime;
}

int utc_year(std::time_t t)
{
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm.tm_year + 1900;
}

struct RealSparta : ::testing::Test {
    void SetUp() override
    {
        if (realdisks_dir().empty())
            GTEST_SKIP() << "real disk images not present";
        setenv("TZ", "UTC", 1);
        tzset();
    }
    // Extracts `file` into a fresh directory; returns it.
    std::string extract(TempDir &tmp, const std::string &file)
    {
        ScopedChdir keep(fs::current_path().string());
        RunResult r = run_driver({"vorlen", "-X", tmp / "out", realdisks_dir() + "/" + file});
        EXPECT_EQ(r.status, 0) << file << r.err;
        return tmp / "out";
    }
};

} // namespace

TEST_F(RealSparta, FrannyTestImages)
{
    const char *recipes[] = {"128 256 512 1024 4096", "50*256 2*512 256 1024 256 d1 d2 d3 4096",
                             "10*256 d1 d7 4096 d3 d5 d9 8000", "10*4096 d1 d3 d5 d7 d9 15000",
                             "100-500,7"};
    for (int t = 1; t <= 5; t++)
        for (int sector : {128, 256}) {
            const std::string file = std::string("atrcopy__sd_") + (sector == 128 ? "sd" : "dd") +
                                     "_test" + std::to_string(t) + ".atr";
            // On the 128-byte images franny's deletes did not take: the
            // deleted files are still live, with their data.
            const bool keep = sector == 128 && t >= 2 && t <= 4;
            Listing l = run(file);
            EXPECT_EQ(l.run.err, "") << file;
            EXPECT_EQ(l.summary, file + ": 720 sectors of " + std::to_string(sector) +
                                     " bytes, volume name 'UNKNOWN'.");
            const auto expect = recipe(recipes[t - 1], keep);
            EXPECT_EQ(files_of(l), expect) << file;
            for (const Line &x : l.lines)
                EXPECT_EQ(x.date.substr(0, 16), "21-02-17 17:33:0") << file << x.path;

            TempDir tmp;
            const std::string out = extract(tmp, file);
            for (const auto &[path, size] : expect) {
                const std::string stem = path.substr(1, path.size() - 5);
                EXPECT_EQ(read_file(out + path), franny_bytes(stem, size)) << file << path;
            }
        }
}

TEST_F(RealSparta, HeadacheTree)
{
    Listing l = run("Headache__HEADACHE.atr");
    EXPECT_EQ(l.run.err, "");
    EXPECT_EQ(l.summary,
              "Headache__HEADACHE.atr: 720 sectors of 256 bytes, volume name 'HEADACHE'.");
    // 57 files: START.BAT, 41 *.BAT in DATA, 15 *.TXT in ART.
    std::vector<std::string> dirs;
    std::map<std::string, int> per_dir;
    for (const Line &x : l.lines)
        if (x.path.back() == '/')
            dirs.push_back(x.path);
        else
            per_dir[x.path.substr(0, x.path.rfind('/')) + " *" +
                    x.path.substr(x.path.rfind('.'))]++;
    EXPECT_EQ(dirs,
              (std::vector<std::string>{"/HEADACHE/", "/HEADACHE/DATA/", "/HEADACHE/DATA/ART/"}));
    EXPECT_EQ(per_dir, (std::map<std::string, int>{{"/HEADACHE *.BAT", 1},
                                                   {"/HEADACHE/DATA *.BAT", 41},
                                                   {"/HEADACHE/DATA/ART *.TXT", 15}}));

    // Extracted: every file with its listed size and every entry with its
    // listed time, directories included (set after their contents).
    TempDir tmp;
    const std::string out = extract(tmp, "Headache__HEADACHE.atr");
    for (const Line &x : l.lines) {
        const std::string p = out + x.path;
        EXPECT_EQ(mtime(p), listed_time(x.date)) << x.path;
        if (x.path.back() != '/') {
            EXPECT_EQ(fs::file_size(p), x.size) << x.path;
        }
    }
}

TEST_F(RealSparta, CatalogueDisks)
{
    struct Row {
        const char *file, *geometry, *volume;
        std::size_t files;
        std::uint32_t largest; // 0: not known
    } rows[] = {
        {"130XE_SIO2SD__SpartaDOS_1.1_HS.atr", "720 sectors of 128 bytes", "________", 27, 0},
        {"130XE_SIO2SD__SpartaDOS_3.2d.atr", "720 sectors of 128 bytes", "________", 32, 0},
        {"130XE_SIO2SD__SpartaDOS_2.3.atr", "720 sectors of 128 bytes", "GAMES", 5, 35230},
        {"130XE_SIO2SD__Micro-SpartaDOS_2.3.atr", "1040 sectors of 128 bytes", "ROBO03", 5, 32328},
        {"130XE_SIO2SD__BOOT_Config_XF551_1.01.atr", "720 sectors of 128 bytes", "BCXF551", 3, 494},
        {"Mad-Pascal__puzzle_sdx.atr", "720 sectors of 256 bytes", "", 3, 0},
        {"Mad-Pascal__mod_sdx.atr", "5760 sectors of 256 bytes", "", 5, 65004},
    };
    for (const Row &row : rows) {
        Listing l = run(row.file);
        EXPECT_EQ(l.run.err, "") << row.file;
        // SpartaDOS's own summary, also where sector 360 looks like a VTOC.
        EXPECT_EQ(l.summary, std::string(row.file) + ": " + row.geometry + ", volume name '" +
                                 row.volume + "'.");
        EXPECT_EQ(files_of(l).size(), row.files) << row.file;
        std::uint32_t largest = 0;
        for (const Line &x : l.lines)
            largest = std::max(largest, x.size);
        EXPECT_EQ(row.largest ? largest : 0u, row.largest) << row.file;
    }
    for (const Line &x : run("130XE_SIO2SD__SpartaDOS_2.3.atr").lines)
        EXPECT_EQ(x.date, "01-01-84 15:59:00") << x.path;

    // BOOT Config: three small files of 1999, extracted with those times.
    Listing bc = run("130XE_SIO2SD__BOOT_Config_XF551_1.01.atr");
    EXPECT_EQ(files_of(bc),
              (std::vector<std::pair<std::string, std::uint32_t>>{
                  {"/AUTOEXEC.BAT", 11}, {"/BCXF551.COM", 494}, {"/CONFIG.SYS", 35}}));
    TempDir tmp;
    std::string out = extract(tmp, "130XE_SIO2SD__BOOT_Config_XF551_1.01.atr");
    for (const Line &x : bc.lines) {
        EXPECT_EQ(mtime(out + x.path), listed_time(x.date));
        EXPECT_EQ(utc_year(mtime(out + x.path)), 1999);
    }

    // Year bytes above 99 print with three digits and stand for 1900 + value.
    Listing puzzle = run("Mad-Pascal__puzzle_sdx.atr");
    EXPECT_NE(run("Mad-Pascal__puzzle_sdx.atr", {"-a"}).run.out.find("Volume Name: NONE\n"),
              std::string::npos);
    TempDir tmp2;
    out = extract(tmp2, "Mad-Pascal__puzzle_sdx.atr");
    int year_116 = 0;
    for (const Line &x : puzzle.lines)
        if (x.date.starts_with("19-06-116 ")) {
            year_116++;
            EXPECT_EQ(utc_year(mtime(out + x.path)), 2016);
        }
    EXPECT_EQ(year_116, 2);
    std::string years;
    for (const Line &x : run("Mad-Pascal__mod_sdx.atr").lines)
        years += x.date.substr(6, x.date.find(' ') - 6) + " ";
    EXPECT_NE(years.find("118 "), std::string::npos);
    EXPECT_NE(years.find("106 "), std::string::npos);
}

TEST_F(RealSparta, FalseSignature)
{
    // 0x80 at offset 7 by chance, size code 0 on a disk of 128-byte sectors.
    Listing l = run("130XE_SIO2SD__Atarischreiber.xfd");
    EXPECT_EQ(l.run.status, 1);
    EXPECT_EQ(l.run.out, "");
    EXPECT_EQ(l.run.err,
              "vorlen: 130XE_SIO2SD__Atarischreiber.xfd: invalid SpartaDOS file system, "
              "mismatch sector sizes (256!=128).\n"
              "vorlen: 130XE_SIO2SD__Atarischreiber.xfd: ATR image format not supported.\n");
}
