// A few kilobytes of image can declare 16 MiB of sectors and thousands of
// entries.  Listing such a disk must stay cheap: these images would take
// seconds to minutes if every entry's file were read anew.
#include "bomb_layout.h"
#include "capture.h"
#include "driver.h"
#include "dos2.h"
#include "image_builder.h"
#include "sparta.h"
#include "time_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace {


std::size_t lines(const std::string &s)
{
    return std::size_t(std::count(s.begin(), s.end(), '\n'));
}

} // namespace

// SpartaDOS root of 2700 file entries, each declaring 16 MiB - 1 through a
// map sector of holes that links to itself: every read would deliver the
// full size in 131072 zero chunks.
TEST(Budget, SpartaThousandsOfHugeFiles)
{
    const std::uint32_t files = 2700;
    DiskBuilder d(128, 720);
    d.bytes(1, 7, {0x80}).le16(1, 9, 10).le16(1, 11, 720).le16(1, 16, 4).bytes(1, 31, {0x80});
    // The root directory: 2701 entries of 23 bytes in 486 data sectors from 200 on.
    const std::uint32_t dir_bytes = (files + 1) * 23;
    const std::uint32_t dir_sectors = (dir_bytes + 127) / 128;
    std::vector<std::uint8_t> dir(dir_sectors * 128);
    for (std::uint32_t i = 1; i <= files; i++) {
        std::uint8_t *e = dir.data() + i * 23;
        e[0] = 0x08;                      // in use
        e[1] = 11;                        // map: sector 11, holes linked to itself
        e[3] = e[4] = e[5] = 0xFF;        // size 0xFFFFFF
        std::fill(e + 6, e + 17, 'A');
        e[6 + i % 8] = std::uint8_t('A' + i % 26);
    }
    for (std::uint32_t k = 0; k < dir_sectors; k++)
        std::copy(dir.begin() + k * 128, dir.begin() + (k + 1) * 128, d.sector(200 + k));
    // Its map chain: 8 map sectors of 62 numbers each.
    std::uint32_t maps[] = {10, 5, 6, 7, 8, 9, 13, 14};
    std::uint32_t next_data = 200;
    for (std::size_t m = 0; m < std::size(maps); m++) {
        d.le16(maps[m], 0, m + 1 < std::size(maps) ? maps[m + 1] : 0);
        for (std::uint32_t off = 4; off < 128 && next_data < 200 + dir_sectors; off += 2)
            d.le16(maps[m], off, next_data++);
    }
    d.le16(11, 0, 11); // the files' map: all holes, next map = itself

    auto img = d.image();
    for (int atari : {0, 1}) {
        auto t0 = std::chrono::steady_clock::now();
        RunResult r = run_handler(spartados_list, *img, "bomb.atr", atari);
        EXPECT_LT(time_since(t0), time_limit(0.5));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(lines(r.out), files + (atari ? 6u : 1u));
    }
}

// MyDOS volume of 65535 sectors: 64 subdirectories of 64 files each, every
// file starting on one chain of 60000 sectors with 16-bit links.
TEST(Budget, Dos2ManyEntriesShareOneLongChain)
{
    const std::uint32_t n = 65535;
    DiskBuilder d(256, n);
    d.bytes(360, 0, {35}).le16(360, 1, 65000).bytes(360, 10, {0x0F});
    auto entry = [&](std::uint32_t sector, unsigned slot, std::uint8_t flags, std::uint32_t count,
                     std::uint32_t start, const char *name) {
        std::uint8_t *e = d.sector(sector) + slot * 16;
        e[0] = flags;
        e[1] = std::uint8_t(count), e[2] = std::uint8_t(count >> 8);
        e[3] = std::uint8_t(start), e[4] = std::uint8_t(start >> 8);
        std::fill(e + 5, e + 16, ' ');
        std::copy(name, name + std::char_traits<char>::length(name), e + 5);
    };
    for (unsigned k = 0; k < 64; k++) {
        const std::uint32_t dir = 1000 + 8 * k;
        entry(361 + k / 8, k % 8, 0x10, 8, dir, "DIR");
        std::uint8_t *name = d.sector(361 + k / 8) + (k % 8) * 16 + 5;
        name[3] = std::uint8_t('A' + k % 26);
        name[4] = std::uint8_t('A' + k / 26);
        for (unsigned f = 0; f < 64; f++)
            entry(dir + f / 8, f % 8, 0x46, 65535, 5000, "FILE");
    }
    for (std::uint32_t s = 5000; s < 65000; s++) {
        std::uint8_t *p = d.sector(s);
        const std::uint32_t next = s + 1 < 65000 ? s + 1 : 0;
        p[253] = std::uint8_t(next >> 8);
        p[254] = std::uint8_t(next);
        p[255] = 253;
    }

    auto img = d.image();
    for (int atari : {0, 1}) {
        auto t0 = std::chrono::steady_clock::now();
        RunResult r = run_handler(dos2_list, *img, "bomb.atr", atari);
        EXPECT_LT(time_since(t0), time_limit(0.5));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(lines(r.out), atari ? 5 + 64 + 2 + 64 * (64 + 3) : 1 + 64 + 64 * 64);
        if (!atari) {
            EXPECT_NE(r.out.find("15180000\t\t/DIRAA/FILE\n"), std::string::npos);
        }
    }
}

// The hostile images of the bomb builder: every listing mode stays within a
// second, and prints no more than the image can hold.
TEST(Budget, BombsListQuickly)
{
    for (const Bomb &b : all_bombs()) {
        auto img = b.disk.image();
        for (int atari : {0, 1}) {
            for (int lower : {0, 1}) {
                auto t0 = std::chrono::steady_clock::now();
                RunResult r = run_handler(driver_probe, *img, b.name.c_str(), atari, lower);
                EXPECT_LT(time_since(t0), time_limit(1.0)) << b.name << " atari " << atari;
                EXPECT_EQ(r.status, 0) << b.name;
                EXPECT_LT(lines(r.out) + lines(r.err), 300000u) << b.name;
                EXPECT_LT(r.out.size() + r.err.size(), std::size_t(32) << 20) << b.name;
            }
        }
    }
}
