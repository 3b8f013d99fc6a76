#include "atr.h"

#include "atx.h"
#include "dcm.h"
#include "messages.h"
#include "pro.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

// Image files are mapped where the system can map files; elsewhere (Windows)
// they are read.
#if __has_include(<sys/mman.h>) && __has_include(<signal.h>)
#define VORLEN_MAP_FILES 1
#include <atomic>
#include <csignal>
#include <signal.h>
#include <sys/mman.h>
#endif

namespace {

// Where the image bytes come from: a stdio stream or a block in memory.
struct ByteSource {
    std::FILE *file = nullptr;
    std::span<const std::uint8_t> mem;
    std::size_t pos = 0;

    std::size_t read(std::uint8_t *dst, std::size_t n)
    {
        if (file)
            return std::fread(dst, 1, n, file);
        std::size_t avail = mem.size() - pos;
        if (n > avail)
            n = avail;
        if (n)
            std::memcpy(dst, mem.data() + pos, n);
        pos += n;
        return n;
    }
};

constexpr std::size_t raw_sd_size = 92160;  // 720 sectors of 128 bytes
constexpr std::size_t raw_ed_size = 133120; // 1040 sectors of 128 bytes
constexpr std::int64_t big_image = 16777216;

// Image files that hold every sector are mapped rather than copied, small
// and large alike: a listing then touches only the pages of the sectors it
// reads, the kernel brings those in from the page cache a few at a time,
// and nothing is zeroed or copied first.  A walk that reads every sector
// asks for all the pages in one call (atr_will_read_all).  Files that end
// early are read, so that the sectors they lack read as zeros.
//
// A mapped file that another process cuts short while vorlen reads it
// would end the run with SIGBUS.  The guard below catches that fault when
// it hits a page of an image mapping: it puts a page of zeros in place of
// the one the file no longer holds, so the bytes lost read as zeros as
// they do for a file that ends early, notes the change and lets the run go
// on.  The run then ends with the fatal "image file changed while being
// read" (atr_check_unchanged).  The handler does nothing but a mapping
// call and a flag: it neither jumps out of the faulting code (which could
// skip destructors or leave a stdio stream half updated) nor ends the
// process (which would lose the output still buffered).
#if VORLEN_MAP_FILES

std::size_t page_size()
{
    static const std::size_t size = std::size_t(sysconf(_SC_PAGESIZE));
    return size;
}

constexpr int guard_slots = 16;
// The byte ranges of the image mappings in use, each [begin, end); free
// slots hold 0, 0.  The handler reads them, so they are lock-free atomics.
std::atomic<std::uintptr_t> guard_begin[guard_slots];
std::atomic<std::uintptr_t> guard_end[guard_slots];
volatile std::sig_atomic_t file_changed = 0;
std::size_t guard_page = 0;
struct sigaction previous_bus;

void on_bus(int sig, siginfo_t *info, void *context)
{
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (info->si_code > 0)
        for (int k = 0; k < guard_slots; k++) {
            if (at < guard_begin[k].load(std::memory_order_relaxed) ||
                at >= guard_end[k].load(std::memory_order_relaxed))
                continue;
            void *page = reinterpret_cast<void *>(at & ~std::uintptr_t(guard_page - 1));
            if (mmap(page, guard_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
                     0) != MAP_FAILED) {
                file_changed = 1;
                return; // the access is made again, on the zeros
            }
        }
    // Not a fault of ours: what would have happened without this handler.
    if (previous_bus.sa_flags & SA_SIGINFO) {
        previous_bus.sa_sigaction(sig, info, context);
        return;
    }
    if (previous_bus.sa_handler != SIG_DFL && previous_bus.sa_handler != SIG_IGN) {
        previous_bus.sa_handler(sig);
        return;
    }
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig); // delivered on return, ending the process as it would have
}

bool install_guard()
{
    static const bool installed = [] {
        guard_page = page_size();
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = on_bus;
        sa.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        return sigaction(SIGBUS, &sa, &previous_bus) == 0;
    }();
    return installed;
}

// Registers the file pages [begin, begin + length) with the guard; returns
// the slot, or -1 when the guard cannot take them (and the file must not
// be mapped).
int guard_add(void *begin, std::size_t length)
{
    if (!install_guard())
        return -1;
    const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(begin);
    for (int k = 0; k < guard_slots; k++) {
        std::uintptr_t expected = 0;
        if (guard_end[k].load() == 0 && guard_begin[k].compare_exchange_strong(expected, b)) {
            guard_end[k].store(b + length);
            return k;
        }
    }
    return -1;
}

void guard_remove(int slot)
{
    guard_end[slot].store(0);
    guard_begin[slot].store(0);
}

// A private mapping of the first `length` bytes of the file `fd` at `at`
// (anywhere when nullptr), registered with the guard in `slot`: whoever
// unmaps it calls guard_remove(slot) first.  nullptr when either fails.
void *map_file(int fd, std::size_t length, int prot, void *at, int &slot)
{
    const int flags = MAP_PRIVATE | (at ? MAP_FIXED : 0);
    void *p = mmap(at, length, prot, flags, fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    slot = guard_add(p, length);
    if (slot < 0) {
        if (!at)
            munmap(p, length);
        return nullptr;
    }
    return p;
}

// Where the page cache holds a file in 2 MiB folios, the kernel maps a
// whole folio with one fault, but only into a 2 MiB aligned stretch of
// addresses that starts at a 2 MiB multiple of the file.  A large image is
// therefore placed at such an address: otherwise a listing that reads a
// sector here and there takes a fault per 64 KiB of the file.
constexpr std::size_t folio_align = std::size_t(2) << 20;

// Reserves addresses for a mapping of `need` file bytes with `front` bytes of
// zeros before them: the whole stretch goes to `region` (of `length` bytes)
// and the address for the file's first byte to `file`, 2 MiB aligned for a
// large file.  A small file with nothing in front needs no reservation:
// `region` and `file` are then nullptr, for the file to be mapped wherever
// the system puts it.  False when the addresses could not be had.
bool reserve(std::size_t front, std::size_t need, void *&region, std::size_t &length, std::uint8_t *&file)
{
    const std::size_t pad = need >= folio_align ? folio_align : 0;
    length = front + need + pad;
    region = nullptr;
    file = nullptr;
    if (front == 0 && pad == 0)
        return true;
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    region = p;
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t lowest = base + front;
    const std::uintptr_t at = pad ? (lowest + pad - 1) & ~std::uintptr_t(pad - 1) : lowest;
    file = static_cast<std::uint8_t *>(p) + (at - base);
    return true;
}

// Maps the `body` bytes of sector data that follow the `offset` header bytes
// of the image file `fd` so that sector n lies at (n - 1) * s from the
// returned address.  With short first records (`allowance` 384) sector 4
// follows them in the file at offset 400; a zeroed page below the mapping
// gives room to move sectors 1-3 into full slots in front of it.  The
// mapping is private: nothing written to it reaches the file.  Returns
// false when the file is no regular file or lacks sectors, so that the
// caller reads instead.
bool map_sectors(int fd, AtrImage &img, std::size_t offset, std::size_t body, std::int64_t allowance)
{
    struct stat st;
    const std::size_t need = offset + body;
    if (fd < 0 || need == 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        std::uint64_t(st.st_size) < need)
        return false;
    const std::size_t front = allowance == 0 ? 0 : page_size();
    void *region = nullptr;
    std::size_t length = 0;
    std::uint8_t *file = nullptr;
    if (!reserve(front, need, region, length, file))
        return false;
    int slot = -1;
    void *mapped = map_file(fd, need, PROT_READ | PROT_WRITE, file, slot);
    if (!mapped) {
        if (region)
            munmap(region, length);
        return false;
    }
    if (!region) {
        region = mapped;
        file = static_cast<std::uint8_t *>(mapped);
    }
    img.storage = std::shared_ptr<void>(region, [length, slot](void *p) {
        guard_remove(slot);
        munmap(p, length);
    });
    img.mapping = file - front;
    img.mapping_length = front + need;
    if (allowance == 0) {
        img.data = file + offset;
        return true;
    }
    img.data = file + offset + 384 - 768;
    std::uint8_t records[384];
    std::memcpy(records, file + offset, sizeof records);
    std::memset(img.data, 0, 768);
    for (int k = 0; k < 3; k++)
        std::memcpy(img.data + k * 256, records + k * 128, 128);
    return true;
}

#else

bool map_sectors(int, AtrImage &, std::size_t, std::size_t, std::int64_t)
{
    return false;
}

#endif

// A mapped image of `count` sectors of `s` bytes, or nullptr when the file
// cannot be mapped.
std::unique_ptr<AtrImage> map_image(int fd, int s, std::uint32_t count, std::size_t offset,
                                    std::int64_t allowance)
{
    // Fewer than four sectors with short first records: too small to
    // bother, and the three records may not all be there.
    if (allowance != 0 && count < 4)
        return nullptr;
    auto img = std::make_unique<AtrImage>();
    img->sector_size = s;
    img->sector_count = count;
    img->size = std::size_t(count) * std::size_t(s);
    if (!map_sectors(fd, *img, offset, img->size - std::size_t(allowance), allowance))
        return nullptr;
    return img;
}

std::uint32_t sum_bytes(const std::uint8_t *p, std::size_t n)
{
    std::uint32_t s = 0;
    for (std::size_t i = 0; i < n; i++)
        s += p[i];
    return s;
}

// Images with 256-byte sectors keep sectors 1 to 3 at 128 bytes on the disk.
// Some files store them as full 256-byte records anyway, and some of those
// were written by tools that packed the three short records at the front.
// Put every sector back into its own slot.
void repair_first_sectors(AtrImage &img, const char *name)
{
    std::uint8_t *d = img.data;
    const std::size_t total = std::size_t(img.sector_count) * 256;

    int suspect = 0;
    for (int k = 1; k <= 3 && !suspect; k++)
        if (sum_bytes(d + (k - 1) * 256 + 128, 128) != 0)
            suspect = k;
    if (!suspect)
        return;
    show_msg("%s: ATR suspect - sector %d has data over 128 bytes, fixing.", name, suspect);

    const std::uint32_t tail = sum_bytes(d + total - 384, 384);
    const std::uint32_t middle = sum_bytes(d + 384, 384);
    const bool shift = tail == 0 && middle != 0; // sector 4 on sits 384 bytes early
    const bool spread = middle == 0 || shift;    // the three records are packed
    if (shift)
        std::memmove(d + 768, d + 384, (std::size_t(img.sector_count) - 3) * 256);
    if (spread) {
        std::memcpy(d + 512, d + 256, 128);
        std::memcpy(d + 256, d + 128, 128);
    }
    std::memset(d + 640, 0, 128);
    std::memset(d + 384, 0, 128);
    std::memset(d + 128, 0, 128);
}

// Reads the sectors into their slots.  Short records go one by one into the
// front of their slots; from there on the records fill their slots back to
// back, so the rest of the image is one read.  A short read leaves what it
// got in place, as reading sector by sector would, and the rest zero.
void read_sectors(ByteSource &src, AtrImage &img, std::int64_t allowance, const char *name)
{
    const std::int64_t count = img.sector_count;
    const std::size_t s = std::size_t(img.sector_size);
    std::uint8_t *d = img.data;
    std::int64_t first = 1;
    if (allowance != 0) {
        for (; first <= 3 && first <= count; first++)
            if (src.read(d + (first - 1) * s, 128) != 128) {
                show_msg("%s: ATR file too short at sector %d", name, int(first));
                return;
            }
    }
    if (first <= count) {
        const std::size_t want = std::size_t(count - first + 1) * s;
        const std::size_t got = src.read(d + (first - 1) * s, want);
        if (got != want)
            show_msg("%s: ATR file too short at sector %d", name, int(first + std::int64_t(got / s)));
    }
}

// Files that neither an ATR header nor a raw size describe may still hold a
// disk in one of the containers that collections keep them in.  Each is
// tried only when its own strict signature holds; the strictest and
// cheapest go first: ATX (four magic bytes), PRO (its length, record count
// and "P2"/"P3" must agree), then DCM, whose five signature bytes are the
// weakest and whose decoder must also see a first block stored.
std::unique_ptr<AtrImage> decode_container(std::span<const std::uint8_t> file, const char *name)
{
    if (std::unique_ptr<AtrImage> disk = atx_decode(file, name))
        return disk;
    if (std::unique_ptr<AtrImage> disk = pro_decode(file, name))
        return disk;
    return dcm_decode(file, name);
}

// A container is no bigger than this: a longer file is only mapped, and a
// longer stream that is no regular file only read, this far.
constexpr std::size_t container_limit = std::size_t(64) << 20;

// The whole file, whose first `got` bytes were read into `head`, offered to
// the container decoders.  Bytes in memory are used where they are; a
// regular file is mapped read-only, so nothing is copied; any other stream
// is read on.
std::unique_ptr<AtrImage> load_container(ByteSource &src, const std::uint8_t *head, std::size_t got,
                                         const char *name, int fd)
{
    if (!src.file)
        return decode_container(src.mem.first(std::min(src.mem.size(), container_limit)), name);
#if VORLEN_MAP_FILES
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        std::uint64_t(st.st_size) >= got) {
        const std::size_t length = std::uint64_t(st.st_size) < container_limit ? std::size_t(st.st_size)
                                                                                : container_limit;
        int slot = -1;
        if (void *p = map_file(fd, length, PROT_READ, nullptr, slot)) {
            struct Unmap {
                void *p;
                std::size_t length;
                int slot;
                ~Unmap()
                {
                    guard_remove(slot);
                    munmap(p, length);
                }
            } unmap{p, length, slot};
            std::unique_ptr<AtrImage> disk = decode_container({static_cast<const std::uint8_t *>(p), length}, name);
            atr_check_unchanged(name);
            return disk;
        }
    }
#else
    (void)fd;
#endif
    std::vector<std::uint8_t> bytes(head, head + got);
    std::uint8_t chunk[65536];
    while (bytes.size() < container_limit) {
        const std::size_t n = src.read(chunk, std::min(sizeof chunk, container_limit - bytes.size()));
        if (n == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return decode_container(bytes, name);
}

// `fd` is the image file's descriptor when there is one, else -1.
std::unique_ptr<AtrImage> load(ByteSource &src, const char *name, int fd)
{
    std::uint8_t hdr[16];
    if (src.read(hdr, sizeof hdr) != sizeof hdr)
        show_error("%s: " CANT " read ATR header", name);

    if (hdr[0] != 0x96 || hdr[1] != 0x02) {
        // A headerless image: only the two standard sizes are believed.
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            (st.st_size == std::int64_t(raw_sd_size) || st.st_size == std::int64_t(raw_ed_size)))
            if (std::unique_ptr<AtrImage> img = map_image(fd, 128, std::uint32_t(st.st_size / 128), 0, 0))
                return img;
        std::unique_ptr<AtrImage> img = atr_create(128, (raw_ed_size + 16 + 127) / 128);
        std::memcpy(img->data, hdr, sizeof hdr);
        std::size_t total = 16 + src.read(img->data + 16, raw_ed_size);
        if (total != raw_sd_size && total != raw_ed_size) {
            if (std::unique_ptr<AtrImage> disk = load_container(src, img->data, total, name, fd))
                return disk;
            show_error("%s: not an ATR image", name);
        }
        img->size = total;
        img->sector_count = std::uint32_t(total / 128);
        return img;
    }

    const std::int64_t n = 16 * (std::int64_t(le16(hdr + 2)) + 65536 * std::int64_t(hdr[6]));
    const int s = int(le16(hdr + 4));
    if (s != 128 && s != 256)
        show_error("%s: unsupported ATR sector size (%d)", name, s);

    // B: what the file lacks when sectors 1-3 are stored as 128-byte records.
    const std::int64_t short_allowance = 3 * std::int64_t(s) - 384;
    std::int64_t allowance = 0;
    std::int64_t count = 0;
    bool exact = false;
    if (n < big_image) {
        allowance = (n % s == 0) ? 0 : short_allowance;
        count = (n + allowance) / s;
        exact = count * s - allowance == n;
    }
    if (!exact) {
        allowance = short_allowance;
        count = (n + allowance) / s;
        if (count > 65535)
            count = 65535;
        else if (count < 3)
            show_error("%s: invalid ATR image size (%d), too small.", name, int(n));
        show_msg("%s: invalid ATR image size (%d), rounding down to (%d)", name, int(n),
                 int(count * s - allowance));
    }

    std::unique_ptr<AtrImage> img = map_image(fd, s, std::uint32_t(count), 16, allowance);
    if (!img) {
        img = atr_create(s, std::uint32_t(count));
        read_sectors(src, *img, allowance, name);
    }
    if (s == 256 && count >= 4)
        repair_first_sectors(*img, name);
    atr_check_unchanged(name);
    return img;
}

} // namespace

std::unique_ptr<AtrImage> atr_load_stream(std::FILE *f, const char *name)
{
    ByteSource src;
    src.file = f;
    return load(src, name, fileno(f));
}

std::unique_ptr<AtrImage> atr_load_bytes(std::span<const std::uint8_t> bytes, const char *name)
{
    ByteSource src;
    src.mem = bytes;
    return load(src, name, -1);
}

void atr_check_unchanged(const char *name)
{
#if VORLEN_MAP_FILES
    if (file_changed) {
        file_changed = 0;
        show_error("%s: image file changed while being read", name);
    }
#else
    (void)name;
#endif
}

std::unique_ptr<AtrImage> atr_load(const char *path)
{
    std::FILE *f = std::fopen(path, "rb");
    if (!f)
        show_error(CANT " open disk image '%s': %s", path, std::strerror(errno));
    struct Closer {
        std::FILE *f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    return atr_load_stream(f, path);
}
