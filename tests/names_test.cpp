// Host names: the Windows form that extraction gives every path level on
// Windows.  The function is plain string work, so it is tested here on any
// system; the same names go through vorlen.exe under Wine in
// tests/wine_compare.sh.
#include "names.h"

#include <gtest/gtest.h>

#include <string>

TEST(Names, WindowsHost)
{
    const struct { const char *name; const char *host; } cases[] = {
        // Reserved device names, with or without an extension, in any case:
        // a '_' after the base name makes them plain files.
        {"CON", "CON_"},
        {"CON.SYS", "CON_.SYS"},
        {"aux", "aux_"},
        {"AUX.BAS", "AUX_.BAS"},
        {"nul.txt", "nul_.txt"},
        {"PRN", "PRN_"},
        {"COM1", "COM1_"},
        {"LPT9.DAT", "LPT9_.DAT"},
        {"CON.TAR.GZ", "CON_.TAR.GZ"}, // the base name ends at the first full stop
        // Names that only look like devices stay as they are.
        {"COM0", "COM0"},
        {"LPT", "LPT"},
        {"CONS", "CONS"},
        {"XCON.SYS", "XCON.SYS"},
        {"COM10", "COM10"},
        // Characters Windows refuses in a name.
        {"A:B", "A_B"},
        {"<*>", "___"},
        {"\"Q\"|P", "_Q__P"},
        // Trailing full stops and blanks, which Windows would drop; inner
        // ones stay.
        {"README.", "README_"},
        {"A..", "A__"},
        {"NAME . ", "NAME___"},
        {"A B.", "A B_"},
        {"A.B C", "A.B C"},
        // A device name that only shows once the trailing dot is replaced is
        // no device name: "CON_" is already safe.
        {"CON.", "CON_"},
        // Names Linux and Windows both take are unchanged.
        {"DOS.SYS", "DOS.SYS"},
        {"kboot-8bb387da.xex", "kboot-8bb387da.xex"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(names_windows_host(c.name), c.host) << c.name;
}

// Two distinct Atari names may meet in one Windows name ("A:B" and "A_B");
// extraction refuses the second instead of overwriting, so all that matters
// here is that the mapping never yields a path separator or a name that
// leaves the directory.
TEST(Names, WindowsHostStaysOneLevel)
{
    for (const char *name : {".", "..", "...", " ", ". .", "CON"}) {
        const std::string host = names_windows_host(name);
        EXPECT_NE(host, ".") << name;
        EXPECT_NE(host, "..") << name;
        EXPECT_EQ(host.find('/'), std::string::npos) << name;
    }
}
