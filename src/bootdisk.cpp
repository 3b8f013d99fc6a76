#include "bootdisk.h"

#include "extract.h"
#include "listing.h"
#include "messages.h"
#include "names.h"

#include <array>
#include <cstring>

namespace {

// Flags 0, 3 boot sectors, load at 0x0700, init at 0x0714, JMP 0x0714.
constexpr std::uint8_t kboot_signature[9] = {0x00, 0x03, 0x00, 0x07, 0x14, 0x07, 0x4C, 0x14, 0x07};
// Flags 0, 2 boot sectors, load at 0x0700.
constexpr std::uint8_t basic_boot[4] = {0x00, 0x02, 0x00, 0x07};

constexpr std::uint32_t sector = 128;
constexpr std::size_t basic_name_offset = 96;   // in sector 2
constexpr std::size_t basic_head_offset = 114;  // program bytes 0-13, in sector 2
constexpr std::size_t basic_head = 14;

// The CRC-32 of zip and PNG, eight bytes a step: table k gives the CRC of a
// byte followed by k zero bytes, so the eight lookups of one step are
// independent of each other (slicing-by-8).  Table 0 is the classic
// byte-at-a-time table, which the tail still uses.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

CrcTables make_crc_tables()
{
    CrcTables t{};
    for (std::uint32_t i = 0; i < 256; i++) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; k++)
        for (std::uint32_t i = 0; i < 256; i++)
            t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
    return t;
}

void print_summary(const AtrImage &image, const char *name, int atari_list, const char *label)
{
    if (atari_list)
        show_out("ATR image: %s\nImage size: %u sectors of %u bytes\nVolume: %s\n", name,
                 image.sector_count, unsigned(image.sector_size), label);
    else
        show_out("%s: %u sectors of %u bytes, %s.\n", name, image.sector_count,
                 unsigned(image.sector_size), label);
}

void list_basic(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract)
{
    print_summary(image, name, atari_list, "VELMORAX");
    const std::uint8_t *s1 = atr_sector(image, 1);
    const std::uint8_t *s2 = atr_sector(image, 2);
    const BasicName names = bootdisk_basic_name(s2 + basic_name_offset, lower_case);

    // The loader keeps the program's first 14 bytes, a header of seven
    // words of which the last six are stored relative to the first.
    const std::uint32_t length = le16(s1 + 8);
    CBuffer prog = check_buffer(length > 16 ? length : 16, false);
    std::uint8_t *p = prog.get();
    std::memcpy(p, s2 + basic_head_offset, basic_head);
    const std::uint32_t base = le16(p);
    for (std::size_t w = 2; w < basic_head; w += 2) {
        const std::uint32_t v = (le16(p + w) + base) & 0xFFFF;
        p[w] = std::uint8_t(v & 0xFF);
        p[w + 1] = std::uint8_t(v >> 8);
    }
    std::uint32_t n = 3;
    for (std::uint32_t o = basic_head; o < length; o += sector, n++) {
        const std::uint32_t take = length - o < sector ? length - o : sector;
        const std::uint8_t *sec = atr_sector(image, n);
        if (sec)
            std::memcpy(p + o, sec, take);
        else
            std::memset(p + o, 0, take); // the program runs past the image
    }

    if (extract)
        extract_file(names.host, p, length);
    else
        listing_entry(atari_list, names.atari, 12, length, names.host, false);
}

void list_kboot(const AtrImage &image, const char *name, int atari_list, int extract)
{
    print_summary(image, name, atari_list, "K-BOOT");
    std::uint32_t length = le24(atr_sector(image, 1) + 9);
    if (length == 0) {
        if (atari_list)
            show_out("<EMPTY>\n");
        else
            show_out("%8u\t\t/\n", 0u);
        return;
    }
    if (!atr_sector(image, 4))
        show_error("%s: missing file data", name);
    const std::uint32_t room = (image.sector_count - 3) * sector;
    if (length > room) {
        show_msg("%s: data shorter than expected, truncating", name);
        length = room;
    }
    const std::uint8_t *file = atr_run(image, 4, length);
    const std::uint32_t crc = bootdisk_crc32(0, file, length);
    char host[32];
    std::snprintf(host, sizeof host, "/kboot-%08x.xex", crc);
    if (extract) {
        extract_file(host + 1, file, length);
    } else {
        char atari[16];
        std::snprintf(atari, sizeof atari, "%08X COM", crc);
        listing_entry(atari_list, atari, 12, length, host, false);
    }
}

} // namespace

// Left out of the fuzzer's coverage: its loop tests and pointer checks,
// each a call there, cost ten times the CRC itself on a program of 8 MB,
// and the loop has no branch worth steering inputs by.
#if defined(__clang__)
__attribute__((no_sanitize("coverage")))
#endif
std::uint32_t bootdisk_crc32(std::uint32_t previous, const std::uint8_t *data, std::size_t length)
{
    static const CrcTables t = make_crc_tables();
    std::uint32_t c = ~previous;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const std::uint32_t lo = c ^ le32(data + i);
        const std::uint32_t hi = le32(data + i + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; i < length; i++)
        c = t[0][(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

BasicName bootdisk_basic_name(const std::uint8_t *stored, int lower_case)
{
    BasicName n;
    char cols[13];
    std::memset(cols, ' ', sizeof cols);
    std::size_t cursor = 0;
    bool dot = false;
    // Characters that would land beyond the 13th column are left out of the
    // Atari-style name; the host name keeps them.
    auto put = [&](char c) {
        if (cursor < sizeof cols)
            cols[cursor] = c;
        cursor++;
    };
    for (int p = 0; p < 12; p++) {
        std::uint8_t b = stored[p];
        if (b == '.') {
            n.host += '.';
            if (cursor < 8)
                cursor = 8;
            dot = true;
            continue;
        }
        // The full stop is taken above, so the shared rule maps no byte here
        // that this name would keep.
        if (b == ' ')
            continue;
        b = std::uint8_t(names_host_char(b, lower_case));
        if (p >= 8 && !dot) {
            n.host += '.';
            put(' ');
            dot = true;
        }
        n.host += char(b);
        put(char(b));
    }
    if (n.host.empty()) {
        n.host = "noname.bas";
        n.atari = "NONAME  BAS";
        return n;
    }
    if (n.host.find('.') == std::string::npos) {
        const char *suffix = lower_case ? "bas" : "BAS";
        n.host += '.';
        n.host += suffix;
        std::memcpy(cols + 9, suffix, 3);
    }
    n.atari.assign(cols, sizeof cols);
    return n;
}

int bootdisk_list(const AtrImage &image, const char *name, int atari_list, int lower_case,
                  int extract)
{
    if (image.sector_size != 128 || image.sector_count < 2)
        return 1;
    const std::uint8_t *s1 = atr_sector(image, 1);
    const std::uint8_t *s2 = atr_sector(image, 2);
    if (std::memcmp(s1, basic_boot, sizeof basic_boot) == 0 && std::memcmp(s2 + 60, "VELMORAX", 8) == 0) {
        list_basic(image, name, atari_list, lower_case, extract);
        return 0;
    }
    if (image.sector_count >= 3 && std::memcmp(s1, kboot_signature, sizeof kboot_signature) == 0) {
        list_kboot(image, name, atari_list, extract);
        return 0;
    }
    return 1;
}
