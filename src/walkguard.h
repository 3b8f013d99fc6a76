// The guard shared by the two directory walks (DOS 2 family and SpartaDOS).
//
// A damaged disk can point a subdirectory entry back at a directory that is
// being walked, or many entries at one directory, or point two directories
// at sectors they share.  Each directory, known by its first sector, is
// walked at most once per run, no sector that holds a directory's entries
// is listed twice in one run, and no directory lies more than
// walk_max_depth levels below the root.  So what a listing prints is
// bounded by what the image holds.
#pragma once

#include "messages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr unsigned walk_max_depth = 100;

// A table of zeroed entries by sector number, taken when first used.  It
// comes from calloc, whose large blocks are fresh pages of the system: a
// page costs a fault only when an entry on it is first touched, so a table
// for every sector of a 16 MiB disk costs what the walk reaches of it.
template <class T> struct SectorTable {
    std::unique_ptr<T[], FreeDeleter> entries;
    std::size_t size = 0;

    // Entries 0 .. count - 1, all zero, unless the table was taken before.
    void take(std::size_t count)
    {
        if (!entries) {
            entries.reset(static_cast<T *>(check_calloc(count, sizeof(T))));
            size = count;
        }
    }
    T &operator[](std::size_t n) { return entries[n]; }
};

// Marks on sector numbers for one chain at a time, to find a chain that
// comes back to a sector it has passed.  One bit per sector number, and
// the numbers marked in the current chain, so that starting the next chain
// clears just those: a walk touches no more memory than 1/8 byte per
// sector plus its longest chain.  The bits grow with the highest number
// marked.
struct SectorMarks {
    std::vector<std::uint64_t> bits;
    std::vector<std::uint32_t> marked;

    explicit SectorMarks(std::size_t sectors = 0) : bits((sectors + 63) / 64) {}

    void new_chain()
    {
        for (std::uint32_t n : marked)
            bits[n / 64] = 0;
        marked.clear();
    }
    // Marks sector n; true when it was marked already in this chain.
    bool passed(std::uint32_t n)
    {
        const std::size_t word = n / 64;
        const std::uint64_t bit = std::uint64_t(1) << (n % 64);
        if (word >= bits.size())
            bits.resize(std::max<std::size_t>(word + 1, 2 * bits.size()));
        if (bits[word] & bit)
            return true;
        bits[word] |= bit;
        marked.push_back(n);
        return false;
    }
};

// What a walk over chains keeps so that it follows each sector once per
// run, however many entries lead into one chain.  A sound disk never leads
// two walks into one sector, so until that happens only a bit per sector
// is kept (the sectors walks have passed); from the first meeting on, the
// result of the chain from every sector passed is remembered in `known`.
template <class T> struct ChainMemo {
    SectorTable<T> known;
    std::vector<std::uint64_t> passed;
    bool active = false;

    // Marks sector n of `count` (n < count) as passed; true when an earlier
    // walk passed it.  Used only while not active.
    bool met(std::uint32_t n, std::size_t count)
    {
        std::uint64_t &word = passed_bits(count)[n / 64];
        const std::uint64_t bit = std::uint64_t(1) << (n % 64);
        const bool before = word & bit;
        word |= bit;
        return before;
    }
    // The bits of `passed` for sectors 0 .. count - 1, for a walk that
    // tests and sets them itself.
    std::uint64_t *passed_bits(std::size_t count)
    {
        if (passed.empty())
            passed.resize((count + 63) / 64);
        return passed.data();
    }
    void activate(std::size_t count)
    {
        known.take(count);
        active = true;
    }
};

// A value by sector number for the few sectors that get one, in an
// open-addressed hash table that grows with them (kept at most half full).
// Unlike a SectorTable for every sector of a large disk, it touches a page
// or two for the directories of a sound disk, whose sectors lie anywhere.
class SectorValues {
  public:
    // The value of sector n, 0 until set.
    std::uint32_t &operator[](std::uint32_t n)
    {
        if (2 * (used_ + 1) > slots_.size())
            grow();
        Slot &slot = find(slots_, n);
        if (slot.key == 0) {
            slot.key = n + 1;
            used_++;
        }
        return slot.value;
    }

  private:
    struct Slot {
        std::uint32_t key = 0; // sector + 1 (sectors lie far below 2^32 - 1); 0 for a free slot
        std::uint32_t value = 0;
    };
    std::vector<Slot> slots_;
    std::size_t used_ = 0;

    static Slot &find(std::vector<Slot> &slots, std::uint32_t n)
    {
        const std::size_t mask = slots.size() - 1;
        std::size_t i = (std::uint32_t(n * 2654435761u) >> 8) & mask;
        while (slots[i].key != 0 && slots[i].key != n + 1)
            i = (i + 1) & mask;
        return slots[i];
    }
    void grow()
    {
        std::vector<Slot> bigger(slots_.empty() ? 256 : 2 * slots_.size());
        for (const Slot &slot : slots_)
            if (slot.key != 0)
                find(bigger, slot.key - 1) = slot;
        slots_.swap(bigger);
    }
};

struct WalkGuard {
    std::vector<bool> visited = std::vector<bool>(65536); // by 16-bit first sector
    // For each sector that holds directory entries: the claim (below) that
    // took it, 0 for none.
    SectorValues owner;
    std::uint32_t claims = 0;
    unsigned depth = 0; // directories on the current path, the root included
};

// Whether the subdirectory that starts in `first` may be walked from the
// directory being walked now.  When not, says why, naming `entry_path`.
bool walk_guard_allows(const WalkGuard &guard, std::uint32_t first, const char *entry_path);

// Before a directory is walked, each sector that holds its entries is
// claimed for it, under a claim number from walk_guard_new_claim.  A sector
// that an earlier claim took (a directory listed before, or one refused)
// refuses the directory: walk_guard_claim then says "directory already
// visited, skip", naming `entry_path`, and returns false.  A directory may
// name one of its own sectors twice.
std::uint32_t walk_guard_new_claim(WalkGuard &guard);
bool walk_guard_claim(WalkGuard &guard, std::uint32_t claim, std::uint32_t sector, const char *entry_path);

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
