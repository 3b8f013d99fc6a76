#include "pro_layout.h"

#include "dos2_layout.h"
#include "flat_layout.h"

std::vector<std::uint8_t> pro_image(const DiskBuilder &disk, std::uint32_t records)
{
    std::vector<std::uint8_t> f = {std::uint8_t(records >> 8), std::uint8_t(records), 'P', '2', 0, 0, 0, 0, 0, 0, 0, 0,
                                   0, 0, 0, 0};
    for (std::uint32_t k = 1; k <= records; k++) {
        f.insert(f.end(), {0x10, 0xFF, 0xE0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); // motor on, a good read
        const auto data = disk.data.begin() + std::ptrdiff_t(k - 1) * 128;
        k <= 720 ? f.insert(f.end(), data, data + 128) : f.insert(f.end(), 128, 0x5A);
    }
    return f;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> pro_seed_files()
{
    const DiskBuilder d =
        dos2_volume({}, {{"AUTORUN.SYS", flat_pattern(300)}, {"README.TXT", flat_pattern(90, 2)}}).disk;
    // P3 with a phantom (of sector 5, count 1), a CRC error and long sector in the directory (361), a bad sector
    // (700) and a phantom past the end (6).
    std::vector<std::uint8_t> bad = pro_image(d, 721);
    bad[3] = '3', bad[16 + 4 * 140 + 5] = bad[16 + 4 * 140 + 7] = 1, bad[16 + 5 * 140 + 11] = 9;
    bad[16 + 360 * 140 + 1] = 0xF3, bad[16 + 699 * 140 + 1] = 0xEF;
    return {{"pro-clean.pro", pro_image(d)}, {"pro-damaged.pro", bad}, {"pro-short.pro", pro_image(d, 362)}};
}
