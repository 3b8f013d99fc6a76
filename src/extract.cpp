#include "extract.h"

#include "messages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#include "names.h" // names_windows_host
#endif

namespace {

// ---------------------------------------------------------------------------
// The host calls, one form per system.  Everything below this block reads the
// same on both.

// A file or directory as the host knows it, whatever name leads to it: the
// device and inode, or on Windows the volume serial number and file index.
using HostId = std::pair<std::uint64_t, std::uint64_t>;

struct HostEntry {
    bool exists = false;
    bool is_dir = false; // a real directory, not a link to one
    bool known = false;  // `id` could be read
    HostId id{};
};

#ifdef _WIN32

// Each level of the path in a form Windows accepts.
std::string host_path(const std::string &path)
{
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        out += names_windows_host(std::string_view(path).substr(start, end - start));
        if (slash == std::string::npos)
            return out;
        out += '\\';
        start = slash + 1;
    }
}

bool handle_id(HANDLE h, HostId &id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return false;
    id = {info.dwVolumeSerialNumber, std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
    return true;
}

// Opens what is at the path itself (a directory too, a reparse point not
// followed) for `access`.
HANDLE open_entry(const std::string &host, DWORD access)
{
    return CreateFileA(host.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

HostEntry host_lookup(const std::string &host)
{
    HostEntry e;
    const DWORD attr = GetFileAttributesA(host.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES)
        return e;
    e.exists = true;
    e.is_dir = (attr & FILE_ATTRIBUTE_DIRECTORY) && !(attr & FILE_ATTRIBUTE_REPARSE_POINT);
    HANDLE h = open_entry(host, 0);
    if (h != INVALID_HANDLE_VALUE) {
        e.known = handle_id(h, e.id);
        CloseHandle(h);
    }
    return e;
}

bool host_mkdir(const std::string &host)
{
    return _mkdir(host.c_str()) == 0;
}

// No O_NOFOLLOW here: _O_EXCL already refuses anything at the path.
int host_create(const std::string &host)
{
    return _open(host.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

bool host_fd_id(int fd, HostId &id)
{
    const intptr_t h = _get_osfhandle(fd);
    return h != -1 && handle_id(HANDLE(h), id);
}

// Writes at `offset`: the count written (perhaps short), or -1 with errno.
long long host_write_at(int fd, const std::uint8_t *p, std::size_t n, std::uint64_t offset)
{
    if (_lseeki64(fd, (long long)offset, SEEK_SET) < 0)
        return -1;
    return _write(fd, p, unsigned(std::min<std::size_t>(n, 1u << 30)));
}

// Sets the file's length, the bytes past the last write reading as zeros;
// 0 or an errno value.
int host_set_length(int fd, std::uint64_t length)
{
    return _chsize_s(fd, (long long)length);
}

int host_close(int fd)
{
    return _close(fd);
}

void host_set_time(const std::string &host, std::time_t t)
{
    // FILETIME counts 100 ns from 1601; SetFileTime, unlike _utime, also
    // stamps directories.
    const std::uint64_t ticks = std::uint64_t((long long)t + 11644473600LL) * 10000000u;
    FILETIME ft;
    ft.dwLowDateTime = DWORD(ticks);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    HANDLE h = open_entry(host, FILE_WRITE_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE)
        return;
    (void)SetFileTime(h, nullptr, &ft, &ft);
    CloseHandle(h);
}

#else

const std::string &host_path(const std::string &path)
{
    return path;
}

// lstat, not stat: a symbolic link planted where a directory belongs is not
// a directory, and one where a file goes is something already there.
HostEntry host_lookup(const std::string &host)
{
    HostEntry e;
    struct stat st;
    if (lstat(host.c_str(), &st) != 0)
        return e;
    e.exists = true;
    e.is_dir = S_ISDIR(st.st_mode);
    e.known = true;
    e.id = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
    return e;
}

bool host_mkdir(const std::string &host)
{
    return mkdir(host.c_str(), 0777) == 0;
}

// O_EXCL and O_NOFOLLOW: never replace or write through what appeared at the
// path after it was looked up.
int host_create(const std::string &host)
{
    return open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool host_fd_id(int fd, HostId &id)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    id = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
    return true;
}

long long host_write_at(int fd, const std::uint8_t *p, std::size_t n, std::uint64_t offset)
{
    return pwrite(fd, p, n, off_t(offset));
}

int host_set_length(int fd, std::uint64_t length)
{
    return ftruncate(fd, off_t(length)) == 0 ? 0 : errno;
}

int host_close(int fd)
{
    return close(fd);
}

void host_set_time(const std::string &host, std::time_t t)
{
    struct timespec times[2];
    times[0].tv_sec = t;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    (void)utimensat(AT_FDCWD, host.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

#endif

// ---------------------------------------------------------------------------

constexpr std::uint64_t min_budget = std::uint64_t(64) << 20;

// One run's record.  Whether a path was taken by this run is judged by the
// file found there, not by its name, so a name that a case-blind host folds
// onto an earlier one counts as taken too.
struct RunState {
    std::string image_name;
    std::uint64_t budget = min_budget;
    std::uint64_t spent = 0;
    std::set<HostId> created;                    // files and directories this run made
    std::map<std::string, unsigned> next_suffix; // where the search for a free ".N" resumes
};

RunState run;

// The first path of `path` + ".N" (N from 2) where nothing exists.
std::string free_variant(const std::string &path)
{
    unsigned &n = run.next_suffix.try_emplace(path, 2).first->second;
    for (;; n++) {
        std::string candidate = path + "." + std::to_string(n);
        if (!host_lookup(host_path(candidate)).exists) {
            n++;
            return candidate;
        }
    }
}

// A block of this many zero bytes, aligned in the file, is left as a hole.
constexpr std::size_t hole_block = 4096;

bool all_zero(const std::uint8_t *p, std::size_t n)
{
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

// Writes all `n` bytes at `offset`, going on after short counts; 0 or the
// errno value of the failure.  A write that makes no progress and reports
// no error can only mean a full device.
int write_all(int fd, const std::uint8_t *p, std::size_t n, std::uint64_t offset)
{
    while (n > 0) {
        errno = 0;
        const long long w = host_write_at(fd, p, n, offset);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return errno ? errno : ENOSPC;
        p += w;
        n -= std::size_t(w);
        offset += std::uint64_t(w);
    }
    return 0;
}

// Writes the data into the new file, seeking over aligned blocks of zeros
// so that they cost no space, and sets the length when the file ends in
// such a block.  0 or an errno value.
int write_sparse(int fd, const std::uint8_t *data, std::size_t length)
{
    std::size_t pos = 0;
    bool ends_in_hole = false;
    while (pos < length) {
        // A run of blocks with data, written in one go.
        std::size_t end = pos;
        while (end < length) {
            const std::size_t n = std::min(hole_block, length - end);
            if (all_zero(data + end, n))
                break;
            end += n;
        }
        if (end > pos) {
            if (int err = write_all(fd, data + pos, end - pos, pos))
                return err;
            ends_in_hole = false;
        }
        // Then a run of zero blocks, skipped.
        pos = end;
        while (pos < length) {
            const std::size_t n = std::min(hole_block, length - pos);
            if (!all_zero(data + pos, n))
                break;
            pos += n;
            ends_in_hole = true;
        }
    }
    return ends_in_hole ? host_set_length(fd, length) : 0;
}

} // namespace

std::uint64_t extract_budget(std::uint64_t image_size)
{
    return std::max(image_size > UINT64_MAX / 16 ? UINT64_MAX : image_size * 16, min_budget);
}

void extract_set_budget(const char *image_name, std::uint64_t bytes)
{
    run.image_name = image_name ? image_name : "";
    run.budget = bytes;
    extract_reset();
}

void extract_reset()
{
    run.spent = 0;
    run.created.clear();
    run.next_suffix.clear();
}

void extract_dir(const std::string &path)
{
    msg_sync();
    std::fprintf(msg_err, "%s/\n", path.c_str());
    const std::string host = host_path(path);
    if (host_lookup(host).is_dir)
        return;
    if (!host_mkdir(host))
        show_error("%s: " CANT " create directory, %s", path.c_str(), std::strerror(errno));
    // Recorded, so that a file of the same name later in the disk goes
    // beside it instead of ending the run.
    const HostEntry made = host_lookup(host);
    if (made.known)
        run.created.insert(made.id);
}

std::string extract_file(const std::string &path, const std::uint8_t *data, std::size_t length)
{
    // A path that this run took is reported first, and the file is then
    // echoed and written under the path found for it; any other path is
    // echoed first, so that its name shows even when the next step fails.
    std::string written = path;
    const HostEntry there = host_lookup(host_path(path));
    if (there.exists && there.known && run.created.contains(there.id)) {
        written = free_variant(path);
        show_msg("%s: name taken by an earlier file of this disk, written as %s", path.c_str(),
                 written.c_str());
    }
    msg_sync();
    std::fprintf(msg_err, "%s\n", written.c_str());
    if (there.exists && written == path)
        show_error("%s: file already exists.", path.c_str());
    if (length > run.budget - run.spent)
        show_error("%s: extraction stopped, the files would exceed the budget of %llu bytes",
                   run.image_name.c_str(), (unsigned long long)run.budget);
    run.spent += length;

    const std::string host = host_path(written);
    const int fd = host_create(host);
    if (fd < 0) {
        if (errno == EEXIST)
            show_error("%s: file already exists.", written.c_str());
        show_error("%s: " CANT " create file, %s", written.c_str(), std::strerror(errno));
    }
    HostId id;
    if (host_fd_id(fd, id))
        run.created.insert(id);
    if (int err = write_sparse(fd, data, length)) {
        host_close(fd);
        show_error("%s: " CANT " write file, %s", written.c_str(), std::strerror(err));
    }
    if (host_close(fd) != 0)
        show_error("%s: " CANT " write file, %s", written.c_str(), std::strerror(errno));
    return written;
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
    host_set_time(host_path(path), std::mktime(&tm));
}
