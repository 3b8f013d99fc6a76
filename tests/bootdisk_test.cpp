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
    return run_handler(bootdisk_list, *d.image(), "boot.atr", atari_list, lower_case, extract);
}

std::string summary(unsigned sectors, const std::string &label, bool atari = false)
{
    const std::string n = std::to_string(sectors);
    return atari ? "ATR image: boot.atr\nImage size: " + n + " sectors of 128 bytes\nVolume: " + label + "\n"
                 : "boot.atr: " + n + " sectors of 128 bytes, " + label + ".\n";
}

// A listing line or file name holding the CRC-32 of the first `length` bytes of `v`.
std::string with_crc(const char *fmt, const Bytes &v, std::size_t length)
{
    char line[64];
    std::snprintf(line, sizeof line, fmt, bootdisk_crc32(0, v.data(), length));
    return line;
}

} // namespace

TEST(BootDisk, Recognition)
{
    EXPECT_EQ(bootdisk_crc32(0, reinterpret_cast<const std::uint8_t *>("123456789"), 9), 0xCBF43926u); // check value

    DiskBuilder dd(256, 10); // 256-byte sectors are declined whatever they hold
    std::memcpy(dd.sector(1), kboot_signature, sizeof kboot_signature);
    DiskBuilder wrong_mark = basic_disk("HELLO", {});
    wrong_mark.text(2, 60, "VELMORAZ"); // BASIC needs both of its marks
    const struct { DiskBuilder disk; int status; std::string out_and_err; } cases[] = {
        {dd, 1, ""}, {wrong_mark, 1, ""},
        {kboot_disk(flat_pattern(5), 2), 1, ""}, // K-BOOT needs three sectors and file data in the fourth
        {kboot_disk(flat_pattern(5), 3), 1, summary(3, "K-BOOT") + "vorlen: Error, boot.atr: missing file data\n"},
        // BASIC is tried first, and needs two sectors only.
        {basic_disk("HELLO", {}), 0, summary(2, "VELMORAX") + "       0\t\tHELLO.BAS\n"},
    };
    for (const auto &c : cases) {
        RunResult r = run(c.disk);
        EXPECT_EQ(r.status, c.status) << c.out_and_err;
        EXPECT_EQ(r.out + r.err, c.out_and_err);
    }
}

TEST(BootDisk, Kboot)
{
    TempDir dir;
    ScopedChdir in(dir.path);
    const Bytes file = flat_pattern(300);
    EXPECT_EQ(run(kboot_disk(file), 0, 1).out, // lower case leaves the CRC name alone
              summary(6, "K-BOOT") + with_crc("     300\t\t/kboot-%08x.xex\n", file, 300));
    EXPECT_EQ(run(kboot_disk(file), 1).out, summary(6, "K-BOOT", true) + with_crc("%08X COM     300\n", file, 300));

    // Length 0 and no sector 4: no file, no error, nothing extracted.
    const DiskBuilder empty = kboot_disk({}, 3);
    EXPECT_EQ(run(empty).out, summary(3, "K-BOOT") + "       0\t\t/\n");
    EXPECT_EQ(run(empty, 1).out, summary(3, "K-BOOT", true) + "<EMPTY>\n");
    EXPECT_EQ(run(empty, 0, 0, 1).out, summary(3, "K-BOOT") + "       0\t\t/\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));

    // Length 1000 on 10 sectors: only 7 x 128 = 896 bytes are there; the
    // name and size are those of the 896 bytes.
    const Bytes big = flat_pattern(1000);
    RunResult r = run(kboot_disk(big, 10), 0, 0, 1);
    const std::string name = with_crc("kboot-%08x.xex", big, 896);
    EXPECT_EQ(r.out + r.err, summary(10, "K-BOOT") + truncating + name + "\n");
    EXPECT_EQ(read_file(dir / name), Bytes(big.begin(), big.begin() + 896));

    // The length has three bytes: 0x010005 is far beyond 5 sectors.
    DiskBuilder wide = kboot_disk(flat_pattern(256));
    wide.le24(1, 9, 0x010005);
    EXPECT_EQ(run(wide).out, summary(5, "K-BOOT") + with_crc("     256\t\t/kboot-%08x.xex\n", flat_pattern(256), 256));
}

TEST(BootDisk, Basic)
{
    const struct { const char *stored; int lower_case; const char *host, *atari; } cases[] = {
        {"HELLO       ", 1, "hello.bas", "hello    bas "},
        {"ABCDEFGHIJKL", 0, "ABCDEFGH.IJKL", "ABCDEFGH IJKL"},
        {"            ", 0, "noname.bas", "NONAME  BAS"},
        {"AB  CD  EFGH", 0, "ABCD.EFGH", "ABCD EFGH    "}, // the split goes by position in the field
        {"A.B.C       ", 0, "A.B.C", "A       BC   "},
        {"A/B?C\\`\x9B    ", 0, "A_B_C___.BAS", "A_B_C___ BAS "},
        {"X{\x01\x7A        ", 0, "X__z.BAS", "X__z     BAS "},
        // More than five characters after an early dot: the Atari-style name
        // keeps its 13 columns and drops what would fall beyond them.
        {".ABCDEFGHIJK", 0, ".ABCDEFGHIJK", "        ABCDE"},
    };
    for (const auto &c : cases) {
        const BasicName n = bootdisk_basic_name(reinterpret_cast<const std::uint8_t *>(c.stored), c.lower_case);
        EXPECT_EQ(std::tie(n.host, n.atari), std::make_tuple(c.host, c.atari)) << c.stored;
    }
    // The listing shows the whole 13 columns, then L in 7.
    EXPECT_EQ(run(basic_disk(".ABCDEFGHIJK", flat_pattern(20)), 1).out,
              summary(3, "VELMORAX", true) + "        ABCDE      20\n");

    // 300 bytes: header 0-13 in sector 2, 14-141 in sector 3, and on to sector 5.
    const Bytes prog = flat_pattern(300, 0x40);
    TempDir dir;
    ScopedChdir in(dir.path);
    RunResult r = run(basic_disk("HELLO", prog), 0, 1, 1);
    EXPECT_EQ(r.out + r.err, summary(5, "VELMORAX") + "hello.bas\n");
    EXPECT_EQ(read_file(dir / "hello.bas"), prog);

    // The program runs past a 3-sector image: the rest are zeros, silently.
    r = run(basic_disk("SHORT", prog, 3), 0, 0, 1);
    EXPECT_EQ(r.err, "SHORT.BAS\n");
    Bytes cut(prog.begin(), prog.begin() + 142);
    cut.resize(300, 0);
    EXPECT_EQ(read_file(dir / "SHORT.BAS"), cut);

    // Header words 1-6 are stored relative to word 0: 0x0700 kept, 0x0100 -> 0x0800, 0xF9FF -> 0x00FF (modulo
    // 65536), 0 -> 0x0700, 0x1234 -> 0x1934.  L = 10 (sector 1 offset 8) keeps the first 10 bytes of the header.
    DiskBuilder ten = basic_disk("TEN", {});
    ten.le16(1, 8, 10).bytes(2, 114, {0x00, 0x07, 0x00, 0x01, 0xFF, 0xF9, 0x00, 0x00, 0x34, 0x12});
    run(ten, 0, 0, 1);
    EXPECT_EQ(read_file(dir / "TEN.BAS"), (Bytes{0x00, 0x07, 0x00, 0x08, 0xFF, 0x00, 0x00, 0x07, 0x34, 0x19}));
    run(basic_disk("NIL", {}), 0, 0, 1); // L = 0: an empty file
    EXPECT_EQ(read_file(dir / "NIL.BAS"), Bytes{});
}

// The CRC runs eight bytes a step; every length and alignment, and a CRC
// continued from an earlier part, must give what the byte-wise form gives.
TEST(BootDisk, Crc32MatchesBytewise)
{
    const auto bytewise = [](std::uint32_t previous, const std::uint8_t *p, std::size_t n) {
        std::uint32_t c = ~previous;
        for (std::size_t i = 0; i < n; i++) {
            c ^= p[i];
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        return ~c;
    };
    const Bytes v = flat_pattern(200, 0x5A);
    for (std::size_t offset = 0; offset < 8; offset++)
        for (std::size_t n = 0; n + offset <= 80; n++) {
            const std::uint32_t want = bytewise(0, v.data() + offset, n);
            EXPECT_EQ(bootdisk_crc32(0, v.data() + offset, n), want) << offset << " " << n;
            const std::size_t cut = n / 3;
            EXPECT_EQ(bootdisk_crc32(bootdisk_crc32(0, v.data() + offset, cut), v.data() + offset + cut, n - cut), want);
        }
}
