// Replays inputs through a fuzz target without libFuzzer, so that every
// build (GCC included) runs the seed and regression corpora as tests.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

static void replay(const std::filesystem::path &p, unsigned &count)
{
    std::ifstream f(p, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    count++;
}

int main(int argc, char **argv)
{
    unsigned count = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p = std::filesystem::absolute(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                    replay(e.path(), count);
        } else if (std::filesystem::exists(p)) {
            replay(p, count);
        }
    }
    std::printf("%u inputs replayed\n", count);
    return 0;
}
