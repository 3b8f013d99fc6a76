// The command line, run through the real binary: each command with its exact
// standard output, standard error and exit status.
#include "capture.h"
#include "driver.h"
#include "image_builder.h"
#include "messages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

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

std::string opt_error(const std::string &msg)
{
    return P + ": Error, " + msg + ". Try '" + P + " -h' for help.\n";
}

// A DOS 2.0s disk holding one file, HELLO.TXT = "hi\n".
DiskBuilder dos2_disk()
{
    DiskBuilder d(128, 720);
    d.bytes(360, 0, {2}).le16(360, 1, 707).le16(360, 3, 706).bytes(360, 10, {0x0F}); // VTOC
    d.bytes(361, 0, {0x42}).le16(361, 1, 1).le16(361, 3, 4).text(361, 5, "HELLO   TXT");
    d.text(4, 0, "hi\n").bytes(4, 125, {0, 0, 3}); // last sector of the chain, 3 bytes
    return d;
}

std::string summary(const std::string &name)
{
    return name + ": 720 sectors of 128 bytes, DOS 2.0s, 706 sectors free of 707 total.\n";
}

struct Cli : ::testing::Test {
    TempDir t;
    void SetUp() override { write_file(t / "d.atr", dos2_disk().atr()); }

    // Runs P with the given words in the temporary directory (or a folder in it).
    RunResult run(std::vector<std::string> words, const std::string &sub = "")
    {
        words.insert(words.begin(), P);
        return run_vorlen(words, sub.empty() ? t.path : t / sub);
    }
    void expect(const RunResult &r, int status, const std::string &out, const std::string &err)
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
    }
    bool exists(const std::string &name) { return fs::exists(t / name); }
};

} // namespace

TEST_F(Cli, HelpAndVersion)
{
    expect(run({"-h"}), 0, usage, "");
    expect(run({"-?"}), 0, usage, "");
    expect(run({"-ah", "d.atr"}), 0, usage, "");          // h met before the compatibility check
    expect(run({"-h", "a.atr", "b.atr"}), 0, usage, ""); // ends before the second name
    expect(run({"a.atr", "b.atr", "-h"}), 1, "", opt_error("multiple ATR files in command line"));

    for (auto words : {std::vector<std::string>{"-v"}, {"-v", "-h"}}) {
        RunResult v = run(words);
        EXPECT_EQ(v.status, 0);
        EXPECT_EQ(v.err, "");
        EXPECT_EQ(v.out.rfind("vorlen version 1.4~beta", 0), 0u);
        std::size_t eol = v.out.find('\n');
        ASSERT_NE(eol, std::string::npos);
        EXPECT_EQ(v.out.substr(eol, 2), "\n\n"); // an empty line after the first
        EXPECT_EQ(v.out.find("Usage"), std::string::npos);
    }
}

TEST_F(Cli, OptionLettersAndWords)
{
    expect(run({"d.atr"}), 0, summary("d.atr") + "       3\t\t/HELLO.TXT\n", "");
    expect(run({"-", "d.atr", "-l"}), 0, summary("d.atr") + "       3\t\t/hello.txt\n", "");

    // Letters in one word, in either order: extract and lower-case.
    for (std::string word : {"-xl", "-lx"}) {
        fs::create_directory(t / word);
        expect(run({word, "../d.atr"}, word), 0, summary("../d.atr"), "hello.txt\n");
        EXPECT_EQ(read_file(t / (word + "/hello.txt")), (std::vector<std::uint8_t>{'h', 'i', '\n'}));
    }

    // X takes the next word and the rest of its own word is still read.
    expect(run({"-Xl", "out", "d.atr"}), 0, summary("d.atr"), P + ": creating output path 'out'.\nhello.txt\n");
    EXPECT_TRUE(exists("out/hello.txt"));

    // The word after X is a directory even when it looks like an option.
    expect(run({"-X", "-a", "d.atr"}), 0, summary("d.atr"), P + ": creating output path '-a'.\nHELLO.TXT\n");
    EXPECT_TRUE(exists("-a/HELLO.TXT"));

    // A later X replaces the earlier directory.
    expect(run({"-X", "one", "-X", "two", "d.atr"}), 0, summary("d.atr"),
           P + ": creating output path 'two'.\nHELLO.TXT\n");
    EXPECT_FALSE(exists("one"));
}

TEST_F(Cli, CommandLineErrors)
{
    expect(run({"-X", "d.atr"}), 1, "", opt_error("ATR file name expected"));
    expect(run({}), 1, "", opt_error("ATR file name expected"));
    expect(run({"d.atr", "-X"}), 1, "", opt_error("option '-X' needs an argument"));
    expect(run({"-ax", "d.atr"}), 1, "", opt_error("options '-x' and '-a' not compatible"));
    expect(run({"-a", "-X", "out", "d.atr"}), 1, "", opt_error("options '-x' and '-a' not compatible"));
    EXPECT_FALSE(exists("out"));
    expect(run({"-q", "d.atr"}), 1, "", opt_error("invalid command line option '-q'"));
    expect(run({"--", "d.atr"}), 1, "", opt_error("invalid command line option '--'"));
    expect(run({"-A", "d.atr"}), 1, "", opt_error("invalid command line option '-A'"));
    // An empty word is an image name.
    expect(run({"d.atr", ""}), 1, "", opt_error("multiple ATR files in command line"));
    expect(run({""}), 1, "", P + ": Error, " CANT " open disk image '': No such file or directory\n");
}

TEST_F(Cli, ExtractionDirectory)
{
    // The image is loaded before the directory is touched.
    expect(run({"-X", "newdir", "missing.atr"}), 1, "",
           P + ": Error, " CANT " open disk image 'missing.atr': No such file or directory\n");
    EXPECT_FALSE(exists("newdir"));

    // Only one level is created; the message has a plain apostrophe.
    expect(run({"-X", "a/b", "d.atr"}), 1, "",
           P + ": creating output path 'a/b'.\n" + P +
               ": Error, can't create path, 'a/b': No such file or directory\n");

    expect(run({"-X", "d.atr", "d.atr"}), 1, "", P + ": Error, d.atr: invalid extract path, Not a directory\n");
}

TEST_F(Cli, UnsupportedAndWarningOnlyImages)
{
    // Nothing recognises a blank disk; the directory made for it stays.
    write_file(t / "blank.atr", DiskBuilder(128, 720).atr());
    expect(run({"-X", "made", "blank.atr"}), 1, "",
           P + ": creating output path 'made'.\n" + P + ": blank.atr: ATR image format not supported.\n");
    EXPECT_TRUE(fs::is_directory(t / "made"));

    // A header 16 bytes too large only warns: the run still succeeds.
    std::vector<std::uint8_t> img = atr_header(92176, 128);
    DiskBuilder d = dos2_disk();
    img.insert(img.end(), d.data.begin(), d.data.end());
    img.resize(img.size() + 16);
    write_file(t / "r.atr", img);
    expect(run({"r.atr"}), 0, summary("r.atr") + "       3\t\t/HELLO.TXT\n",
           P + ": r.atr: invalid ATR image size (92176), rounding down to (92160)\n");
}

TEST(Messages, MemoryErrorIsFollowedByAnEmptyLine)
{
    std::unique_ptr<AtrImage> img = DiskBuilder(128, 1).image();
    RunResult r = run_handler([](const AtrImage &, const char *, int, int, int) -> int { show_memory_error(); },
                              *img, "d.atr");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vorlen: Error, memory error!\n\n");
}

TEST(Cli0, NoArgumentsAtAll)
{
    // Started with an empty argv (not even argv[0]): a usage error, no crash.
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(err_pipe[1], 2);
        close(err_pipe[0]);
        char *no_args[] = {nullptr};
        execve(VORLEN_BINARY, no_args, no_args);
        _exit(127);
    }
    close(err_pipe[1]);
    std::string err;
    char buf[512];
    for (ssize_t n; (n = read(err_pipe[0], buf, sizeof buf)) > 0;)
        err.append(buf, std::size_t(n));
    close(err_pipe[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st)) << "signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_NE(err.find("Error, ATR file name expected. Try '"), std::string::npos) << err;
}
