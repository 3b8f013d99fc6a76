// DCM archives: hand-made archives for every block type and every kind of
// damage, files that only look like archives, the command line on a built
// archive against the same disk as an ATR, and the real archives.
#include "capture.h"
#include "dcm.h"
#include "dcm_layout.h"
#include "dos2_layout.h"
#include "flat_layout.h"
#include "messages.h"
#include "time_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string P = "vorlen: d.dcm: DCM ", not_atr = "vorlen: Error, d.dcm: not an ATR image\n";

// The bytes as d.dcm through the whole loader (or the decoder alone): the
// sectors (none when refused) and what it said on standard error.
std::pair<Bytes, std::string> load(const Bytes &bytes, decltype(&dcm_decode) decode = atr_load_bytes)
{
    Bytes got;
    std::string err = messages_of([&] {
        if (std::unique_ptr<AtrImage> d = decode(bytes, "d.dcm"))
            got.assign(d->data, d->data + d->size);
    });
    return {got, err};
}

// A damage line: the sectors from `from` on that no block gave read as zeros.
std::string lost(const std::string &cause, int sectors = 719, int from = 2)
{
    return P + cause + ", " + std::to_string(sectors) + " sectors from sector " + std::to_string(from) +
           " on read as zeros\n";
}

} // namespace

// Each archive decoded: the disk (the sectors listed as a fill byte and
// bytes at an offset, all others zero) and exactly the lines on stderr.
TEST(Dcm, Decodes)
{
    struct Sector {
        std::uint32_t n;
        std::uint8_t fill;
        std::size_t at = 0;
        Bytes b = {};
    };
    Bytes up(128);
    for (std::size_t i = 0; i < 128; i++)
        up[i] = std::uint8_t(i);
    const Bytes h = {0xFA, 0x81, 1, 0}, one = {0xFA, 0x81, 1, 0, 0xC3, 0, 0x80, 0x11}; // sector 1; 2 follows
    const Bytes f1 = {0xF9, 1, 1, 0, 0xC3, 0, 0x80, 0x11, 0x45}, f2 = {0xF9, 0x82, 2, 0, 0x43, 0, 0x80, 0x22, 0x45, 0, 0x45};
    const std::vector<Sector> s11 = {{1, 0x11}}, s11x2 = {{1, 0x11}, {2, 0x11}};
    const struct {
        const char *what;
        Bytes bytes;
        std::vector<Sector> want;
        std::string err;
        int size = 128;
        std::uint32_t count = 720;
    } cases[] = {
        {"SD, every block type, padding after the last pass",
         cat({h, {0xC3, 0, 0x80, 0xAA, 0xC1, 2, 0x11, 0x22, 0x33, 0xC4, 0x7E, 0x44, 0x55, 0x46, 5, 0, 0xC2, 0, 1, 2, 3, 4, 0x47},
              up, {10, 0, 0x43, 2, 1, 2, 0x7E, 0, 0x80, 3, 4, 0x45, 0, 0x45}, Bytes(50, 0x1A)}),
         {{1, 0xAA}, {2, 0xAA, 0, {0x33, 0x22, 0x11}}, {3, 0xAA, 0, {0x33, 0x22, 0x11}}, {3, 0xAA, 126, {0x44, 0x55}},
          {4, 0xAA, 0, {0x33, 0x22, 0x11}}, {4, 0xAA, 126, {0x44, 0x55}}, {5, 0, 124, {1, 2, 3, 4}}, {6, 0, 0, up},
          {10, 0, 0, {1, 2}}, {10, 0, 126, {3, 4}}},
         ""},
        {"DD: 0 means 256; boot sectors keep 128 bytes",
         cat({{0xFA, 0xA1, 1, 0, 0x43, 3, 1, 2, 3, 0, 0, 3, 0, 0x44, 0x80}, Bytes(128, 0x66),
              {4, 0, 0xC3, 0, 0, 0x5A, 0xC3, 0, 0xFC, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x44, 0xFE, 1, 2, 0, 1, 0xC6, 0x45}}),
         {{1, 0, 0, {1, 2, 3}}, {3, 0, 0, {1, 2, 3}}, {4, 0x5A}, {4, 0x5A, 128, Bytes(128, 0x5A)},
          {5, 0, 252, {0xDE, 0xAD, 0xBE, 0xEF}}, {6, 0, 252, {0xDE, 0xAD, 1, 2}}, {256, 0, 252, {0xDE, 0xAD, 1, 2}}},
         "", 256},
        {"a set of two files", cat({f1, f2}), {{1, 0x11}, {2, 0x22}}, ""},
        {"its first file, padded", cat({f1, Bytes(119, 0x1A)}), s11, lost("archive continues in another file")},
        {"its second file", f2, {{2, 0x22}}, P + "archive starts at pass 2, the passes before it are in other files\n"},
        {"sector 9999 twice, then 10000",
         {0xFA, 0x81, 0x0F, 0x27, 0x43, 0, 0x80, 0x11, 0x0F, 0x27, 0xC3, 0, 0x80, 0x22, 0x46, 0x45}, {{9999, 0x22}},
         lost("sector number 10000 out of range", 0, 10000), 128, 9999},
        {"ED: sector 1041", {0xFA, 0xC1, 0x10, 4, 0xC3, 0, 0x80, 0x77, 0xC6, 0x45}, {{1040, 0x77}},
         lost("sector number 1041 out of range", 0, 1041), 128, 1040},
        {"0x44 at the sector end; sector 0", cat({one, {0x44, 0x80, 0, 0, 0x46}}), s11x2, lost("sector number 0 out of range", 718, 3)},
        {"cut in a block", cat({one, {0x47, 1, 2}}), s11, lost("archive truncated")},
        {"unknown block type", cat({one, {0xC6, 0xCC}}), s11x2, lost("unknown block type 0xCC", 718, 3)},
        {"bad pass header", {0xFA, 1, 1, 0, 0xC3, 0, 0x80, 0x11, 0x45, 0xFB, 0x82, 2, 0, 0x46, 0x45}, s11,
         lost("bad pass header 0xFB")},
        {"pass of another density", {0xFA, 1, 1, 0, 0xC3, 0, 0x80, 0x11, 0x45, 0xFA, 0xA2, 2, 0, 0x46, 0x45}, s11,
         lost("pass of another density")},
        {"0x44 past the sector end", cat({one, {0x44, 0x81, 0x45}}), s11, lost("block 0x44 offset 129 past the sector end")},
        {"0x43 going backwards", cat({one, {0x43, 2, 0xAA, 0xBB, 1, 0xCC}}), s11, lost("compressed sector going backwards")},
        {"0x43 and 0x41 past a 128-byte sector, clipped",
         cat({h, {0xC3, 0, 0, 0x11, 0xC3, 0, 0, 0x22, 0x41, 0x81, 0, 0}, up, {0x45, 0, 0x45}}),
         {{1, 0x11}, {2, 0x22}, {3, 0, 0, Bytes(up.rbegin(), up.rend())}},
         P + "block 0x41 offset past the sector end, clipped in 1 sector (first 3)\n" + P +
             "compressed data past the sector end, clipped in 2 sectors (first 1)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DiskBuilder want(c.size, c.count);
        for (const Sector &s : c.want)
            std::fill_n(want.sector(s.n), s.n <= 3 && c.size == 256 ? 128 : c.size, s.fill);
        for (const Sector &s : c.want)
            std::copy(s.b.begin(), s.b.end(), want.sector(s.n) + s.at);
        auto [got, err] = load(c.bytes, dcm_decode);
        EXPECT_EQ(err, c.err);
        EXPECT_TRUE(got == want.data);
    }
}

// Near misses of the signature and of the first block, and random files,
// are refused as the loader refuses any file; garbage behind a signature
// and a hostile archive stay within the budget.
TEST(Dcm, FilesThatAreNoArchive)
{
    const Bytes tail = cat({Bytes(128, 0x11), {0x45, 0, 0x45}}); // a 0x47 block ending the last pass
    const std::pair<Bytes, bool> heads[] = {
        {{0xFA, 0x81, 1, 0, 0x47}, true},        {{0xFA, 0x81, 1, 0, 0x48}, false},    {{0xFB, 0x81, 1, 0, 0x47}, false},
        {{0xFA, 0xE1, 1, 0, 0x47}, false},       {{0xFA, 0x80, 1, 0, 0x47}, false},    {{0xFA, 0x81, 0, 0, 0x47}, false},
        {{0xFA, 0x81, 0x10, 0x27, 0x47}, false}, {{0xFA, 0xC1, 0x11, 4, 0x47}, false}, {{0xF9, 0xC1, 0x10, 4, 0x47}, true},
        {{0xFA, 0x81, 1, 0, 0xC6, 0}, false},    {{0xFA, 1, 1, 0, 0x45}, false},       {{0xFA, 0x81, 1, 0, 0x45}, true},
        {{0xFA, 0x81, 1, 0, 0xC6, 0x46, 0}, true}, // damage after the first block
    };
    for (const auto &[head, archive] : heads) {
        auto [got, err] = load(cat({head, tail}));
        EXPECT_TRUE(got.empty() != archive && (err == not_atr) != archive) << int(head[1]) << err;
    }
    std::mt19937 rng(1234);
    for (int k = 0; k < 1000; k++) {
        Bytes b(16 + rng() % 3000);
        std::generate(b.begin(), b.end(), [&] { return std::uint8_t(k % 4 ? rng() : 0x41 + rng() % 7); });
        EXPECT_EQ(load(b).second, not_atr);
        b[0] = 0xFA, b[1] = std::uint8_t(0x81 | (rng() % 3) << 5), b[2] = std::uint8_t(1 + rng() % 200), b[3] = 0;
        // Garbage behind a signature: refused, or a disk of whole sectors
        // with nothing but DCM damage lines.
        const auto [got, err] = load(b);
        if (got.empty()) {
            EXPECT_EQ(err, not_atr);
            continue;
        }
        EXPECT_EQ(got.size() % 128, 0u);
        EXPECT_TRUE(err.empty() || err.back() == '\n') << err;
        for (std::size_t at = 0, nl; (nl = err.find('\n', at)) != std::string::npos; at = nl + 1)
            EXPECT_EQ(err.compare(at, P.size(), P), 0) << err;
    }
    Bytes bomb = {0xFA, 0x21, 1, 0}; // one sector given again and again
    while (bomb.size() < (16u << 20))
        bomb.insert(bomb.end(), {0x46, 1, 0});
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(load(bomb).second, lost("archive truncated"));
    EXPECT_LT(time_since(t0), time_limit(1.0));
}

// The real binary on a built archive (every block type, a set of files
// joined, numbers implied and explicit) and on the same disk as an ATR, in
// every mode: the same status, output, messages and extracted tree.  The
// seed files decode too, the damaged ones with a line.
TEST(Dcm, CommandLineMatchesTheAtr)
{
    Dos2Volume dd{.sector_size = 256, .code = 0, .file_flags = mydos_file};
    DiskBuilder d = dos2_volume(dd, {{"GAMES/MAZE.COM", flat_pattern(7000, 4)}, {"NOTES.TXT", Bytes(900, 0x9B)}}).disk;
    d.fill(700, 0, 256, 0x5A).fill(701, 0, 256, 0x5A).fill(702, 0, 128, 0x77).fill(702, 128, 128, 0x5A);
    Bytes archive;
    for (const Bytes &f : dcm_split(d, {.force = {{4, 0x47}, {5, 0x43}, {6, 0x41}, {7, 0x44}, {701, 0x46}, {702, 0x42}},
                                        .number_after = {8, 9, 400}, .numbers_every_2304 = false, .pass_limit = 2048}))
        archive.insert(archive.end(), f.begin(), f.end());
    EXPECT_EQ(load(archive), std::pair(load(d.atr()).first, std::string()));
    TempDir t;
    write_file(t / "d.dcm", archive);
    write_file(t / "d.atr", d.atr());
    for (const std::string mode : {"", "-a", "-l", "-X"}) {
        std::string out[2];
        for (const std::string image : {"d.dcm", "d.atr"}) {
            std::vector<std::string> argv = {"vorlen", mode, "x-" + image, image};
            argv.erase(argv.begin() + (mode.empty() ? 1 : mode == "-X" ? 3 : 2), argv.end() - 1);
            RunResult r = run_vorlen(argv, t.path);
            std::string &o = out[image == "d.atr"] = std::to_string(r.status) + "\n" + r.out + "|" + r.err;
            for (std::size_t at; (at = o.find(image)) != std::string::npos;)
                o.replace(at, image.size(), "IMAGE");
        }
        EXPECT_EQ(out[0], out[1]) << mode;
    }
    std::map<std::string, Bytes> tree[2];
    for (int i : {0, 1})
        for (const fs::path dir = t / (i ? "x-d.atr" : "x-d.dcm"); const auto &e : fs::recursive_directory_iterator(dir))
            tree[i][fs::relative(e.path(), dir)] = e.is_regular_file() ? read_file(e.path()) : Bytes{};
    EXPECT_EQ(tree[0], tree[1]);
    EXPECT_EQ(tree[0].size(), 3u); // GAMES, GAMES/MAZE.COM, NOTES.TXT
    for (const auto &[name, bytes] : dcm_seed_files()) {
        const std::string err = load(bytes).second;
        EXPECT_TRUE(name == "dos25.dcm" || name == "mydos-passes.dcm" ? err.empty() : err.starts_with(P)) << name << err;
    }
}

// The real archives decode to their ATR conversions quietly.
TEST(Dcm, RealArchives)
{
    const std::string dir = realdisks_dir() + "/";
    for (const std::string name : {"omnivore__mydos_sd_mydos4534", "omnivore__mydos_dd_bm301318", "omnivore__mydos_dd_bm301419"}) {
        if (dir == "/" || !fs::exists(dir + "containers/" + name + ".dcm") || !fs::exists(dir + name + ".dcm.atr"))
            GTEST_SKIP() << "no real disk images here";
        const Bytes archive = read_file(dir + "containers/" + name + ".dcm"), atr = read_file(dir + name + ".dcm.atr");
        EXPECT_EQ(load(archive), std::pair(load(atr).first, std::string())) << name;
    }
}
