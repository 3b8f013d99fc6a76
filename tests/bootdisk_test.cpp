// K-BOOT and BASIC (VELMORAX) boot disks: recognition, the CRC-32 name of a
// K-BOOT file, the stored BASIC name and the program's header fix-up.
#include "bootdisk.h"
#include "capture.h"
#include "flat_layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string truncating = "vorlen: boot.atr: data shorter than expected, truncating\n";

RunResult run(const DiskBuilder &d, int atari_list = 0, int lower_case = 0, int extract = 0)
{
    auto image = d.image();
    return run_handler(bootdisk_list, *image, "boot.atr", atari_list, lower_case, extract);
}

std::uint32_t crc(const Bytes &v, std::size_t length)
{
    return bootdisk_crc32(0, v.data(), length);
}

std::uint32_t crc(std::string_view s)
{
    return bootdisk_crc32(0, reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
}

std::string summary(unsigned sectors, const std::string &label)
{
    return "boot.atr: " + std::to_string(sectors) + " sectors of 128 bytes, " + label + ".\n";
}

std::string atari_summary(unsigned sectors, const std::string &label)
{
    return "ATR image: boot.atr\nImage size: " + std::to_string(sectors) + " sectors of 128 bytes\nVolume: " +
           label + "\n";
}

// A line or name holding one CRC.
std::string with_crc(const char *fmt, std::uint32_t value)
{
    char line[64];
    std::snprintf(line, sizeof line, fmt, value);
    return line;
}

// Extracts in a fresh directory and returns what the handler said.
RunResult extract_in(const TempDir &dir, const DiskBuilder &d, int lower_case = 0)
{
    ScopedChdir in(dir.path);
    return run(d, 0, lower_case, 1);
}

} // namespace

TEST(BootDisk, Crc32KnownValues)
{
    EXPECT_EQ(crc("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc(""), 0u);
    // Continuing from a previous value gives the CRC of the whole run.
    const std::uint32_t head = crc("1234");
    EXPECT_EQ(bootdisk_crc32(head, reinterpret_cast<const std::uint8_t *>("56789"), 5), 0xCBF43926u);
}

TEST(BootDisk, Recognition)
{
    const Bytes file = flat_pattern(5);

    // 256-byte sectors are declined whatever the first sectors hold.
    DiskBuilder dd(256, 10);
    std::memcpy(dd.sector(1), kboot_signature, sizeof kboot_signature);
    dd.le24(1, 9, 5);
    RunResult r = run(dd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");

    // K-BOOT needs three sectors; with exactly three there is no file data.
    r = run(kboot_disk(file, 2));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");
    r = run(kboot_disk(file, 3));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "boot.atr: 3 sectors of 128 bytes, K-BOOT.\n");
    EXPECT_EQ(r.err, "vorlen: Error, boot.atr: missing file data\n");

    // The loader variant that starts 00 03 00 07 0D 07 4C 0D 07 is not K-BOOT.
    DiskBuilder variant = kboot_disk(file);
    variant.bytes(1, 4, {0x0D, 0x07, 0x4C, 0x0D, 0x07});
    r = run(variant);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");

    // A BASIC boot disk needs two sectors only, and both of its marks.
    r = run(basic_disk("HELLO", {}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "boot.atr: 2 sectors of 128 bytes, VELMORAX.\n       0\t\tHELLO.BAS\n");
    DiskBuilder wrong_mark = basic_disk("HELLO", {});
    wrong_mark.text(2, 60, "VELMORAZ");
    EXPECT_EQ(run(wrong_mark).status, 1);
    EXPECT_EQ(run(DiskBuilder(128, 1)).status, 1);
}

TEST(BootDisk, KbootListing)
{
    const Bytes file = flat_pattern(300);
    const std::uint32_t c = crc(file, 300);
    const DiskBuilder d = kboot_disk(file); // 3 + 3 sectors

    RunResult r = run(d, 0, 1); // lower case leaves the CRC name alone
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(6, "K-BOOT") + with_crc("     300\t\t/kboot-%08x.xex\n", c));
    EXPECT_EQ(r.err, "");

    r = run(d, 1);
    EXPECT_EQ(r.out, atari_summary(6, "K-BOOT") +
                         with_crc("%08X COM     300\n", c));

    // Length 1000 on 10 sectors: only 7 x 128 = 896 bytes are there, and
    // the name and size are those of the 896 bytes.
    const Bytes big = flat_pattern(1000);
    const std::uint32_t c896 = crc(big, 896);
    r = run(kboot_disk(big, 10), 1);
    EXPECT_EQ(r.out, atari_summary(10, "K-BOOT") +
                         with_crc("%08X COM     896\n", c896));
    EXPECT_EQ(r.err, truncating);

    // The length has three bytes: 0x010005 is far beyond 5 sectors.
    DiskBuilder wide = kboot_disk(flat_pattern(256));
    wide.le24(1, 9, 0x010005);
    r = run(wide);
    EXPECT_EQ(r.out, summary(5, "K-BOOT") +
                         with_crc("     256\t\t/kboot-%08x.xex\n", crc(flat_pattern(256), 256)));
    EXPECT_EQ(r.err, truncating);
}

TEST(BootDisk, EmptyKboot)
{
    const DiskBuilder d = kboot_disk({}, 3); // length 0, no sector 4: no error
    EXPECT_EQ(run(d).out, "boot.atr: 3 sectors of 128 bytes, K-BOOT.\n       0\t\t/\n");
    EXPECT_EQ(run(d, 1).out, atari_summary(3, "K-BOOT") + "<EMPTY>\n");

    // Extracting lists the zero line and writes nothing.
    TempDir dir;
    RunResult r = extract_in(dir, d);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "boot.atr: 3 sectors of 128 bytes, K-BOOT.\n       0\t\t/\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(BootDisk, KbootExtraction)
{
    const Bytes big = flat_pattern(1000);
    const std::string name = with_crc("kboot-%08x.xex", crc(big, 896));
    const DiskBuilder d = kboot_disk(big, 10);

    TempDir dir;
    RunResult r = extract_in(dir, d);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "boot.atr: 10 sectors of 128 bytes, K-BOOT.\n");
    EXPECT_EQ(r.err, truncating + name + "\n");
    EXPECT_EQ(read_file(dir / name), Bytes(big.begin(), big.begin() + 896));

    // An existing file is never overwritten.
    r = extract_in(dir, d);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, truncating + name +
                         "\nvorlen: Error, " + name + ": file already exists.\n");
}

TEST(BootDisk, BasicNames)
{
    struct Case {
        const char *stored; // 12 bytes
        int lower_case;
        const char *host;
        const char *atari;
    };
    const Case cases[] = {
        {"HELLO.BAS   ", 0, "HELLO.BAS", "HELLO   BAS  "},
        {"HELLO       ", 0, "HELLO.BAS", "HELLO    BAS "},
        {"HELLO       ", 1, "hello.bas", "hello    bas "},
        {"LONGNAMEBAS ", 0, "LONGNAME.BAS", "LONGNAME BAS "},
        {"LONGNAME.BAS", 0, "LONGNAME.BAS", "LONGNAMEBAS  "},
        {"ABCDEFGHIJKL", 0, "ABCDEFGH.IJKL", "ABCDEFGH IJKL"},
        {"            ", 0, "noname.bas", "NONAME  BAS"},
        {"            ", 1, "noname.bas", "NONAME  BAS"},
        // The split goes by position in the field: blanks before 8 do not move it.
        {"AB  CD  EFGH", 0, "ABCD.EFGH", "ABCD EFGH    "},
        {"A.B.C       ", 0, "A.B.C", "A       BC   "},
        {"abc         ", 0, "abc.BAS", "abc      BAS "},
        {"A/B?C\\`\x9B    ", 0, "A_B_C___.BAS", "A_B_C___ BAS "},
        {"X{\x01\x7A        ", 0, "X__z.BAS", "X__z     BAS "},
        // More than five characters after an early dot: the Atari-style name
        // keeps its 13 columns and drops what would fall beyond them.
        {".ABCDEFGHIJK", 0, ".ABCDEFGHIJK", "        ABCDE"},
        {"AB.CDEFGHIJK", 1, "ab.cdefghijk", "ab      cdefg"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        const auto *stored = reinterpret_cast<const std::uint8_t *>(c.stored);
        const BasicName n = bootdisk_basic_name(stored, c.lower_case);
        EXPECT_EQ(n.host, c.host);
        EXPECT_EQ(n.atari, c.atari);
    }

    // The listing shows the whole 13 columns, then L in 7.
    EXPECT_EQ(run(basic_disk(".ABCDEFGHIJK", flat_pattern(20)), 1).out,
              atari_summary(3, "VELMORAX") + "        ABCDE      20\n");
    EXPECT_EQ(run(basic_disk("", {}), 1).out,
              atari_summary(2, "VELMORAX") + "NONAME  BAS        0\n");
}

TEST(BootDisk, BasicProgramAssembly)
{
    // 300 bytes: header 0-13 in sector 2, 14-141 in sector 3, 142-269 in
    // sector 4, 270-299 in sector 5.
    const Bytes prog = flat_pattern(300, 0x40);
    const DiskBuilder d = basic_disk("HELLO", prog);
    RunResult r = run(d);
    EXPECT_EQ(r.out, "boot.atr: 5 sectors of 128 bytes, VELMORAX.\n     300\t\tHELLO.BAS\n");
    EXPECT_EQ(run(d, 1).out, atari_summary(5, "VELMORAX") + "HELLO    BAS      300\n");

    TempDir dir;
    r = extract_in(dir, d, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "boot.atr: 5 sectors of 128 bytes, VELMORAX.\n");
    EXPECT_EQ(r.err, "hello.bas\n");
    EXPECT_EQ(read_file(dir / "hello.bas"), prog);

    // The program runs past a 3-sector image: the rest are zeros, silently.
    r = extract_in(dir, basic_disk("SHORT", prog, 3));
    EXPECT_EQ(r.err, "SHORT.BAS\n");
    Bytes cut(prog.begin(), prog.begin() + 142);
    cut.resize(300, 0);
    EXPECT_EQ(read_file(dir / "SHORT.BAS"), cut);

    // Header words 1-6 are stored relative to word 0, added modulo 65536.
    DiskBuilder fix = basic_disk("FIX", {});
    fix.le16(1, 8, 14).bytes(2, 114, {0x00, 0x07,   // word 0: 0x0700, kept
                                      0x00, 0x01,   // 0x0100 -> 0x0800
                                      0xFF, 0xF9,   // 0xF9FF -> 0x00FF (wraps)
                                      0x00, 0x00,   // 0 -> 0x0700
                                      0x34, 0x12, 0x00, 0x00, 0x01, 0x00});
    extract_in(dir, fix);
    EXPECT_EQ(read_file(dir / "FIX.BAS"),
              (Bytes{0x00, 0x07, 0x00, 0x08, 0xFF, 0x00, 0x00, 0x07, 0x34, 0x19, 0x00, 0x07, 0x01, 0x07}));

    // L below 14 keeps only the first L bytes of the fixed-up header; L = 0
    // lists 0 and writes an empty file.
    fix.le16(1, 8, 10).fill(2, 96, 12, ' ').text(2, 96, "TEN");
    EXPECT_EQ(run(fix).out, "boot.atr: 2 sectors of 128 bytes, VELMORAX.\n      10\t\tTEN.BAS\n");
    extract_in(dir, fix);
    EXPECT_EQ(read_file(dir / "TEN.BAS"),
              (Bytes{0x00, 0x07, 0x00, 0x08, 0xFF, 0x00, 0x00, 0x07, 0x34, 0x19}));
    fix.le16(1, 8, 0).text(2, 96, "NIL");
    extract_in(dir, fix);
    EXPECT_EQ(read_file(dir / "NIL.BAS"), Bytes{});
}
