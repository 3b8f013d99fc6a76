#include "atx_layout.h"

#include "dos2_layout.h"

#include <stdexcept>

namespace {

void put16(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v)
{
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}

void put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v);
    put16(b, at + 2, v >> 16);
}

// An 8-byte chunk or record header.
void header(std::vector<std::uint8_t> &b, std::uint32_t size, std::uint8_t type, std::uint8_t num,
            std::uint16_t data)
{
    const std::size_t at = b.size();
    b.resize(at + 8);
    put32(b, at, size);
    b[at + 4] = type;
    b[at + 5] = num;
    put16(b, at + 6, data);
}

unsigned sectors_per_track(const AtxFile &f, const AtxTrack &t)
{
    return f.density == 1 || (f.density == 0 && (t.flags & 2)) ? 26 : 18;
}

std::vector<std::uint8_t> track_record(const AtxTrack &t)
{
    const std::size_t listed = t.sectors.size();
    std::vector<std::uint8_t> r(t.header_size < 32 ? 32 : t.header_size);
    put16(r, 4, 0x0000);
    r[8] = t.number;
    put16(r, 10, std::uint32_t(long(listed) + t.count_delta));
    put32(r, 16, t.flags);
    put32(r, 20, t.header_size);

    const std::size_t list_at = r.size();
    header(r, std::uint32_t(8 + 8 * listed), 0x01, 0, 0);
    r.resize(r.size() + 8 * listed);
    std::size_t data_bytes = 0;
    for (const AtxSector &s : t.sectors)
        data_bytes += s.data.size();
    header(r, std::uint32_t(8 + data_bytes), 0x00, 0, 0);
    for (std::size_t i = 0; i < listed; i++) {
        const AtxSector &s = t.sectors[i];
        std::uint8_t *h = r.data() + list_at + 8 + 8 * i;
        h[0] = s.number;
        h[1] = s.status;
        const std::uint32_t position = std::uint32_t(i * 26042 / (listed ? listed : 1));
        h[2] = std::uint8_t(position);
        h[3] = std::uint8_t(position >> 8);
        const std::size_t data_at = r.size();
        r.insert(r.end(), s.data.begin(), s.data.end());
        put32(r, list_at + 8 + 8 * i + 4, std::uint32_t(s.data_offset >= 0 ? std::size_t(s.data_offset) : data_at));
    }
    for (std::size_t i = 0; i < listed; i++) {
        if (t.sectors[i].weak >= 0)
            header(r, 8, 0x10, std::uint8_t(i), std::uint16_t(t.sectors[i].weak));
        if (t.sectors[i].size_code >= 0)
            header(r, 8, 0x11, std::uint8_t(i), std::uint16_t(t.sectors[i].size_code));
    }
    if (t.second_list)
        header(r, 8, 0x01, 0, 0);
    if (t.end_chunk)
        header(r, 0, 0, 0, 0);
    put32(r, 0, std::uint32_t(r.size()));
    return r;
}

} // namespace

AtxFile atx_from_disk(const DiskBuilder &disk, bool density_byte)
{
    const bool enhanced = disk.sector_size == 128 && disk.sector_count == 1040;
    const bool dbl = disk.sector_size == 256;
    if (disk.sector_count != (enhanced ? 1040u : 720u) || (dbl && disk.sector_count != 720))
        throw std::invalid_argument("atx_from_disk: not a 40-track disk");
    AtxFile f;
    f.density = !density_byte ? 0 : enhanced ? 1 : dbl ? 2 : 0;
    const unsigned spt = enhanced ? 26 : 18;
    for (unsigned tn = 0; tn < 40; tn++) {
        AtxTrack t;
        t.number = std::uint8_t(tn);
        t.flags = enhanced || dbl ? 2 : 0;
        // Odd sector numbers on the first pass round the track, even on the second.
        for (unsigned pass = 1; pass <= 2; pass++)
            for (unsigned n = pass; n <= spt; n += 2) {
                const std::uint32_t logical = tn * spt + n;
                const std::size_t length = dbl && logical <= 3 ? 128 : std::size_t(disk.sector_size);
                const std::uint8_t *p = disk.data.data() + std::size_t(logical - 1) * disk.sector_size;
                AtxSector s;
                s.number = std::uint8_t(n);
                s.data.assign(p, p + length);
                t.sectors.push_back(std::move(s));
            }
        f.tracks.push_back(std::move(t));
    }
    return f;
}

AtxTrack &atx_track_of(AtxFile &f, std::uint32_t n)
{
    for (AtxTrack &t : f.tracks) {
        const unsigned spt = sectors_per_track(f, t);
        if ((n - 1) / spt == t.number)
            return t;
    }
    throw std::out_of_range("atx_track_of: no track for sector " + std::to_string(n));
}

AtxSector &atx_sector(AtxFile &f, std::uint32_t n)
{
    AtxTrack &t = atx_track_of(f, n);
    const unsigned number = (n - 1) % sectors_per_track(f, t) + 1;
    for (AtxSector &s : t.sectors)
        if (s.number == number)
            return s;
    throw std::out_of_range("atx_sector: no sector " + std::to_string(n));
}

void atx_remove(AtxFile &f, std::uint32_t n)
{
    AtxTrack &t = atx_track_of(f, n);
    const unsigned number = (n - 1) % sectors_per_track(f, t) + 1;
    std::erase_if(t.sectors, [&](const AtxSector &s) { return s.number == number; });
}

AtxSector &atx_duplicate(AtxFile &f, std::uint32_t n, std::vector<std::uint8_t> data, std::uint8_t status,
                         bool before)
{
    AtxTrack &t = atx_track_of(f, n);
    AtxSector copy = atx_sector(f, n);
    copy.data = std::move(data);
    copy.status = status;
    copy.weak = copy.size_code = -1;
    // Just before the first copy, or further round the track after it.
    std::size_t at = 0;
    while (t.sectors[at].number != copy.number)
        at++;
    if (!before)
        at += 1 + (t.sectors.size() - at - 1) / 2;
    return *t.sectors.insert(t.sectors.begin() + long(at), std::move(copy));
}

std::vector<std::uint8_t> atx_encode(const AtxFile &f)
{
    std::vector<std::uint8_t> b(f.start > 48 ? f.start : 48);
    b[0] = 'A', b[1] = 'T', b[2] = '8', b[3] = 'X';
    put16(b, 4, f.version);
    put16(b, 6, 1);
    put16(b, 8, f.creator);
    b[18] = f.density;
    put32(b, 28, f.start);
    for (const AtxTrack &t : f.tracks) {
        std::vector<std::uint8_t> r = track_record(t);
        b.insert(b.end(), r.begin(), r.end());
    }
    const std::size_t end = b.size();
    if (f.end == AtxEnd::host_past_end) {
        header(b, 48, 0x00, 0x01, 0); // type 0x0100
        b.resize(end + 48, 0x5A);
    }
    b.insert(b.end(), f.tail.begin(), f.tail.end());
    put32(b, 32, std::uint32_t(f.end == AtxEnd::host_past_end ? end : f.end == AtxEnd::plus8 ? b.size() + 8 : b.size()));
    return b;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> atx_seed_files()
{
    std::vector<std::uint8_t> text(700);
    for (std::size_t i = 0; i < text.size(); i++)
        text[i] = std::uint8_t("ATX DEMO FILE\x9B"[i % 14]);
    const DiskBuilder sd = dos2_volume({}, {{"README.TXT", text}, {"GAMES/DATA.BIN", std::vector<std::uint8_t>(300, 7)}}).disk;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> seeds;
    seeds.emplace_back("demo.atx", atx_encode(atx_from_disk(sd)));

    // A protected original: sector 5 twice, the bad copy first; a weak and a
    // long sector; one missing; an extra sector 0; a deleted-data mark.
    AtxFile p = atx_from_disk(sd);
    atx_duplicate(p, 5, std::vector<std::uint8_t>(128, 0xBF), atx_status::crc, true);
    AtxSector &weak = atx_sector(p, 700);
    weak.status = atx_status::crc | atx_status::extended;
    weak.weak = 64;
    AtxSector &lng = atx_sector(p, 701);
    lng.status = atx_status::lost | atx_status::extended;
    lng.size_code = 1;
    atx_remove(p, 702);
    atx_sector(p, 703).status = atx_status::deleted;
    atx_duplicate(p, 704, std::vector<std::uint8_t>(128, 0xEE)).number = 0;
    p.end = AtxEnd::host_past_end;
    seeds.emplace_back("protected.atx", atx_encode(p));

    // Enhanced density with no density byte, as older files are written.
    Dos2Volume ed{.sector_size = 128, .sector_count = 1040};
    seeds.emplace_back("enhanced.atx", atx_encode(atx_from_disk(dos2_volume(ed, {{"E.DAT", text}}).disk, false)));

    // Double density: sectors 1-3 hold 128 bytes.
    Dos2Volume dd{.sector_size = 256};
    seeds.emplace_back("double.atx", atx_encode(atx_from_disk(dos2_volume(dd, {{"D.DAT", text}}).disk)));

    // Cut short in the middle of track 20.
    std::vector<std::uint8_t> cut = atx_encode(atx_from_disk(sd));
    cut.resize(48 + 20 * 2504 + 1000);
    seeds.emplace_back("cut.atx", cut);
    return seeds;
}
