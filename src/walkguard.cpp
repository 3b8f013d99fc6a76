#include "walkguard.h"

#include "messages.h"

bool walk_guard_allows(const WalkGuard &guard, std::uint32_t first, const char *entry_path)
{
    if (first < guard.visited.size() && guard.visited[first]) {
        show_msg("%s: directory already visited, skip", entry_path);
        return false;
    }
    // The directory being walked is at level depth - 1; its subdirectory
    // would be at level depth.
    if (guard.depth > walk_max_depth) {
        show_msg("%s: directory nesting too deep, skip", entry_path);
        return false;
    }
    return true;
}

std::uint32_t walk_guard_new_claim(WalkGuard &guard)
{
    return ++guard.claims;
}

bool walk_guard_claim(WalkGuard &guard, std::uint32_t claim, std::uint32_t sector, const char *entry_path)
{
    std::uint32_t &owner = guard.owner[sector];
    if (owner != 0 && owner != claim) {
        show_msg("%s: directory already visited, skip", entry_path);
        return false;
    }
    owner = claim;
    return true;
}
