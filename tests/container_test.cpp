// The byte cursor the container decoders read through, at the ends of the
// file and with offsets and lengths that would wrap round, and the damage
// tally they report from.
#include "container.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

TEST(ByteCursor, NeverReadsOutsideTheBytes)
{
    const std::vector<std::uint8_t> file = {1, 2, 3, 4, 5};
    const std::size_t huge = SIZE_MAX;
    ByteCursor c{file};
    // Each step: what it asks, whether it is granted, the position after it.
    const struct {
        const char *what;
        bool (*step)(ByteCursor &);
        bool granted;
        std::size_t pos;
    } steps[] = {
        {"take 2", [](ByteCursor &c) { const std::uint8_t *p = c.take(2); return p && p[0] == 1; }, true, 2},
        {"peek 3", [](ByteCursor &c) { const std::uint8_t *p = c.peek(3); return p && p[2] == 5; }, true, 2},
        {"peek 4", [](ByteCursor &c) { return c.peek(4) != nullptr; }, false, 2},
        {"take 4", [](ByteCursor &c) { return c.take(4) != nullptr; }, false, 2},
        {"take all of it", [](ByteCursor &c) { return c.take(huge) != nullptr; }, false, 2},
        {"skip 4", [](ByteCursor &c) { return c.skip(4); }, false, 2},
        {"skip 3", [](ByteCursor &c) { return c.skip(3) && c.remaining() == 0 && c.rest().empty(); }, true, 5},
        {"take 0 at the end", [](ByteCursor &c) { return c.take(0) != nullptr; }, true, 5},
        {"take 1 at the end", [](ByteCursor &c) { return c.take(1) != nullptr; }, false, 5},
        {"seek 6", [](ByteCursor &c) { return c.seek(6); }, false, 5},
        {"seek 1", [](ByteCursor &c) { return c.seek(1) && c.rest().size() == 4; }, true, 1},
        {"at 3, 2", [](ByteCursor &c) { const std::uint8_t *p = c.at(3, 2); return p && p[1] == 5; }, true, 1},
        {"at 3, 3", [](ByteCursor &c) { return c.at(3, 3) != nullptr; }, false, 1},
        {"at 6, 0", [](ByteCursor &c) { return c.at(6, 0) != nullptr; }, false, 1},
        {"at 2, wrapping", [](ByteCursor &c) { return c.at(2, SIZE_MAX - 1) != nullptr; }, false, 1},
        {"at wrapping, 2", [](ByteCursor &c) { return c.at(SIZE_MAX - 1, 2) != nullptr; }, false, 1},
        {"subspan 1, 3", [](ByteCursor &c) { auto s = c.subspan(1, 3); return s.size() == 3 && s[0] == 2; }, true, 1},
        {"subspan 4, 2", [](ByteCursor &c) { return !c.subspan(4, 2).empty(); }, false, 1},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(s.step(c), s.granted) << s.what;
        EXPECT_EQ(c.pos, s.pos) << s.what;
    }
}

TEST(DamageTally, KeepsTheFirstPlaceAndDetail)
{
    DamageTally t;
    EXPECT_EQ(t.count, 0u);
    t.add(700, 12);
    t.add(3, 99);
    t.add(900);
    EXPECT_EQ(std::tie(t.count, t.first, t.detail), std::make_tuple(3u, std::size_t(700), std::size_t(12)));
}
