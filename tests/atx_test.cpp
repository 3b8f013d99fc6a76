// ATX images: the decoded sectors against the disk they were made from, the
// damage lines, files that only look like an ATX, and the command line on
// an ATX against the same disk as an ATR.
#include "atx.h"
#include "atx_layout.h"
#include "capture.h"
#include "dos2_layout.h"
#include "messages.h"
#include "sparta_layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace {

struct Decoded {
    std::unique_ptr<AtrImage> disk;
    std::string err;
};

Decoded decode(const std::vector<std::uint8_t> &bytes)
{
    char *buf = nullptr;
    std::size_t len = 0;
    std::FILE *mem = open_memstream(&buf, &len);
    std::FILE *old = msg_err;
    msg_err = mem;
    Decoded d{atx_decode(bytes, "t.atx"), ""};
    msg_err = old;
    std::fclose(mem);
    d.err.assign(buf, len);
    std::free(buf);
    return d;
}

// Every sector distinct, so that a wrong copy or a shifted offset shows.
// Sectors 1-3 of a 256-byte disk hold 128 bytes, as on the disk.
DiskBuilder pattern_disk(int sector_size, std::uint32_t count)
{
    DiskBuilder d(sector_size, count);
    for (std::uint32_t n = 1; n <= count; n++) {
        const std::size_t length = sector_size == 256 && n <= 3 ? 128 : std::size_t(sector_size);
        for (std::size_t i = 0; i < length; i++)
            d.sector(n)[i] = std::uint8_t(n * 31 + i * 7 + (n >> 8));
    }
    return d;
}

std::vector<std::uint8_t> filled(std::uint8_t v, std::size_t n = 128) { return std::vector<std::uint8_t>(n, v); }

// The byte offset of track `t`'s record in a file of 18 sectors a track.
constexpr std::size_t sd_record = 2504;
std::size_t sd_track_at(unsigned t) { return 48 + t * sd_record; }

void put32(std::vector<std::uint8_t> &b, std::size_t at, std::uint32_t v)
{
    for (int k = 0; k < 4; k++)
        b[at + k] = std::uint8_t(v >> 8 * k);
}

} // namespace

TEST(AtxDecode, Table)
{
    using Edit = std::function<void(AtxFile &)>;
    using Poke = std::function<void(std::vector<std::uint8_t> &)>;
    const std::vector<std::uint8_t> Z = filled(0);
    // Sectors first to last, every step-th, expected to hold `bytes` rather
    // than what the source disk has.
    struct Changed {
        std::uint32_t first, last;
        std::vector<std::uint8_t> bytes;
        std::uint32_t step = 1;
    };
    // base: 0 SD, 1 ED, 2 DD.  `err`: the lines after "vorlen: t.atx: ATX ".
    struct Case {
        const char *what;
        int base = 0;
        Edit edit = nullptr;
        Poke poke = nullptr;
        std::vector<Changed> sectors = {};
        std::vector<std::string> err = {};
        bool density_byte = true;
    };
    const Case cases[] = {
        {"clean SD"},
        {"clean ED", 1},
        {"ED without density byte: the MFM flags tell", 1, nullptr, nullptr, {}, {}, false},
        {"clean DD, sectors 1-3 of 128 bytes", 2},
        // Protection artefacts that lose nothing.
        {"bad copy first, good copy taken", 0,
         [](AtxFile &f) { atx_duplicate(f, 41, filled(0xBF), atx_status::crc, true); }},
        {"two clean copies: the first in the list", 0, [](AtxFile &f) { atx_duplicate(f, 41, filled(0xBF)); }},
        {"a clean copy before: taken", 0, [](AtxFile &f) { atx_duplicate(f, 41, filled(0xBF), 0, true); }, nullptr,
         {{41, 41, filled(0xBF)}}},
        {"deleted mark loses to a clean copy", 0,
         [](AtxFile &f) { atx_duplicate(f, 41, filled(0xBF), atx_status::deleted, true); }},
        {"deleted mark alone: data used, no line", 0,
         [](AtxFile &f) { atx_sector(f, 41).status = atx_status::deleted; }},
        {"sector 0 and 19, an extended header of 128 bytes", 0,
         [](AtxFile &f) {
             atx_duplicate(f, 41, filled(0xBF)).number = 0;
             atx_duplicate(f, 42, filled(0xBE)).number = 19;
             atx_sector(f, 43).size_code = 0;
         }},
        {"weak offset 0xFFFF: none", 0, [](AtxFile &f) { atx_sector(f, 41).weak = 0xFFFF; }},
        {"track 40, second empty list, no end chunk, host record past end", 0,
         [](AtxFile &f) {
             AtxTrack extra = f.tracks[1];
             extra.number = 40;
             f.tracks.push_back(extra);
             f.tracks[3].second_list = true;
             f.tracks[4].end_chunk = false;
             f.end = AtxEnd::host_past_end;
         }},
        {"end 8 off", 0, [](AtxFile &f) { f.end = AtxEnd::plus8; }},
        {"tracks out of order", 0, [](AtxFile &f) { std::swap(f.tracks[0], f.tracks[39]); }},
        {"fewer than 8 stray bytes at the end", 0, [](AtxFile &f) { f.tail = {1, 2, 3}; }},
        {"no record behind a complete disk", 0, [](AtxFile &f) { f.tail = {3, 0, 0, 0, 0, 0, 0, 0, 9}; }},
        // Sectors lost or damaged: one line per kind, counted, first sector named.
        {"missing", 0, [](AtxFile &f) { atx_remove(f, 700), atx_remove(f, 650); }, nullptr,
         {{700, 700, Z}, {650, 650, Z}}, {"2 sectors missing, first sector 650"}},
        {"record not found", 0,
         [](AtxFile &f) {
             atx_sector(f, 41) = {.number = 5, .status = atx_status::missing, .data = {}};
             atx_duplicate(f, 41, {}, atx_status::missing);
         },
         nullptr, {{41, 41, Z}}, {"1 sector without data (record not found), first sector 41"}},
        {"CRC error and weak bytes, stored data used", 0,
         [](AtxFile &f) {
             atx_sector(f, 100).status = atx_status::crc;
             AtxSector &w = atx_sector(f, 101);
             w.status = atx_status::crc | atx_status::extended;
             w.weak = 100;
         },
         nullptr, {}, {"2 sectors with CRC error, stored data used, first sector 100",
                       "1 sector with weak bytes, first sector 101 from offset 100"}},
        {"weak chunk without the status bit counts", 0, [](AtxFile &f) { atx_sector(f, 101).weak = 5; }, nullptr, {},
         {"1 sector with weak bytes, first sector 101 from offset 5"}},
        {"a weak copy beats a CRC copy", 0,
         [](AtxFile &f) {
             atx_sector(f, 41).status = atx_status::crc;
             atx_duplicate(f, 41, filled(0x77)).weak = 1;
         },
         nullptr, {{41, 41, filled(0x77)}}, {"1 sector with weak bytes, first sector 41 from offset 1"}},
        {"long: status or extended header", 0,
         [](AtxFile &f) {
             atx_sector(f, 200).status = atx_status::lost;
             atx_sector(f, 210).status = atx_status::request;
             atx_sector(f, 220).size_code = 1;
         },
         nullptr, {}, {"3 sectors long, first bytes used, first sector 200"}},
        {"data outside the record", 0,
         [](AtxFile &f) {
             atx_sector(f, 41).data_offset = 0xFFFFFFF0; // wraps round when added to the record offset
             atx_duplicate(f, 42, filled(0x66)).data_offset = 8; // inside the track header
         },
         nullptr, {{41, 41, Z}}, {"2 sectors with data outside its track record, first sector 41"}},
        {"track absent", 0, [](AtxFile &f) { f.tracks.erase(f.tracks.begin() + 5); }, nullptr,
         {{91, 108, Z}}, {"18 sectors without a track record, first sector 91"}},
        {"track recorded twice: the first", 0,
         [](AtxFile &f) {
             AtxTrack again = f.tracks[3];
             for (AtxSector &s : again.sectors)
                 s.data = filled(0x55);
             f.tracks.push_back(again);
         },
         nullptr, {}, {"1 track record repeated, first for track 3, first record used"}},
        {"header: version, density, start, end", 0,
         [](AtxFile &f) { f.version = 2, f.density = 7; },
         [](std::vector<std::uint8_t> &b) { put32(b, 28, 12), put32(b, 32, 1234); }, {},
         {"version 2, read as version 1", "first record offset 12 invalid, 48 used",
          "unknown density 7, taken from the track flags", "end offset 1234, file holds 100208 bytes"}},
        {"start beyond the file", 0, nullptr, [](std::vector<std::uint8_t> &b) { put32(b, 28, 0xFFFFFFF0); }, {},
         {"first record offset 4294967280 invalid, 48 used"}},
        {"track header size too small", 0, [](AtxFile &f) { f.tracks[4].header_size = 16; }, nullptr,
         {{73, 90, Z}}, {"1 damaged track record, first at offset 10064", "18 sectors missing, first sector 73"}},
        {"sector count one more than listed", 0, [](AtxFile &f) { f.tracks[4].count_delta = 1; }, nullptr, {},
         {"1 damaged track record, first at offset 10064"}},
        {"sector count one less: the last listed is lost", 0, [](AtxFile &f) { f.tracks[4].count_delta = -1; },
         nullptr, {{90, 90, Z}}, {"1 damaged track record, first at offset 10064", "1 sector missing, first sector 90"}},
        {"second sector list with headers", 0,
         [](AtxFile &f) {
             f.tracks[2].second_list = true;
             f.tracks[2].end_chunk = false;
         },
         [](std::vector<std::uint8_t> &b) {
             // The empty second list becomes 16 bytes: the end of the record is its end.
             const std::size_t at = sd_track_at(3) - 8;
             b.insert(b.begin() + long(sd_track_at(3)), 8, 0);
             put32(b, at, 16);
             put32(b, sd_track_at(2), sd_record + 8);
             put32(b, 32, std::uint32_t(b.size()));
         },
         {}, {"1 damaged track record, first at offset 5056"}},
        {"chunk size 3", 0, nullptr, [](std::vector<std::uint8_t> &b) { put32(b, sd_track_at(1) + 32, 3); },
         {{19, 36, Z}}, {"1 damaged track record, first at offset 2552", "18 sectors missing, first sector 19"}},
        {"record size 4: the rest is lost", 0, nullptr,
         [](std::vector<std::uint8_t> &b) { put32(b, sd_track_at(38), 4); },
         {{685, 720, Z}},
         {"record chain broken at offset 95200, rest of file ignored",
          "36 sectors without a track record, first sector 685"}},
        {"cut short in track 20", 0, nullptr,
         [](std::vector<std::uint8_t> &b) { b.resize(sd_track_at(20) + 1000); },
         {{362, 378, Z, 2}, {373, 377, Z, 2}, {379, 720, Z}},
         {"end offset 100208, file holds 51128 bytes", "file cut short in the record at offset 50128",
          "1 damaged track record, first at offset 50128", "342 sectors without a track record, first sector 379",
          "12 sectors with data outside its track record, first sector 362"}},
        {"ED: 26 sectors a track", 1, [](AtxFile &f) { atx_remove(f, 27); }, nullptr, {{27, 27, Z}},
         {"1 sector missing, first sector 27"}},
        {"DD: sector 2 takes 128 bytes, sector 4 256", 2,
         [](AtxFile &f) { atx_sector(f, 2).status = atx_status::crc, atx_remove(f, 4); }, nullptr,
         {{4, 4, filled(0, 256)}}, {"1 sector missing, first sector 4", "1 sector with CRC error, stored data used, first sector 2"}},
    };
    const DiskBuilder bases[] = {pattern_disk(128, 720), pattern_disk(128, 1040), pattern_disk(256, 720)};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const DiskBuilder &src = bases[c.base];
        AtxFile f = atx_from_disk(src, c.density_byte);
        if (c.edit)
            c.edit(f);
        std::vector<std::uint8_t> bytes = atx_encode(f);
        if (c.poke)
            c.poke(bytes);
        Decoded d = decode(bytes);
        ASSERT_TRUE(d.disk);
        std::string err;
        for (const std::string &line : c.err)
            err += "vorlen: t.atx: ATX " + line + "\n";
        EXPECT_EQ(d.err, err);
        EXPECT_EQ(d.disk->sector_size, src.sector_size);
        ASSERT_EQ(d.disk->sector_count, src.sector_count);
        std::vector<std::uint8_t> want = src.data;
        for (const Changed &ch : c.sectors)
            for (std::uint32_t n = ch.first; n <= ch.last; n += ch.step)
                std::copy(ch.bytes.begin(), ch.bytes.end(), want.begin() + long(n - 1) * src.sector_size);
        for (std::uint32_t n = 1; n <= src.sector_count; n++)
            ASSERT_EQ(0, std::memcmp(atr_sector(*d.disk, n), want.data() + (n - 1) * src.sector_size,
                                     std::size_t(src.sector_size)))
                << "sector " << n;
    }
}

TEST(AtxDecode, HostileFilesEndQuickly)
{
    // Headers and records of random bytes behind the signature: every size
    // and offset field is garbage; the decoder must neither crash nor run on.
    std::mt19937 rng(10);
    const std::vector<std::uint8_t> good = atx_encode(atx_from_disk(pattern_disk(128, 720)));
    for (int round = 0; round < 300; round++) {
        std::vector<std::uint8_t> b = good;
        if (round % 3 == 0)
            b.resize(56 + rng() % 4000);
        for (int k = 0; k < 20; k++)
            b[48 + rng() % (b.size() - 48)] = std::uint8_t(rng() % 4 ? rng() : 0xFF);
        if (round % 5 == 0)
            for (std::size_t i = 4; i < b.size(); i++)
                b[i] = std::uint8_t(rng());
        Decoded d = decode(b);
        ASSERT_TRUE(d.disk);
        EXPECT_TRUE(d.disk->sector_count == 720 || d.disk->sector_count == 1040);
    }
}

namespace {

// The listing, messages and status of the binary on a file, and the files
// extracted, as path -> bytes.
struct CliRun {
    RunResult r;
    std::map<std::string, std::vector<std::uint8_t>> tree;
};

CliRun run_on(const std::vector<std::uint8_t> &bytes, const std::string &name, std::vector<std::string> words)
{
    TempDir t;
    write_file(t / name, bytes);
    const bool extract = words.size() && words[0] == "-X";
    words.insert(words.begin(), "vorlen");
    words.push_back(name);
    CliRun run{run_vorlen(words, t.path), {}};
    if (extract && fs::is_directory(t / "out"))
        for (const auto &e : fs::recursive_directory_iterator(t / "out"))
            run.tree[fs::relative(e.path(), t.path).string()] =
                e.is_regular_file() ? read_file(e.path().string()) : std::vector<std::uint8_t>{};
    return run;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

std::vector<std::uint8_t> text_bytes(std::size_t n, char seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++)
        v[i] = std::uint8_t(i % 40 == 39 ? 0x9B : seed + i % 23);
    return v;
}

} // namespace

TEST(AtxCli, SameAsAtr)
{
    const std::vector<Dos2Item> items = {
        {"README.TXT", text_bytes(700, 'A')}, {"GAMES/DATA.BIN", text_bytes(3000, 'a')}, {"EMPTY.DAT", {}}};
    const DiskBuilder sparta = sparta_volume(256, 720, {{"TOOLS/X.COM", text_bytes(2000, 'k')}, {"B.TXT", text_bytes(90, 'b')}}, "SPARTA");
    using Edit = std::function<void(AtxFile &)>;
    const struct {
        const char *what;
        DiskBuilder disk;
        Edit edit = nullptr;
    } disks[] = {
        {"DOS 2 SD", dos2_volume({}, items).disk},
        {"DOS 1", dos2_volume({.code = 1, .total = 709, .file_flags = dos1_file}, items).disk},
        {"DOS 2.5 ED", dos2_volume({.sector_size = 128, .sector_count = 1040}, items).disk},
        {"DOS 2 DD", dos2_volume({.sector_size = 256}, items).disk},
        {"SpartaDOS DD", sparta},
        // Protection artefacts on a listed volume lose nothing and print nothing.
        {"protected", dos2_volume({}, items).disk,
         [](AtxFile &f) {
             atx_duplicate(f, 4, filled(0xBF), atx_status::crc, true); // README's first sector
             atx_duplicate(f, 361, filled(0xFF), atx_status::deleted);  // the directory
             atx_duplicate(f, 360, filled(0x00)).number = 0;            // VTOC track
             atx_sector(f, 5).status = atx_status::deleted;
             f.end = AtxEnd::host_past_end;
         }},
    };
    const std::vector<std::vector<std::string>> modes = {{}, {"-a"}, {"-l"}, {"-X", "out"}, {"-X", "out", "-l"}};
    for (const auto &d : disks) {
        AtxFile f = atx_from_disk(d.disk, std::string(d.what) != "DOS 2.5 ED");
        if (d.edit)
            d.edit(f);
        const std::vector<std::uint8_t> atx = atx_encode(f);
        for (const auto &words : modes) {
            SCOPED_TRACE(std::string(d.what) + " " + ::testing::PrintToString(words));
            CliRun a = run_on(atx, "disk.atx", words);
            CliRun b = run_on(d.disk.atr(), "disk.atr", words);
            EXPECT_EQ(b.r.status, 0) << b.r.err;
            EXPECT_EQ(a.r.status, b.r.status);
            EXPECT_EQ(replace_all(a.r.out, "disk.atx", "disk.atr"), b.r.out);
            EXPECT_EQ(replace_all(a.r.err, "disk.atx", "disk.atr"), b.r.err);
            EXPECT_EQ(a.tree, b.tree);
            EXPECT_EQ(a.tree.empty(), words.empty() || words[0] != "-X");
        }
    }

    // Damage: the lines come before the listing, under the name as typed.
    AtxFile f = atx_from_disk(dos2_volume({}, items).disk);
    atx_remove(f, 700);
    CliRun r = run_on(atx_encode(f), "d.atx", {});
    EXPECT_EQ(r.r.status, 0);
    EXPECT_EQ(r.r.err, "vorlen: d.atx: ATX 1 sector missing, first sector 700\n");
    EXPECT_EQ(r.r.out.substr(0, 26), "d.atx: 720 sectors of 128 ");
}

TEST(AtxCli, NotAnAtx)
{
    std::vector<std::uint8_t> atx = atx_encode(atx_from_disk(pattern_disk(128, 720)));
    std::vector<std::vector<std::uint8_t>> files;
    for (int last : {0x78, 0x59, 0x5A, 0xD8}) { // x Y Z, and X with bit 7
        files.push_back(atx);
        files.back()[3] = std::uint8_t(last);
    }
    files.emplace_back(atx.begin(), atx.begin() + 47); // one byte short of a header
    std::mt19937 rng(7);
    for (std::size_t size : {16, 48, 100, 5000, 92159, 92161, 133121}) {
        std::vector<std::uint8_t> v(size);
        for (std::uint8_t &b : v)
            b = std::uint8_t(rng());
        v[0] = 0; // no ATR signature
        files.push_back(v);
    }
    for (const auto &bytes : files) {
        SCOPED_TRACE(bytes.size());
        EXPECT_EQ(decode(bytes).disk, nullptr);
        CliRun r = run_on(bytes, "f.atx", {});
        EXPECT_EQ(std::tie(r.r.status, r.r.out, r.r.err), std::make_tuple(1, "", "vorlen: Error, f.atx: not an ATR image\n"));
    }
    // An ATX of exactly a raw image's size is a raw image.
    atx.resize(92160);
    EXPECT_EQ(run_on(atx, "f.atx", {}).r.err, "vorlen: f.atx: ATR image format not supported.\n");
}

TEST(AtxRealDisk, DuplicateSectorProtection)
{
    const std::string dir = realdisks_dir();
    const std::string path = dir + "/containers/fujinet-firmware__autorun.atx";
    if (dir.empty() || !fs::exists(path))
        GTEST_SKIP() << "real disk images not available";
    // Track 2 holds sector 5 twice, both clean: 128 x 0xFF first, then 0xBF.
    Decoded d = decode(read_file(path));
    ASSERT_TRUE(d.disk);
    EXPECT_EQ(d.err, "");
    ASSERT_EQ(d.disk->sector_count, 720u);
    EXPECT_EQ(std::vector<std::uint8_t>(atr_sector(*d.disk, 41), atr_sector(*d.disk, 42)), filled(0xFF));
    EXPECT_EQ(0, std::memcmp(atr_sector(*d.disk, 42), "THIS IS A COPIED DISK!", 22));
    std::uint64_t h = 0xcbf29ce484222325; // FNV-1a of the 92,160 decoded bytes
    for (std::size_t i = 0; i < d.disk->size; i++)
        h = (h ^ d.disk->data[i]) * 0x100000001b3;
    EXPECT_EQ(h, 7004500867435118929u); // the SHA-1 of the same bytes is 3a72ce8c...fe7

    RunResult r = run_vorlen({"vorlen", "fujinet-firmware__autorun.atx"}, dir + "/containers");
    EXPECT_EQ(std::tie(r.status, r.err), std::make_tuple(0, ""));
    EXPECT_EQ(r.out, "fujinet-firmware__autorun.atx: 720 sectors of 128 bytes, DOS 1, 636 sectors free of 709 total.\n"
                     "     672\t\t/DEMO1.PB\n    1548\t\t/DEMO2.PB\n    2235\t\t/DEMO3.PB\n"
                     "    2080\t\t/DEMO4.PB\n    2295\t\t/DEMO5.PB\n");
}

TEST(AtxSeeds, DecodeAsDescribed)
{
    // The clean demo prints nothing; every seed decodes.
    for (const auto &[name, bytes] : atx_seed_files()) {
        SCOPED_TRACE(name);
        Decoded d = decode(bytes);
        ASSERT_TRUE(d.disk);
        if (name == "demo.atx" || name == "enhanced.atx" || name == "double.atx")
            EXPECT_EQ(d.err, "");
        else
            EXPECT_NE(d.err, "");
    }
}
