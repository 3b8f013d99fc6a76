// Times commands the way the benchmark needs: each run is a fresh process
// with its output thrown away, the commands take turns (so a change in the
// machine's load touches them all alike), and every run's peak resident
// memory comes from wait4.
//
//   bench_timer RUNS WARMUPS JOB [::: JOB]...
//   JOB = [-c DIR] COMMAND [ARG]...
//
// With -c, DIR and everything in it is removed before each run of the job
// (not timed), for commands that must find their target absent.  Prints one
// line per job, in order: median and fastest wall time in microseconds and
// the largest peak RSS in KiB over the timed runs, then the median page
// faults of a run (minor and major, from the same rusage).  Ends with
// status 1 when a run fails.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Job {
    std::string clean;
    std::vector<char *> argv; // null-terminated
    std::vector<long> micros;
    std::vector<long> faults;
    long max_rss_kib = 0;
};

long now_micros()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// One run; returns false when the command did not end with status 0.
bool run_once(Job &job, bool timed)
{
    if (!job.clean.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(job.clean, ec);
        if (ec) {
            std::fprintf(stderr, "bench_timer: cannot remove %s: %s\n", job.clean.c_str(),
                         ec.message().c_str());
            return false;
        }
    }
    const long start = now_micros();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("bench_timer: fork");
        return false;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
            close(null);
        }
        execvp(job.argv[0], job.argv.data());
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) {
            std::perror("bench_timer: wait4");
            return false;
        }
    }
    const long elapsed = now_micros() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_timer: %s failed (status %d)\n", job.argv[0], status);
        return false;
    }
    if (timed) {
        job.micros.push_back(elapsed);
        job.max_rss_kib = std::max(job.max_rss_kib, long(ru.ru_maxrss));
        job.faults.push_back(long(ru.ru_minflt + ru.ru_majflt));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_timer RUNS WARMUPS [-c DIR] COMMAND [ARG]... [::: ...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const int warmups = std::atoi(argv[2]);
    if (runs < 1 || warmups < 0) {
        std::fprintf(stderr, "bench_timer: bad run counts\n");
        return 2;
    }

    std::vector<Job> jobs(1);
    for (int i = 3; i < argc; i++) {
        if (std::strcmp(argv[i], ":::") == 0) {
            jobs.emplace_back();
            continue;
        }
        Job &job = jobs.back();
        if (job.argv.empty() && job.clean.empty() && std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
            job.clean = argv[++i];
            continue;
        }
        job.argv.push_back(argv[i]);
    }
    for (Job &job : jobs) {
        if (job.argv.empty()) {
            std::fprintf(stderr, "bench_timer: a job without a command\n");
            return 2;
        }
        job.argv.push_back(nullptr);
    }

    for (int r = 0; r < warmups + runs; r++)
        for (Job &job : jobs)
            if (!run_once(job, r >= warmups))
                return 1;

    for (Job &job : jobs) {
        std::vector<long> t = job.micros;
        std::sort(t.begin(), t.end());
        const std::size_t n = t.size();
        const long median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
        std::vector<long> f = job.faults;
        std::sort(f.begin(), f.end());
        std::printf("%ld %ld %ld %ld\n", median, t[0], job.max_rss_kib, f[n / 2]);
    }
    return 0;
}
