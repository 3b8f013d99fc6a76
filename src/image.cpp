#include "image.h"

#include "messages.h"

#include <cstdlib>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;

// The sectors of an ATR file start 16 bytes into it (with three short first
// records, sector 4 starts at 400, which also leaves 16 over a multiple of
// 64).  An image that starts 16 bytes into a cache line has every file page
// that the kernel copies into it land on cache line boundaries.
constexpr std::size_t file_offset = 16;

} // namespace

std::unique_ptr<AtrImage> atr_create(int sector_size, std::uint32_t sector_count)
{
    auto img = std::make_unique<AtrImage>();
    img->sector_size = sector_size;
    img->sector_count = sector_count;
    img->size = std::size_t(sector_count) * std::size_t(sector_size);
#if defined(MADV_HUGEPAGE) && defined(MAP_ANONYMOUS)
    // Fresh zero pages from the kernel cost nothing until touched, so a
    // header that declares far more than the file holds is cheap.  A large
    // image comes in 2 MiB pages where the kernel offers them: filling 16
    // MiB then takes a handful of page faults instead of thousands.
    if (img->size >= huge_page) {
        const std::size_t length = img->size + 2 * huge_page;
        void *region = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region != MAP_FAILED) {
            const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(region);
            std::uint8_t *aligned = static_cast<std::uint8_t *>(region) + (-at & (huge_page - 1));
            madvise(aligned, img->size + huge_page, MADV_HUGEPAGE);
            img->data = aligned + file_offset;
            img->storage = std::shared_ptr<void>(region, [length](void *p) { munmap(p, length); });
            return img;
        }
    }
#endif
    img->data = static_cast<std::uint8_t *>(check_calloc(img->size, 1));
    img->storage = std::shared_ptr<void>(img->data, std::free);
    return img;
}

void atr_free(std::unique_ptr<AtrImage> &image)
{
    image.reset();
}

void atr_will_read_all(const AtrImage &image)
{
    if (!image.mapping)
        return;
#if defined(MADV_POPULATE_READ)
    // Maps every page in one call (Linux 5.14 on); fails with EINVAL on an
    // older kernel and EFAULT when the file has become shorter.
    if (madvise(image.mapping, image.mapping_length, MADV_POPULATE_READ) == 0)
        return;
#endif
#if defined(MADV_WILLNEED)
    // Starts reading what is not in memory yet; the pages are still mapped
    // one fault at a time.
    madvise(image.mapping, image.mapping_length, MADV_WILLNEED);
#endif
}

const std::uint8_t *atr_run(const AtrImage &image, std::uint32_t n, std::size_t length)
{
    if (n == 0 || n > image.sector_count)
        return nullptr;
    const std::size_t start = std::size_t(n - 1) * std::size_t(image.sector_size);
    if (start > image.size || length > image.size - start)
        return nullptr;
    return image.data + start;
}
