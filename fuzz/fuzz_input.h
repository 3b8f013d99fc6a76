// What both fuzz targets do first: silence the program's output and load
// the input bytes as the content of an image file.
//
// The last byte of the input chooses where the loader finds the bytes, so
// that every way an image reaches it is fuzzed and each input always takes
// the same one:
//   0  in memory (atr_load_bytes);
//   1  a file (mapped, or read when it ends early), whose image must hold
//      exactly what the same bytes give from memory;
//   2  a file cut short after loading, by as many bytes as the byte before
//      the last says in 256ths of the input, as if another process had
//      truncated it: what the file lost reads as zeros, and the run must end
//      with "image file changed while being read" instead of a signal;
//   3  a pipe (read as it comes, containers included).
#pragma once

#include "atr.h"
#include "driver.h"
#include "messages.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

// Every input runs in one process, and AddressSanitizer keeps freed blocks
// in a quarantine (256 MiB by default) to catch their use after free.
// Extraction frees buffers of up to 16 MiB, so a smaller quarantine keeps a
// run within the fuzzers' 512 MiB.  (Included by each target once.)
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=64";
}

inline const char fuzz_image_name[] = "fuzz.atr";

enum class FuzzSource { memory, file, cut_file, pipe };

struct FuzzInput {
    std::unique_ptr<AtrImage> image; // nullptr when the loader refuses the bytes
    FuzzSource source = FuzzSource::memory;
};

// A file that holds `data`, open for reading and writing: a memory file
// where the system has them, else a temporary file removed at once.
inline int fuzz_file(const std::uint8_t *data, std::size_t size)
{
#if defined(MFD_CLOEXEC)
    int fd = memfd_create("fuzz.atr", MFD_CLOEXEC);
#else
    std::string tmpl = (std::filesystem::temp_directory_path() / "vorlen-fuzz-XXXXXX").string();
    int fd = mkstemp(tmpl.data());
    if (fd >= 0)
        unlink(tmpl.c_str());
#endif
    if (fd < 0)
        std::abort();
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += std::size_t(n);
    }
    return fd;
}

// Loads through the path of an open descriptor, as the program loads a file.
inline std::unique_ptr<AtrImage> fuzz_load_fd(int fd)
{
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return atr_load(path.c_str());
}

inline std::unique_ptr<AtrImage> fuzz_load_pipe(const std::uint8_t *data, std::size_t size)
{
    static const bool no_sigpipe = (std::signal(SIGPIPE, SIG_IGN), true);
    (void)no_sigpipe;
    // libFuzzer's timer (SIGALRM, without SA_RESTART) would cut a read from
    // the pipe short with EINTR, which a run of the program never sees: hold
    // it back while the pipe is read (the writer thread inherits the mask).
    sigset_t alarm, old;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &old);
    int ends[2];
    if (pipe(ends) != 0)
        std::abort();
    // The loader may stop reading early (a header it refuses): closing the
    // reading end then ends the writer with EPIPE.
    std::thread writer([fd = ends[1], data, size] {
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = write(fd, data + done, std::min<std::size_t>(size - done, 65536));
            if (n <= 0)
                break;
            done += std::size_t(n);
        }
        close(fd);
    });
    std::FILE *f = fdopen(ends[0], "rb");
    if (!f)
        std::abort();
    std::unique_ptr<AtrImage> image;
    try {
        image = atr_load_stream(f, fuzz_image_name);
    } catch (const ProgramExit &) {
    }
    std::fclose(f);
    writer.join();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return image;
}

inline bool fuzz_same(const AtrImage &a, const AtrImage &b)
{
    return a.sector_size == b.sector_size && a.sector_count == b.sector_count && a.size == b.size &&
           (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

inline FuzzInput fuzz_load(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *sink = std::fopen("/dev/null", "w");
    msg_out = sink;
    msg_err = sink;
    FuzzInput in;
    in.source = size ? FuzzSource(data[size - 1] & 3) : FuzzSource::memory;
    std::unique_ptr<AtrImage> from_memory;
    try {
        from_memory = atr_load_bytes({data, size}, fuzz_image_name);
    } catch (const ProgramExit &) {
    }
    if (in.source == FuzzSource::memory) {
        in.image = std::move(from_memory);
        return in;
    }
    if (in.source == FuzzSource::pipe) {
        in.image = fuzz_load_pipe(data, size);
    } else {
        const int fd = fuzz_file(data, size);
        try {
            in.image = fuzz_load_fd(fd);
        } catch (const ProgramExit &) {
        }
        if (in.source == FuzzSource::cut_file && in.image) {
            const std::size_t cut = size >= 2 ? std::size_t(data[size - 2]) * size / 256 : 0;
            if (ftruncate(fd, off_t(size - cut)) != 0)
                std::abort();
        }
        close(fd); // a mapping keeps the file
    }
    // The same bytes load the same way, wherever they come from.
    if (bool(in.image) != bool(from_memory))
        std::abort();
    if (in.source != FuzzSource::cut_file && in.image && !fuzz_same(*in.image, *from_memory))
        std::abort();
    return in;
}

// The handlers in their order, as the driver offers the image; a fatal
// error inside ends only this run.  After a walk over a file that was cut
// short, the run must end as the driver ends it.
inline void fuzz_probe(const AtrImage &image, int atari_list, int lower_case, int extract)
{
    try {
        driver_probe(image, fuzz_image_name, atari_list, lower_case, extract);
    } catch (const ProgramExit &) {
    }
    try {
        atr_check_unchanged(fuzz_image_name);
    } catch (const ProgramExit &) {
    }
}
