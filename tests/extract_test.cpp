// Host output: names taken twice within one run, the budget of one run,
// holes, short writes, and real disks whose entries share a name.
#include "bomb_layout.h"
#include "capture.h"
#include "dos2.h"
#include "dos2_layout.h"
#include "extract.h"
#include "sparta_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> bytes_of(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; i++)
        v[i] = std::uint8_t(seed + i * 7 + 1);
    return v;
}

RunResult extract(const Dos2Disk &d)
{
    return run_handler(dos2_list, *d.disk.image(), "t.atr", 0, 0, 1);
}

// Every regular file below `root`, by its path relative to it.
std::map<std::string, std::vector<std::uint8_t>> tree(const std::string &root)
{
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const auto &e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files[fs::relative(e.path(), root).string()] = read_file(e.path().string());
    return files;
}

std::uint64_t allocated(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return std::uint64_t(st.st_blocks) * 512;
}

const std::string taken = ": name taken by an earlier file of this disk, written as ";

} // namespace

// A name this run already wrote goes to NAME.2, NAME.3, ...: the rest of the
// disk is still extracted.  Only what was there before the run is fatal.
TEST(ExtractNames, TakenByThisRunOrBefore)
{
    const auto a = bytes_of(10, 1), b = bytes_of(20, 2), c = bytes_of(30, 3), z = bytes_of(5, 4);
    struct Case {
        const char *what;
        std::vector<std::string> before; // files on the host before the run
        std::vector<Dos2Item> items;
        int status;
        std::string err;
        std::map<std::string, std::vector<std::uint8_t>> files; // the whole tree afterwards
    };
    const std::vector<Case> cases = {
        {"twice", {}, {{"A.COM", a}, {"A.COM", b}, {"LAST", z}}, 0,
         "A.COM\nvorlen: A.COM" + taken + "A.COM.2\nA.COM.2\nLAST\n",
         {{"A.COM", a}, {"A.COM.2", b}, {"LAST", z}}},
        {"three times", {}, {{"T", a}, {"T", b}, {"T", c}, {"LAST", z}}, 0,
         "T\nvorlen: T" + taken + "T.2\nT.2\nvorlen: T" + taken + "T.3\nT.3\nLAST\n",
         {{"T", a}, {"T.2", b}, {"T.3", c}, {"LAST", z}}},
        {"in a subdirectory", {}, {{"DIR/X", a}, {"DIR/X", b}, {"X", c}}, 0,
         "DIR/\nDIR/X\nvorlen: DIR/X" + taken + "DIR/X.2\nDIR/X.2\nX\n",
         {{"DIR/X", a}, {"DIR/X.2", b}, {"X", c}}},
        // The directory this run made holds the name as much as a file does.
        {"a file named as a directory before it", {}, {{"D/IN", a}, {"D", b}}, 0,
         "D/\nD/IN\nvorlen: D" + taken + "D.2\nD.2\n", {{"D/IN", a}, {"D.2", b}}},
        // The first free path, passing over one that was there before.
        {"NAME.2 there before", {"A.COM.2"}, {{"A.COM", a}, {"A.COM", b}}, 0,
         "A.COM\nvorlen: A.COM" + taken + "A.COM.3\nA.COM.3\n",
         {{"A.COM", a}, {"A.COM.2", {}}, {"A.COM.3", b}}},
        {"the name there before", {"A.COM"}, {{"A.COM", a}, {"LAST", z}}, 1,
         "A.COM\nvorlen: Error, A.COM: file already exists.\n", {{"A.COM", {}}}},
        {"a directory there before", {"D/OLD"}, {{"D", a}}, 1, "D\nvorlen: Error, D: file already exists.\n",
         {{"D/OLD", {}}}},
    };
    for (const Case &t : cases) {
        TempDir dir;
        ScopedChdir cd(dir.path);
        for (const std::string &p : t.before) {
            fs::create_directories(fs::path(p).parent_path().empty() ? "." : fs::path(p).parent_path());
            write_file(p, {});
        }
        const RunResult r = extract(dos2_volume({}, t.items));
        EXPECT_EQ(r.status, t.status) << t.what;
        EXPECT_EQ(r.err, t.err) << t.what;
        EXPECT_EQ(tree(dir.path), t.files) << t.what;
    }
}

TEST(ExtractBudget, SixteenTimesTheImageAtLeast64MiB)
{
    const std::uint64_t mib = 1 << 20;
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, 64 * mib}, {92160, 64 * mib}, {4 * mib, 64 * mib}, {4 * mib + 1, 64 * mib + 16},
        {16 * mib, 256 * mib}, {UINT64_MAX / 8, UINT64_MAX},
    };
    for (const auto &[size, budget] : cases)
        EXPECT_EQ(extract_budget(size), budget) << size;
}

// The 368 KB image of 2,000 files of 16 MiB - 1 on one looping map of
// holes, which would otherwise extract to 33 GB: the budget of 64 MiB takes
// four of them.  The fifth is echoed, then the run stops; the four stay, as
// holes.
TEST(ExtractBudget, StopsBeforeTheFileThatWouldPassIt)
{
    const Bomb b = bomb_sparta_hole_files();
    TempDir dir;
    write_file(dir / "bomb.atr", b.disk.atr());
    ScopedChdir cd(dir.path); // the driver enters the -X directory; this comes back
    const RunResult r = run_driver({"vorlen", "-X", "out", "bomb.atr"});
    EXPECT_EQ(r.status, 1);
    const std::string stop = "vorlen: Error, bomb.atr: extraction stopped, the files would exceed the budget of "
                             "67108864 bytes\n";
    ASSERT_TRUE(r.err.ends_with(stop)) << r.err.substr(r.err.size() - std::min<std::size_t>(r.err.size(), 300));
    const std::string fifth = r.err.substr(0, r.err.size() - stop.size() - 1);
    const std::string name = fifth.substr(fifth.rfind('\n') + 1);
    EXPECT_FALSE(fs::exists(dir / ("out/" + name))) << name;
    std::size_t files = 0;
    for (const auto &e : fs::recursive_directory_iterator(dir / "out"))
        if (e.is_regular_file()) {
            files++;
            EXPECT_EQ(fs::file_size(e.path()), 0xFFFFFFu) << e.path();
            EXPECT_LT(allocated(e.path().string()), 64 * 1024u) << e.path();
        }
    EXPECT_EQ(files, 4u);
}

// Aligned blocks of zeros become holes; the bytes read back exactly, and a
// file that ends in zeros has its full length.
TEST(ExtractHoles, ZerosCostNoSpace)
{
    const std::size_t n = 60000;
    std::vector<std::uint8_t> zero(n), middle(n), ends(n), dense = bytes_of(n, 9);
    middle[30000] = 1;
    ends[0] = ends[n - 1] = 0xFF;
    const Dos2Disk d = dos2_volume({.sector_size = 256, .sector_count = 1440, .code = 0, .file_flags = mydos_file},
                                   {{"ZERO", zero}, {"MIDDLE", middle}, {"ENDS", ends}, {"DENSE", dense}});
    TempDir dir;
    ScopedChdir cd(dir.path);
    const RunResult r = extract(d);
    ASSERT_EQ(r.err, "ZERO\nMIDDLE\nENDS\nDENSE\n") << r.status << r.out;
    const std::pair<const char *, std::uint64_t> most[] = {
        {"ZERO", 0}, {"MIDDLE", 8192}, {"ENDS", 2 * 8192}, {"DENSE", n + 8192}};
    for (const auto &[name, limit] : most)
        EXPECT_LE(allocated(name), limit) << name;
    EXPECT_GE(allocated("DENSE"), n);
    EXPECT_EQ(read_file("ZERO"), zero);
    EXPECT_EQ(read_file("MIDDLE"), middle);
    EXPECT_EQ(read_file("ENDS"), ends);
    EXPECT_EQ(read_file("DENSE"), dense);
}

// A write cut short by the file size limit (SIGXFSZ ignored, as a shell's
// ulimit -f leaves it) is continued, and the failure after it reported with
// the system's own text, not "Success".
TEST(ExtractWrite, ShortWriteReportsTheRealError)
{
    const Dos2Disk d = dos2_volume({}, {{"BIG", bytes_of(20000, 5)}});
    TempDir dir;
    ScopedChdir cd(dir.path);
    int pipe_fd[2];
    ASSERT_EQ(pipe(pipe_fd), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit limit = {10000, 10000};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
        const RunResult r = extract(d);
        const std::string report = std::to_string(r.status) + " " + r.err;
        (void)!write(pipe_fd[1], report.data(), report.size());
        _exit(0);
    }
    close(pipe_fd[1]);
    std::string report;
    char buf[512];
    for (ssize_t k; (k = read(pipe_fd[0], buf, sizeof buf)) > 0;)
        report.append(buf, std::size_t(k));
    close(pipe_fd[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_EQ(report, "1 BIG\nvorlen: Error, BIG: can\xC2\xB4t write file, File too large\n");
    EXPECT_EQ(fs::file_size("BIG"), 10000u);
}

// Real disks with entries of one name: every file the listing shows is
// extracted, and the sizes match.  130XE_SIO2SD__Dos_1050.atr repeats two
// garbage names; 130XE_SIO2SD__Top_Dos_1.5.atr has _HELP.R and _help.r,
// one name under -l.
TEST(ExtractRealDisks, EveryListedFileWritten)
{
    const std::string dir = realdisks_dir();
    if (dir.empty())
        GTEST_SKIP() << "no real disks";
    const std::pair<const char *, bool> disks[] = {
        {"130XE_SIO2SD__Dos_1050.atr", false},
        {"130XE_SIO2SD__Top_Dos_1.5.atr", true},
    };
    for (const auto &[disk, lower] : disks) {
        const std::string image = dir + "/" + disk;
        const std::string listing =
            run_vorlen(lower ? std::vector<std::string>{"vorlen", "-l", image} : std::vector<std::string>{"vorlen", image})
                .out;
        std::vector<std::uint64_t> listed;
        for (std::size_t at = listing.find('\n') + 1; at < listing.size();) {
            const std::size_t end = listing.find('\n', at);
            const std::string line = listing.substr(at, end - at);
            if (!line.ends_with("/"))
                listed.push_back(std::stoull(line));
            at = end + 1;
        }
        TempDir out;
        const RunResult r = run_vorlen({"vorlen", lower ? "-xl" : "-x", image}, out.path);
        EXPECT_EQ(r.status, 0) << disk << r.err;
        EXPECT_NE(r.err.find(taken), std::string::npos) << disk;
        std::vector<std::uint64_t> written;
        for (const auto &[name, bytes] : tree(out.path))
            written.push_back(bytes.size());
        std::sort(listed.begin(), listed.end());
        std::sort(written.begin(), written.end());
        EXPECT_EQ(written, listed) << disk;
    }
}
