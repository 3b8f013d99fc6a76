// Diagnostics, the version banner and checked allocation.
//
// Every diagnostic is one line on the error stream that starts with the
// program name.  The fatal forms never return: they throw ProgramExit, which
// the driver turns into the process status after the streams are flushed, so
// the whole program can also run in-process (tests, fuzzing).
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>

// The printf family that the message functions follow: on MinGW-w64 its
// own (C99, %zu included), which the program is built to use.
#ifdef __MINGW_PRINTF_FORMAT
#define MSG_PRINTF __MINGW_PRINTF_FORMAT
#else
#define MSG_PRINTF printf
#endif

// "can´t" with an acute accent (UTF-8 0xC2 0xB4), as every message spells it.
#define CANT "can\xC2\xB4t"

// The first command-line word as typed; set by the driver before anything else.
extern const char *prog_name;

// Where listings (msg_out) and diagnostics (msg_err) go; stdout and stderr
// unless a test or the fuzzer redirects them.
extern std::FILE *msg_out;
extern std::FILE *msg_err;

// Thrown to end the run with the given status.
struct ProgramExit {
    int status;
};

[[noreturn]] [[gnu::format(MSG_PRINTF, 1, 2)]] void show_error(const char *fmt, ...);
[[gnu::format(MSG_PRINTF, 1, 2)]] void show_msg(const char *fmt, ...);
[[noreturn]] [[gnu::format(MSG_PRINTF, 1, 2)]] void show_opt_error(const char *fmt, ...);
[[noreturn]] void show_version();

// Formatted listing or summary output on msg_out.
[[gnu::format(MSG_PRINTF, 1, 2)]] void show_out(const char *fmt, ...);

// Listing lines for msg_out, gathered in memory and handed to the stream in
// large pieces, so that a listing of thousands of lines costs a copy per
// line rather than a call into the C library.  Whatever else writes to
// msg_out or msg_err (every function above, the extraction echo, the
// driver) first calls msg_sync, and so do the tests before they swap the
// streams: listing and messages reach the streams in the order they were
// made, and each stream holds back just what it would have held back had
// every line been written on its own.
char *msg_text_room(std::size_t n); // room for n bytes at the end of the pending text
void msg_text_end(char *end);       // the pending text now ends at `end`
void msg_sync();                    // hands the pending text to msg_out

// "s" after a count other than one, for the counts that reports give
// ("1 sector", "2 sectors").
inline const char *plural(std::uint64_t n)
{
    return n == 1 ? "" : "s";
}

// Allocation that never comes back empty-handed: failure is the fatal
// "memory error!".  Release with std::free, or hold in a CBuffer.
void *check_malloc(std::size_t size);
void *check_calloc(std::size_t count, std::size_t size);

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using CBuffer = std::unique_ptr<unsigned char[], FreeDeleter>;

inline CBuffer check_buffer(std::size_t size, bool zeroed)
{
    return CBuffer(static_cast<unsigned char *>(zeroed ? check_calloc(size, 1) : check_malloc(size)));
}

// The fatal memory error, also used when the C++ library runs out of memory.
[[noreturn]] void show_memory_error();
