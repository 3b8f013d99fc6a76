#include "messages.h"

#include <algorithm>
#include <cstdarg>

const char *prog_name = "vorlen";
std::FILE *msg_out = stdout;
std::FILE *msg_err = stderr;

// The version comes from the build (project() and its suffix).
#ifndef VORLEN_VERSION
#error VORLEN_VERSION is defined by the build
#endif
static const char version_string[] = VORLEN_VERSION;

namespace {

// The listing text not yet handed to msg_out.
constexpr std::size_t text_block = 8192;
struct PendingText {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
    std::size_t length = 0;
} text;

} // namespace

char *msg_text_room(std::size_t n)
{
    if (n > text.capacity - text.length) {
        msg_sync();
        if (n > text.capacity) {
            text.capacity = std::max(n, text_block);
            text.bytes.reset(new char[text.capacity]);
        }
    }
    return text.bytes.get() + text.length;
}

void msg_text_end(char *end)
{
    text.length = std::size_t(end - text.bytes.get());
}

void msg_sync()
{
    if (text.length == 0)
        return;
    // A stream writes out its full buffer only when more comes.  Handed
    // over alone, the last byte leaves the stream holding back what it
    // would hold back had the lines come one by one.
    std::fwrite(text.bytes.get(), 1, text.length - 1, msg_out);
    std::fwrite(text.bytes.get() + text.length - 1, 1, 1, msg_out);
    text.length = 0;
}

// Each message goes out in three writes (prefix, text, suffix) to the same
// stream; nothing is assembled in memory first.
static void vmessage(const char *prefix, const char *fmt, va_list ap)
{
    msg_sync();
    std::fprintf(msg_err, "%s%s", prog_name, prefix);
    std::vfprintf(msg_err, fmt, ap);
}

void show_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vmessage(": Error, ", fmt, ap);
    va_end(ap);
    std::fprintf(msg_err, "\n");
    throw ProgramExit{1};
}

void show_msg(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vmessage(": ", fmt, ap);
    va_end(ap);
    std::fprintf(msg_err, "\n");
}

void show_opt_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vmessage(": Error, ", fmt, ap);
    va_end(ap);
    std::fprintf(msg_err, ". Try '%s -h' for help.\n", prog_name);
    throw ProgramExit{1};
}

void show_version()
{
    msg_sync();
    std::fprintf(msg_out,
                 "vorlen version %s, lists and extracts Atari 8-bit disk images\n"
                 "\n"
                 "This is free software: you may copy, change and pass it on.\n"
                 "It comes with NO WARRANTY, to the extent permitted by law;\n"
                 "it only reads disk images and never changes them.\n",
                 version_string);
    throw ProgramExit{0};
}

void show_out(const char *fmt, ...)
{
    msg_sync();
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(msg_out, fmt, ap);
    va_end(ap);
}

void show_memory_error()
{
    show_error("memory error!\n");
}

// malloc(0) may legally return null; ask for one byte so that an empty
// request is never mistaken for a refusal.
void *check_malloc(std::size_t size)
{
    void *p = std::malloc(size ? size : 1);
    if (!p)
        show_memory_error();
    return p;
}

void *check_calloc(std::size_t count, std::size_t size)
{
    void *p = (count && size) ? std::calloc(count, size) : std::calloc(1, 1);
    if (!p)
        show_memory_error();
    return p;
}
