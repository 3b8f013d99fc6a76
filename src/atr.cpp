#include "atr.h"

#include "atx.h"
#include "dcm.h"
#include "messages.h"
#include "pro.h"

#include <cerrno>
#include <cstring>
#include <vector>
#include <sys/stat.h>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#include <unistd.h>
#define ATR_CAN_MAP 1
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

// Small image files that hold every sector are mapped rather than copied:
// a listing then touches only the pages of the sectors it reads, the
// kernel brings those in from the page cache a few at a time, and nothing
// is zeroed or copied first.  (As with any mapped file, an image cut short
// by another process while vorlen reads it would end the run.)  Files that
// end early are read, so that the sectors they lack read as zeros.  Large
// images are read in one call into 2 MiB pages (atr_create): a listing of
// one touches nearly every page of it, and mapping a file's pages costs a
// fault for every 64 KiB where reading it costs a copy.
constexpr std::size_t huge_page = std::size_t(2) << 20;

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
#ifndef ATR_CAN_MAP
    // No mapping on this system: the sectors are read.
    (void)fd, (void)img, (void)offset, (void)body, (void)allowance;
    return false;
#else
    struct stat st;
    const std::size_t need = offset + body;
    if (fd < 0 || need == 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        std::uint64_t(st.st_size) < need)
        return false;
    const int prot = PROT_READ | PROT_WRITE;
    if (allowance == 0) {
        void *file = mmap(nullptr, need, prot, MAP_PRIVATE, fd, 0);
        if (file == MAP_FAILED)
            return false;
        img.storage = std::shared_ptr<void>(file, [need](void *p) { munmap(p, need); });
        img.data = static_cast<std::uint8_t *>(file) + offset;
        return true;
    }
    const std::size_t front = std::size_t(sysconf(_SC_PAGESIZE));
    const std::size_t length = front + need;
    void *region = mmap(nullptr, length, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED)
        return false;
    std::uint8_t *file = static_cast<std::uint8_t *>(region) + front;
    if (mmap(file, need, prot, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
        munmap(region, length);
        return false;
    }
    img.storage = std::shared_ptr<void>(region, [length](void *p) { munmap(p, length); });
    img.data = file + offset + 384 - 768;
    std::uint8_t records[384];
    std::memcpy(records, file + offset, sizeof records);
    std::memset(img.data, 0, 768);
    for (int k = 0; k < 3; k++)
        std::memcpy(img.data + k * 256, records + k * 128, 128);
    return true;
#endif
}

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

// A container is no bigger than this; a longer stream that is no regular
// file is only read this far.
constexpr std::size_t container_limit = std::size_t(64) << 20;

// The whole file, whose first `got` bytes were read into `head`, offered to
// the container decoders.  Bytes in memory are used where they are; a
// regular file is mapped read-only, so nothing is copied; any other stream
// is read on, up to container_limit.
std::unique_ptr<AtrImage> load_container(ByteSource &src, const std::uint8_t *head, std::size_t got,
                                         const char *name, int fd)
{
    if (!src.file)
        return decode_container(src.mem, name);
#ifdef ATR_CAN_MAP
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        std::uint64_t(st.st_size) >= got) {
        const std::size_t length = std::size_t(st.st_size);
        void *p = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            std::unique_ptr<AtrImage> disk;
            try {
                disk = decode_container({static_cast<const std::uint8_t *>(p), length}, name);
            } catch (...) {
                munmap(p, length);
                throw;
            }
            munmap(p, length);
            return disk;
        }
    }
#else
    (void)fd;
#endif
    std::vector<std::uint8_t> bytes(head, head + got);
    std::uint8_t chunk[65536];
    while (bytes.size() < container_limit) {
        const std::size_t n = src.read(chunk, sizeof chunk);
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

    const std::size_t size = std::size_t(count) * std::size_t(s);
    std::unique_ptr<AtrImage> img;
    if (size < huge_page)
        img = map_image(fd, s, std::uint32_t(count), 16, allowance);
    if (!img) {
        img = atr_create(s, std::uint32_t(count));
        read_sectors(src, *img, allowance, name);
    }
    if (s == 256 && count >= 4)
        repair_first_sectors(*img, name);
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



