// Real K-BOOT disks, and two disks with a look-alike loader that must not be
// taken for K-BOOT.  Skipped when the folder of real disks is absent.
#include "bootdisk.h"
#include "capture.h"
#include "image_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// MakeATR writes the paragraph count as sectors x 16, so each of these
// declares twice the sectors it holds: the loader warns at the first missing
// sector and keeps the declared count, and the file still fits the room.
struct KbootDisk {
    const char *image;
    unsigned declared;
    unsigned length;
    const char *crc;
};

const KbootDisk kboot_disks[] = {
    {"130XE_SIO2SD__Boulder_Dash_v1.atr", 346, 21731, "a3128138"},
    {"130XE_SIO2SD__Deluxe_Invaders.atr", 146, 8839, "257fe572"},
    {"130XE_SIO2SD__Preliminary_Monty.atr", 266, 16640, "5b5014bf"},
    {"wudsn-ide__Atari_Disk-Image_k-File.atr", 212, 13112, "d88ab4d2"},
};

} // namespace

TEST(FlatRealDisks, KbootDisksList)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "real disk images not available";
    for (const KbootDisk &k : kboot_disks) {
        SCOPED_TRACE(k.image);
        RunResult r = run_vorlen({"vorlen", k.image}, dir);
        char listing[64];
        std::snprintf(listing, sizeof listing, "%8u\t\t/kboot-%s.xex\n", k.length, k.crc);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string(k.image) + ": " + std::to_string(k.declared) +
                             " sectors of 128 bytes, K-BOOT.\n" + listing);
        EXPECT_EQ(r.err, "vorlen: " + std::string(k.image) + ": ATR file too short at sector " +
                             std::to_string(k.declared / 2 + 1) + "\n");
    }
}

TEST(FlatRealDisks, BoulderDashExtractsTheKnownFile)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "real disk images not available";
    TempDir out;
    const std::string image = dir + "/130XE_SIO2SD__Boulder_Dash_v1.atr";
    RunResult r = run_vorlen({"vorlen", "-x", image}, out.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, image + ": 346 sectors of 128 bytes, K-BOOT.\n");
    EXPECT_EQ(r.err, "vorlen: " + image + ": ATR file too short at sector 174\nkboot-a3128138.xex\n");
    EXPECT_EQ(read_file(out / "kboot-a3128138.xex"),
              read_file(dir + "/expected/130XE_SIO2SD__Boulder_Dash_v1.xex"));
}

TEST(FlatRealDisks, LookAlikeLoadersAreNotKboot)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "real disk images not available";
    // Their sector 1 starts 00 03 00 07 0D 07 4C 0D 07, not the K-BOOT bytes.
    for (const char *name : {"atrcopy__kboot_test1.atr", "omnivore__jumpman_level_tester.atr"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        auto image = atr_load(path.c_str());
        RunResult r = run_handler(bootdisk_list, *image, name);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out + r.err, "");
    }
}
