#include "driver.h"

#include "atr.h"
#include "bootdisk.h"
#include "dos2.h"
#include "dos3.h"
#include "dosxe.h"
#include "extract.h"
#include "howfen.h"
#include "messages.h"
#include "sparta.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#else
#include <unistd.h>
#endif

namespace {

// The host calls of the driver, one form per system.
#ifdef _WIN32
int host_chdir(const char *path)
{
    return _chdir(path);
}

int host_mkdir(const char *path)
{
    return _mkdir(path);
}

// The size of the file at `path`, or 0 when it cannot be had.
std::uint64_t host_file_size(const char *path)
{
    struct _stat64 st;
    return _stat64(path, &st) == 0 ? std::uint64_t(st.st_size) : 0;
}
#else
int host_chdir(const char *path)
{
    return chdir(path);
}

int host_mkdir(const char *path)
{
    return mkdir(path, 0777);
}

std::uint64_t host_file_size(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? std::uint64_t(st.st_size) : 0;
}
#endif

const char usage_text[] = "Usage: %s [options] <atr_image_file>\nOptions:\n"
                          "\t-a\tShow listing in Atari instead of UNIX format.\n"
                          "\t-l\tConvert filenames to lower-case.\n"
                          "\t-x\tExtract listed files to current path.\n"
                          "\t-X path\tExtract listed files to given path.\n"
                          "\t-h\tShow this help.\n"
                          "\t-v\tShow version information.\n";

struct Options {
    const char *image_path = nullptr;
    const char *extract_path = nullptr;
    int atari_list = 0;
    int lower_case = 0;
    int extract = 0;
};

// Letters are acted on as they are met, so an earlier error wins over a
// later -h, and -h or -v end the run before later words are looked at.
Options scan_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        const char *w = argv[i];
        if (w[0] != '-') {
            if (o.image_path)
                show_opt_error("multiple ATR files in command line");
            o.image_path = w;
            continue;
        }
        for (const char *c = w + 1; *c; c++) {
            switch (*c) {
            case 'a':
                o.atari_list = 1;
                break;
            case 'l':
                o.lower_case = 1;
                break;
            case 'x':
                o.extract = 1;
                break;
            case 'X':
                if (i + 1 >= argc)
                    show_opt_error("option '-X' needs an argument");
                o.extract_path = argv[++i];
                o.extract = 1;
                break;
            case 'h':
            case '?':
                msg_sync();
                std::fprintf(msg_out, usage_text, prog_name);
                throw ProgramExit{0};
            case 'v':
                show_version();
            default:
                show_opt_error("invalid command line option '-%c'", *c);
            }
        }
    }
    if (!o.image_path)
        show_opt_error("ATR file name expected");
    if (o.atari_list && o.extract)
        show_opt_error("options '-x' and '-a' not compatible");
    return o;
}

// Enters the extraction directory, creating it (one level) when it is absent.
void enter_extract_path(const char *path)
{
    if (host_chdir(path) == 0)
        return;
    if (errno != ENOENT)
        show_error("%s: invalid extract path, %s", path, std::strerror(errno));
    show_msg("creating output path '%s'.", path);
    if (host_mkdir(path) != 0 || host_chdir(path) != 0)
        show_error("can't create path, '%s': %s", path, std::strerror(errno));
}

int run(int argc, char **argv)
{
    Options o = scan_options(argc, argv);
    // Loaded before any change of directory: a relative image path means
    // what it meant where the program was started.
    std::unique_ptr<AtrImage> image = atr_load(o.image_path);
    // The budget is taken from the image file as it lies on the host (a
    // container's decoded disk may be larger), before the directory changes.
    if (o.extract)
        extract_set_budget(o.image_path, extract_budget(host_file_size(o.image_path)));
    if (o.extract_path)
        enter_extract_path(o.extract_path);
    int status;
    try {
        status = driver_probe(*image, o.image_path, o.atari_list, o.lower_case, o.extract);
    } catch (const ProgramExit &) {
        atr_check_unchanged(o.image_path); // the cause of a failure the walk met
        throw;
    }
    atr_check_unchanged(o.image_path);
    atr_free(image);
    return status;
}

} // namespace

int driver_probe(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract)
{
    extract_reset();
    // SpartaDOS first: its boot record is decisive, and SpartaDOS disks can
    // hold file data in sector 360 that looks like a DOS 2 VTOC.  HOWFEN
    // menus carry a 12-byte signature.  The DOS 2 family is recognised from
    // the VTOC alone, so it comes after the signed formats; the boot-loader
    // disks, recognised by a few bytes of loader code, come after them.
    // DOS 3 and DOS XE are offered only what all of those decline, so no
    // disk that one of them takes is ever read another way.
    if (spartados_list(image, name, atari_list, lower_case, extract) == 0)
        return 0;
    if (howfen_list(image, name, atari_list, lower_case, extract) == 0)
        return 0;
    if (dos2_list(image, name, atari_list, lower_case, extract) == 0)
        return 0;
    if (bootdisk_list(image, name, atari_list, lower_case, extract) == 0)
        return 0;
    if (dos3_list(image, name, atari_list, lower_case, extract) == 0)
        return 0;
    int status = dosxe_list(image, name, atari_list, lower_case, extract);
    if (status != 0)
        show_msg("%s: ATR image format not supported.", name);
    return status;
}

int driver_main(int argc, char **argv)
{
    prog_name = (argc > 0 && argv && argv[0]) ? argv[0] : "vorlen";
    int status;
    try {
        status = run(argc, argv);
    } catch (const ProgramExit &e) {
        status = e.status;
    } catch (const std::bad_alloc &) {
        try {
            show_memory_error();
        } catch (const ProgramExit &e) {
            status = e.status;
        }
    }
    msg_sync();
    std::fflush(msg_out);
    std::fflush(msg_err);
    return status;
}
