// Running vorlen and capturing what it says: in-process (a handler or the
// whole driver) or as the real binary under a chosen argv[0].
#pragma once

#include "atr.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Calls f with msg_out and msg_err captured and prog_name "vorlen"; its
// result is the status, and a fatal error inside shows as the ProgramExit
// status.
RunResult run_captured(const std::function<int()> &f);

// What f (any callable) writes to msg_err, run as run_captured runs it.
template <class F> std::string messages_of(F &&f)
{
    return run_captured([&] { return f(), 0; }).err;
}

// The byte strings one after the other.
inline std::vector<std::uint8_t> cat(std::initializer_list<std::vector<std::uint8_t>> parts)
{
    std::vector<std::uint8_t> out;
    for (const std::vector<std::uint8_t> &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

using Handler = int (*)(const AtrImage &, const char *, int, int, int);

// Calls a handler with msg_out and msg_err captured; a fatal error inside
// shows as status 1 (or the ProgramExit status).
RunResult run_handler(Handler h, const AtrImage &image, const char *name, int atari_list = 0,
                      int lower_case = 0, int extract = 0);

// driver_main in-process with the given words (argv[0] first).
RunResult run_driver(const std::vector<std::string> &argv);

// The built binary, started with exactly these words (argv[0] first) in
// `cwd` (or the current directory when empty).
RunResult run_vorlen(const std::vector<std::string> &argv, const std::string &cwd = "");

// Changes the working directory for the lifetime of the object.
struct ScopedChdir {
    std::string old;
    explicit ScopedChdir(const std::string &dir);
    ~ScopedChdir();
};
