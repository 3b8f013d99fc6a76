#include "capture.h"
#include "image_builder.h"

#include <gtest/gtest.h>

TEST(Smoke, UnrecognisedImage)
{
    TempDir dir;
    write_file(dir / "blank.atr", DiskBuilder(128, 720).atr());
    RunResult r = run_vorlen({"vorlen", dir / "blank.atr"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vorlen: " + (dir / "blank.atr") + ": ATR image format not supported.\n");
}
