// Fuzz target: arbitrary bytes as an image file, extracted into a fresh
// directory.  Everything written must stay below that directory.
#include "fuzz_input.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The scratch directory of this process, removed when it ends.
struct ScratchRoot {
    std::string path;
    ScratchRoot();
    ~ScratchRoot()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

ScratchRoot::ScratchRoot()
{
    // Every file the image asks for is written, whatever its size: keep a
    // single input from filling the disk.  A larger file fails to write,
    // which ends that run with the program's own error.
    struct rlimit limit = {1u << 20, 1u << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);

    // tmpfs when there is one: extraction writes many small files.
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/vorlen-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        std::abort();
    path = tmpl;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const ScratchRoot scratch;
    static const std::string &root = scratch.path;
    static const std::string run = root + "/out";

    std::unique_ptr<AtrImage> image = fuzz_load(data, size);
    if (!image)
        return 0;
    std::filesystem::create_directory(run);
    if (chdir(run.c_str()) != 0)
        std::abort();
    fuzz_probe(*image, 0, int(size & 1), 1);
    if (chdir(root.c_str()) != 0)
        std::abort();
    std::error_code ec;
    std::filesystem::remove_all(run, ec);
    return 0;
}
