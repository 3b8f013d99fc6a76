#include "capture.h"

#include "driver.h"
#include "extract.h"
#include "messages.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Streams {
    char *out_buf = nullptr, *err_buf = nullptr;
    std::size_t out_len = 0, err_len = 0;
    std::FILE *old_out, *old_err;
    Streams() : old_out(msg_out), old_err(msg_err)
    {
        msg_out = open_memstream(&out_buf, &out_len);
        msg_err = open_memstream(&err_buf, &err_len);
    }
    void finish(RunResult &r)
    {
        msg_sync();
        std::fclose(msg_out);
        std::fclose(msg_err);
        msg_out = old_out;
        msg_err = old_err;
        r.out.assign(out_buf, out_len);
        r.err.assign(err_buf, err_len);
        std::free(out_buf);
        std::free(err_buf);
    }
};

} // namespace

RunResult run_captured(const std::function<int()> &f)
{
    RunResult r;
    Streams s;
    const char *old_prog = prog_name;
    prog_name = "vorlen";
    try {
        r.status = f();
    } catch (const ProgramExit &e) {
        r.status = e.status;
    }
    prog_name = old_prog;
    s.finish(r);
    return r;
}

RunResult run_handler(Handler h, const AtrImage &image, const char *name, int atari_list,
                      int lower_case, int extract)
{
    return run_captured([&] {
        // A run of its own, as the driver starts one: nothing an earlier test
        // wrote counts as written by this run.
        extract_set_budget(name, extract_budget(0));
        return h(image, name, atari_list, lower_case, extract);
    });
}

RunResult run_driver(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    RunResult r;
    Streams s;
    const char *old_prog = prog_name;
    r.status = driver_main(int(argv.size()), args.data());
    prog_name = old_prog;
    s.finish(r);
    return r;
}

RunResult run_vorlen(const std::vector<std::string> &argv, const std::string &cwd)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(VORLEN_BINARY, args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    RunResult r;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    char buf[65536];
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            } else {
                (i == 0 ? r.out : r.err).append(buf, std::size_t(n));
            }
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

ScopedChdir::ScopedChdir(const std::string &dir) : old(std::filesystem::current_path().string())
{
    if (chdir(dir.c_str()) != 0)
        throw std::runtime_error("chdir failed: " + dir);
}

ScopedChdir::~ScopedChdir()
{
    if (chdir(old.c_str()) != 0)
        std::abort();
}
