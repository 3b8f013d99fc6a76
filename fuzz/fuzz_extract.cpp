// Fuzz target: arbitrary bytes as an image file, extracted into a fresh
// directory.  Everything written must stay below that directory: a tree of
// plain directories and files, no symbolic link, nothing beside it, and no
// more bytes in all than the extraction budget allows.
#include "extract.h"
#include "fuzz_input.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <dirent.h>
#include <sys/stat.h>
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
    // tmpfs when there is one: extraction writes many small files.
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/vorlen-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        std::abort();
    path = tmpl;
}

// Sums the sizes of the files below `dir`; aborts on anything that is
// neither a plain file nor a directory (lstat: a link is never followed).
std::uint64_t tree_bytes(const std::string &dir)
{
    std::uint64_t total = 0;
    DIR *d = opendir(dir.c_str());
    if (!d)
        std::abort();
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            std::abort();
        if (S_ISDIR(st.st_mode))
            total += tree_bytes(path);
        else if (S_ISREG(st.st_mode))
            total += std::uint64_t(st.st_size);
        else
            std::abort(); // a symbolic link, a device, a pipe: never written by extraction
    }
    closedir(d);
    return total;
}

// The one name in `dir`, or "" when it holds none or more than one.
std::string only_entry(const std::string &dir)
{
    std::string found;
    int count = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        found = e.path().filename().string();
        count++;
    }
    return count == 1 ? found : "";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const ScratchRoot scratch;
    static const std::string &root = scratch.path;
    static const std::string run = root + "/out";

    FuzzInput in = fuzz_load(data, size);
    if (!in.image)
        return 0;
    std::filesystem::create_directory(run);
    if (chdir(run.c_str()) != 0)
        std::abort();
    // The budget the driver sets for an image file of this size.
    extract_set_budget(fuzz_image_name, extract_budget(size));
    fuzz_probe(*in.image, 0, int(size & 1), 1);
    if (chdir(root.c_str()) != 0)
        std::abort();

    // Nothing beside the extraction directory, and within it no more than
    // the budget: 16 times the image file, at least 64 MiB.
    if (only_entry(root) != "out")
        std::abort();
    const std::uint64_t budget = std::max<std::uint64_t>(16 * std::uint64_t(size), std::uint64_t(64) << 20);
    if (tree_bytes(run) > budget)
        std::abort();

    std::error_code ec;
    std::filesystem::remove_all(run, ec);
    return 0;
}
