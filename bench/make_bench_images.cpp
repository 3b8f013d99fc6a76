// Writes the benchmark's disk images, made by the project's own image
// builder:
//
//   sparta.atr  SpartaDOS, 65535 sectors of 256 bytes, thousands of files in
//               three levels of directories, nearly full
//   mydos.atr   MyDOS, 65535 sectors of 256 bytes, every directory full
//               (64 entries) and the disk nearly full
//   dos25.atr   DOS 2.5, 1040 sectors of 128 bytes, 64 files filling it
//   small.atr   DOS 2.0s, 720 sectors of 128 bytes, a few files: the start-up case
//   mydos-dd.atr    MyDOS, 3200 sectors of 256 bytes (800 KB), 22 files in two directories
//   sparta-sd.atr   SpartaDOS, 720 sectors of 128 bytes, 30 files
//   sparta-dd.atr   SpartaDOS, 720 sectors of 256 bytes, 58 files in two directories
//   kboot.atr       a K-BOOT disk carrying a 20 KB executable
//   howfen.atr      a HOWFEN DOS menu disk with 6 programs
//   basic.atr       a BASIC boot disk (VELMORAX) with a 12 KB program
//   dos3.atr        Atari DOS 3, the demonstration disk of the samples
//   dosxe.atr       Atari DOS XE on an XF551 disk, 50 files in two directories
//   dos25.dcm       dos25.atr as a DiskComm archive
//   small.atx       small.atr as an ATX image
//   small.pro       small.atr as a PRO image
//
//   make_bench_images DIR
//
// Prints one line per image: its name, its files and its directories.
#include "atx_layout.h"
#include "dcm_layout.h"
#include "dos2_layout.h"
#include "dos3_layout.h"
#include "dosxe_layout.h"
#include "flat_layout.h"
#include "image_builder.h"
#include "pro_layout.h"
#include "sparta_layout.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A small deterministic generator, so every run builds the same bytes.
struct Lcg {
    std::uint32_t state;
    std::uint32_t next()
    {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

std::vector<std::uint8_t> content(std::size_t n, std::uint32_t seed)
{
    std::vector<std::uint8_t> v(n);
    Lcg g{seed};
    for (std::size_t i = 0; i < n; i++)
        v[i] = std::uint8_t(g.next());
    if (n >= 2)
        v[0] = v[1] = 0xFF; // an executable's header, for the look of it
    return v;
}

std::string numbered(const char *prefix, unsigned n, int digits)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%0*u", prefix, digits, n);
    return buf;
}

// File sizes for `count` files whose sectors, as `cost` counts them, add up
// to at most `budget`: mostly small files, every 40th a large one, then
// scaled down until they fit.
template <class Cost>
std::vector<std::size_t> sizes_within(std::size_t count, std::uint64_t budget, std::size_t mean,
                                      Cost cost)
{
    std::vector<std::size_t> base(count);
    Lcg g{std::uint32_t(count * 7919u + 1)};
    for (std::size_t i = 0; i < count; i++)
        base[i] = (i % 40 == 39) ? mean * 8 + g.next() % mean : g.next() % (2 * mean);
    for (double scale = 1.0;; scale *= 0.98) {
        std::vector<std::size_t> sizes(count);
        std::uint64_t used = 0;
        for (std::size_t i = 0; i < count; i++) {
            sizes[i] = std::size_t(double(base[i]) * scale);
            used += cost(sizes[i]);
        }
        if (used <= budget)
            return sizes;
    }
}

struct Summary {
    std::size_t files = 0, dirs = 0;
};

// SpartaDOS: 16 directories in the root, 4 in each of those, one more level
// below each of these, and files at every level: 4628 files in 144
// directories.
Summary sparta_image(const std::string &path)
{
    std::vector<std::string> names;
    std::size_t dirs = 0;
    for (unsigned f = 0; f < 20; f++)
        names.push_back(numbered("ROOT", f, 2) + ".COM");
    for (unsigned d = 0; d < 16; d++) {
        const std::string top = numbered("DIR", d, 2);
        dirs++;
        for (unsigned f = 0; f < 40; f++)
            names.push_back(top + "/" + numbered("FILE", f, 3) + ".DAT");
        for (unsigned s = 0; s < 4; s++) {
            const std::string sub = top + "/" + numbered("SUB", s, 1);
            dirs += 2;
            for (unsigned f = 0; f < 50; f++)
                names.push_back(sub + "/" + numbered("PART", f, 4) + ".OBJ");
            for (unsigned f = 0; f < 12; f++)
                names.push_back(sub + "/DEEP/" + numbered("X", f, 7) + ".TXT");
        }
    }

    const std::uint32_t sectors = 65535, s = 256;
    // A file costs its data sectors and one map sector per 126 of them (an
    // empty file still has its map).  The directories, the boot sectors and
    // the 32 bitmap sectors take well under 1200 sectors.
    auto cost = [](std::size_t bytes) -> std::uint64_t {
        std::uint64_t data = (bytes + s - 1) / s;
        return data + (data == 0 ? 1 : (data + 125) / 126);
    };
    std::vector<std::size_t> sizes = sizes_within(names.size(), sectors - 1200, 3300, cost);

    std::vector<SpartaFile> files;
    files.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); i++) {
        SpartaDate date{int(1 + i % 28), int(1 + i % 12), int(84 + i % 30) % 100,
                        int(i % 24),     int(i % 60),     int(i * 7 % 60)};
        files.push_back({names[i], content(sizes[i], std::uint32_t(i)), date});
    }
    write_file(path, sparta_volume(int(s), sectors, files, "BENCH", SpartaDate{9, 9, 99, 9, 9, 9}).atr());
    return {files.size(), dirs};
}

// MyDOS: the root holds 16 directories and 48 files, each of those
// directories 3 subdirectories and 61 files, each subdirectory 64 files:
// 4096 files in 64 directories, every directory full.
Summary mydos_image(const std::string &path)
{
    std::vector<std::string> names;
    std::size_t dirs = 0;
    // Directories are made where a path first names them, so the entries of
    // each directory come in the order written here.
    for (unsigned d = 0; d < 16; d++) {
        const std::string top = numbered("DIR", d, 2);
        dirs++;
        for (unsigned s = 0; s < 3; s++) {
            const std::string sub = top + "/" + numbered("SUB", s, 1);
            dirs++;
            for (unsigned f = 0; f < 64; f++)
                names.push_back(sub + "/" + numbered("PART", f, 4) + ".OBJ");
        }
        for (unsigned f = 0; f < 61; f++)
            names.push_back(top + "/" + numbered("FILE", f, 3) + ".DAT");
    }
    for (unsigned f = 0; f < 48; f++)
        names.push_back(numbered("ROOT", f, 2) + ".COM");

    const std::uint32_t sectors = 65535, s = 256;
    // Sectors of 253 data bytes; an empty file takes one.  The VTOC, the
    // bitmap sectors and 64 directories of 8 sectors take under 600; the
    // volume counts N - 13 sectors, so files get a little less than that.
    auto cost = [](std::size_t bytes) -> std::uint64_t {
        std::uint64_t n = (bytes + s - 4) / (s - 3);
        return n == 0 ? 1 : n;
    };
    std::vector<std::size_t> sizes = sizes_within(names.size(), sectors - 13 - 600, 3900, cost);

    std::vector<Dos2Item> items;
    items.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); i++)
        items.push_back({names[i], content(sizes[i], std::uint32_t(i) + 100000)});
    Dos2Volume vol;
    vol.sector_size = int(s);
    vol.sector_count = sectors;
    vol.code = 0; // the code MyDOS writes for this size
    vol.file_flags = mydos_file;
    write_file(path, dos2_volume(vol, items).disk.atr());
    return {items.size(), dirs};
}

// DOS 2.5 on an enhanced-density disk: 64 files, the root directory full,
// using all but a few of the 1010 sectors the volume counts.
Dos2Disk dos25_disk()
{
    auto cost = [](std::size_t bytes) -> std::uint64_t {
        std::uint64_t n = (bytes + 124) / 125;
        return n == 0 ? 1 : n;
    };
    std::vector<std::size_t> sizes = sizes_within(64, 1005, 1900, cost);
    std::vector<Dos2Item> items;
    for (std::size_t i = 0; i < sizes.size(); i++)
        items.push_back({numbered("PROG", unsigned(i), 2) + ".EXE", content(sizes[i], std::uint32_t(i) + 200000)});
    return dos2_volume(Dos2Volume{128, 1040, 2}, items);
}

Summary dos25_image(const std::string &path)
{
    write_file(path, dos25_disk().disk.atr());
    return {64, 0};
}

// DOS 2.0s on a single-density disk with a handful of files.
Dos2Disk small_disk()
{
    std::vector<Dos2Item> items = {{"DOS.SYS", content(4625, 1)},
                                   {"DUP.SYS", content(5126, 2)},
                                   {"AUTORUN.SYS", content(300, 3)},
                                   {"GAME.COM", content(12000, 4)},
                                   {"README.TXT", content(900, 5)}};
    return dos2_volume(Dos2Volume{128, 720, 2}, items);
}

Summary small_image(const std::string &path)
{
    write_file(path, small_disk().disk.atr());
    return {5, 0};
}

// MyDOS on an 800 KB double-density disk: 20 files in the root, 2 in a
// subdirectory, most of the disk used.
Summary mydos_dd_image(const std::string &path)
{
    std::vector<Dos2Item> items;
    for (unsigned i = 0; i < 20; i++)
        items.push_back({numbered("FILE", i, 2) + ".OBJ", content(30000 + 500 * i, 300000 + i)});
    items.push_back({"LIB/GRAPH.PAS", content(12000, 301000)});
    items.push_back({"LIB/VBXE.PAS", content(9000, 301001)});
    Dos2Volume vol;
    vol.sector_size = 256;
    vol.sector_count = 3200;
    vol.code = 0;
    vol.file_flags = mydos_file;
    write_file(path, dos2_volume(vol, items).disk.atr());
    return {items.size(), 1};
}

// SpartaDOS on a small disk: `files` files of a few KB, some in a subdirectory.
Summary sparta_small_image(const std::string &path, int sector_size, unsigned files, std::size_t mean)
{
    std::vector<SpartaFile> list;
    std::size_t dirs = 0;
    for (unsigned i = 0; i < files; i++) {
        std::string name = numbered("PROG", i, 3) + ".COM";
        if (i >= files / 2) {
            name = "UTIL/" + name;
            dirs = 1;
        }
        SpartaDate date{int(1 + i % 28), int(1 + i % 12), 90, int(i % 24), int(i % 60), 0};
        list.push_back({name, content(mean / 2 + (i * 389) % mean, 400000 + i), date});
    }
    write_file(path, sparta_volume(sector_size, 720, list, "BENCH", SpartaDate{1, 1, 90, 0, 0, 0}).atr());
    return {list.size(), dirs};
}

Summary sparta_sd_image(const std::string &path)
{
    return sparta_small_image(path, 128, 30, 2400);
}

Summary sparta_dd_image(const std::string &path)
{
    return sparta_small_image(path, 256, 58, 2400);
}

// A K-BOOT disk: one executable behind the loader.
Summary kboot_image(const std::string &path)
{
    write_file(path, kboot_disk(content(20000, 500000)).atr());
    return {1, 0};
}

// A HOWFEN DOS menu disk with six programs.
Summary howfen_image(const std::string &path)
{
    DiskBuilder disk = howfen_disk(720, "V2.31");
    const char *titles[] = {"RIVER RAID", "BOULDERS", "PINBALL", "CHESS", "MAZE", "TETRIS"};
    std::uint32_t first = 20;
    for (int k = 0; k < 6; k++) {
        const unsigned sectors = 60 + 10 * unsigned(k);
        howfen_program(disk, k, titles[k], first, sectors, std::uint8_t(0x11 * (k + 1)));
        first += sectors;
    }
    write_file(path, disk.atr());
    return {6, 0};
}

// A BASIC boot disk: one program behind the two-sector loader.
Summary basic_image(const std::string &path)
{
    std::vector<std::uint8_t> program = content(12000, 600000);
    program[0] = 0x00;
    program[1] = 0x07;
    write_file(path, basic_disk("BENCH.BAS", program).atr());
    return {1, 0};
}

// The DOS 3 disk of the samples: three files (a fourth is deleted).
Summary dos3_image(const std::string &path)
{
    for (const auto &[name, bytes] : dos3_seed_files())
        if (name == "dos3.atr") {
            write_file(path, bytes);
            return {3, 0};
        }
    throw std::runtime_error("no DOS 3 demonstration disk");
}

// DOS XE on an XF551 disk: 20 files in the root and 15 in each of two
// directories.
Summary dosxe_image(const std::string &path)
{
    std::vector<DosXeItem> root;
    for (unsigned d = 0; d < 2; d++) {
        DosXeItem dir{numbered("DIR", d, 1) + "/", {}};
        for (unsigned f = 0; f < 15; f++)
            dir.items.push_back({numbered("F", f, 3) + ".DAT", dosxe_pattern(1000 + 700 * f, int(d * 100 + f))});
        root.push_back(dir);
    }
    for (unsigned f = 0; f < 20; f++)
        root.push_back({numbered("PROG", f, 2) + ".COM", dosxe_pattern(2000 + 500 * f, int(1000 + f))});
    write_file(path, dosxe_volume(DosXeDensity::xf551, root).disk.atr());
    return {50, 2};
}

Summary dcm_image(const std::string &path)
{
    write_file(path, dcm_archive(dos25_disk().disk));
    return {64, 0};
}

Summary atx_image(const std::string &path)
{
    write_file(path, atx_encode(atx_from_disk(small_disk().disk)));
    return {5, 0};
}

Summary pro_image_file(const std::string &path)
{
    write_file(path, pro_image(small_disk().disk));
    return {5, 0};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_bench_images DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    struct Image {
        const char *name;
        Summary (*make)(const std::string &);
    };
    const Image images[] = {{"sparta.atr", sparta_image},
                            {"mydos.atr", mydos_image},
                            {"dos25.atr", dos25_image},
                            {"small.atr", small_image},
                            {"mydos-dd.atr", mydos_dd_image},
                            {"sparta-sd.atr", sparta_sd_image},
                            {"sparta-dd.atr", sparta_dd_image},
                            {"kboot.atr", kboot_image},
                            {"howfen.atr", howfen_image},
                            {"basic.atr", basic_image},
                            {"dos3.atr", dos3_image},
                            {"dosxe.atr", dosxe_image},
                            {"dos25.dcm", dcm_image},
                            {"small.atx", atx_image},
                            {"small.pro", pro_image_file}};
    try {
        for (const Image &img : images) {
            Summary sum = img.make(dir + "/" + img.name);
            std::printf("%s %zu files %zu directories\n", img.name, sum.files, sum.dirs);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_bench_images: %s\n", e.what());
        return 1;
    }
    return 0;
}
