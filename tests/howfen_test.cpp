// HOWFEN DOS menu disks: recognition, summary, the menu's fields and the
// listing and extraction of its programs.
#include "capture.h"
#include "flat_layout.h"
#include "howfen.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

RunResult run(const DiskBuilder &d, int atari_list = 0, int lower_case = 0, int extract = 0)
{
    auto image = d.image();
    return run_handler(howfen_list, *image, "menu.atr", atari_list, lower_case, extract);
}

// A 25-byte title field in screen codes.
std::vector<std::uint8_t> title(std::string_view text)
{
    std::vector<std::uint8_t> t(25, 0x00);
    for (std::size_t i = 0; i < text.size(); i++)
        t[i] = howfen_screen_code(text[i]);
    return t;
}

const std::string one_line = "menu.atr: 40 sectors of 128 bytes, HOWFEN DOS V1.00.\n";

} // namespace

TEST(Howfen, RecognisedFromTenSectorsOnWithTheWholeSignature)
{
    RunResult r = run(howfen_disk(9));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");

    r = run(howfen_disk(10));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "menu.atr: 10 sectors of 128 bytes, HOWFEN DOS V1.00.\n");
    EXPECT_EQ(r.err, ""); // an empty menu says nothing

    DiskBuilder plain_blank = howfen_disk(10);
    *howfen_boot(plain_blank, howfen_at::signature) = 0x00; // the leading blank not inverse
    r = run(plain_blank);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(Howfen, SummaryWithAndWithoutVersion)
{
    EXPECT_EQ(run(howfen_disk(10, "V2.10")).out, "menu.atr: 10 sectors of 128 bytes, HOWFEN DOS V2.10.\n");
    EXPECT_EQ(run(howfen_disk(10, "V2.10"), 1).out,
              "ATR image: menu.atr\nImage size: 10 sectors of 128 bytes\nVolume: HOWFEN DOS V2.10\n");

    // Only a first byte of exactly 0x36 ('V') makes a version.
    EXPECT_EQ(run(howfen_disk(10, "X2.10")).out, "menu.atr: 10 sectors of 128 bytes, HOWFEN DOS .\n");
    DiskBuilder inverse_v = howfen_disk(10);
    *howfen_boot(inverse_v, howfen_at::version) = 0xB6; // inverse 'V'
    EXPECT_EQ(run(inverse_v).out, "menu.atr: 10 sectors of 128 bytes, HOWFEN DOS .\n");
    EXPECT_EQ(run(howfen_disk(10, ""), 1).out,
              "ATR image: menu.atr\nImage size: 10 sectors of 128 bytes\nVolume: HOWFEN DOS \n");

    // Each version byte is shown as (byte AND 0x3F) + 0x20: inverse video and
    // lower case fold into the plain upper-case characters.
    DiskBuilder d = howfen_disk(10);
    std::uint8_t *v = howfen_boot(d, howfen_at::version);
    v[1] = 0x92; // inverse '2'
    v[4] = 0x61; // 'a'
    EXPECT_EQ(run(d).out, "menu.atr: 10 sectors of 128 bytes, HOWFEN DOS V2.0A.\n");

    // The sector size is not tested; it only scales the program sizes.
    DiskBuilder dd = howfen_disk(40, "V1.00", 256);
    howfen_program(dd, 0, "BIG", 20, 2, 0x11);
    EXPECT_EQ(run(dd).out, "menu.atr: 40 sectors of 256 bytes, HOWFEN DOS V1.00.\n"
                           "     512\t\t/BIG\n");
}

TEST(Howfen, LengthFieldTakesOnlyDigits)
{
    const std::vector<std::vector<std::uint8_t>> twelve = {
        {0x10, 0x10, 0x11, 0x12}, // "0012"
        {0x00, 0x11, 0x12, 0x00}, // " 12 "
        {0x11, 0x00, 0x12, 0x00}, // "1 2 "
        {0x91, 0x11, 0x21, 0x12}, // inverse '1', '1', 'A', '2': only plain digits count
    };
    for (const auto &field : twelve)
        EXPECT_EQ(howfen_number(field.data(), 4), 12u);
    const std::uint8_t blanks[4] = {0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(howfen_number(blanks, 4), 0u);

    // The field is bytes 27-30 of the line: "1 2 " there gives 12 sectors.
    DiskBuilder d = howfen_disk(40);
    howfen_program(d, 0, "GAME", 10, 12, 0x22);
    howfen_line(d, 0, "GAME", "1 2 ", 10);
    EXPECT_EQ(run(d).out, one_line + "    1536\t\t/GAME\n");
}

TEST(Howfen, TitlesInScreenCodes)
{
    EXPECT_EQ(howfen_name(title("MY GAME").data(), 0), "MY GAME");
    EXPECT_EQ(howfen_name(title("MY GAME").data(), 1), "my game");
    EXPECT_EQ(howfen_name(title("small Caps").data(), 0), "small Caps");
    EXPECT_EQ(howfen_name(title("A.B/C?D\\E").data(), 0), "A_B_C_D_E");

    std::vector<std::uint8_t> t = title("");
    t[0] = 0xA1; // inverse 'A'
    t[1] = 0x91; // inverse '1'
    t[2] = 0xE1; // inverse 'a'
    t[3] = 0x40; // ATASCII 0x00
    t[4] = 0x7B; // '{', above 'z'
    t[5] = 0x80; // inverse blank: ATASCII 0xA0
    EXPECT_EQ(howfen_name(t.data(), 0), "A1a___");
}

TEST(Howfen, ListingInBothStyles)
{
    DiskBuilder d = howfen_disk(40);
    howfen_program(d, 0, "MY GAME", 10, 3, 0xAA);
    howfen_program(d, 3, "DEMO.COM", 20, 1, 0xBB); // line D crosses into sector 3
    howfen_line(d, 5, "", "  99", 0);               // blank title: silent, sector unused
    howfen_program(d, 19, "A VERY LONG TITLE HERE XY", 39, 2, 0xCC); // ends on the last sector

    RunResult r = run(d);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, one_line + "     384\t\t/MY GAME\n"
                                "     128\t\t/DEMO_COM\n"
                                "     256\t\t/A VERY LONG TITLE HERE XY\n");
    EXPECT_EQ(r.err, "");

    r = run(d, 1, 1);
    EXPECT_EQ(r.out, "ATR image: menu.atr\nImage size: 40 sectors of 128 bytes\nVolume: HOWFEN DOS V1.00\n"
                     "my game                  384\n"
                     "demo_com                 128\n"
                     "a very long title here xy     256\n");

    // First sectors above 255 use the high-byte table; a first sector saying
    // 257 (byte 0 = 1, byte 1 = 1) matches a menu length of 257.
    DiskBuilder big = howfen_disk(600);
    howfen_program(big, 0, "HIGH", 0x0110, 2, 0x01);
    howfen_program(big, 1, "LONG", 300, 257, 0x02);
    r = run(big);
    EXPECT_EQ(r.out, "menu.atr: 600 sectors of 128 bytes, HOWFEN DOS V1.00.\n"
                     "     256\t\t/HIGH\n"
                     "   32896\t\t/LONG\n");
    EXPECT_EQ(r.err, "");
}

TEST(Howfen, DamagedMenuLines)
{
    DiskBuilder d = howfen_disk(20);
    *howfen_boot(d, howfen_at::menu) = 0x22;                          // line A lettered 'B'
    howfen_program(d, 1, "ZERO", 0, 3, 0);                            // first sector 0
    howfen_program(d, 2, "BEYOND", 0x0115, 1, 0);                     // sector 277 of 20
    howfen_program(d, 3, "LIAR", 8, 2, 0x33);
    d.bytes(8, 0, {0x00, 0x05});                                      // its first sector says 5
    howfen_program(d, 4, "TAIL", 15, 10, 0x44);                       // runs past sector 20

    RunResult r = run(d);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "menu.atr: 20 sectors of 128 bytes, HOWFEN DOS V1.00.\n"
                     "       0\t\t/ZERO\n"
                     "       0\t\t/BEYOND\n"
                     "     256\t\t/LIAR\n" // the menu's length stays in force
                     "     768\t\t/TAIL\n"); // sectors 15-20
    EXPECT_EQ(r.err, "vorlen: invalid entry at pos A\n"
                     "vorlen: invalid sector number\n"
                     "vorlen: invalid sector number\n"
                     "vorlen: length does not match\n"
                     "vorlen: truncated file\n");

    // Both checks on one program: the comparison comes first.
    DiskBuilder both = howfen_disk(20);
    howfen_program(both, 0, "TAIL", 15, 10, 0x44);
    both.bytes(15, 0, {0x00, 0x09});
    r = run(both);
    EXPECT_EQ(r.out, "menu.atr: 20 sectors of 128 bytes, HOWFEN DOS V1.00.\n     768\t\t/TAIL\n");
    EXPECT_EQ(r.err, "vorlen: length does not match\nvorlen: truncated file\n");
}

TEST(Howfen, ExtractsWholeSectorsUnderTheTitle)
{
    DiskBuilder d = howfen_disk(20);
    howfen_program(d, 0, "MY GAME", 10, 3, 0xAA);
    howfen_program(d, 1, "ZERO", 0, 1, 0);
    howfen_program(d, 2, "TAIL", 18, 5, 0x55);

    TempDir dir;
    ScopedChdir in(dir.path);
    RunResult r = run(d, 0, 1, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "menu.atr: 20 sectors of 128 bytes, HOWFEN DOS V1.00.\n");
    EXPECT_EQ(r.err, "my game\nvorlen: invalid sector number\nzero\nvorlen: truncated file\ntail\n");

    const auto sectors = [&](std::uint32_t first, std::uint32_t count) {
        const std::uint8_t *p = d.sector(first);
        return std::vector<std::uint8_t>(p, p + 128 * count);
    };
    EXPECT_EQ(read_file(dir / "my game"), sectors(10, 3)); // starts 00 03, then 0xAA
    EXPECT_EQ(read_file(dir / "zero"), std::vector<std::uint8_t>{});
    EXPECT_EQ(read_file(dir / "tail"), sectors(18, 3));

    // A second run stops at the first name already on the host.
    r = run(d, 0, 1, 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "my game\nvorlen: Error, my game: file already exists.\n");
}
