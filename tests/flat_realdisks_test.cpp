// Real K-BOOT disks, and one with a look-alike loader that must not be taken
// for K-BOOT.  Skipped when the folder of real disks is absent.
#include "bootdisk.h"
#include "capture.h"
#include "image_builder.h"

#include <gtest/gtest.h>

TEST(FlatRealDisks, KbootDisks)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "real disk images not available";
    // These declare twice the sectors they hold (a loader warning), but the file fits the room.
    const std::string bd = "130XE_SIO2SD__Boulder_Dash_v1.atr", di = "130XE_SIO2SD__Deluxe_Invaders.atr";
    RunResult r = run_vorlen({"vorlen", bd}, dir);
    EXPECT_EQ(r.out, bd + ": 346 sectors of 128 bytes, K-BOOT.\n   21731\t\t/kboot-a3128138.xex\n");
    r = run_vorlen({"vorlen", di}, dir);
    EXPECT_EQ(r.out, di + ": 146 sectors of 128 bytes, K-BOOT.\n    8839\t\t/kboot-257fe572.xex\n");

    TempDir out;
    r = run_vorlen({"vorlen", "-x", dir + "/" + bd}, out.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "vorlen: " + dir + "/" + bd + ": ATR file too short at sector 174\nkboot-a3128138.xex\n");
    EXPECT_EQ(read_file(out / "kboot-a3128138.xex"), read_file(dir + "/expected/130XE_SIO2SD__Boulder_Dash_v1.xex"));

    // A look-alike whose sector 1 starts 00 03 00 07 0D 07 4C 0D 07: declined.
    const std::string path = dir + "/atrcopy__kboot_test1.atr";
    r = run_handler(bootdisk_list, *atr_load(path.c_str()), "kboot_test1.atr");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");
}
