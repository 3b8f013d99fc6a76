// A listing answers from remembered chain results instead of reading every
// file; these checks hold it to exactly what reading gives, on chains made
// at random from valid, hole, out-of-range and looping sector numbers.
#include "capture.h"
#include "dos2.h"
#include "image_builder.h"
#include "listing.h"
#include "messages.h"
#include "sparta.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

// A small disk whose sectors hold random little-endian numbers: in half of
// them every number is 0 or a valid sector (so map chains can loop without
// a fault), in the others some are 1 or past the end.
DiskBuilder random_disk(std::mt19937 &rng, int sector_size, std::uint32_t sectors)
{
    DiskBuilder d(sector_size, sectors);
    std::uniform_int_distribution<std::uint32_t> any(0, sectors + 3);
    std::uniform_int_distribution<std::uint32_t> valid(2, sectors);
    std::uniform_int_distribution<int> kind(0, 9);
    for (std::uint32_t n = 1; n <= sectors; n++) {
        const bool clean = kind(rng) < 5;
        for (int off = 0; off + 1 < sector_size; off += 2) {
            std::uint32_t v = kind(rng) < 4 ? 0 : clean ? valid(rng) : any(rng);
            d.le16(n, std::size_t(off), v);
        }
    }
    return d;
}

} // namespace

TEST(ListingMemo, SpartaCountMatchesReading)
{
    std::mt19937 rng(12345);
    std::vector<std::uint8_t> buf(0x1000000);
    for (int round = 0; round < 200; round++) {
        const int s = round % 2 ? 256 : 128;
        DiskBuilder d = random_disk(rng, s, 24);
        auto img = d.image();
        SpartaWalk walk;
        walk.image = img.get();
        walk.map_marks = SectorMarks(25);
        for (std::uint32_t first = 0; first <= 26; first++) {
            for (std::uint32_t wanted : {0u, 1u, 127u, 128u, 129u, 5000u, 70000u, 0xFFFFFFu}) {
                std::uint32_t read_n = 0, count_n = 0;
                std::string read_msg =
                    messages_of([&] { read_n = sparta_read_map(*img, first, wanted, buf.data()); });
                std::string count_msg =
                    messages_of([&] { count_n = sparta_count_map(walk, first, wanted); });
                ASSERT_EQ(read_n, count_n) << "round " << round << " map " << first << " wanted " << wanted;
                ASSERT_EQ(read_msg, count_msg) << "round " << round << " map " << first;
            }
        }
    }
}

TEST(ListingMemo, Dos2ListingLengthMatchesReading)
{
    std::mt19937 rng(54321);
    for (int round = 0; round < 200; round++) {
        const int s = round % 2 ? 256 : 128;
        DiskBuilder d = random_disk(rng, s, 40);
        // Byte counts: sometimes beyond the data area, sometimes DOS 1 marks.
        for (std::uint32_t n = 1; n <= 40; n++)
            d.sector(n)[s - 1] = std::uint8_t(rng());
        auto img = d.image();
        Dos2Walk walk;
        walk.image = img.get();
        for (unsigned flags : {0x40u, 0x42u, 0x46u, 0x01u}) {
            for (std::uint32_t start = 2; start <= 42; start++) {
                const std::uint32_t count = 1 + rng() % 50;
                std::vector<std::uint8_t> buf;
                Dos2File with_data, listed;
                std::string read_msg =
                    messages_of([&] { with_data = dos2_read_file(walk, flags, count, start, &buf); });
                std::string list_msg =
                    messages_of([&] { listed = dos2_read_file(walk, flags, count, start, nullptr); });
                ASSERT_EQ(with_data.length, listed.length) << "round " << round << " start " << start;
                ASSERT_EQ(buf.size(), with_data.length) << "round " << round << " start " << start;
                ASSERT_EQ(read_msg, list_msg) << "round " << round << " start " << start;
            }
        }
    }
}

// The listing lines are built without printf; each piece must give the
// bytes of the conversion it stands for, at the edges of its range too.
TEST(ListingLines, PiecesMatchPrintf)
{
    auto printf_of = [](const char *fmt, auto value) {
        char buf[64];
        std::snprintf(buf, sizeof buf, fmt, value);
        return std::string(buf);
    };
    for (std::uint32_t v : {0u, 7u, 99u, 1234567u, 12345678u, 123456789u, 0xFFFFFFFFu}) {
        char s8[16], s7[16];
        EXPECT_EQ(std::string(s8, out_u(s8, v, 8)), printf_of("%8u", v));
        EXPECT_EQ(std::string(s7, out_u(s7, v, 7)), printf_of("%7u", v));
    }
    for (int v : {0, 5, 10, 99, 100, 255}) {
        char s[4];
        EXPECT_EQ(std::string(s, out_02d(s, v)), printf_of("%02d", v));
    }
    for (const char *t : {"", "A", "README   TXT", "ABCDEFGHIJKLM"}) {
        char s[32];
        EXPECT_EQ(std::string(s, out_s(s, t, 12)), printf_of("%-12s", t));
    }
}

// Listing lines are gathered and handed to the stream in blocks.  Wherever
// a message may come, the stream must have written out exactly what it
// would have written had each line been handed to it alone, so that
// listing and messages interleave in a shared file as they always did:
// at block edges, with lines longer than the stream's buffer, and with
// the pending text running past the gathering block.
TEST(ListingLines, GatheredTextLeavesTheStreamAsLineByLine)
{
    std::mt19937 rng(777);
    for (int round = 0; round < 30; round++) {
        std::FILE *gathered = std::tmpfile();
        std::FILE *direct = std::tmpfile();
        ASSERT_TRUE(gathered && direct);
        std::setvbuf(gathered, nullptr, _IOFBF, 4096);
        std::setvbuf(direct, nullptr, _IOFBF, 4096);
        auto written = [](std::FILE *f) {
            struct stat st;
            return fstat(fileno(f), &st) == 0 ? st.st_size : -1;
        };
        std::FILE *old_out = std::exchange(msg_out, gathered);
        std::string line;
        for (int i = 0; i < 400; i++) {
            // Lines that fill the stream's buffer exactly now and then (the
            // case where handing over a block at once would write out more),
            // or listing-sized lines with now and then one that fills the
            // buffer or runs past it.
            std::size_t length;
            if (round % 3 == 0)
                length = 64;
            else if (round % 3 == 1)
                length = i % 2 ? 3996 : 100;
            else
                length = rng() % 10 == 0 ? 4096 * (1 + rng() % 3) - rng() % 2 : 1 + rng() % 90;
            line.assign(length - 1, char('a' + i % 26));
            line += '\n';
            out_line(line);
            std::fwrite(line.data(), 1, line.size(), direct);
            if (rng() % 7 == 0) {
                msg_sync();
                ASSERT_EQ(written(gathered), written(direct)) << "round " << round << " line " << i;
            }
        }
        msg_sync();
        msg_out = old_out;
        EXPECT_EQ(written(gathered), written(direct));
        std::fflush(gathered);
        std::fflush(direct);
        EXPECT_EQ(written(gathered), written(direct));
        std::fclose(gathered);
        std::fclose(direct);
    }
}
