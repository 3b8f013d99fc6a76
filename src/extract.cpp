#include "extract.h"

#include "messages.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef _WIN32
// Windows: no links to guard against, files written in binary mode, and
// every path level turned into a name Windows can hold.
#include "names.h"
#include <direct.h>
#include <sys/utime.h>
#define lstat stat
#define mkdir(path, mode) _mkdir(path)
#define O_NOFOLLOW O_BINARY
#define O_CLOEXEC O_NOINHERIT
static std::string host_path(const std::string &path)
{
    std::string out;
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
        out += names_windows_host(std::string_view(path).substr(start, slash - start)) + '\\';
    return out + names_windows_host(std::string_view(path).substr(start));
}
#else
static const std::string &host_path(const std::string &path)
{
    return path;
}
#endif

void extract_dir(const std::string &atari_path)
{
    std::fprintf(msg_err, "%s/\n", atari_path.c_str());
    const std::string &path = host_path(atari_path);
    // lstat, not stat: a symbolic link planted where a directory belongs is
    // not a directory, so the creation below fails instead of writing through it.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    if (mkdir(path.c_str(), 0777) != 0)
        show_error("%s: " CANT " create directory, %s", path.c_str(), std::strerror(errno));
}

void extract_file(const std::string &atari_path, const std::uint8_t *data, std::size_t length)
{
    std::fprintf(msg_err, "%s\n", atari_path.c_str());
    const std::string &path = host_path(atari_path);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
        show_error("%s: file already exists.", path.c_str());
    // O_EXCL and O_NOFOLLOW: never replace or write through what appeared
    // at the path after the test above.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            show_error("%s: file already exists.", path.c_str());
        show_error("%s: " CANT " create file, %s", path.c_str(), std::strerror(errno));
    }
    static const std::uint8_t nothing = 0;
    ssize_t written = write(fd, length ? data : &nothing, length);
    if (written < 0 || std::size_t(written) != length) {
        int err = errno;
        close(fd);
        show_error("%s: " CANT " write file, %s", path.c_str(), std::strerror(err));
    }
    if (close(fd) != 0)
        show_error("%s: " CANT " write file, %s", path.c_str(), std::strerror(errno));
}

void set_file_time(const std::string &atari_path, int day, int month, int year, int hour, int minute,
                   int second)
{
    std::tm tm{};
    tm.tm_sec = second;
    tm.tm_min = minute;
    tm.tm_hour = hour;
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = year > 83 ? year : year + 100;
    tm.tm_wday = 0;
    tm.tm_yday = 0;
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    const std::string &path = host_path(atari_path);
#ifdef _WIN32
    struct _utimbuf times{t, t};
    (void)_utime(path.c_str(), &times);
#else

    struct timespec times[2];
    times[0].tv_sec = t;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    (void)utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
#endif
}
