// SpartaDOS and BW-DOS disks that nobody here made, run through the whole program (every handler
// in its order).  Skipped when the folder of real disk images is absent.
#include "capture.h"
#include "image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <sys/stat.h>

namespace {

[[maybe_unused]] const bool in_utc = (setenv("TZ", "UTC", 1), tzset(), true);

// vorlen with these words, run in the folder of real disks.
RunResult run(const std::vector<std::string> &argv)
{
    ScopedChdir in(realdisks_dir());
    return run_driver(argv);
}

// The host time a listed date stands for; year bytes below 84 are 20xx.
std::time_t listed_time(const std::string &date)
{
    std::tm tm{};
    std::sscanf(date.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_mday, &tm.tm_mon, &tm.tm_year,
                &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    tm.tm_mon -= 1, tm.tm_year += tm.tm_year < 84 ? 100 : 0;
    return timegm(&tm);
}

} // namespace

TEST(RealSparta, ListedExtractedAndDeclined)
{
    if (realdisks_dir().empty())
        GTEST_SKIP() << "real disk images not present";
    struct { const char *file; std::size_t lines; std::vector<std::string> has; } rows[] = {
        // franny's deletes did not take on the 128-byte image: B256, C256 and D256 still live, with data.
        {"atrcopy__sd_sd_test2.atr", 57,
         {": 720 sectors of 128 bytes, volume name 'UNKNOWN'.\n",
          "\n     256\t21-02-17 17:33:02\t/C256.DAT\n", "\n    4096\t21-02-17 17:33:02\t/A4096.DAT\n"}},
        // On 256-byte sectors they are gone and their slots reused.
        {"atrcopy__sd_dd_test2.atr", 54,
         {": 720 sectors of 256 bytes, volume name 'UNKNOWN'.\n     256\t21-02-17 17:33:03\t/A256.DAT\n"
          "    4096\t21-02-17 17:33:04\t/A4096.DAT\n     256\t21-02-17 17:33:03\t/E256.DAT\n"}},
        // 57 files in three nested directories.
        {"Headache__HEADACHE.atr", 61, {": 720 sectors of 256 bytes, volume name 'HEADACHE'.\n", "\t/HEADACHE/\n",
                                        "\t/HEADACHE/DATA/\n", "\t/HEADACHE/DATA/ART/\n", "\t/HEADACHE/START.BAT\n"}},
        // Year bytes above 99: three digits, 1900 + value.
        {"Mad-Pascal__puzzle_sdx.atr", 4,
         {": 720 sectors of 256 bytes, volume name ''.\n", "\n    3900\t19-06-116 12:14:37\t/PUZZLE.COM\n"}},
    };
    for (const auto &row : rows) {
        const RunResult r = run({"vorlen", row.file});
        EXPECT_EQ(std::to_string(r.status) + r.err, "0") << row.file;
        EXPECT_EQ(std::size_t(std::count(r.out.begin(), r.out.end(), '\n')), row.lines) << row.file;
        for (const std::string &s : row.has)
            EXPECT_NE(r.out.find(s), std::string::npos) << row.file << ": " << s;

        // Extracted: every entry with its listed time (directories too: set after their contents),
        // every file with its listed size; franny's with their stem padded to 8 bytes, every
        // 8th byte a counter.
        TempDir tmp;
        EXPECT_EQ(run({"vorlen", "-X", tmp / "out", row.file}).status, 0) << row.file;
        std::istringstream lines(r.out.substr(r.out.find('\n') + 1));
        for (std::string l; std::getline(lines, l);) {
            const std::size_t a = l.find('\t'), b = l.find('\t', a + 1);
            const std::string path = tmp / "out" + l.substr(b + 1);
            struct stat st {};
            ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_mtime, listed_time(l.substr(a + 1, b - a - 1))) << path;
            if (path.back() == '/')
                continue;
            EXPECT_EQ(std::uint64_t(st.st_size), std::stoull(l.substr(0, a))) << path;
            if (std::string(row.file).starts_with("atrcopy")) {
                const std::string stem = (l.substr(b + 2, l.size() - b - 6) + "        ").substr(0, 8);
                std::vector<std::uint8_t> want(std::size_t(st.st_size));
                for (std::size_t i = 0; i < want.size(); i++)
                    want[i] = i % 8 == 7 ? std::uint8_t(i / 8) : std::uint8_t(stem[i % 8]);
                EXPECT_EQ(read_file(path), want) << path;
            }
        }
    }

    // A false signature: 0x80 at offset 7 by chance, size code 0 on a disk of
    // 128-byte sectors.
    const RunResult r = run({"vorlen", "130XE_SIO2SD__Atarischreiber.xfd"});
    EXPECT_EQ(std::to_string(r.status) + "|" + r.out + "|" + r.err,
              "1||vorlen: 130XE_SIO2SD__Atarischreiber.xfd: invalid SpartaDOS file system, "
              "mismatch sector sizes (256!=128).\n"
              "vorlen: 130XE_SIO2SD__Atarischreiber.xfd: ATR image format not supported.\n");
}
