#include "listing.h"

#include "messages.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

char *put(char *p, std::string_view text)
{
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// "%02d-%02d-%02d %02d:%02d", with ":%02d" after it when `seconds`.
char *out_date(char *p, const std::uint8_t *d, bool seconds)
{
    p = out_02d(p, d[0]);
    *p++ = '-';
    p = out_02d(p, d[1]);
    *p++ = '-';
    p = out_02d(p, d[2]);
    *p++ = ' ';
    p = out_02d(p, d[3]);
    *p++ = ':';
    p = out_02d(p, d[4]);
    if (seconds) {
        *p++ = ':';
        p = out_02d(p, d[5]);
    }
    return p;
}

// Widths and the fixed parts of a line come to less than this.
constexpr std::size_t line_slack = 64;

} // namespace

char *out_u(char *p, std::uint32_t value, int width)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    for (; width > n; width--)
        *p++ = ' ';
    while (n)
        *p++ = digits[--n];
    return p;
}

char *out_02d(char *p, int value)
{
    // The two digits of every value below 100, back to back.
    static constexpr auto pairs = [] {
        std::array<char, 200> t{};
        for (int v = 0; v < 100; v++) {
            t[std::size_t(2 * v)] = char('0' + v / 10);
            t[std::size_t(2 * v + 1)] = char('0' + v % 10);
        }
        return t;
    }();
    if (value >= 100)
        return out_u(p, std::uint32_t(value), 0);
    std::memcpy(p, pairs.data() + 2 * value, 2);
    return p + 2;
}

char *out_s(char *p, std::string_view text, int width)
{
    p = put(p, text);
    for (int n = int(text.size()); n < width; n++)
        *p++ = ' ';
    return p;
}

void out_line(std::string_view text)
{
    msg_text_end(put(msg_text_room(text.size()), text));
}

void listing_heading(const std::string &dir_path)
{
    char *p = put(msg_text_room(line_slack + dir_path.size()), "Directory of ");
    p = put(p, dir_path.empty() ? "/" : dir_path);
    p = put(p, "\n\n");
    msg_text_end(p);
}

void listing_entry(int atari_list, std::string_view atari_name, int width, std::uint32_t size,
                   std::string_view path, bool dir)
{
    char *p = msg_text_room(line_slack + std::size_t(std::max(width, 0)) + atari_name.size() + path.size());
    if (atari_list) {
        p = out_s(p, atari_name, width);
        if (dir) {
            p = put(p, "  <DIR>");
        } else {
            *p++ = ' ';
            p = out_u(p, size, 7);
        }
    } else {
        p = out_u(p, size, 8);
        p = put(p, "\t\t");
        p = put(p, path);
        if (dir)
            *p++ = '/';
    }
    *p++ = '\n';
    msg_text_end(p);
}

void listing_dated_entry(int atari_list, std::string_view atari_name, std::uint32_t size,
                         const std::uint8_t *date, std::string_view path, bool dir)
{
    char *p = msg_text_room(line_slack + atari_name.size() + path.size());
    if (atari_list) {
        p = out_s(p, atari_name, 12);
        if (dir) {
            p = put(p, "  <DIR>  ");
        } else {
            *p++ = ' ';
            p = out_u(p, size, 7);
            *p++ = ' ';
        }
        p = out_date(p, date, false);
    } else {
        p = out_u(p, size, 8);
        *p++ = '\t';
        p = out_date(p, date, true);
        *p++ = '\t';
        p = put(p, path);
        if (dir)
            *p++ = '/';
    }
    *p++ = '\n';
    msg_text_end(p);
}
