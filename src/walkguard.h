// The guard shared by the two directory walks (DOS 2 family and SpartaDOS).
//
// A damaged disk can point a subdirectory entry back at a directory that is
// being walked, or many entries at one directory.  Each directory, known by
// its first sector, is walked at most once per run, and never more than
// walk_max_depth levels below the root.
#pragma once

#include "messages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

constexpr unsigned walk_max_depth = 100;

// Marks on sector numbers for one chain at a time, to find a chain that
// comes back to a sector it has passed.  Starting a new chain costs nothing:
// a mark counts only when it carries the current stamp.  The marks grow
// with the highest sector number marked, from fresh zeroed memory, so a walk
// pays only for the pages of marks its chains touch.
struct SectorMarks {
    std::unique_ptr<std::uint32_t[], FreeDeleter> mark;
    std::size_t size = 0;
    std::uint32_t stamp = 0;

    explicit SectorMarks(std::size_t sectors = 0) { grow(sectors); }

    void new_chain()
    {
        if (++stamp == 0) {
            std::fill(mark.get(), mark.get() + size, 0);
            stamp = 1;
        }
    }
    // Marks sector n; true when it was marked already in this chain.
    bool passed(std::uint32_t n)
    {
        if (n >= size)
            grow(std::max<std::size_t>(std::size_t(n) + 1, 2 * size));
        if (mark[n] == stamp)
            return true;
        mark[n] = stamp;
        return false;
    }

  private:
    void grow(std::size_t n)
    {
        if (n == 0)
            return;
        std::unique_ptr<std::uint32_t[], FreeDeleter> more(
            static_cast<std::uint32_t *>(check_calloc(n, sizeof(std::uint32_t))));
        if (size)
            std::copy(mark.get(), mark.get() + size, more.get());
        mark = std::move(more);
        size = n;
    }
};

struct WalkGuard {
    std::vector<bool> visited = std::vector<bool>(65536); // by 16-bit first sector
    unsigned depth = 0; // directories on the current path, the root included
};

// Whether the subdirectory that starts in `first` may be walked from the
// directory being walked now.  When not, says why, naming `entry_path`.
bool walk_guard_allows(const WalkGuard &guard, std::uint32_t first, const char *entry_path);

// Held for the duration of one directory's walk: marks the directory as
// visited as soon as its walk starts and keeps count of the depth.
class WalkScope {
  public:
    WalkScope(WalkGuard &guard, std::uint32_t first) : guard_(guard)
    {
        guard_.visited[first & 0xFFFF] = 1;
        ++guard_.depth;
    }
    ~WalkScope() { --guard_.depth; }
    WalkScope(const WalkScope &) = delete;
    WalkScope &operator=(const WalkScope &) = delete;

  private:
    WalkGuard &guard_;
};
