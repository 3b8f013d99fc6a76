// DCM archives: decoding checked against the disk they were made from, the
// damage lines, files that only look like archives, the command line on an
// archive against the same disk as an ATR, and the real archives.
#include "capture.h"
#include "dcm.h"
#include "dcm_layout.h"
#include "dos2_layout.h"
#include "flat_layout.h"
#include "messages.h"
#include "sparta_layout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <utility>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string P = "vorlen: d.dcm: DCM ";

struct Loaded {
    std::unique_ptr<AtrImage> disk; // nullptr when the loader refused the bytes
    std::string err;
};

// The bytes as an image file named d.dcm, through the whole loader.
Loaded load(const Bytes &bytes)
{
    char *buf = nullptr;
    std::size_t len = 0;
    std::FILE *s = open_memstream(&buf, &len);
    std::FILE *old_err = std::exchange(msg_err, s);
    const char *old_prog = std::exchange(prog_name, "vorlen");
    Loaded r;
    try {
        r.disk = atr_load_bytes(bytes, "d.dcm");
    } catch (const ProgramExit &) {
    }
    msg_err = old_err, prog_name = old_prog;
    std::fclose(s);
    r.err.assign(buf, len);
    std::free(buf);
    return r;
}

// The disk as the ATR loader gives it, to compare a decoded archive with.
std::unique_ptr<AtrImage> as_atr(const DiskBuilder &d)
{
    return atr_load_bytes(d.atr(), "d.atr");
}

std::string disk_diff(const AtrImage &got, const AtrImage &want)
{
    if (got.sector_size != want.sector_size || got.sector_count != want.sector_count)
        return "geometry " + std::to_string(got.sector_count) + "x" + std::to_string(got.sector_size);
    for (std::uint32_t n = 1; n <= want.sector_count; n++)
        if (std::memcmp(atr_sector(got, n), atr_sector(want, n), std::size_t(want.sector_size)))
            return "sector " + std::to_string(n);
    return "";
}

Bytes text(std::string_view s) { return {s.begin(), s.end()}; }

DiskBuilder sd_dos2()
{
    return dos2_volume(Dos2Volume{}, {{"AUTORUN.SYS", flat_pattern(2000, 1)},
                                      {"README.TXT", text("A DCM test disk.\x9B")},
                                      {"BIG.DAT", flat_pattern(9000, 2)}})
        .disk;
}

DiskBuilder ed_dos25()
{
    Dos2Volume v;
    v.sector_count = 1040;
    return dos2_volume(v, {{"DOS.SYS", flat_pattern(4625, 3)}, {"LATE.DAT", Bytes(40000, 0x33)}}).disk;
}

DiskBuilder dd_mydos()
{
    Dos2Volume v;
    v.sector_size = 256;
    v.code = 0;
    v.file_flags = mydos_file;
    DiskBuilder d = dos2_volume(v, {{"GAMES/MAZE.COM", flat_pattern(7000, 4)}, {"NOTES.TXT", Bytes(900, 0x9B)}})
                        .disk;
    // Sectors for every block type: a repeat, a DOS-style sector, small changes.
    d.fill(700, 0, 256, 0x5A).fill(701, 0, 256, 0x5A).fill(702, 0, 250, 0x5A);
    d.fill(703, 0, 128, 0x77).fill(703, 128, 122, 0x5A);
    d.fill(704, 0, 256, 0x5A).bytes(704, 3, {1, 2, 3});
    return d;
}

DiskBuilder dd_sparta()
{
    return sparta_volume(256, 720, {{"AUTOEXEC.BAT", text("DIR\x9B")}, {"TOOLS/X.COM", flat_pattern(3000, 5)}},
                         "DCMTEST");
}

} // namespace

// Archives made from built disks, clean and damaged: the decoded disk must be
// the source disk as an ATR gives it, with the sectors the damage costs read
// as zeros, and standard error must hold exactly the lines listed.
TEST(Dcm, DecodesBuiltArchives)
{
    using Damage = std::function<void(DcmArchive &)>;
    struct Case {
        const char *what;
        DiskBuilder disk;
        DcmOptions opt;
        Damage damage;
        std::uint32_t zero_from; // sectors from here on read as zeros (0: none)
        std::string err;
    };
    DcmOptions every_type; // each type forced where it can give the sector; passes of 2 KiB
    every_type.force = {{4, dcm_type::raw},          {5, dcm_type::compressed}, {6, dcm_type::modify_begin},
                        {7, dcm_type::modify_end},   {701, dcm_type::same},     {703, dcm_type::dos}};
    every_type.pass_limit = 2048;
    DcmOptions implied; // no explicit numbers but across gaps
    implied.numbers_every_2304 = false;
    DcmOptions numbered; // an explicit number after every block, blank sectors stored
    for (std::uint32_t n = 1; n <= 720; n++)
        numbered.number_after.insert(n);
    numbered.store_blank = {100, 101, 719};
    numbered.pass_at = {50, 361, 362};
    DcmOptions at_30; // an explicit number before sector 30's block
    at_30.number_after = {29};
    DcmOptions two_passes;
    two_passes.pass_at = {361};
    DiskBuilder big(128, 1000); // a disk larger than standard, last sector in use
    big.fill(1, 0, 128, 0x11).text(1000, 0, "LAST");
    DiskBuilder clip_sd(128, 720);
    clip_sd.fill(1, 0, 128, 0x11).fill(2, 0, 128, 0x22).fill(3, 0, 128, 0x33);
    DcmOptions runs; // 43 00 80 xx: an empty literal part, a run to the end
    runs.force = {{1, dcm_type::compressed}, {2, dcm_type::compressed}, {3, dcm_type::compressed}};

    const Case cases[] = {
        {"SD DOS 2, DiskComm's own coding", sd_dos2(), {}, nullptr, 0, ""},
        {"ED DOS 2.5", ed_dos25(), {}, nullptr, 0, ""},
        {"DD MyDOS, every block type", dd_mydos(), every_type, nullptr, 0, ""},
        {"DD MyDOS, implied numbers", dd_mydos(), implied, nullptr, 0, ""},
        {"DD SpartaDOS", dd_sparta(), {}, nullptr, 0, ""},
        {"SD, explicit numbers everywhere, blank sectors stored", sd_dos2(), numbered, nullptr, 0, ""},
        {"1000 sectors", big, {}, nullptr, 0, ""},
        {"blank disk", DiskBuilder(128, 720), {}, [](DcmArchive &a) { a.bytes.resize(128, 0x1A); }, 0, ""},
        // Padding after the pass marked last is not damage.
        {"padding", sd_dos2(), {}, [](DcmArchive &a) { a.bytes.resize(a.bytes.size() + 100, 0x1A); }, 0, ""},
        // Damage: the sectors before it are kept.
        {"cut in a block", sd_dos2(), {},
         [](DcmArchive &a) { a.bytes.resize(a.block_at.at(361) + 20); }, 361,
         P + "archive truncated, 360 sectors from sector 361 on read as zeros\n"},
        {"cut in a pass header", sd_dos2(), two_passes,
         [](DcmArchive &a) { a.bytes.resize(a.block_at.at(361) - 2); }, 361,
         P + "archive truncated, 360 sectors from sector 361 on read as zeros\n"},
        {"end code of the last pass missing", sd_dos2(), {}, [](DcmArchive &a) { a.bytes.pop_back(); }, 0,
         P + "archive truncated, 359 sectors from sector 362 on read as zeros\n"},
        {"unknown block type", sd_dos2(), {}, [](DcmArchive &a) { dcm_bad_type(a, 20, 0x4C); }, 20,
         P + "unknown block type 0xCC, 701 sectors from sector 20 on read as zeros\n"},
        {"sector number 0", sd_dos2(), at_30, [](DcmArchive &a) { dcm_bad_number(a, 30, 0); }, 30,
         P + "sector number 0 out of range, 691 sectors from sector 30 on read as zeros\n"},
        {"sector number 10000", sd_dos2(), at_30, [](DcmArchive &a) { dcm_bad_number(a, 30, 10000); }, 30,
         P + "sector number 10000 out of range, 691 sectors from sector 30 on read as zeros\n"},
        {"bad pass header", sd_dos2(), two_passes,
         [](DcmArchive &a) { a.bytes.at(a.pass_at.at(1)) = 0xFB; }, 361,
         P + "bad pass header 0xFB, 360 sectors from sector 361 on read as zeros\n"},
        {"pass of another density", sd_dos2(), two_passes,
         [](DcmArchive &a) { a.bytes.at(a.pass_at.at(1) + 1) ^= 0x40; }, 361,
         P + "pass of another density, 360 sectors from sector 361 on read as zeros\n"},
        // 0x43 reaching past a 128-byte sector: the runs to 0 (256) in
        // sectors 2 and 3 are clipped, the sectors kept.
        {"runs past the sector end", clip_sd, runs,
         [](DcmArchive &a) {
             for (std::uint32_t n : {2, 3})
                 a.bytes.at(a.block_at.at(n) + 2) = 0;
         },
         0, P + "compressed data past the sector end, clipped in 2 sectors (first 2)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DcmArchive a = dcm_archive(c.disk, c.opt);
        if (c.damage)
            c.damage(a);
        Loaded got = load(a.bytes);
        ASSERT_TRUE(got.disk) << got.err;
        EXPECT_EQ(got.err, c.err);
        DiskBuilder want = c.disk;
        for (std::uint32_t n = c.zero_from; n && n <= want.sector_count; n++)
            want.fill(n, 0, std::size_t(want.sector_size), 0);
        EXPECT_EQ(disk_diff(*got.disk, *as_atr(want)), "");
    }
}

// The vectors of the format note, and archives that only a hand can make.
TEST(Dcm, HandMadeArchives)
{
    auto seq = [](std::uint8_t from, std::size_t n) {
        Bytes b;
        for (std::size_t i = 0; i < n; i++)
            b.push_back(std::uint8_t(from + i));
        return b;
    };
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes b;
        for (const Bytes &p : parts)
            b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    // Sector n's expected bytes: fill, then bytes at offsets.
    using Want = std::map<std::uint32_t, Bytes>;
    auto sector = [](std::size_t s, std::uint8_t fill, std::size_t at = 0, Bytes b = {}) {
        Bytes v(s, fill);
        std::copy(b.begin(), b.end(), v.begin() + std::ptrdiff_t(at));
        return v;
    };
    Bytes s2 = sector(128, 0xAA, 0, {0x33, 0x22, 0x11});
    Bytes s3 = s2;
    s3[126] = 0x44, s3[127] = 0x55;
    Bytes s5 = sector(128, 0, 124, {1, 2, 3, 4});
    Bytes dd5 = sector(256, 0, 252, {0xDE, 0xAD, 0xBE, 0xEF});
    Bytes dd6 = dd5;
    dd6[254] = 1, dd6[255] = 2;
    const Bytes file1 = {0xF9, 0x01, 0x01, 0x00, 0xC3, 0x00, 0x80, 0x11, 0x45};
    const Bytes file2 = {0xF9, 0x82, 0x02, 0x00, 0x43, 0x00, 0x80, 0x22, 0x45, 0x00, 0x45};

    struct Case {
        const char *what;
        Bytes bytes;
        int sector_size;
        std::uint32_t count;
        Want sectors; // all others zero
        std::string err;
    } cases[] = {
        {"vector A: every type, SD",
         cat({{0xFA, 0x81, 1, 0, 0xC3, 0x00, 0x80, 0xAA, 0xC1, 2, 0x11, 0x22, 0x33, 0xC4, 0x7E, 0x44, 0x55, 0x46, 5,
               0, 0xC2, 0, 1, 2, 3, 4, 0x47},
              seq(0, 128),
              {0x0A, 0, 0x43, 0x02, 1, 2, 0x7E, 0x00, 0x80, 3, 4, 0x45, 0, 0x45}}),
         128, 720,
         {{1, Bytes(128, 0xAA)}, {2, s2}, {3, s3}, {4, s3}, {5, s5}, {6, seq(0, 128)},
          {10, sector(128, 0, 0, cat({{1, 2}, Bytes(124, 0), {3, 4}}))}},
         ""},
        {"vector B: DD, 0 means 256, boot sector cut to 128",
         {0xFA, 0xA1, 1, 0, 0x43, 3, 1, 2, 3, 0, 0, 4, 0, 0xC3, 0, 0, 0x5A, 0xC3, 0, 0xFC, 0, 0, 0xDE, 0xAD, 0xBE,
          0xEF, 0x44, 0xFE, 1, 2, 0, 1, 0xC6, 0x45},
         256, 720, {{1, sector(256, 0, 0, {1, 2, 3})}, {4, Bytes(256, 0x5A)}, {5, dd5}, {6, dd6}, {256, dd6}}, ""},
        {"vector C: first file of a set", file1, 128, 720, {{1, Bytes(128, 0x11)}},
         P + "archive continues in another file, 719 sectors from sector 2 on read as zeros\n"},
        {"vector C: first file padded", cat({file1, Bytes(119, 0x1A)}), 128, 720, {{1, Bytes(128, 0x11)}},
         P + "archive continues in another file, 719 sectors from sector 2 on read as zeros\n"},
        {"vector C: second file alone", file2, 128, 720, {{2, Bytes(128, 0x22)}},
         P + "archive starts at pass 2, the passes before it are in other files\n"},
        {"vector C: both files", cat({{0xF9, 0x01, 0x01, 0x00, 0xC3, 0x00, 0x80, 0x11, 0x45}, file2}), 128, 720,
         {{1, Bytes(128, 0x11)}, {2, Bytes(128, 0x22)}}, ""},
        // A sector stored twice: the later block wins, which loses nothing.
        {"sector stored twice",
         {0xFA, 0x81, 7, 0, 0x43, 0, 0x80, 0x11, 7, 0, 0x43, 0, 0x80, 0x22, 0x45, 0, 0x45}, 128, 720,
         {{7, Bytes(128, 0x22)}}, ""},
        // ED sectors up to 1040 only; the ED disk is always 1040 sectors.
        {"ED, sector 1040", {0xFA, 0xC1, 0x10, 0x04, 0x43, 0, 0x80, 0x77, 0x45, 0, 0x45}, 128, 1040,
         {{1040, Bytes(128, 0x77)}}, ""},
        {"ED, sector 1041 after 1040", {0xFA, 0xC1, 0x10, 0x04, 0xC3, 0, 0x80, 0x77, 0xC6, 0x45}, 128, 1040,
         {{1040, Bytes(128, 0x77)}}, P + "sector number 1041 out of range, 0 sectors from sector 1041 on read as zeros\n"},
        // A boot sector with data in its upper half: dropped, not damage.
        {"DD boot sector upper half", cat({{0xFA, 0xA1, 2, 0, 0x47}, Bytes(256, 0x66), {0x45, 0, 0x45}}), 256, 720,
         {{2, sector(256, 0, 0, Bytes(128, 0x66))}}, ""},
        {"0x41 offset past a 128-byte sector",
         cat({{0xFA, 0x81, 1, 0, 0x41, 0x81, 9, 8}, seq(0, 128), {0x45, 0, 0x45}}), 128, 720,
         {{1, [&] {
               Bytes v = seq(0, 128);
               std::reverse(v.begin(), v.end());
               return v;
           }()}},
         P + "block 0x41 offset past the sector end, clipped in 1 sector (first 1)\n"},
        {"0x44 offset past the sector end",
         {0xFA, 0x81, 1, 0, 0xC3, 0, 0x80, 0x11, 0x44, 0x81, 0x45, 0, 0x45}, 128, 720, {{1, Bytes(128, 0x11)}},
         P + "block 0x44 offset 129 past the sector end, 719 sectors from sector 2 on read as zeros\n"},
        {"0x43 going backwards", {0xFA, 0x81, 1, 0, 0xC3, 0, 0x80, 0x11, 0x43, 2, 0xAA, 0xBB, 1, 0xCC, 0x45}, 128,
         720, {{1, Bytes(128, 0x11)}},
         P + "compressed sector going backwards, 719 sectors from sector 2 on read as zeros\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char *buf = nullptr;
        std::size_t len = 0;
        std::FILE *s = open_memstream(&buf, &len);
        std::FILE *old_err = std::exchange(msg_err, s);
        const char *old_prog = std::exchange(prog_name, "vorlen");
        std::unique_ptr<AtrImage> d = dcm_decode(c.bytes, "d.dcm");
        msg_err = old_err, prog_name = old_prog;
        std::fclose(s);
        EXPECT_EQ(std::string(buf, len), c.err);
        std::free(buf);
        ASSERT_TRUE(d);
        ASSERT_EQ(std::tie(d->sector_size, d->sector_count), std::tie(c.sector_size, c.count));
        for (std::uint32_t n = 1; n <= c.count; n++) {
            auto w = c.sectors.find(n);
            Bytes want = w == c.sectors.end() ? Bytes(std::size_t(c.sector_size), 0) : w->second;
            EXPECT_EQ(Bytes(atr_sector(*d, n), atr_sector(*d, n) + c.sector_size), want) << "sector " << n;
        }
    }
}

// Files that are no archive keep the loader's answer; files that pass the
// five signature bytes but hold garbage never crash or hang.
TEST(Dcm, FilesThatAreNoArchive)
{
    auto padded = [](Bytes b, std::uint8_t fill = 0x00) {
        b.resize(300, fill);
        return b;
    };
    const struct {
        const char *what;
        Bytes bytes;
        bool archive;
    } cases[] = {
        {"block type 0x48", padded({0xFA, 0x81, 1, 0, 0x48}), false},
        {"archive type 0xFB", padded({0xFB, 0x81, 1, 0, 0x47}), false},
        {"density 3", padded({0xFA, 0xE1, 1, 0, 0x47}), false},
        {"pass number 0", padded({0xFA, 0x80, 1, 0, 0x47}), false},
        {"start sector 0", padded({0xFA, 0x81, 0, 0, 0x47}), false},
        {"start sector 10000", padded({0xFA, 0x81, 0x10, 0x27, 0x47}), false},
        {"ED start sector 1041", padded({0xFA, 0xC1, 0x11, 0x04, 0x47}), false},
        {"PC boot code", padded({0xFA, 0x33, 0xC0, 0x8E, 0xD0}), false},
        // The stricter check: the first block must decode and be followed cleanly.
        {"first block cut short", Bytes{0xFA, 0x81, 1, 0, 0x47, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, false},
        {"bad type after the first block", padded({0xFA, 0x81, 1, 0, 0xC6, 0x00}), false},
        {"bad type after the number", padded({0xFA, 0x81, 1, 0, 0x43, 0, 0x80}, 0x11), false},
        {"empty pass not marked last", padded({0xFA, 0x01, 1, 0, 0x45}), false},
        {"empty pass, then garbage", padded({0xFA, 0x01, 1, 0, 0x45}, 0x47), false},
        {"empty archive of a blank disk", padded({0xFA, 0x81, 1, 0, 0x45}, 0x1A), true},
        {"first block, then damage", padded({0xFA, 0x81, 1, 0, 0xC6, 0x46, 0x00}), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Loaded r = load(c.bytes);
        EXPECT_EQ(bool(r.disk), c.archive) << r.err;
        if (!c.archive) {
            EXPECT_EQ(r.err, "vorlen: Error, d.dcm: not an ATR image\n");
        }
    }

    // Random files, plain and behind a valid signature: each within the
    // budget, and the plain ones all refused.
    std::mt19937 rng(1234);
    const auto t0 = std::chrono::steady_clock::now();
    unsigned accepted = 0;
    for (int k = 0; k < 2000; k++) {
        Bytes b(16 + rng() % 3000);
        for (auto &v : b)
            v = std::uint8_t(rng() % (k % 3 == 0 ? 4 : 256) + (k % 3 == 0 ? 0x44 : 0));
        const bool signed_ = k % 2 == 1;
        if (signed_) {
            b[0] = 0xFA;
            b[1] = std::uint8_t(0x81 | (rng() % 3) << 5);
            b[2] = std::uint8_t(1 + rng() % 200), b[3] = 0;
            b[4] = std::uint8_t(0x41 + rng() % 7);
        }
        Loaded r = load(b);
        if (!signed_) {
            EXPECT_EQ(r.err, "vorlen: Error, d.dcm: not an ATR image\n");
        }
        accepted += bool(r.disk);
    }
    EXPECT_GT(accepted, 0u); // some signed garbage decodes as a damaged archive
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);

    // A hostile archive of 16 MiB: one sector given again and again.
    Bytes bomb = {0xFA, 0x21, 1, 0};
    while (bomb.size() < (16u << 20))
        bomb.insert(bomb.end(), {0x46, 1, 0});
    const auto t1 = std::chrono::steady_clock::now();
    Loaded r = load(bomb);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count(), 1.0);
    ASSERT_TRUE(r.disk);
    EXPECT_EQ(r.err, P + "archive truncated, 719 sectors from sector 2 on read as zeros\n"); // no end code
}

namespace {

// Every file under `dir`, by relative path, with its bytes.
std::map<std::string, Bytes> tree(const std::string &dir)
{
    std::map<std::string, Bytes> t;
    if (!fs::exists(dir))
        return t;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        t[fs::relative(e.path(), dir).string()] = e.is_regular_file() ? read_file(e.path().string()) : Bytes{};
    return t;
}

std::string renamed(std::string s, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

} // namespace

// The real binary on each archive and on the same disk as an ATR, in every
// mode: the same status, output and messages but for the image's name, and
// the same extracted trees.
TEST(Dcm, CommandLineMatchesTheAtr)
{
    DcmOptions passes;
    passes.pass_limit = 3000;
    const struct {
        const char *name;
        DiskBuilder disk;
        DcmOptions opt;
    } disks[] = {{"sd", sd_dos2(), {}},      {"ed", ed_dos25(), {}}, {"mydos", dd_mydos(), passes},
                 {"sparta", dd_sparta(), {}}, {"blank", DiskBuilder(128, 720), {}}};
    TempDir t;
    for (const auto &d : disks) {
        SCOPED_TRACE(d.name);
        const std::string dcm = std::string(d.name) + ".dcm", atr = std::string(d.name) + ".atr";
        Bytes archive = dcm_archive(d.disk, d.opt).bytes;
        archive.resize(std::max<std::size_t>(archive.size(), 128), 0x1A); // the blank disk's archive is tiny
        write_file(t / dcm, archive);
        write_file(t / atr, d.disk.atr());
        for (const std::vector<std::string> &mode : {std::vector<std::string>{}, {"-a"}, {"-l"}, {"-X", "x"}}) {
            auto run = [&](const std::string &image) {
                std::vector<std::string> argv = {"vorlen"};
                argv.insert(argv.end(), mode.begin(), mode.end());
                if (mode.size() == 2)
                    argv.back() = "x-" + image;
                argv.push_back(image);
                RunResult r = run_vorlen(argv, t.path);
                r.out = renamed(r.out, image, "IMAGE");
                r.err = renamed(r.err, image, "IMAGE");
                return r;
            };
            SCOPED_TRACE(::testing::PrintToString(mode));
            RunResult a = run(dcm), b = run(atr);
            EXPECT_EQ(std::tie(a.status, a.out, a.err), std::tie(b.status, b.out, b.err));
        }
        EXPECT_EQ(tree(t / ("x-" + dcm)), tree(t / ("x-" + atr)));
        if (std::strcmp(d.name, "blank")) {
            EXPECT_GT(tree(t / ("x-" + dcm)).size(), 1u);
        }
    }
}

// The real archives: sector by sector what their conversions to ATR hold,
// what realdisks.md says they list, nothing on standard error, and the
// builder, following DiskComm's rules, makes them again byte for byte.
TEST(Dcm, RealArchives)
{
    const std::string dir = realdisks_dir();
    if (dir.empty() || !fs::is_directory(dir + "/containers"))
        GTEST_SKIP() << "no real disk images here";
    const struct {
        const char *name, *summary;
    } samples[] = {
        {"omnivore__mydos_sd_mydos4534", "720 sectors of 128 bytes, DOS 2.0s, 619 sectors free of 708 total.\n"
                                         "    4375\t\t/DOS.SYS\n    6708\t\t/DUP.SYS\n"},
        {"omnivore__mydos_dd_bm301318", "720 sectors of 256 bytes, DOS 2.0D, 124 sectors free of 708 total.\n"
                                        "   14780\t\t/MODPLUS\n    5283\t\t/DUP.SYS\n"},
        {"omnivore__mydos_dd_bm301419", "720 sectors of 256 bytes, DOS 2.0D, 247 sectors free of 708 total.\n"
                                        "    3795\t\t/DOS.SYS\n     995\t\t/AUTORUN.SYS\n"},
    };
    for (const auto &s : samples) {
        SCOPED_TRACE(s.name);
        const std::string dcm = std::string("containers/") + s.name + ".dcm";
        const std::string atr = dir + "/" + s.name + ".dcm.atr";
        if (!fs::exists(dir + "/" + dcm))
            continue;
        RunResult r = run_vorlen({"vorlen", dcm}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out.starts_with(dcm + ": " + s.summary)) << r.out;
        if (!fs::exists(atr))
            continue;
        const Bytes archive = read_file(dir + "/" + dcm);
        Loaded got = load(archive);
        std::unique_ptr<AtrImage> want = atr_load_bytes(read_file(atr), "x.atr");
        ASSERT_TRUE(got.disk);
        EXPECT_EQ(disk_diff(*got.disk, *want), "");
        DiskBuilder again(want->sector_size, want->sector_count);
        std::memcpy(again.data.data(), want->data, want->size);
        EXPECT_TRUE(dcm_archive(again).bytes == archive);
    }
}

// The seed files decode: the clean ones quietly, the damaged ones with a line.
TEST(Dcm, SeedFiles)
{
    for (const auto &[name, bytes] : dcm_seed_files()) {
        SCOPED_TRACE(name);
        Loaded r = load(bytes);
        ASSERT_TRUE(r.disk);
        const bool clean = name == "dos25.dcm" || name == "mydos-passes.dcm";
        EXPECT_EQ(r.err.empty(), clean) << r.err;
    }
}
