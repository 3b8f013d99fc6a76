// Writes the sample disk images: one of each layout vorlen reads, made by
// the project's own image builder.
//
//   make_samples DIR
#include "dcm_layout.h"
#include "dos2_layout.h"
#include "dos3_layout.h"
#include "dosxe_layout.h"
#include "flat_layout.h"
#include "image_builder.h"
#include "sparta_layout.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::uint8_t> text(std::string_view s)
{
    return {s.begin(), s.end()};
}

// A binary-looking file of `n` bytes: an executable header, then a pattern.
std::vector<std::uint8_t> binary(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> v = flat_pattern(n, seed);
    if (n >= 2)
        v[0] = v[1] = 0xFF;
    return v;
}

// The file of a layout's seed set called `name`.
std::vector<std::uint8_t> seed_file(const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> &files,
                                    const std::string &name)
{
    for (const auto &[n, bytes] : files)
        if (n == name)
            return bytes;
    throw std::runtime_error("no sample " + name);
}

const char readme[] = "These disks were made by vorlen's own image builder.\x9B"
                      "They hold no software of anybody's.\x9B";

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    try {
        // DOS 2.5 on an enhanced-density disk: 1040 sectors of 128 bytes.
        Dos2Volume dos25;
        dos25.sector_size = 128;
        dos25.sector_count = 1040;
        dos25.code = 2;
        write_file(dir + "/dos25.atr", dos2_volume(dos25, {{"DOS.SYS", binary(4625, 1)},
                                                           {"DUP.SYS", binary(5126, 2)},
                                                           {"AUTORUN.SYS", binary(88, 3)},
                                                           {"README.TXT", text(readme)}})
                                           .disk.atr());

        // MyDOS on a double-sided double-density disk, with subdirectories.
        Dos2Volume mydos;
        mydos.sector_size = 256;
        mydos.sector_count = 1440;
        mydos.code = 0; // the code MyDOS writes for this size
        mydos.file_flags = mydos_file;
        write_file(dir + "/mydos.atr", dos2_volume(mydos, {{"DOS.SYS", binary(4375, 4)},
                                                           {"GAMES/PACMAN.COM", binary(8192, 5)},
                                                           {"GAMES/MAZES/LEVEL1.DAT", binary(300, 6)},
                                                           {"NOTES.TXT", text(readme)}})
                                           .disk.atr());

        // SpartaDOS, 720 sectors of 256 bytes, with dated entries in a subdirectory.
        const SpartaDate d1{24, 12, 87, 18, 30, 5};
        const SpartaDate d2{1, 3, 99, 9, 15, 42};
        const SpartaDate d3{29, 2, 4, 23, 59, 58};
        write_file(dir + "/sparta.atr",
                   sparta_volume(256, 720,
                                 {{"AUTOEXEC.BAT", text("DIR\x9B"), d1},
                                  {"TOOLS/XCOPY.COM", binary(2917, 7), d2},
                                  {"TOOLS/DOCS/README.TXT", text(readme), d3}},
                                 "SAMPLES", d2)
                       .atr());

        // A HOWFEN DOS menu disk with two programs.
        DiskBuilder howfen = howfen_disk(200, "V2.31");
        howfen_program(howfen, 0, "RIVER RAID", 20, 64, 0x11);
        howfen_program(howfen, 1, "MY GAME", 84, 40, 0x22);
        write_file(dir + "/howfen.atr", howfen.atr());

        // A K-BOOT disk carrying one executable.
        write_file(dir + "/kboot.atr", kboot_disk(binary(6000, 8)).atr());

        // A BASIC boot disk.
        std::vector<std::uint8_t> program = binary(1500, 9);
        program[0] = 0x00;
        program[1] = 0x07;
        write_file(dir + "/basic.atr", basic_disk("HELLO.BAS", program).atr());

        // Atari DOS 3 and DOS XE disks, and a DOS 2.5 disk kept as a DCM archive.
        write_file(dir + "/dos3.atr", seed_file(dos3_seed_files(), "dos3.atr"));
        write_file(dir + "/dosxe.atr", seed_file(dosxe_seed_files(), "dosxe_demo.atr"));
        write_file(dir + "/dos25.dcm", seed_file(dcm_seed_files(), "dos25.dcm"));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_samples: %s\n", e.what());
        return 1;
    }
    return 0;
}
