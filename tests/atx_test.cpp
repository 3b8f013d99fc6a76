// ATX images: the decoded sectors and damage lines against the source disk,
// files that only look like an ATX, the command line against the same disk
// as an ATR, and the real protected sample.
#include "atx.h"
#include "atx_layout.h"
#include "capture.h"
#include "dos2_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

// atx_decode on `file` into `decoded`; returns its messages.
std::unique_ptr<AtrImage> decoded;
std::string decode(const Bytes &file)
{
    static std::span<const std::uint8_t> in;
    in = file;
    return run_handler([](const AtrImage &, const char *, int, int, int) { return decoded = atx_decode(in, "t.atx"), 0; },
                       AtrImage{}, "").err;
}

// The binary on `bytes` saved as "disk": status, stdout, stderr, and the tree that -X out wrote.
struct Cli {
    RunResult r;
    std::map<std::string, Bytes> tree;
    bool operator==(const Cli &o) const { return std::tie(r.status, r.out, r.err, tree) == std::tie(o.r.status, o.r.out, o.r.err, o.tree); }
};
Cli run_on(const Bytes &bytes, std::vector<std::string> words)
{
    TempDir t;
    std::error_code ec; // no "out" without -X
    write_file(t / "disk", bytes);
    words.insert(words.begin(), "vorlen"), words.push_back("disk");
    Cli run{run_vorlen(words, t.path), {}};
    for (const auto &e : fs::recursive_directory_iterator(t / "out", fs::directory_options::none, ec))
        run.tree[e.path().string().substr(t.path.size())] = e.is_regular_file() ? read_file(e.path()) : Bytes{};
    return run;
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
    std::string text;
    while (text.size() < 3000)
        text += "THE QUICK BROWN FOX\x9B";
    const std::vector<Dos2Item> items = {{"README.TXT", {text.begin(), text.begin() + 700}}, {"GAMES/DATA.BIN", {text.begin(), text.end()}}};
    // On the protected file, directory and VTOC sectors nothing is lost or printed; on DD sectors 1-3 hold 128 bytes.
    const DiskBuilder sd = dos2_volume({}, items).disk, dd = dos2_volume({.sector_size = 256}, items).disk;
    AtxFile p = atx_from_disk(sd);
    atx_sector(p, 4, 0xBF, 0x08, true), atx_sector(p, 361, 0xFF, 0x20), atx_sector(p, 360, 0).number = 0;
    for (const auto &[atx, disk] : {std::pair{atx_encode(p), sd}, {atx_encode(atx_from_disk(dd)), dd}})
        for (const std::vector<std::string> &words : std::vector<std::vector<std::string>>{{}, {"-a"}, {"-l"}, {"-X", "out"}}) {
            SCOPED_TRACE(::testing::PrintToString(words));
            const Cli a = run_on(atx, words), b = run_on(disk.atr(), words);
            EXPECT_TRUE(a == b) << a.r.out << a.r.err << "\n----\n" << b.r.out << b.r.err;
            EXPECT_EQ(b.r.status, 0);
            EXPECT_EQ(b.tree.empty(), words.empty() || words[0] != "-X");
        }
    atx_sector(p, 700).number = 0; // damage: the line comes before the listing
    const RunResult r = run_on(atx_encode(p), {}).r;
    EXPECT_EQ(std::tie(r.status, r.err), std::make_tuple(0, "vorlen: disk: ATX 1 sector missing, first sector 700\n"));
    EXPECT_EQ(r.out.substr(0, 31), "disk: 720 sectors of 128 bytes,");
}

TEST(AtxCli, NotAnAtx)
{
    Bytes atx = atx_encode(atx_from_disk(DiskBuilder(128, 720)));
    std::vector<Bytes> files = {{atx.begin(), atx.begin() + 47}}; // a header one byte short
    for (std::uint8_t last : {0x78, 0x59, 0xD8})                  // x, Y, X with bit 7
        files.push_back(atx), files.back()[3] = last;
    std::mt19937 rng(7);
    for (std::size_t size : {16, 100, 5000, 92159, 133121}) {
        Bytes &v = files.emplace_back(size);
        for (std::uint8_t &b : v)
            b = std::uint8_t(rng());
        std::copy_n(atx.begin(), 4, v.begin()); // random records behind the signature: read without harm
        decode(v);
        EXPECT_EQ(decoded != nullptr, size >= 48);
        v[0] = 0;
    }
    for (const Bytes &bytes : files) {
        SCOPED_TRACE(bytes.size());
        decode(bytes);
        EXPECT_EQ(decoded, nullptr);
        const RunResult r = run_on(bytes, {}).r;
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(1, "", "vorlen: Error, disk: not an ATR image\n"));
    }
    atx.resize(92160); // an ATX of a raw image's size is a raw image
    EXPECT_EQ(run_on(atx, {}).r.err, "vorlen: disk: ATR image format not supported.\n");
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
    EXPECT_EQ(r.out, name + ": 720 sectors of 128 bytes, DOS 1, 636 sectors free of 709 total.\n     672\t\t/DEMO1.PB\n"
                     "    1548\t\t/DEMO2.PB\n    2235\t\t/DEMO3.PB\n    2080\t\t/DEMO4.PB\n    2295\t\t/DEMO5.PB\n");
}

TEST(AtxSeeds, DemoClean)
{
    for (const auto &[name, bytes] : atx_seed_files())
        EXPECT_EQ(decode(bytes).empty(), name == "demo.atx") << name;
}
