#include "howfen.h"

#include "extract.h"
#include "listing.h"
#include "messages.h"
#include "names.h"

#include <cstring>

namespace {

// Offsets in the boot area, counted from the first byte of sector 1.
constexpr std::size_t sig_offset = 88;
constexpr std::size_t version_offset = 100;
constexpr std::size_t menu_offset = 138;
constexpr std::size_t menu_line = 32;
constexpr std::size_t first_low = 810;
constexpr std::size_t first_high = 830;
constexpr std::size_t boot_area = 850;
constexpr int menu_lines = 20;

// " HOWFEN DOS " in screen codes, the first blank in inverse video.
constexpr std::uint8_t signature[12] = {0x80, 0x28, 0x2F, 0x37, 0x26, 0x25,
                                        0x2E, 0x00, 0x24, 0x2F, 0x33, 0x00};

std::uint8_t screen_to_atascii(std::uint8_t b)
{
    if (!(b & 0x40))
        return std::uint8_t(b + 0x20);
    if (!(b & 0x20))
        return std::uint8_t(b - 0x40);
    return b;
}

} // namespace

unsigned howfen_number(const std::uint8_t *field, int length)
{
    unsigned v = 0;
    for (int i = 0; i < length; i++)
        if (field[i] >= 0x10 && field[i] <= 0x19)
            v = v * 10 + (field[i] - 0x10);
    return v;
}

std::string howfen_name(const std::uint8_t *title, int lower_case)
{
    std::string name;
    for (int i = 0; i < 25; i++) {
        name += names_host_char(names_plain_video(screen_to_atascii(title[i])), lower_case);
    }
    name.erase(name.find_last_not_of(' ') + 1);
    return name;
}

int howfen_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract)
{
    if (!atr_sector(image, 1) || image.sector_count < 10)
        return 1;
    const std::uint8_t *boot = atr_run(image, 1, boot_area);
    if (!boot || std::memcmp(boot + sig_offset, signature, sizeof signature) != 0)
        return 1;

    char version[6] = "";
    if (boot[version_offset] == 0x36) {
        for (int i = 0; i < 5; i++)
            version[i] = char((boot[version_offset + i] & 0x3F) + 0x20);
        version[5] = 0;
    }
    const unsigned n = image.sector_count;
    const unsigned s = unsigned(image.sector_size);
    if (atari_list)
        show_out("ATR image: %s\nImage size: %u sectors of %u bytes\nVolume: HOWFEN DOS %s\n", name, n,
                 s, version);
    else
        show_out("%s: %u sectors of %u bytes, HOWFEN DOS %s.\n", name, n, s, version);

    for (int k = 0; k < menu_lines; k++) {
        const std::uint8_t *line = boot + menu_offset + menu_line * k;
        if (line[0] != 0x21 + k) {
            show_msg("invalid entry at pos %c", 'A' + k);
            continue;
        }
        std::uint32_t length = howfen_number(line + 27, 4);
        const std::string title = howfen_name(line + 2, lower_case);
        if (title.empty())
            continue;

        const std::uint32_t first = boot[first_low + k] + 256u * boot[first_high + k];
        const std::uint8_t *sec = atr_sector(image, first);
        if (!sec) {
            show_msg("invalid sector number");
            length = 0;
        } else {
            // The program's first sector repeats its length in sectors.
            const std::uint32_t own = sec[1] + (sec[0] == 1 ? 256u : 0u);
            if (own != length)
                show_msg("length does not match");
            if (std::uint64_t(first) + length - 1 > n) {
                show_msg("truncated file");
                length = n + 1 - first;
            }
        }

        const std::uint32_t size = length * s;
        if (extract) {
            static const std::uint8_t nothing = 0;
            const std::uint8_t *bytes = size ? atr_run(image, first, size) : &nothing;
            extract_file(title, bytes, size);
        } else {
            listing_entry(atari_list, title, 20, size, "/" + title, false);
        }
    }
    return 0;
}
