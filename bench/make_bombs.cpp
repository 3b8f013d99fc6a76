// Writes the hostile images of the bomb builder (tests/support/bomb_layout)
// as ATR files into a directory, one line per image on standard output:
// its name and size.
#include "bomb_layout.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    for (const Bomb &b : all_bombs()) {
        const std::vector<std::uint8_t> atr = b.disk.atr();
        write_file(std::string(argv[1]) + "/" + b.name, atr);
        std::printf("%s %zu\n", b.name.c_str(), atr.size());
    }
    return 0;
}
