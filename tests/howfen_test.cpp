// HOWFEN DOS menu disks: recognition, summary, the menu's fields and the
// listing and extraction of its programs.
#include "capture.h"
#include "flat_layout.h"
#include "howfen.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

RunResult run(const DiskBuilder &d, int atari_list = 0, int lower_case = 0, int extract = 0)
{
    return run_handler(howfen_list, *d.image(), "menu.atr", atari_list, lower_case, extract);
}

std::string summary(unsigned sectors, const std::string &version = "V1.00")
{
    return "menu.atr: " + std::to_string(sectors) + " sectors of 128 bytes, HOWFEN DOS " + version + ".\n";
}

} // namespace

TEST(Howfen, RecognitionAndVersion)
{
    // A 10-sector disk with the given version, then one byte of the boot area changed.
    const auto with = [](std::string_view version, std::size_t at, std::uint8_t v) {
        DiskBuilder d = howfen_disk(10, version);
        *howfen_boot(d, at) = v;
        return d;
    };
    const struct { DiskBuilder disk; int status; std::string out; } cases[] = {
        {howfen_disk(9), 1, ""},
        {howfen_disk(10), 0, summary(10)},                        // an empty menu says nothing more
        {with("V1.00", howfen_at::signature, 0x00), 1, ""},       // the signature's first blank not inverse
        {howfen_disk(10, "X2.10"), 0, summary(10, "")},           // only a first byte of 0x36 ('V') makes a version
        {with("V1.00", howfen_at::version, 0xB6), 0, summary(10, "")}, // nor does an inverse 'V'
        // Each character is (byte AND 0x3F) + 0x20: inverse '2' and 'a' fold into '2' and 'A'.
        {with("V2.0a", howfen_at::version + 1, 0x92), 0, summary(10, "V2.0A")},
    };
    for (const auto &c : cases) {
        RunResult r = run(c.disk);
        EXPECT_EQ(r.status, c.status) << c.out;
        EXPECT_EQ(r.out + r.err, c.out);
    }
    EXPECT_EQ(run(howfen_disk(10, ""), 1).out,
              "ATR image: menu.atr\nImage size: 10 sectors of 128 bytes\nVolume: HOWFEN DOS \n");
}

TEST(Howfen, ListingInBothStyles)
{
    // Length fields, where only plain digits 0x10-0x19 count: "0012", " 12 ", "1 2 ", inverse '1' then "1A2"; blanks.
    const std::uint8_t fields[5][4] = {{0x10, 0x10, 0x11, 0x12}, {0x00, 0x11, 0x12, 0x00}, {0x11, 0x00, 0x12, 0x00},
                                       {0x91, 0x11, 0x21, 0x12}, {0x00, 0x00, 0x00, 0x00}};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(howfen_number(fields[i], 4), i < 4 ? 12u : 0u) << i;

    // Titles: '.', '/', '?', '\' and codes outside 0x20-0x7A become '_'; lower case stays.
    DiskBuilder d = howfen_disk(520);
    howfen_program(d, 0, "My Game", 10, 3, 0xAA);
    howfen_line(d, 0, "My Game", "3   ", 10);                         // the length field read left-aligned
    howfen_program(d, 3, "DEMO.COM/X?Y\\Z", 20, 1, 0xBB);              // line D crosses into sector 3
    howfen_line(d, 5, "", "  99", 0);                                 // blank title: silent, sector unused
    howfen_program(d, 6, "", 0x0102, 257, 0x02);                      // first sector 258 says 1, 1: 257 sectors
    howfen_program(d, 19, "A VERY LONG TITLE HERE XY", 519, 2, 0xCC); // ends on the last sector
    // Line G's title: inverse 'A', '1' and 'a' lose bit 7; ATASCII 0x00, '{' and an inverse blank do not pass.
    std::memcpy(howfen_boot(d, howfen_at::menu + 6 * howfen_at::line_size + howfen_at::title),
                "\xA1\x91\xE1\x40\x7B\x80", 6);
    RunResult r = run(d);
    EXPECT_EQ(r.out + r.err, summary(520) + "     384\t\t/My Game\n     128\t\t/DEMO_COM_X_Y_Z\n"
                                            "   32896\t\t/A1a___\n     256\t\t/A VERY LONG TITLE HERE XY\n");
    EXPECT_EQ(run(d, 1, 1).out, "ATR image: menu.atr\nImage size: 520 sectors of 128 bytes\nVolume: HOWFEN DOS V1.00\n"
                                "my game                  384\ndemo_com_x_y_z           128\n"
                                "a1a___                 32896\na very long title here xy     256\n");
}

TEST(Howfen, DamagedMenuLinesAndExtraction)
{
    DiskBuilder d = howfen_disk(20);
    *howfen_boot(d, howfen_at::menu) = 0x22;      // line A lettered 'B': skipped with a message
    howfen_program(d, 1, "ZERO", 0, 3, 0);        // first sector 0: size 0
    howfen_program(d, 2, "BEYOND", 0x0105, 1, 0); // sector 261 of 20: size 0
    howfen_program(d, 3, "LIAR", 8, 2, 0x33);
    d.bytes(8, 0, {0x00, 0x05});                  // its first sector says 5: the menu's 2 stays
    howfen_program(d, 4, "TAIL", 15, 10, 0x44);   // runs past sector 20: sectors 15-20 only
    RunResult r = run(d);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(20) + "       0\t\t/ZERO\n       0\t\t/BEYOND\n     256\t\t/LIAR\n     768\t\t/TAIL\n");
    EXPECT_EQ(r.err, "vorlen: invalid entry at pos A\nvorlen: invalid sector number\nvorlen: invalid sector number\n"
                     "vorlen: length does not match\nvorlen: truncated file\n");

    // Extraction writes the whole sectors under the title, nothing on standard output.
    TempDir dir;
    ScopedChdir in(dir.path);
    r = run(d, 0, 1, 1);
    EXPECT_EQ(r.out, summary(20));
    EXPECT_EQ(r.err, "vorlen: invalid entry at pos A\nvorlen: invalid sector number\nzero\n"
                     "vorlen: invalid sector number\nbeyond\nvorlen: length does not match\nliar\n"
                     "vorlen: truncated file\ntail\n");
    EXPECT_EQ(read_file(dir / "zero"), std::vector<std::uint8_t>{});
    EXPECT_EQ(read_file(dir / "liar"), std::vector<std::uint8_t>(d.sector(8), d.sector(8) + 2 * 128)); // 00 05, 0x33...
    EXPECT_EQ(read_file(dir / "tail"), std::vector<std::uint8_t>(d.sector(15), d.sector(15) + 6 * 128)); // to the end
}
