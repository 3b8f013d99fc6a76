// Writes the seed corpus of the fuzz targets: small images of every layout
// and of the damage the handlers are built to survive, made by the
// project's own image builder.
//
//   make_seeds DIR
#include "atx_layout.h"
#include "dcm_layout.h"
#include "dos2_layout.h"
#include "dos3_layout.h"
#include "dosxe_layout.h"
#include "flat_layout.h"
#include "image_builder.h"
#include "pro_layout.h"
#include "sparta_layout.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string out_dir;
unsigned written = 0;

void seed(const std::string &name, const std::vector<std::uint8_t> &bytes)
{
    write_file(out_dir + "/" + name, bytes);
    written++;
}

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t s)
{
    return flat_pattern(n, s);
}

void loader_seeds()
{
    DiskBuilder sd(128, 720);
    seed("raw-sd.xfd", sd.raw());
    seed("raw-ed.xfd", DiskBuilder(128, 1040).raw());
    // A header that declares a size that is no whole number of sectors.
    std::vector<std::uint8_t> odd = atr_header(92176, 128);
    odd.resize(16 + 2048);
    seed("atr-rounding.atr", odd);
    // A header that declares 16 MiB on a file of a few sectors.
    std::vector<std::uint8_t> big = atr_header(16777216, 256);
    big.resize(16 + 1024, 0x55);
    seed("atr-short-16mib.atr", big);
    // 256-byte sectors with the first three stored full size, upper halves used.
    DiskBuilder dd(256, 8);
    dd.fill(1, 0, 256, 0x11).fill(2, 0, 256, 0x22).fill(3, 0, 256, 0x33).fill(8, 0, 256, 0x88);
    seed("atr-dd-full-first.atr", dd.atr(true));
}

void dos2_seeds()
{
    Dos2Volume sd;
    seed("dos20s.atr", dos2_volume(sd, {{"AUTORUN.SYS", pattern(300, 1)}, {"README.TXT", pattern(90, 2)}})
                           .disk.atr());

    Dos2Volume ed;
    ed.sector_count = 1040;
    seed("dos25.atr", dos2_volume(ed, {{"DOS.SYS", pattern(700, 3)}}).disk.atr());

    Dos2Volume mydos;
    mydos.sector_size = 256;
    mydos.sector_count = 1440;
    mydos.code = 0;
    mydos.file_flags = mydos_file;
    Dos2Disk tree = dos2_volume(mydos, {{"A/B/C.DAT", pattern(600, 4)}, {"A/D.COM", pattern(10, 5)}});
    seed("mydos-tree.atr", tree.disk.atr());

    // A subdirectory entry that points back at the root.
    Dos2Disk loop = dos2_volume(sd, {{"FILE.DAT", pattern(200, 6)}});
    loop.entry(dos2_root_sector, 1, dos2_entry(dos2_flag_subdir, 8, dos2_root_sector, "LOOP"));
    seed("dos2-dir-loop.atr", loop.disk.atr());

    // A file chain that comes back to its own first sector, and one that
    // leaves the disk.
    Dos2Disk chains = dos2_volume(sd, {});
    chains.link(400, 401, 125, Dos2Form::dos2).link(401, 400, 125, Dos2Form::dos2);
    chains.entry(dos2_root_sector, 0, dos2_entry(dos2_file, 2, 400, "LOOP.DAT"));
    chains.link(402, 1000, 125, Dos2Form::dos2);
    chains.entry(dos2_root_sector, 1, dos2_entry(dos2_file, 2, 402, "AWAY.DAT"));
    seed("dos2-bad-chains.atr", chains.disk.atr());

    // LiteDOS: "LiteDOS" in the VTOC, directory wrapping inside its group.
    Dos2Disk lite(128, 720);
    Dos2Vtoc lv;
    lv.code = 0x88;
    lv.litedos = true;
    lite.vtoc(lv);
    lite.entry_at(362, 0, dos2_entry(dos2_file, 1, 500, "LITE.COM"));
    lite.link(500, 0, 60, Dos2Form::dos2);
    seed("litedos.atr", lite.disk.atr());

    // Bibo-DOS: an entry in the second half of a 256-byte directory sector.
    Dos2Disk bibo(256, 720);
    bibo.vtoc(Dos2Vtoc{2, 708, 600});
    bibo.entry_at(361, 0, dos2_entry(dos2_file, 1, 400, "FIRST.COM"));
    bibo.entry_at(361, 8, dos2_entry(dos2_file, 10, 400, "SECOND.COM"));
    bibo.link(400, 0, 200, Dos2Form::dos2);
    seed("bibo.atr", bibo.disk.atr());
}

void sparta_seeds()
{
    const SpartaDate d{31, 12, 99, 23, 59, 58};
    seed("sparta-sd.atr", sparta_volume(128, 720, {{"A.COM", pattern(500, 7), d},
                                                     {"DIR/SUB/B.TXT", pattern(1000, 8), d}},
                                        "SEEDS", d)
                              .atr());
    seed("sparta-dd.atr", sparta_volume(256, 720, {{"X/Y.DAT", pattern(3000, 9), d}}, "", d).atr());

    // A subdirectory whose map is the root's own, and a file whose map
    // chain loops on itself.
    SpartaVolume v(128, 720, "LOOPS");
    std::uint32_t self = v.take();
    sparta_map_sector(v.disk, self, self, {0, 0, 0});
    std::uint32_t root_map = v.take();
    v.root({sparta_subdir("BACK", root_map, d), sparta_file("LOOP.DAT", self, 0xFFFFFF, d)}, root_map);
    seed("sparta-loops.atr", v.disk.atr());
}

void flat_seeds()
{
    DiskBuilder howfen = howfen_disk(40, "V1.00");
    howfen_program(howfen, 0, "GAME", 12, 10, 0x11);
    howfen_program(howfen, 1, "LONG ONE", 30, 20, 0x22); // runs past the disk
    seed("howfen.atr", howfen.atr());

    seed("kboot.atr", kboot_disk(pattern(1000, 10)).atr());
    seed("kboot-truncated.atr", kboot_disk(pattern(1000, 11), 10).atr());
    seed("basic.atr", basic_disk("HELLO.BAS", pattern(400, 12)).atr());
    seed("basic-past-end.atr", basic_disk(".ABCDEFGHIJK", pattern(2000, 13), 6).atr());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    out_dir = argv[1];
    try {
        std::filesystem::create_directories(out_dir);
        loader_seeds();
        dos2_seeds();
        sparta_seeds();
        flat_seeds();
        // Each layout's builder keeps its own seeds: DOS 3 and DOS XE disks
        // and the three containers, clean, protected and damaged.
        for (auto files : {dos3_seed_files, dosxe_seed_files, dcm_seed_files, atx_seed_files,
                           pro_seed_files})
            for (const auto &[name, bytes] : files())
                seed(name, bytes);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_seeds: %s\n", e.what());
        return 1;
    }
    std::printf("%u seeds written\n", written);
    return 0;
}
