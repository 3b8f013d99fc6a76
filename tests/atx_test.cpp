// ATX images: the decoded sectors and damage lines against the source disk,
// files that only look like an ATX, the command line against the same disk
// as an ATR, and the real protected sample.
#include "atx.h"
#include "atx_layout.h"
#include "capture.h"
#include "dos2_layout.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

// atx_decode on `file` into `decoded`; returns its messages.
std::unique_ptr<AtrImage> decoded;
std::string decode(const Bytes &file)
{
    return messages_of([&] { decoded = atx_decode(file, "t.atx"); });
}

// The binary in `dir` on `bytes` saved as "disk".
RunResult run_in(const TempDir &dir, const Bytes &bytes, std::vector<std::string> words = {})
{
    write_file(dir / "disk", bytes);
    words.insert(words.begin(), "vorlen"), words.push_back("disk");
    return run_vorlen(words, dir.path);
}

} // namespace

TEST(AtxDecode, Table)
{
    struct Case {
        const char *what;
        int base; // 0 SD, 1 ED without the density byte, 2 DD
        std::function<void(AtxFile &)> edit;
        std::function<void(Bytes &)> poke;                 // on the file's bytes
        std::vector<std::array<std::uint32_t, 4>> want;    // slots first..last, every step-th, read as 128 x byte
        std::vector<std::string> err;                      // after "vorlen: t.atx: ATX "
    };
    const Case cases[] = {
        {"protection that costs nothing", 0, [](AtxFile &f) {
             atx_sector(f, 41, 0xBF, 0x08, true), atx_sector(f, 42, 0xBE, 0x20, true); // clean copies win over CRC, deleted
             atx_sector(f, 43, 0xBD), atx_sector(f, 44, 0xBC, 0, true);              // of two clean copies the first
             atx_sector(f, 45).status = 0x20;                                          // deleted mark alone: data used
             atx_sector(f, 46, 0xBB).number = 0, atx_sector(f, 47, 0xBA).number = 19;  // reached by no logical sector
             atx_sector(f, 48).size_code = 0, atx_sector(f, 49).weak = 128;            // formatted 128, weak past the end
             f.tracks.push_back(f.tracks[1]);                                          // track 40
         }, [](Bytes &b) { b.resize(b.size() + 48), b[b.size() - 48] = 48, b[b.size() - 43] = 1; }, // host record past end
         {{44, 44, 1, 0xBC}}, {}},
        {"junk tail that makes no record, end 8 past the file", 0, nullptr,
         [](Bytes &b) { b.insert(b.end(), {3, 0, 0, 0, 0, 0, 0, 0, 9}), atx_put32(b, 32, std::uint32_t(b.size() + 8)); }, {}, {}},
        {"no end chunk: sector 720's data ends its record", 0, nullptr,
         [](Bytes &b) { b.resize(b.size() - 8), b[48 + 39 * 2504] -= 8, atx_put32(b, 32, std::uint32_t(b.size())); }, {}, {}},
        {"sector damage, one line a kind; weak beats CRC, long beats weak", 0, [](AtxFile &f) {
             atx_sector(f, 650).number = 0, atx_sector(f, 700).number = 0;
             atx_sector(f, 43).status = 0x10, atx_sector(f, 43, 9, 0x10);
             atx_sector(f, 100).status = 0x08, atx_sector(f, 101).status = 0x08, atx_sector(f, 101).weak = 100;
             atx_sector(f, 41).status = 0x08, atx_sector(f, 41, 0x77).weak = 1;
             atx_sector(f, 42).weak = 0, atx_sector(f, 42, 0x76, 0x04);
             atx_sector(f, 44).data_offset = 0xFFFFFFF0; // wraps round when added to the record offset
             atx_sector(f, 45, 0x66).data_offset = 8;    // in the track header; the first copy stands in
             atx_sector(f, 210).status = 0x02, atx_sector(f, 220).size_code = 1;
         }, nullptr, {{41, 41, 1, 0x77}, {42, 42, 1, 0x76}, {43, 44}, {650, 700, 50}},
         {"2 sectors missing, first sector 650", "2 sectors with data outside its track record, first sector 44",
          "1 sector without data (record not found), first sector 43", "2 sectors with CRC error, stored data used, first sector 100",
          "2 sectors with weak bytes, first sector 41 from offset 1", "3 sectors long, first bytes used, first sector 42"}},
        {"track records: header size 16, count +1 and -1, chunk size 3, track 5 as a second track 3", 0,
         [](AtxFile &f) { f.tracks[5].clear(); }, [](Bytes &b) {
             b[48 + 4 * 2504 + 20] = 16, b[48 + 2 * 2504 + 10] = 19, b[48 + 3 * 2504 + 10] = 17;
             b[48 + 2504 + 32] = 3, b[48 + 5 * 2504 + 8] = 3;
         }, {{19, 36}, {72, 108}},
         {"4 damaged track records, first at offset 2552", "1 track record repeated, first for track 3, first record used",
          "18 sectors without a track record, first sector 91", "37 sectors missing, first sector 19"}},
        {"header: version, start, density, end", 0, nullptr,
         [](Bytes &b) { b[4] = 2, b[18] = 7, atx_put32(b, 28, 12), atx_put32(b, 32, 1234); }, {},
         {"version 2, read as version 1", "first record offset 12 invalid, 48 used",
          "unknown density 7, taken from the track flags", "end offset 1234, file holds 100208 bytes"}},
        {"start beyond the file", 0, nullptr, [](Bytes &b) { atx_put32(b, 28, 0xFFFFFFF0); }, {},
         {"first record offset 4294967280 invalid, 48 used"}},
        {"record size 4", 0, nullptr, [](Bytes &b) { b[48 + 38 * 2504] = 4, b[48 + 38 * 2504 + 1] = 0; }, {{685, 720}},
         {"record chain broken at offset 95200, rest of file ignored", "36 sectors without a track record, first sector 685"}},
        {"cut short in track 20", 0, nullptr, [](Bytes &b) { b.resize(48 + 20 * 2504 + 1000); },
         {{362, 378, 2}, {373, 377, 2}, {379, 720}},
         {"end offset 100208, file holds 51128 bytes", "file cut short in the record at offset 50128",
          "1 damaged track record, first at offset 50128", "342 sectors without a track record, first sector 379",
          "12 sectors with data outside its track record, first sector 362"}},
        {"ED: 26 a track by the MFM flags", 1, [](AtxFile &f) { atx_sector(f, 27).number = 0; }, nullptr, {{27, 27}},
         {"1 sector missing, first sector 27"}},
        {"DD: 128 bytes in sector 2, 256 in sector 4", 2, [](AtxFile &f) { atx_sector(f, 2).status = 0x08, atx_sector(f, 4).number = 0; },
         nullptr, {{4, 4}}, {"1 sector missing, first sector 4", "1 sector with CRC error, stored data used, first sector 2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DiskBuilder src(c.base == 2 ? 256 : 128, c.base == 1 ? 1040 : 720);
        std::mt19937 rng(7); // every sector different, so that a wrong copy or offset shows
        for (std::uint8_t &b : src.data)
            b = std::uint8_t(rng());
        for (std::uint32_t n = 1; n <= 3 && c.base == 2; n++)
            src.fill(n, 128, 128, 0);
        AtxFile f = atx_from_disk(src, c.base != 1);
        if (c.edit)
            c.edit(f);
        Bytes bytes = atx_encode(f);
        if (c.poke)
            c.poke(bytes);
        std::string err;
        for (const std::string &line : c.err)
            err += "vorlen: t.atx: ATX " + line + "\n";
        EXPECT_EQ(decode(bytes), err);
        for (const auto &[first, last, step, byte] : c.want)
            for (std::uint32_t n = first; n <= last; n += step ? step : 1)
                src.fill(n, 0, std::size_t(src.sector_size), std::uint8_t(byte));
        ASSERT_TRUE(decoded && decoded->sector_size == src.sector_size && decoded->sector_count == src.sector_count);
        for (std::uint32_t n = 1; n <= src.sector_count; n++)
            ASSERT_EQ(0, std::memcmp(atr_sector(*decoded, n), src.sector(n), std::size_t(src.sector_size))) << "sector " << n;
    }
}

TEST(AtxCli, SameAsAtr)
{
    // The demo volume, clean and with protection that costs nothing: the
    // listing, messages, status and extracted tree of its ATR.
    const auto seeds = atx_seed_files();
    for (const auto &seed : {seeds[0], seeds[1]})
        for (const std::vector<std::string> &words : std::vector<std::vector<std::string>>{{}, {"-a"}, {"-l"}, {"-X", "out"}}) {
            SCOPED_TRACE(seed.first + " " + ::testing::PrintToString(words));
            const TempDir a, b;
            const RunResult ra = run_in(a, seed.second, words), rb = run_in(b, atx_demo_disk().atr(), words);
            EXPECT_EQ(std::tie(ra.status, ra.out, ra.err), std::tie(rb.status, rb.out, rb.err));
            EXPECT_EQ(std::system(("diff -r -x disk " + a.path + " " + b.path).c_str()), 0);
            EXPECT_EQ(rb.status, 0);
            EXPECT_EQ(fs::exists(b / "out/GAMES/DATA.BIN"), words.size() == 2);
        }
    // Damage: its lines come first, under the name as typed, and the listing follows.
    const TempDir t;
    const RunResult r = run_in(t, seeds[2].second);
    EXPECT_EQ(r.err.substr(0, 74), "vorlen: disk: ATX end offset 100208, file holds 51128 bytes\nvorlen: disk: ");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("disk: 720 sectors of 128 bytes, DOS 2", 0), 0u);
}

TEST(AtxCli, NotAnAtx)
{
    // Near misses of the signature (x, Y, X with bit 7), a header one byte
    // short, random files: "not an ATR image", and the decoder silent.
    Bytes atx = atx_encode(atx_from_disk(DiskBuilder(128, 720)));
    std::vector<Bytes> files = {{atx.begin(), atx.begin() + 47}};
    for (std::uint8_t last : {0x78, 0x59, 0xD8})
        files.push_back(atx), files.back()[3] = last;
    std::mt19937 rng(7);
    for (std::size_t size : {16, 100, 5000, 92159, 133121})
        for (std::uint8_t &b : files.emplace_back(size))
            b = std::uint8_t(rng());
    for (const Bytes &bytes : files) {
        const TempDir t;
        const RunResult r = run_in(t, bytes);
        EXPECT_EQ(decode(bytes) + r.out + r.err, "vorlen: Error, disk: not an ATR image\n") << bytes.size();
        EXPECT_TRUE(!decoded && r.status == 1) << bytes.size();
    }
    atx.resize(92160); // an ATX of a raw image's size is a raw image
    const TempDir t;
    EXPECT_EQ(run_in(t, atx).err, "vorlen: disk: ATR image format not supported.\n");
}

TEST(AtxRealDisk, DuplicateSectorProtection)
{
    // Track 2 holds sector 5 twice, both clean: 128 x 0xFF first, then 0xBF.
    const std::string dir = realdisks_dir() + "/containers", name = "fujinet-firmware__autorun.atx";
    if (!fs::exists(dir + "/" + name))
        GTEST_SKIP() << "real disk images not available";
    EXPECT_EQ(decode(read_file(dir + "/" + name)), "");
    ASSERT_TRUE(decoded && decoded->size == 92160);
    EXPECT_EQ(Bytes(atr_sector(*decoded, 41), atr_sector(*decoded, 42)), Bytes(128, 0xFF));
    std::uint64_t h = 0xcbf29ce484222325; // FNV-1a of the decoded bytes (SHA-1 3a72ce8c...fe7)
    for (std::size_t i = 0; i < decoded->size; i++)
        h = (h ^ decoded->data[i]) * 0x100000001b3;
    EXPECT_EQ(h, 7004500867435118929u);
    const RunResult r = run_vorlen({"vorlen", name}, dir);
    EXPECT_EQ(std::tie(r.status, r.err), std::make_tuple(0, ""));
    EXPECT_EQ(r.out, name + ": 720 sectors of 128 bytes, DOS 1, 636 sectors free of "
              "709 total.\n     672\t\t/DEMO1.PB\n    1548\t\t/DEMO2.PB\n    2235\t\t/DEMO3.PB\n    2080\t\t/DEMO4.PB\n    2295\t\t/DEMO5.PB\n");
}

// The seeds with more and more random bytes, until every size and offset
// field is garbage: always a disk of one of the three geometries, and
// nothing said but ATX damage lines, each kind at most once.
TEST(AtxSeeds, DecodeAlsoWithRandomBytes)
{
    const std::string prefix = "vorlen: t.atx: ATX ";
    std::mt19937 rng(10);
    for (auto [name, bytes] : atx_seed_files()) {
        SCOPED_TRACE(name);
        EXPECT_EQ(decode(bytes).empty(), name != "cut.atx");
        for (int round = 0; round < 100; round++) {
            for (int k = 0; k < 16; k++)
                bytes[48 + rng() % (bytes.size() - 48)] = std::uint8_t(rng() % 4 ? rng() : 0xFF);
            const std::string err = decode(bytes);
            ASSERT_TRUE(decoded);
            const std::pair<int, std::uint32_t> geometry(decoded->sector_size, decoded->sector_count);
            EXPECT_TRUE(geometry == std::pair(128, 720u) || geometry == std::pair(128, 1040u) ||
                        geometry == std::pair(256, 720u));
            EXPECT_EQ(decoded->size, std::size_t(decoded->sector_size) * decoded->sector_count);
            std::set<std::string> kinds; // the lines without their numbers
            for (std::size_t at = 0, nl; (nl = err.find('\n', at)) != std::string::npos; at = nl + 1) {
                ASSERT_EQ(err.compare(at, prefix.size(), prefix), 0) << err;
                const std::string line = err.substr(at + prefix.size(), nl - at - prefix.size());
                std::string kind;
                for (char ch : line)
                    if (!std::isdigit(static_cast<unsigned char>(ch)))
                        kind += ch;
                EXPECT_TRUE(kinds.insert(kind).second) << err;
            }
            EXPECT_TRUE(err.empty() || err.back() == '\n');
        }
    }
}
