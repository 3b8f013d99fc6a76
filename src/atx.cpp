#include "atx.h"

#include "messages.h"

#include <array>
#include <cstring>

// An ATX file records each track as the drive saw it: every sector header
// found on the track in physical order, so a sector may be there twice or
// not at all, with the controller status of its read.  What a lister needs
// is one plain copy of each logical sector; the rule below picks it the
// same way every time, so the same file always lists the same.

namespace {

constexpr std::size_t file_header_size = 48;
constexpr std::size_t record_header_size = 8;
constexpr std::size_t track_header_size = 32;
constexpr std::size_t chunk_header_size = 8;
constexpr unsigned track_count = 40; // side one of a 40-track disk; nothing else is ever imaged

constexpr std::uint32_t record_track = 0x0000;
constexpr std::uint32_t record_host = 0x0100; // the writer's private data

constexpr std::uint8_t chunk_sector_list = 0x01;
constexpr std::uint8_t chunk_weak = 0x10;
constexpr std::uint8_t chunk_extended = 0x11;

// Controller status of a sector read, as the file stores it (not inverted).
constexpr std::uint8_t status_request = 0x02; // data request still pending: a long sector
constexpr std::uint8_t status_lost = 0x04;    // lost data: a long sector
constexpr std::uint8_t status_crc = 0x08;
constexpr std::uint8_t status_missing = 0x10; // address field without a data field
constexpr std::uint8_t status_deleted = 0x20;

constexpr std::uint32_t track_flag_mfm = 0x0002;

// One track record, as far as the decoder uses it.  Weak-data and extended
// header chunks name a sector by its list index, a single byte, so 256
// entries hold every one of them.
struct Track {
    bool present = false;
    std::span<const std::uint8_t> record; // cut at the end of the file
    std::size_t list = 0;                 // offset of the sector headers in the record
    std::uint32_t listed = 0;             // sector headers used
    bool mfm = false;
    std::array<int, 256> weak;     // offset of the first weak byte, -1: none
    std::array<int, 256> extended; // size code of the sector as formatted, -1: none
};

// One kind of damage: how many sectors (or records) it touched and where first.
struct Tally {
    unsigned count = 0;
    std::size_t first = 0;
    std::size_t detail = 0; // the weak offset of the first weak sector

    void add(std::size_t where, std::size_t what = 0)
    {
        if (count++ == 0) {
            first = where;
            detail = what;
        }
    }
};

struct Damage {
    bool bad_version = false;
    unsigned version = 0;
    bool bad_density = false;
    unsigned density = 0;
    bool bad_start = false;
    std::uint32_t start = 0;
    bool bad_end = false;
    std::uint32_t end = 0;
    bool broken_chain = false; // a record size below 8
    bool cut_short = false;    // a record runs past the end of the file
    std::size_t chain_at = 0;
    Tally bad_records;    // by file offset
    Tally repeated_tracks; // by track number
    Tally no_track;       // the rest by logical sector
    Tally missing;
    Tally outside;
    Tally no_data;
    Tally crc;
    Tally weak;
    Tally long_sector;
};


void report_sectors(const char *name, const Tally &t, const char *what)
{
    if (t.count)
        show_msg("%s: ATX %u sector%s %s, first sector %zu", name, t.count, plural(t.count), what, t.first);
}

void report(const char *name, const Damage &d, std::size_t file_size)
{
    if (d.bad_version)
        show_msg("%s: ATX version %u, read as version 1", name, d.version);
    if (d.bad_start)
        show_msg("%s: ATX first record offset %u invalid, 48 used", name, unsigned(d.start));
    if (d.bad_density)
        show_msg("%s: ATX unknown density %u, taken from the track flags", name, d.density);
    if (d.bad_end)
        show_msg("%s: ATX end offset %u, file holds %zu bytes", name, unsigned(d.end), file_size);
    if (d.broken_chain)
        show_msg("%s: ATX record chain broken at offset %zu, rest of file ignored", name, d.chain_at);
    if (d.cut_short)
        show_msg("%s: ATX file cut short in the record at offset %zu", name, d.chain_at);
    if (d.bad_records.count)
        show_msg("%s: ATX %u damaged track record%s, first at offset %zu", name, d.bad_records.count,
                 plural(d.bad_records.count), d.bad_records.first);
    if (d.repeated_tracks.count)
        show_msg("%s: ATX %u track record%s repeated, first for track %zu, first record used", name,
                 d.repeated_tracks.count, plural(d.repeated_tracks.count), d.repeated_tracks.first);
    report_sectors(name, d.no_track, "without a track record");
    report_sectors(name, d.missing, "missing");
    report_sectors(name, d.outside, "with data outside its track record");
    report_sectors(name, d.no_data, "without data (record not found)");
    report_sectors(name, d.crc, "with CRC error, stored data used");
    if (d.weak.count)
        show_msg("%s: ATX %u sector%s with weak bytes, first sector %zu from offset %zu", name, d.weak.count,
                 plural(d.weak.count), d.weak.first, d.weak.detail);
    report_sectors(name, d.long_sector, "long, first bytes used");
}

// Reads the track record `rec` found at file offset `at` into `tracks`.
void read_track(std::span<const std::uint8_t> rec, std::size_t at, std::array<Track, track_count> &tracks,
                Damage &d)
{
    if (rec.size() < track_header_size) {
        d.bad_records.add(at);
        return;
    }
    const std::uint8_t *h = rec.data();
    const unsigned number = h[8];
    // A track beyond 39 holds no logical sector: an extra track of a
    // protection, or a stray byte, and nothing is lost by passing it over.
    if (number >= track_count)
        return;
    Track &t = tracks[number];
    if (t.present) {
        d.repeated_tracks.add(number);
        return;
    }
    t.present = true;
    t.record = rec;
    t.mfm = le32(h + 16) & track_flag_mfm;
    t.weak.fill(-1);
    t.extended.fill(-1);
    const std::uint32_t sector_count = le16(h + 10);
    const std::uint32_t header_size = le32(h + 20);
    if (header_size < track_header_size || header_size > rec.size()) {
        d.bad_records.add(at);
        return;
    }

    bool damaged = false;
    bool have_list = false;
    std::size_t list_size = 0;
    std::size_t pos = header_size;
    while (rec.size() - pos >= chunk_header_size) {
        const std::uint8_t *c = rec.data() + pos;
        const std::uint32_t size = le32(c);
        if (size == 0) // the end chunk
            break;
        if (size < chunk_header_size || size > rec.size() - pos) {
            damaged = true;
            break;
        }
        const unsigned num = c[5];
        const unsigned data = le16(c + 6);
        switch (c[4]) {
        case chunk_sector_list:
            // One writer closes every track with a second, empty list.
            if (!have_list) {
                have_list = true;
                t.list = pos + chunk_header_size;
                list_size = size - chunk_header_size;
            } else if (size != chunk_header_size) {
                damaged = true;
            }
            break;
        case chunk_weak:
            if (t.weak[num] < 0)
                t.weak[num] = int(data);
            break;
        case chunk_extended:
            if (t.extended[num] < 0)
                t.extended[num] = int(data & 3);
            break;
        default: // the sector data, and chunks unknown to this reader
            break;
        }
        pos += size;
    }
    if (have_list) {
        const std::size_t room = list_size / 8;
        t.listed = std::uint32_t(room < sector_count ? room : sector_count);
        if (room != sector_count)
            damaged = true;
    } else if (sector_count > 0) {
        damaged = true;
    }
    if (damaged)
        d.bad_records.add(at);
}

// How trustworthy one copy of a sector is: each flag 0 or 1, the most
// serious first, so that the smaller key is the better copy.
struct Copy {
    unsigned key = ~0u;
    std::uint32_t data_offset = 0;
    unsigned weak_offset = 0;
    unsigned copies = 0;
    bool outside = false; // some copy's data lies outside the track record
};

constexpr unsigned key_no_data = 16, key_crc = 8, key_weak = 4, key_long = 2, key_deleted = 1;

} // namespace

std::unique_ptr<AtrImage> atx_decode(std::span<const std::uint8_t> file, const char *name)
{
    if (file.size() < file_header_size || std::memcmp(file.data(), "AT8X", 4) != 0)
        return nullptr;

    Damage d;
    const std::uint8_t *h = file.data();
    d.version = le16(h + 4);
    d.bad_version = d.version != 1;
    d.density = h[18];
    d.start = le32(h + 28);
    d.end = le32(h + 32);
    std::size_t pos = d.start;
    if (d.start < file_header_size || d.start > file.size()) {
        d.bad_start = true;
        pos = file_header_size;
    }

    // The walk is bounded by the file, not by `end`: writers are known to
    // leave a host record outside `end`, or to put `end` 8 bytes off.
    std::array<Track, track_count> tracks;
    bool host_at_end = false;
    while (file.size() - pos >= record_header_size) {
        const std::uint8_t *r = file.data() + pos;
        std::size_t size = le32(r);
        const std::uint32_t type = le16(r + 4);
        if (size < record_header_size) {
            d.broken_chain = true;
            d.chain_at = pos;
            break;
        }
        if (size > file.size() - pos) {
            d.cut_short = true;
            d.chain_at = pos;
            size = file.size() - pos;
        }
        // Host records hold the writer's private data; other types are
        // unknown to this reader.  Both are passed over.
        if (type == record_track)
            read_track(file.subspan(pos, size), pos, tracks, d);
        else if (type == record_host && pos == d.end && size == file.size() - pos)
            host_at_end = true;
        pos += size;
    }

    unsigned mfm_tracks = 0, present_tracks = 0;
    bool complete = true; // every track read from records before the chain went wrong
    for (const Track &t : tracks) {
        present_tracks += t.present;
        mfm_tracks += t.present && t.mfm;
        complete = complete && t.present && t.record.data() + t.record.size() <= file.data() + d.chain_at;
    }
    // Bytes that make no record behind a complete disk cost nothing: some
    // archived files carry such a tail after the last track.
    bool tail = false;
    if ((d.broken_chain || d.cut_short) && complete) {
        d.broken_chain = d.cut_short = false;
        tail = true;
    }
    const std::size_t end = d.end;
    d.bad_end = !(end == file.size() || end + 8 == file.size() || end == file.size() + 8 || host_at_end ||
                  (tail && end == d.chain_at));

    // Older files leave the density byte 0 whatever the density; the
    // track flags tell enhanced density from single then.
    unsigned density = d.density;
    if (density > 2) {
        d.bad_density = true;
        density = 0;
    }
    if (density == 0 && mfm_tracks * 2 > present_tracks)
        density = 1;
    const unsigned spt = density == 1 ? 26 : 18;
    const int sector_size = density == 2 ? 256 : 128;
    std::unique_ptr<AtrImage> disk = atr_create(sector_size, track_count * spt);

    for (unsigned tn = 0; tn < track_count; tn++) {
        const Track &t = tracks[tn];
        const std::uint32_t first = tn * spt + 1;
        if (!t.present) {
            for (unsigned n = 0; n < spt; n++)
                d.no_track.add(first + n);
            continue;
        }
        // The copies of each sector number, in one pass over the list.
        std::array<Copy, 27> best{};
        const std::uint8_t *list = t.record.data() + t.list;
        for (std::uint32_t i = 0; i < t.listed; i++) {
            const std::uint8_t *s = list + 8 * std::size_t(i);
            const unsigned number = s[0];
            // Sector 0 or numbers above the track's count: protection
            // sectors that no logical sector reaches.
            if (number == 0 || number > spt)
                continue;
            const std::uint32_t logical = first + number - 1;
            const std::size_t length = sector_size == 256 && logical <= 3 ? 128 : std::size_t(sector_size);
            const unsigned status = s[1];
            const std::uint32_t data_offset = le32(s + 4);
            Copy &b = best[number];
            b.copies++;
            unsigned key = 0;
            if (status & status_missing) {
                key = key_no_data;
            } else if (data_offset < track_header_size || data_offset > t.record.size() ||
                       length > t.record.size() - data_offset) {
                key = key_no_data;
                b.outside = true;
            } else {
                const int weak = i < 256 ? t.weak[i] : -1;
                const int code = i < 256 ? t.extended[i] : -1;
                if (status & status_crc)
                    key |= key_crc;
                if (weak >= 0 && std::size_t(weak) < length)
                    key |= key_weak;
                if ((status & (status_lost | status_request)) || (code >= 0 && (128 << code) > sector_size))
                    key |= key_long;
                if (status & status_deleted)
                    key |= key_deleted;
            }
            // Ties go to the copy earlier in the list: first after the index hole.
            if (key < b.key) {
                b.key = key;
                b.data_offset = data_offset;
                b.weak_offset = (key & key_weak) ? unsigned(t.weak[i]) : 0;
            }
        }
        for (unsigned number = 1; number <= spt; number++) {
            const Copy &b = best[number];
            const std::uint32_t logical = first + number - 1;
            // Data pointed outside the record is damage even when another
            // copy stands in; when none does, that is the reason reported.
            if (b.outside)
                d.outside.add(logical);
            if (b.copies == 0) {
                d.missing.add(logical);
                continue;
            }
            if (b.key & key_no_data) {
                if (!b.outside)
                    d.no_data.add(logical);
                continue;
            }
            if (b.key & key_crc)
                d.crc.add(logical);
            if (b.key & key_weak)
                d.weak.add(logical, b.weak_offset);
            if (b.key & key_long)
                d.long_sector.add(logical);
            // A deleted-data mark, or a clean copy chosen among several,
            // loses nothing and is not reported.
            const std::size_t length = sector_size == 256 && logical <= 3 ? 128 : std::size_t(sector_size);
            std::memcpy(disk->data + std::size_t(logical - 1) * std::size_t(sector_size),
                        t.record.data() + b.data_offset, length);
        }
    }
    report(name, d, file.size());
    return disk;
}
