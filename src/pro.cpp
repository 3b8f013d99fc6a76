#include "pro.h"

#include "container.h"
#include "messages.h"

#include <cstring>

namespace {

// A PRO file is a 16-byte header and then records of a 12-byte record
// header (the drive's status answer and the phantom fields) and 128 data
// bytes: records 1-720 are the sectors of a single-density disk in order,
// records from 721 on are the alternative copies ("phantoms") of sectors
// that read differently from one try to the next.
constexpr std::size_t pro_header_size = 16;
constexpr std::size_t pro_record_header = 12;
constexpr std::size_t pro_data_size = 128;
constexpr std::size_t pro_record_size = pro_record_header + pro_data_size;
constexpr std::uint32_t pro_sectors = 720;

// The controller status byte (record header byte 1) is active low: a clear
// bit is the condition.  Only these three change what a lister gets.
constexpr std::uint8_t pro_lost_data = 0x04;  // long sector
constexpr std::uint8_t pro_crc_error = 0x08;
constexpr std::uint8_t pro_not_found = 0x10;

// Record header bytes that name phantom copies, in the order the format
// stores them (phantoms 4, 1, 2, 3, then 5 after an unused byte).  A field
// holding p != 0 names record 720 + p.
constexpr std::size_t pro_phantom_fields[] = {6, 7, 8, 9, 11};


// The whole signature must hold: a length of whole records after the
// header, at least one record, a count that agrees with that length, and
// "P2" or "P3".  A file cut short or padded fails it, since the count then
// disagrees with the length, and goes on to be "not an ATR image" like any
// other file no format describes.
bool pro_signature(std::span<const std::uint8_t> file)
{
    if (file.size() < pro_header_size + pro_record_size || (file.size() - pro_header_size) % pro_record_size != 0)
        return false;
    const std::size_t records = (file.size() - pro_header_size) / pro_record_size;
    return be16(file.data()) == records && file[2] == 'P' && (file[3] == '2' || file[3] == '3');
}

// Each kind of damage by sector number.
struct ProReport {
    DamageTally missing;   // sectors after the last record
    DamageTally not_found; // deliberate bad sectors: read as zeros
    DamageTally crc;       // stored bytes used
    DamageTally lost_data; // stored bytes used
    DamageTally dangling;  // a phantom field names a record the file does not hold
};

void pro_print(const ProReport &r, const char *name)
{
    if (const DamageTally &t = r.missing; t.count)
        show_msg("%s: PRO image ends early: %u sector%s missing from sector %u", name, t.count, plural(t.count),
                 unsigned(t.first));
    if (const DamageTally &t = r.not_found; t.count)
        show_msg("%s: PRO record not found: %u sector%s from sector %u read as zeros", name, t.count,
                 plural(t.count), unsigned(t.first));
    if (const DamageTally &t = r.crc; t.count)
        show_msg("%s: PRO CRC error: %u sector%s from sector %u, stored data used", name, t.count, plural(t.count),
                 unsigned(t.first));
    if (const DamageTally &t = r.lost_data; t.count)
        show_msg("%s: PRO lost data (long sector): %u sector%s from sector %u, stored data used", name, t.count,
                 plural(t.count), unsigned(t.first));
    if (const DamageTally &t = r.dangling; t.count)
        show_msg("%s: PRO phantom past the end of the image: %u sector%s from sector %u", name, t.count,
                 plural(t.count), unsigned(t.first));
}

} // namespace

std::unique_ptr<AtrImage> pro_decode(std::span<const std::uint8_t> file, const char *name)
{
    if (!pro_signature(file))
        return nullptr;
    // The signature made the length 16 + 140 * records.
    ByteCursor in{file};
    const std::uint32_t records = be16(in.take(pro_header_size));
    const std::uint32_t held = records < pro_sectors ? records : pro_sectors;

    // The main record of each sector is the copy served.  Phantoms exist to
    // make successive reads of a protection sector differ; no DOS keeps file
    // data in such a sector, and the main record is what an emulating drive
    // answers in the simple mode and, after the first reads, in almost every
    // other.  So phantoms are never read, only checked to lie in the file.
    std::unique_ptr<AtrImage> disk = atr_create(int(pro_data_size), pro_sectors);
    ProReport report;
    for (std::uint32_t sector = 1; sector <= held; sector++) {
        const std::uint8_t *rec = in.take(pro_record_size);
        if (!rec)
            break;
        const std::uint8_t controller = rec[1];
        if (!(controller & pro_not_found)) {
            // The drive found no such sector; the record's bytes are whatever
            // was left in its buffer and are no data.
            report.not_found.add(sector);
        } else {
            std::memcpy(disk->data + std::size_t(sector - 1) * pro_data_size, rec + pro_record_header,
                        pro_data_size);
            if (!(controller & pro_crc_error))
                report.crc.add(sector);
            if (!(controller & pro_lost_data))
                report.lost_data.add(sector);
        }
        for (std::size_t field : pro_phantom_fields)
            if (rec[field] != 0 && pro_sectors + rec[field] > records) {
                report.dangling.add(sector);
                break;
            }
    }
    if (held < pro_sectors)
        report.missing = {pro_sectors - held, held + 1, 0};

    pro_print(report, name);
    return disk;
}
