// The guard shared by the two directory walks (DOS 2 family and SpartaDOS).
//
// A damaged disk can point a subdirectory entry back at a directory that is
// being walked, or many entries at one directory.  Each directory, known by
// its first sector, is walked at most once per run, and never more than
// walk_max_depth levels below the root.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr unsigned walk_max_depth = 100;

// Marks on sector numbers for one chain at a time, to find a chain that
// comes back to a sector it has passed.  Starting a new chain costs nothing:
// a mark counts only when it carries the current stamp.
struct SectorMarks {
    std::vector<std::uint32_t> mark;
    std::uint32_t stamp = 0;

    explicit SectorMarks(std::size_t sectors = 65536) : mark(sectors) {}

    void new_chain()
    {
        if (++stamp == 0) {
            std::fill(mark.begin(), mark.end(), 0);
            stamp = 1;
        }
    }
    // Marks sector n; true when it was marked already in this chain.
    bool passed(std::uint32_t n)
    {
        if (mark[n] == stamp)
            return true;
        mark[n] = stamp;
        return false;
    }
};

struct WalkGuard {
    std::vector<std::uint8_t> visited = std::vector<std::uint8_t>(65536);
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
