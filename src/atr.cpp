#include "atr.h"

#include "messages.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

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

// A large image fills thousands of pages, and the first touch of each one
// is a page fault, dear on a virtual machine.  Ask for 2 MiB pages where
// the system hands them out on request, then have all pages mapped in one
// call.  Only advice: nothing depends on it being taken.
void advise_large(std::uint8_t *p, std::size_t size)
{
    const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    constexpr std::uintptr_t huge = std::uintptr_t(1) << 21;
    if (size < 2 * huge)
        return;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = (start + size) & ~(huge - 1);
    if (end > first)
        (void)madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    const std::uintptr_t from = (start + page - 1) & ~(page - 1);
    const std::uintptr_t to = (start + size) & ~(page - 1);
    (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
#endif
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
    std::uint8_t *d = img.data.data();
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

std::unique_ptr<AtrImage> load(ByteSource &src, const char *name)
{
    std::uint8_t hdr[16];
    if (src.read(hdr, sizeof hdr) != sizeof hdr)
        show_error("%s: " CANT " read ATR header", name);

    auto img = std::make_unique<AtrImage>();

    if (hdr[0] != 0x96 || hdr[1] != 0x02) {
        // A headerless image: only the two standard sizes are believed.
        img->data.assign(raw_ed_size + 16, 0);
        std::memcpy(img->data.data(), hdr, sizeof hdr);
        std::size_t total = 16 + src.read(img->data.data() + 16, raw_ed_size);
        if (total != raw_sd_size && total != raw_ed_size)
            show_error("%s: not an ATR image", name);
        img->data.resize(total);
        img->sector_size = 128;
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

    img->sector_size = s;
    img->sector_count = std::uint32_t(count);
    try {
        const std::size_t size = std::size_t(count) * s;
        img->data.reserve(size);
        advise_large(img->data.data(), size);
        img->data.assign(size, 0);
    } catch (const std::bad_alloc &) {
        show_memory_error();
    }

    // Short records go one by one into the front of their slots; from there
    // on the records fill their slots back to back, so the rest of the image
    // is one read.  A short read leaves what it got in place, as reading
    // sector by sector would.
    std::uint8_t *d = img->data.data();
    std::int64_t first = 1;
    bool whole = true;
    if (allowance != 0) {
        for (; first <= 3 && first <= count && whole; first++)
            if (src.read(d + (first - 1) * s, 128) != 128) {
                show_msg("%s: ATR file too short at sector %d", name, int(first));
                whole = false;
            }
    }
    if (whole && first <= count) {
        const std::size_t want = std::size_t(count - first + 1) * std::size_t(s);
        const std::size_t got = src.read(d + (first - 1) * s, want);
        if (got != want)
            show_msg("%s: ATR file too short at sector %d", name, int(first + std::int64_t(got / s)));
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
    return load(src, name);
}

std::unique_ptr<AtrImage> atr_load_bytes(std::span<const std::uint8_t> bytes, const char *name)
{
    ByteSource src;
    src.mem = bytes;
    return load(src, name);
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

void atr_free(std::unique_ptr<AtrImage> &image)
{
    image.reset();
}

const std::uint8_t *atr_sector(const AtrImage &image, std::uint32_t n)
{
    if (n == 0 || n > image.sector_count)
        return nullptr;
    return image.data.data() + std::size_t(n - 1) * std::size_t(image.sector_size);
}

const std::uint8_t *atr_run(const AtrImage &image, std::uint32_t n, std::size_t length)
{
    if (n == 0 || n > image.sector_count)
        return nullptr;
    const std::size_t start = std::size_t(n - 1) * std::size_t(image.sector_size);
    if (start > image.data.size() || length > image.data.size() - start)
        return nullptr;
    return image.data.data() + start;
}
