// Disks whose file names Windows cannot take as they are, and the Windows
// form of extracted paths, for the comparison of vorlen.exe under Wine with
// the Linux build (wine_compare.sh).
//
//   windows_names images DIR   writes the disks into DIR
//   windows_names map          copies paths from standard input to standard
//                              output, each level in its Windows form
#include "dos2_layout.h"
#include "flat_layout.h"
#include "image_builder.h"
#include "names.h"
#include "sparta_layout.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::uint8_t> text(std::string_view s)
{
    return {s.begin(), s.end()};
}

void write_images(const std::string &dir)
{
    // SpartaDOS keeps every printable byte but . / ? \ ` | in a name, so
    // most characters Windows refuses reach the host; and device names, as
    // files and as directories.
    write_file(dir + "/sparta_windows.atr",
               sparta_volume(256, 720,
                             {{"A:B.TXT", text("colon\n")},
                              {"X<Y>.Z", text("angles\n")},
                              {"Q\"P|.*", text("quote bar star\n")},
                              {"CON.SYS", text("console\n")},
                              {"AUX", text("aux\n")},
                              {"LPT1/NUL.TXT", text("nul in lpt1\n")},
                              {"COM9/PRN", text("prn in com9\n")}},
                             "WINDOWS")
                   .atr());
    // "A:B.TXT" and "A_B.TXT" meet in one Windows name: the second must not
    // overwrite the first.
    write_file(dir + "/sparta_collide.atr",
               sparta_volume(256, 720, {{"A:B.TXT", text("colon")}, {"A_B.TXT", text("underscore")}}, "COLLIDE")
                   .atr());
    // The DOS 2 family maps . / ? to '_' itself; device names pass.
    write_file(dir + "/dos2_windows.atr",
               dos2_volume({}, {{"CON.SYS", text("con\x9B")},
                                {"AUX", text("aux\x9B")},
                                {"NUL.COM", text("nul\x9B")},
                                {"COM1", text("com1\x9B")},
                                {"LPT2.DAT", text("lpt2\x9B")},
                                {"PRNX.TXT", text("not a device\x9B")}})
                   .disk.atr());
    // A BASIC boot disk keeps a stored full stop, so its name can end in
    // one, and holds : < > " | * as they are.
    std::vector<std::uint8_t> program = flat_pattern(300, 3);
    program[0] = 0x00;
    program[1] = 0x07;
    write_file(dir + "/basic_dot.atr", basic_disk("RUN.", program).atr());
    write_file(dir + "/basic_marks.atr", basic_disk("<A>:\"B|*", program).atr());
    write_file(dir + "/basic_device.atr", basic_disk("PRN.BAS", program).atr());
}

void map_paths()
{
    for (std::string line; std::getline(std::cin, line);) {
        std::string out;
        std::size_t start = 0;
        for (std::size_t slash; (slash = line.find('/', start)) != std::string::npos; start = slash + 1)
            out += names_windows_host(std::string_view(line).substr(start, slash - start)) + '/';
        std::cout << out << names_windows_host(std::string_view(line).substr(start)) << '\n';
    }
}

} // namespace

int main(int argc, char **argv)
{
    try {
        if (argc == 3 && std::strcmp(argv[1], "images") == 0) {
            write_images(argv[2]);
            return 0;
        }
        if (argc == 2 && std::strcmp(argv[1], "map") == 0) {
            map_paths();
            return 0;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "windows_names: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: windows_names images DIR | windows_names map\n");
    return 2;
}
