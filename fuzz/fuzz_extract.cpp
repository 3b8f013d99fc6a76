// Fuzz target: arbitrary bytes as an image file, extracted into a fresh
// directory.  Everything written must stay below that directory.
#include "atr.h"
#include "driver.h"
#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

std::string scratch_root()
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
    return tmpl;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *sink = std::fopen("/dev/null", "w");
    static const std::string root = scratch_root();
    static const std::string run = root + "/out";
    msg_out = sink;
    msg_err = sink;

    std::unique_ptr<AtrImage> image;
    try {
        image = atr_load_bytes({data, size}, "fuzz.atr");
    } catch (const ProgramExit &) {
        return 0;
    }
    std::filesystem::create_directory(run);
    if (chdir(run.c_str()) != 0)
        std::abort();
    try {
        driver_probe(*image, "fuzz.atr", 0, int(size & 1), 1);
    } catch (const ProgramExit &) {
    }
    if (chdir(root.c_str()) != 0)
        std::abort();
    std::error_code ec;
    std::filesystem::remove_all(run, ec);
    return 0;
}
