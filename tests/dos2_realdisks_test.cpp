// DOS 2 family disks that nobody here made: listings and extraction
// checked against what their makers and other tools say about them.
#include "capture.h"
#include "image_builder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string line(std::size_t size, const std::string &path)
{
    char b[300];
    std::snprintf(b, sizeof b, "%8zu\t\t%s\n", size, path.c_str());
    return b;
}

// The atrcopy test files <letters><size>.DAT: the stem padded with blanks to
// 8 bytes, repeated, every 8th byte replaced by a running counter.
std::vector<std::uint8_t> franny_content(const std::string &name)
{
    std::string stem = name.substr(0, name.find('.'));
    std::vector<std::uint8_t> v(std::stoul(stem.substr(stem.find_first_of("0123456789"))));
    stem.resize(8, ' ');
    for (std::size_t i = 0; i < v.size(); i++)
        v[i] = i % 8 == 7 ? std::uint8_t(i / 8) : std::uint8_t(stem[i % 8]);
    return v;
}

std::string franny_listing(const std::vector<std::string> &names)
{
    std::string s;
    for (const std::string &n : names)
        s += line(franny_content(n).size(), "/" + n);
    return s;
}

} // namespace

TEST(Dos2RealDisks, ListingsAndExtraction)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "no real disk images here";
    const std::vector<std::string> test3 = {"A256.DAT", "A4096.DAT", "C256.DAT", "A8000.DAT",
                                            "E256.DAT", "G256.DAT",  "I256.DAT"};
    std::string diskey_skips;
    for (int i = 0; i < 11; i++) // a disk label written as entries of count 0 and start 0
        diskey_skips += "vorlen: : invalid file sector, skip\n";

    // The command, the summary after "<file>: ", some consecutive lines of the listing, the reports.
    struct { std::vector<std::string> argv; const char *summary; std::string lines, err; } disks[] = {
        // franny leaves the entries it deletes (flags 0x80) among the live ones
        // and reuses their slots: test3 holds three, test4 four.
        {{"vorlen", "atrcopy__dos_sd_test3.atr"}, "720 sectors of 128 bytes, DOS 2.0s, 595 sectors free of 707 total.",
         franny_listing(test3), ""},
        {{"vorlen", "atrcopy__dos_dd_test4.atr"}, "720 sectors of 256 bytes, DOS 2.0D, 562 sectors free of 707 total.",
         franny_listing({"A4096.DAT", "A15000.DAT", "C4096.DAT", "E4096.DAT", "G4096.DAT", "I4096.DAT"}), ""},
        // Sizes and names as xedisk asserts them (lower case asked for).
        {{"vorlen", "-l", "xedisk__MYDOS450.ATR"}, "720 sectors of 128 bytes, DOS 2.0s, 499 sectors free of 708 total.",
         line(4375, "/dos.sys") + line(6638, "/dup.sys") + line(5452, "/ramboot.m65") + line(755, "/ramboot.aut") +
             line(7111, "/ramboot3.m65") + line(1156, "/ramboot3.aut") + line(230, "/read.me"), ""},
        // The MyDOS directory tree, depth first.
        {{"vorlen", "xedisk__MYDIRS.ATR"}, "720 sectors of 128 bytes, DOS 2.0s, 609 sectors free of 708 total.",
         line(1024, "/DIR2/DIR21/DIR212/") + line(263, "/DIR2/DIR21/DIR212/FILE2121") + line(1024, "/DIR3/"), ""},
        {{"vorlen", "130XE_SIO2SD__Diskey_b.atr"}, "720 sectors of 128 bytes, DOS 2.0s, 0 sectors free of 0 total.",
         line(2106, "/AUTORUN.SYS") + line(768, "/D") + line(18813, "/DISKEY"), diskey_skips},
        // Only 512 sectors of a 707-sector volume: reported, then listed.
        {{"vorlen", "130XE_SIO2SD__Polskie_Logo.atr"},
         "512 sectors of 128 bytes, DOS 2.0s, 528 sectors free of 707 total.", line(17633, "/AUTORUN.SYS"),
         "vorlen: 130XE_SIO2SD__Polskie_Logo.atr: DOS sectors (707) more than ATR image (512).\n"},
    };
    for (const auto &d : disks) {
        RunResult r = run_vorlen(d.argv, dir);
        EXPECT_TRUE(r.out.starts_with(d.argv.back() + ": " + d.summary + "\n")) << r.out;
        EXPECT_NE(r.out.find(d.lines), std::string::npos) << r.out;
        EXPECT_EQ(r.err, d.err) << d.argv.back();
    }

    TempDir out;
    EXPECT_EQ(run_vorlen({"vorlen", "-X", out.path, "atrcopy__dos_sd_test3.atr"}, dir).status, 0);
    for (const std::string &n : test3)
        EXPECT_EQ(read_file(out / n), franny_content(n)) << n;
    // Two entries named KOALA: the first (empty) is written as KOALA, the second as KOALA.2.
    TempDir koala;
    RunResult r = run_vorlen({"vorlen", "-X", koala.path, "130XE_SIO2SD__Superdos_2.9_v2.atr"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("MAC65.COM\nKOALA\nvorlen: KOALA: name taken by an earlier file of this disk, "
                         "written as KOALA.2\nKOALA.2\nUSSECTOR\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(fs::file_size(koala / "KOALA"), 0u);
    EXPECT_EQ(fs::file_size(koala / "KOALA.2"), 16485u);
}
