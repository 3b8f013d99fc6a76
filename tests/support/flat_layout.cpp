#include "flat_layout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

// " HOWFEN DOS " in screen codes, the first blank in inverse video.
constexpr std::uint8_t howfen_signature[12] = {0x80, 0x28, 0x2F, 0x37, 0x26, 0x25, 0x2E, 0x00, 0x24, 0x2F, 0x33, 0x00};

// ASCII as screen codes, blank-padded to `width`: 0x20-0x5F go to 0x00-0x3F,
// control codes to 0x40-0x5F, lower case (0x60-0x7F) stays.
void put_screen_text(std::uint8_t *p, std::string_view text, std::size_t width)
{
    for (std::size_t i = 0; i < width; i++) {
        const auto a = std::uint8_t(i < text.size() ? text[i] : ' ');
        p[i] = std::uint8_t(a < 0x20 ? a + 0x40 : a < 0x60 ? a - 0x20 : a);
    }
}

constexpr std::uint32_t sector = 128;

} // namespace

const std::uint8_t kboot_signature[9] = {0x00, 0x03, 0x00, 0x07, 0x14, 0x07, 0x4C, 0x14, 0x07};

std::uint8_t *howfen_boot(DiskBuilder &disk, std::size_t offset)
{
    if (offset >= disk.data.size())
        throw std::out_of_range("howfen_boot: offset beyond the disk");
    return disk.data.data() + offset;
}

DiskBuilder howfen_disk(std::uint32_t sectors, std::string_view version, int sector_size)
{
    DiskBuilder d(sector_size, sectors);
    std::memcpy(howfen_boot(d, howfen_at::signature), howfen_signature, sizeof howfen_signature);
    if (!version.empty())
        put_screen_text(howfen_boot(d, howfen_at::version), version, 5);
    for (int k = 0; k < 20; k++)
        howfen_line(d, k, "", "", 0);
    return d;
}

void howfen_line(DiskBuilder &disk, int k, std::string_view title, std::string_view length_field, std::uint32_t first)
{
    std::uint8_t *line = howfen_boot(disk, howfen_at::menu + howfen_at::line_size * std::size_t(k));
    line[0] = std::uint8_t(0x21 + k); // 'A' + k
    put_screen_text(line + howfen_at::title, title, 25);
    put_screen_text(line + howfen_at::length, length_field, 4);
    *howfen_boot(disk, howfen_at::first_low + std::size_t(k)) = std::uint8_t(first);
    *howfen_boot(disk, howfen_at::first_high + std::size_t(k)) = std::uint8_t(first >> 8);
}

void howfen_program(DiskBuilder &disk, int k, std::string_view title, std::uint32_t first,
                    unsigned sectors, std::uint8_t fill)
{
    char field[8];
    std::snprintf(field, sizeof field, "%4u", sectors % 10000);
    howfen_line(disk, k, title, field, first);
    for (std::uint32_t n = first; first && n < first + sectors && n <= disk.sector_count; n++)
        disk.fill(n, 0, std::size_t(disk.sector_size), fill);
    if (first >= 1 && first <= disk.sector_count)
        disk.bytes(first, 0, {std::uint8_t(sectors >= 256 ? 1 : 0), std::uint8_t(sectors)});
}

DiskBuilder kboot_disk(const std::vector<std::uint8_t> &file, std::uint32_t sectors)
{
    if (sectors == 0)
        sectors = 3 + std::uint32_t((file.size() + sector - 1) / sector);
    DiskBuilder d(128, sectors);
    std::memcpy(d.sector(1), kboot_signature, sizeof kboot_signature);
    d.le24(1, 9, std::uint32_t(file.size()));
    const std::size_t room = sectors > 3 ? std::size_t(sectors - 3) * sector : 0;
    if (room && !file.empty())
        std::memcpy(d.sector(4), file.data(), std::min(room, file.size()));
    return d;
}

DiskBuilder basic_disk(std::string_view name, const std::vector<std::uint8_t> &program,
                       std::uint32_t sectors)
{
    const std::size_t rest = program.size() > 14 ? program.size() - 14 : 0;
    if (sectors == 0)
        sectors = 2 + std::uint32_t((rest + sector - 1) / sector);
    DiskBuilder d(128, sectors);
    d.bytes(1, 0, {0x00, 0x02, 0x00, 0x07}).le16(1, 8, std::uint32_t(program.size()));
    d.text(2, 60, "VELMORAX");
    d.fill(2, 96, 12, ' ').text(2, 96, name.substr(0, 12));

    std::uint8_t head[14] = {}; // words 1-6 kept as offsets from word 0
    if (!program.empty())
        std::memcpy(head, program.data(), std::min<std::size_t>(14, program.size()));
    const std::uint32_t base = std::uint32_t(head[0] | head[1] << 8);
    for (std::size_t w = 2; w < 14; w += 2) {
        const std::uint32_t v = (std::uint32_t(head[w] | head[w + 1] << 8) - base) & 0xFFFF;
        head[w] = std::uint8_t(v);
        head[w + 1] = std::uint8_t(v >> 8);
    }
    std::memcpy(d.sector(2) + 114, head, sizeof head);

    const std::size_t room = std::size_t(sectors - 2) * sector;
    if (rest && room)
        std::memcpy(d.sector(3), program.data() + 14, std::min(room, rest));
    return d;
}

std::vector<std::uint8_t> flat_pattern(std::size_t length, std::uint8_t seed)
{
    std::vector<std::uint8_t> v(length);
    for (std::size_t i = 0; i < length; i++)
        v[i] = std::uint8_t(i * 7 + seed);
    return v;
}
