#include "extract.h"

#include "messages.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void extract_dir(const std::string &path)
{
    std::fprintf(msg_err, "%s/\n", path.c_str());
    // lstat, not stat: a symbolic link planted where a directory belongs is
    // not a directory, so the creation below fails instead of writing through it.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    if (mkdir(path.c_str(), 0777) != 0)
        show_error("%s: " CANT " create directory, %s", path.c_str(), std::strerror(errno));
}

void extract_file(const std::string &path, const std::uint8_t *data, std::size_t length)
{
    std::fprintf(msg_err, "%s\n", path.c_str());
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

void set_file_time(const std::string &path, int day, int month, int year, int hour, int minute,
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

    struct timespec times[2];
    times[0].tv_sec = t;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    (void)utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}
