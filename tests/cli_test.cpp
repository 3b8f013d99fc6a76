// The command line, run through the real binary: each command with its exact
// standard output, standard error and exit status.
#include "capture.h"
#include "image_builder.h"
#include "messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// argv[0] as typed: the whole path is the prefix of every message.
const std::string P = "/opt/x/prog";

const std::string usage = "Usage: " + P + " [options] <atr_image_file>\nOptions:\n"
                          "\t-a\tShow listing in Atari instead of UNIX format.\n"
                          "\t-l\tConvert filenames to lower-case.\n"
                          "\t-x\tExtract listed files to current path.\n"
                          "\t-X path\tExtract listed files to given path.\n"
                          "\t-h\tShow this help.\n"
                          "\t-v\tShow version information.\n";

std::string opt_error(const std::string &msg) { return P + ": Error, " + msg + ". Try '" + P + " -h' for help.\n"; }

const std::string summary = ": 720 sectors of 128 bytes, DOS 2.0s, 706 sectors free of 707 total.\n";

struct Cli : ::testing::Test {
    TempDir t;
    void SetUp() override
    {
        // A DOS 2.0s disk holding one file, HELLO.TXT = "hi\n".
        DiskBuilder d(128, 720);
        d.bytes(360, 0, {2}).le16(360, 1, 707).le16(360, 3, 706).bytes(360, 10, {0x0F}); // VTOC
        d.bytes(361, 0, {0x42}).le16(361, 1, 1).le16(361, 3, 4).text(361, 5, "HELLO   TXT");
        d.text(4, 0, "hi\n").bytes(4, 125, {0, 0, 3}); // last sector of the chain, 3 bytes
        write_file(t / "d.atr", d.atr());
    }

    // Runs P with the given words in the temporary directory.
    void expect(std::vector<std::string> words, int status, const std::string &out, const std::string &err)
    {
        SCOPED_TRACE(::testing::PrintToString(words));
        words.insert(words.begin(), P);
        RunResult r = run_vorlen(words, t.path);
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(status, out, err));
    }
    bool exists(const std::string &name) { return fs::exists(t / name); }
};

} // namespace

TEST_F(Cli, OptionScanAndErrors)
{
    const struct { std::vector<std::string> words; int status; std::string out, err; } cases[] = {
        {{"-ah", "d.atr"}, 0, usage, ""},         // h is met before the -a/-x check
        {{"-h", "a.atr", "b.atr"}, 0, usage, ""}, // the scan ends before the second name
        {{"a.atr", "b.atr", "-h"}, 1, "", opt_error("multiple ATR files in command line")},
        {{"-", "d.atr", "-l"}, 0, "d.atr" + summary + "       3\t\t/hello.txt\n", ""}, // a lone - is ignored
        {{"d.atr", ""}, 1, "", opt_error("multiple ATR files in command line")}, // an empty word is a name
        {{}, 1, "", opt_error("ATR file name expected")},
        {{"-X", "d.atr"}, 1, "", opt_error("ATR file name expected")}, // the word after X is its directory
        {{"d.atr", "-X"}, 1, "", opt_error("option '-X' needs an argument")},
        {{"-ax", "d.atr"}, 1, "", opt_error("options '-x' and '-a' not compatible")},
        {{"-a", "-X", "none", "d.atr"}, 1, "", opt_error("options '-x' and '-a' not compatible")},
        // X takes the next word, even one that looks like an option; the rest of its own word is still read.
        {{"-Xl", "out", "d.atr"}, 0, "d.atr" + summary, P + ": creating output path 'out'.\nhello.txt\n"},
        {{"-X", "-a", "d.atr"}, 0, "d.atr" + summary, P + ": creating output path '-a'.\nHELLO.TXT\n"},
        // The image is loaded before the directory is touched.
        {{"-X", "newdir", "missing.atr"}, 1, "",
         P + ": Error, " CANT " open disk image 'missing.atr': No such file or directory\n"},
        // Only one level is created; this message has a plain apostrophe.
        {{"-X", "a/b", "d.atr"}, 1, "",
         P + ": creating output path 'a/b'.\n" + P + ": Error, can't create path, 'a/b': No such file or directory\n"},
        {{"-X", "d.atr", "d.atr"}, 1, "", P + ": Error, d.atr: invalid extract path, Not a directory\n"},
    };
    for (const auto &c : cases)
        expect(c.words, c.status, c.out, c.err);
    for (std::string word : {"-q", "--", "-A"})
        expect({word, "d.atr"}, 1, "", opt_error("invalid command line option '" + word + "'"));
    EXPECT_TRUE(exists("out/hello.txt") && exists("-a/HELLO.TXT"));
    EXPECT_FALSE(exists("none") || exists("newdir"));

    // The banner, then an empty line; -v wins over a later -h.
    for (const auto &words : {std::vector<std::string>{P, "-v"}, {P, "-v", "-h"}}) {
        RunResult v = run_vorlen(words);
        EXPECT_EQ(std::tie(v.status, v.err), std::make_tuple(0, ""));
        EXPECT_EQ(v.out.rfind("vorlen version 1.4~beta", 0), 0u);
        EXPECT_EQ(v.out.substr(v.out.find('\n'), 2), "\n\n"); // an empty line after the first
        EXPECT_EQ(v.out.find("Usage"), std::string::npos);
    }
}

TEST_F(Cli, ExtractionAndExitStatus)
{
    // Letters in one word, in either order: extract and lower-case.
    for (std::string word : {"-xl", "-lx"}) {
        expect({word, "d.atr"}, 0, "d.atr" + summary, "hello.txt\n");
        EXPECT_TRUE(fs::remove(t / "hello.txt"));
    }

    // Nothing recognises a blank disk; the directory made for it stays.
    write_file(t / "blank.atr", DiskBuilder(128, 720).atr());
    expect({"-X", "made", "blank.atr"}, 1, "",
           P + ": creating output path 'made'.\n" + P + ": blank.atr: ATR image format not supported.\n");
    EXPECT_TRUE(fs::is_directory(t / "made"));

    // A header 16 bytes too large only warns: the run still succeeds.
    std::vector<std::uint8_t> img = read_file(t / "d.atr");
    img.resize(img.size() + 16);
    std::ranges::copy(atr_header(92176, 128), img.begin());
    write_file(t / "r.atr", img);
    expect({"r.atr"}, 0, "r.atr" + summary + "       3\t\t/HELLO.TXT\n",
           P + ": r.atr: invalid ATR image size (92176), rounding down to (92160)\n");

    // Started with no argv[0] at all: a usage error, no crash.
    RunResult r = run_vorlen(std::vector<std::string>{});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error, ATR file name expected. Try '"), std::string::npos) << r.err;
}

TEST(Messages, MemoryErrorIsFollowedByAnEmptyLine)
{
    RunResult r = run_handler([](const AtrImage &, const char *, int, int, int) -> int { show_memory_error(); },
                              AtrImage{}, "d.atr");
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(1, "", "vorlen: Error, memory error!\n\n"));
}
