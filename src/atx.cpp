#include "atx.h"

#include "container.h"
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
    std::size_t at = 0;                   // file offset of the record
    std::span<const std::uint8_t> record; // cut at the end of the file
    std::span<const std::uint8_t> list;   // the sector headers used, 8 bytes each
    bool mfm = false;
    std::array<int, 256> weak;     // offset of the first weak byte, -1: none
    std::array<int, 256> extended; // size code of the sector as formatted, -1: none
};

using Tracks = std::array<Track, track_count>;

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
    DamageTally bad_records;     // by file offset
    DamageTally repeated_tracks; // by track number
    DamageTally no_track;        // the rest by logical sector
    DamageTally missing;
    DamageTally outside;
    DamageTally no_data;
    DamageTally crc;
    DamageTally weak; // with the weak offset of the first
    DamageTally long_sector;
};

// The geometry the sectors are decoded into.
struct Geometry {
    unsigned spt = 18; // sectors a track
    int sector_size = 128;

    // Double-density sectors 1-3 hold 128 bytes.
    std::size_t length(std::uint32_t logical) const
    {
        return sector_size == 256 && logical <= 3 ? 128 : std::size_t(sector_size);
    }
};

void report_sectors(const char *name, const DamageTally &t, const char *what)
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

// The file header's fields into `d`; the offset of the first record.
std::size_t read_header(const std::uint8_t *h, std::size_t file_size, Damage &d)
{
    d.version = le16(h + 4);
    d.bad_version = d.version != 1;
    d.density = h[18];
    d.start = le32(h + 28);
    d.end = le32(h + 32);
    if (d.start < file_header_size || d.start > file_size) {
        d.bad_start = true;
        return file_header_size;
    }
    return d.start;
}

// Reads the track record `rec` found at file offset `at` into `tracks`.
void read_track(std::span<const std::uint8_t> rec, std::size_t at, Tracks &tracks, Damage &d)
{
    ByteCursor in{rec};
    const std::uint8_t *h = in.peek(track_header_size);
    if (!h) {
        d.bad_records.add(at);
        return;
    }
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
    t.at = at;
    t.record = rec;
    t.mfm = le32(h + 16) & track_flag_mfm;
    t.weak.fill(-1);
    t.extended.fill(-1);
    const std::uint32_t sector_count = le16(h + 10);
    const std::uint32_t header_size = le32(h + 20);
    if (header_size < track_header_size || !in.seek(header_size)) {
        d.bad_records.add(at);
        return;
    }

    bool damaged = false;
    bool have_list = false;
    while (const std::uint8_t *c = in.peek(chunk_header_size)) {
        const std::uint32_t size = le32(c);
        if (size == 0) // the end chunk
            break;
        if (size < chunk_header_size || size > in.remaining()) {
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
                t.list = in.subspan(in.pos + chunk_header_size, size - chunk_header_size);
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
        in.skip(size);
    }
    if (have_list) {
        const std::size_t room = t.list.size() / 8;
        t.list = t.list.first(8 * (room < sector_count ? room : sector_count));
        if (room != sector_count)
            damaged = true;
    } else if (sector_count > 0) {
        damaged = true;
    }
    if (damaged)
        d.bad_records.add(at);
}

// The records from the cursor on.  The walk is bounded by the file, not by
// the header's end offset: writers are known to leave a host record outside
// it, or to put it 8 bytes off.  True when a host record ends the file
// exactly at that offset.
bool walk_records(ByteCursor &in, Tracks &tracks, Damage &d)
{
    bool host_at_end = false;
    while (const std::uint8_t *r = in.peek(record_header_size)) {
        const std::size_t at = in.pos;
        std::size_t size = le32(r);
        const std::uint32_t type = le16(r + 4);
        if (size < record_header_size) {
            d.broken_chain = true;
            d.chain_at = at;
            break;
        }
        if (size > in.remaining()) {
            d.cut_short = true;
            d.chain_at = at;
            size = in.remaining();
        }
        // Host records hold the writer's private data; other types are
        // unknown to this reader.  Both are passed over.
        if (type == record_track)
            read_track(in.subspan(at, size), at, tracks, d);
        else if (type == record_host && at == d.end && size == in.remaining())
            host_at_end = true;
        in.skip(size);
    }
    return host_at_end;
}

// Whether the chain damage and the end offset are damage at all, once the
// tracks are known.
void check_end(const Tracks &tracks, bool host_at_end, std::size_t file_size, Damage &d)
{
    bool complete = true; // every track read from records before the chain went wrong
    for (const Track &t : tracks)
        complete = complete && t.present && t.at + t.record.size() <= d.chain_at;
    // Bytes that make no record behind a complete disk cost nothing: some
    // archived files carry such a tail after the last track.
    bool tail = false;
    if ((d.broken_chain || d.cut_short) && complete) {
        d.broken_chain = d.cut_short = false;
        tail = true;
    }
    const std::size_t end = d.end;
    d.bad_end = !(end == file_size || end + 8 == file_size || end == file_size + 8 || host_at_end ||
                  (tail && end == d.chain_at));
}

// Older files leave the density byte 0 whatever the density; the track
// flags tell enhanced density from single then.
Geometry choose_geometry(const Tracks &tracks, Damage &d)
{
    unsigned mfm_tracks = 0, present_tracks = 0;
    for (const Track &t : tracks) {
        present_tracks += t.present;
        mfm_tracks += t.present && t.mfm;
    }
    unsigned density = d.density;
    if (density > 2) {
        d.bad_density = true;
        density = 0;
    }
    if (density == 0 && mfm_tracks * 2 > present_tracks)
        density = 1;
    return {density == 1 ? 26u : 18u, density == 2 ? 256 : 128};
}

// How trustworthy one copy of a sector is: each flag 0 or 1, the most
// serious first, so that the smaller key is the better copy.
struct Copy {
    unsigned key = ~0u;
    const std::uint8_t *data = nullptr;
    unsigned weak_offset = 0;
    unsigned copies = 0;
    bool outside = false; // some copy's data lies outside the track record
};

constexpr unsigned key_no_data = 16, key_crc = 8, key_weak = 4, key_long = 2, key_deleted = 1;

// The best copy of each sector number of track t, in one pass over its list.
std::array<Copy, 27> choose_copies(const Track &t, std::uint32_t first, const Geometry &g)
{
    std::array<Copy, 27> best{};
    const ByteCursor record{t.record};
    ByteCursor list{t.list};
    for (std::uint32_t i = 0; const std::uint8_t *s = list.take(8); i++) {
        const unsigned number = s[0];
        // Sector 0 or numbers above the track's count: protection
        // sectors that no logical sector reaches.
        if (number == 0 || number > g.spt)
            continue;
        const std::size_t length = g.length(first + number - 1);
        const unsigned status = s[1];
        const std::uint32_t data_offset = le32(s + 4);
        const std::uint8_t *data = data_offset < track_header_size ? nullptr : record.at(data_offset, length);
        Copy &b = best[number];
        b.copies++;
        unsigned key = 0;
        if (status & status_missing) {
            key = key_no_data;
        } else if (!data) {
            key = key_no_data;
            b.outside = true;
        } else {
            const int weak = i < 256 ? t.weak[i] : -1;
            const int code = i < 256 ? t.extended[i] : -1;
            if (status & status_crc)
                key |= key_crc;
            if (weak >= 0 && std::size_t(weak) < length)
                key |= key_weak;
            if ((status & (status_lost | status_request)) || (code >= 0 && (128 << code) > g.sector_size))
                key |= key_long;
            if (status & status_deleted)
                key |= key_deleted;
        }
        // Ties go to the copy earlier in the list: first after the index hole.
        if (key < b.key) {
            b.key = key;
            b.data = data;
            b.weak_offset = (key & key_weak) ? unsigned(t.weak[i]) : 0;
        }
    }
    return best;
}

// Track tn into the disk: the chosen copy of each sector, and its damage.
void decode_track(const Tracks &tracks, unsigned tn, const Geometry &g, AtrImage &disk, Damage &d)
{
    const Track &t = tracks[tn];
    const std::uint32_t first = tn * g.spt + 1;
    if (!t.present) {
        for (unsigned n = 0; n < g.spt; n++)
            d.no_track.add(first + n);
        return;
    }
    const std::array<Copy, 27> best = choose_copies(t, first, g);
    for (unsigned number = 1; number <= g.spt; number++) {
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
        std::memcpy(disk.data + std::size_t(logical - 1) * std::size_t(g.sector_size), b.data, g.length(logical));
    }
}

} // namespace

std::unique_ptr<AtrImage> atx_decode(std::span<const std::uint8_t> file, const char *name)
{
    ByteCursor in{file};
    const std::uint8_t *h = in.peek(file_header_size);
    if (!h || std::memcmp(h, "AT8X", 4) != 0)
        return nullptr;

    Damage d;
    in.seek(read_header(h, file.size(), d));
    Tracks tracks;
    const bool host_at_end = walk_records(in, tracks, d);
    check_end(tracks, host_at_end, file.size(), d);
    const Geometry g = choose_geometry(tracks, d);
    std::unique_ptr<AtrImage> disk = atr_create(g.sector_size, track_count * g.spt);
    for (unsigned tn = 0; tn < track_count; tn++)
        decode_track(tracks, tn, g, *disk, d);
    report(name, d, file.size());
    return disk;
}
