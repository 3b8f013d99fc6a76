#include "pro_layout.h"

#include "dos2_layout.h"
#include "flat_layout.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t record_size = 140;
// Record header bytes of the phantom fields, for phantoms 1-5 in turn.
constexpr std::size_t field_at[5] = {7, 8, 9, 6, 11};

void put_record(std::vector<std::uint8_t> &file, std::uint8_t controller, const std::uint8_t *data)
{
    const std::size_t at = file.size();
    file.resize(at + record_size);
    file[at] = 0x10;           // drive status: motor on
    file[at + 1] = controller; // controller status, active low
    file[at + 2] = 0xE0;       // timeout
    std::memcpy(file.data() + at + 12, data, 128);
}

} // namespace

std::vector<std::uint8_t> pro_image(const DiskBuilder &disk, const ProOptions &opt)
{
    if (disk.sector_size != 128 || disk.sector_count != 720)
        throw std::invalid_argument("pro_image: a PRO file holds a 720 x 128 disk");
    const std::uint32_t mains = std::min<std::uint32_t>(opt.main_records, 720);
    std::vector<std::uint8_t> file(16);
    file[2] = 'P';
    file[3] = opt.version;
    file[4] = opt.phantom_mode;
    for (std::uint32_t s = 1; s <= mains; s++) {
        auto it = opt.sectors.find(s);
        put_record(file, it == opt.sectors.end() ? 0xFF : it->second.controller,
                   disk.data.data() + std::size_t(s - 1) * 128);
    }

    // Phantoms follow the main records in sector order; each main record
    // names its own.
    std::uint32_t next = 1;
    for (const auto &[s, sec] : opt.sectors) {
        if (s < 1 || s > 720 || sec.phantoms.size() + sec.extra_fields.size() > 5)
            throw std::invalid_argument("pro_image: sectors 1-720, at most five phantom fields each");
        std::uint8_t *head = s <= mains ? file.data() + 16 + std::size_t(s - 1) * record_size : nullptr;
        std::size_t k = 0;
        for (const std::vector<std::uint8_t> &copy : sec.phantoms) {
            if (copy.size() != 128 || next > 255)
                throw std::invalid_argument("pro_image: a phantom is 128 bytes, at most 255 of them");
            if (head)
                head[field_at[k]] = std::uint8_t(next);
            if (mains == 720)
                put_record(file, 0xFF, copy.data());
            next++, k++;
        }
        for (std::uint8_t field : sec.extra_fields) {
            if (head)
                head[field_at[k]] = field;
            k++;
        }
        if (head)
            head[5] = std::uint8_t(sec.phantom_count >= 0 ? sec.phantom_count : int(k));
    }
    const std::vector<std::uint8_t> spare = flat_pattern(128, 0x5A);
    for (std::uint32_t i = 0; i < opt.unreferenced && mains == 720; i++)
        put_record(file, 0xFF, spare.data());

    const std::size_t records = (file.size() - 16) / record_size;
    file[0] = std::uint8_t(records >> 8);
    file[1] = std::uint8_t(records);
    return file;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> pro_seed_files()
{
    const Dos2Disk vol =
        dos2_volume({}, {{"AUTORUN.SYS", flat_pattern(300, 1)}, {"README.TXT", flat_pattern(90, 2)}});
    const DiskBuilder &d = vol.disk;

    // A protection track: sector 700 has a phantom copy that differs from
    // byte 64 on, sector 701 is a deliberate bad sector, 702 a CRC error.
    std::vector<std::uint8_t> weak(d.data.begin() + 699 * 128, d.data.begin() + 700 * 128);
    std::fill(weak.begin() + 64, weak.end(), 0xAA);
    ProOptions protect;
    protect.version = '3';
    protect.phantom_mode = 2;
    protect.sectors[700].phantoms = {weak};
    protect.sectors[701].controller = 0xFF & ~pro_not_found;
    protect.sectors[702].controller = 0xFF & ~pro_crc_error;

    // Everything a damaged file can hold at once: long and CRC-error
    // sectors in the directory, a phantom field past the end, stray records.
    ProOptions damaged;
    damaged.phantom_mode = 9;
    damaged.sectors[361].controller = 0xFF & ~(pro_crc_error | pro_lost_data);
    damaged.sectors[5].extra_fields = {200};
    damaged.sectors[6].phantoms = {flat_pattern(128, 3), flat_pattern(128, 4)};
    damaged.sectors[6].phantom_count = 4;
    damaged.unreferenced = 2;

    // A file that ends inside the directory.
    ProOptions cut;
    cut.main_records = 362;
    cut.sectors[10].phantoms = {flat_pattern(128, 5)};

    return {
        {"pro-clean.pro", pro_image(d)},
        {"pro-protected.pro", pro_image(d, protect)},
        {"pro-damaged.pro", pro_image(d, damaged)},
        {"pro-short.pro", pro_image(d, cut)},
    };
}
