// DOS 3 through the real binary: the seed disks as they are and with bytes poked in for the near misses and
// the damage, in every mode; the two real DOS 3 disks.
#include "capture.h"
#include "dos3_layout.h"
#include "flat_layout.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// "NAME size ..." as host-style listing lines.
std::string lines(const std::string &files)
{
    std::istringstream in(files);
    std::string s, name, b(64, 0);
    for (unsigned size; in >> name >> size;)
        s += b.substr(0, std::snprintf(b.data(), b.size(), "%8u\t\t/%s\n", size, name.c_str()));
    return s;
}

// The disk written as t.atr with bytes poked in {sector, offset, value}, then the binary with `words`: its
// status, stdout and stderr; after -X x, the files "NAME slot size" of x/ hold flat_pattern(size, slot).
struct Row { std::vector<std::uint8_t> disk; std::vector<std::array<unsigned, 3>> poke; std::vector<std::string> words;
             int status; std::string out, err, got = ""; };

void check(Row r)
{
    TempDir t;
    for (const auto &[sector, at, v] : r.poke)
        r.disk.at(16 + (sector - 1) * 128 + at) = std::uint8_t(v);
    write_file(t / "t.atr", r.disk);
    r.words.insert(r.words.begin(), "vorlen"), r.words.push_back("t.atr");
    RunResult got = run_vorlen(r.words, t.path);
    EXPECT_EQ(std::tie(got.status, got.out, got.err), std::tie(r.status, r.out, r.err)) << testing::PrintToString(r.poke);
    std::istringstream in(r.got);
    std::string name;
    for (unsigned slot, size; in >> name >> slot >> size;)
        EXPECT_EQ(read_file(t / "x/" + name), flat_pattern(size, std::uint8_t(slot))) << name;
}

} // namespace

TEST(Dos3, Binary)
{
    const auto seed = dos3_seed_files();
    const auto &demo = seed[0].second;
    const std::string w = "vorlen: /", x = "vorlen: creating output path 'x'.\n", held = " bytes, its blocks hold only ",
                      no = "vorlen: t.atr: ATR image format not supported.\n", sd = "t.atr: 720 sectors of 128 bytes, DOS 3, ",
                      head = sd + "79 blocks free of 87 total.\n", files = lines("AUTORUN.SYS 300 DATA.BIN 1500 GAME.COM 5000");
    const Row rows[] = {
        {demo, {}, {}, 0, head + files, ""},
        {demo, {}, {"-al"}, 0, "ATR image: t.atr\nImage size: 720 sectors of 128 bytes\nDOS size: 79 blocks free of 87 total\n"
         "Volume: DOS 3\nDirectory of /\n\nautorun  sys     300\ndata     bin    1500\ngame     com    5000\n\n", ""},
        {seed[1].second, {}, {"-lX", "x"}, 0, "t.atr: 1040 sectors of 128 bytes, DOS 3, 57 blocks free of 127 total.\n",
         x + "big.dat\nempty\n", "big.dat 1 70000 empty 2 0"},
        {seed[2].second, {}, {"-X", "x"}, 0, head, x + w + "LOOP: loop in block link at block 0\nLOOP\n" + w + "FAR: invalid "
         "block link at block 3\n" + w + "FAR: file is 2048" + held + "1024\nFAR\n" + w + "OPEN.TMP: file left open for writing, "
         "skip\n" + w + "LONG: file is 2816" + held + "1024\nLONG\n" + w + ": invalid file name, skip\n",
         "LOOP 1 2500 FAR 2 1024 LONG 4 1024"},
        // The directory ends at slot 3, never used; AUTORUN.SYS starts past the last block.
        {demo, {{16, 48, 0}, {16, 29, 87}}, {}, 0, head + lines("DATA.BIN 1500"), w + "AUTORUN.SYS: invalid first block, skip\n"},
        // Count 0 leaves the 16-bit length; 64 blocks with length 0 make 65536 bytes.
        {demo, {{16, 28, 0}, {16, 44, 64}, {16, 46, 0}, {16, 47, 0}}, {}, 0,
         head + lines("AUTORUN.SYS 300 DATA.BIN 65536 GAME.COM 5000"), w + "AUTORUN.SYS: file has 1 blocks, its entry says 0\n" +
             w + "DATA.BIN: file has 2 blocks, its entry says 64\n" + w + "DATA.BIN: file is 65536" + held + "2048\n"},
        // A link up to 0x7F is what DOS 3 could write: damage only where a file follows it.  Only sector
        // 16 has the marker.
        {demo, {{24, 5, 0x7F}, {17, 15, 0}}, {}, 0, head + files,
         w + "GAME.COM: invalid block link at block 5\n" + w + "GAME.COM: file is 5000" + held + "2048\n"}};
    std::for_each(std::begin(rows), std::end(rows), check);
    // Near misses of the marker (N 88 needs sector 728; N 80 leaves bytes 80-86 not 0xFF) and of the table.
    for (std::array<unsigned, 3> p : {std::array<unsigned, 3>{16, 15, 0xA4}, {16, 0, 1}, {16, 13, 1}, {16, 14, 0}, {16, 14, 88},
                                      {16, 14, 80}, {24, 9, 0xFC}, {24, 3, 0x80}, {24, 86, 0xFF}, {24, 87, 0xFE}})
        check({demo, {p}, {}, 1, "", no});
}

TEST(Dos3, RealDisks)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "real disk images not available";
    check({read_file(dir + "/130XE_SIO2SD__Dos_II_3.atr"), {}, {}, 0, "t.atr: 720 sectors of 128 bytes, DOS 3, 0 blocks "
           "free of 87 total.\n" + lines("FMS.SYS 3494 KCP.SYS 1020 KCPOVER.SYS 4278 COPY.UTL 4619 DUPDISK.UTL 3248 INIT.UTL "
           "5936 CONVERT.UTL 4564 NO 277 NO.3 155 QUEST 253 INTSTRUK 423 QUESTA 1212 NO.4 222 NO.5 238 NO.6 322 AMORADO.MUZ "
           "9519 CYFENLET 10190 VER 143 VISICALC 706 ESC 12586 ACROBAT 12411"), ""});
    check({read_file(dir + "/MyAtari8Bit__FIL0000B_DOS_3.ATR"), {}, {}, 0, "t.atr: 1040 sectors of 128 bytes, DOS 3, 8 "
           "blocks free of 127 total.\n" + lines("FMS.SYS 3494 BILD.I 5597 MINER 4031 MINER.VOR 537 MINER.BAS 53 MINER.III "
           "18752 TEXT.VER 2638 FIGHTING 12359 MANIAC 15347 MUSIC 3571 BLOCATE 2544 MR.PAC 5137 BIORYH.I 3915 KALEIDOS.KOP 2868 "
           "ADRESSEN.VER 8389 PICTURE.PRO 738 MUSIK.DEM 4146 AUTORUN.UTL 1140 DEMO.GR1 300 DEMO.GR2 3014 PAYER.DEM 836 LEANDER "
           "4263 PORTRAET 5267"), ""});
}
