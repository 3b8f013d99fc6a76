#include "listing.h"

#include "messages.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// The two digits of every value below 100, back to back.
constexpr auto digit_pairs = [] {
    std::array<char, 200> t{};
    for (int v = 0; v < 100; v++) {
        t[std::size_t(2 * v)] = char('0' + v / 10);
        t[std::size_t(2 * v + 1)] = char('0' + v % 10);
    }
    return t;
}();

char *put(char *p, std::string_view text)
{
    if (!text.empty()) // an empty view may have no data at all
        std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// out_02d of a date byte, which is almost always below 100.
char *date_02d(char *p, std::uint8_t value)
{
    if (value >= 100) [[unlikely]]
        return out_02d(p, value);
    p[0] = digit_pairs[2 * value];
    p[1] = digit_pairs[2 * value + 1];
    return p + 2;
}

// "%02d-%02d-%02d %02d:%02d", with ":%02d" after it when `seconds`.
char *out_date(char *p, const std::uint8_t *d, bool seconds)
{
    p = date_02d(p, d[0]);
    *p++ = '-';
    p = date_02d(p, d[1]);
    *p++ = '-';
    p = date_02d(p, d[2]);
    *p++ = ' ';
    p = date_02d(p, d[3]);
    *p++ = ':';
    p = date_02d(p, d[4]);
    if (seconds) {
        *p++ = ':';
        p = date_02d(p, d[5]);
    }
    return p;
}

// Widths and the fixed parts of a line come to less than this.
constexpr std::size_t line_slack = 64;

} // namespace

char *out_u(char *p, std::uint32_t value, int width)
{
    static constexpr std::uint32_t tens[] = {10,      100,      1000,      10000,     100000,
                                             1000000, 10000000, 100000000, 1000000000};
    int n = 1;
    while (n < 10 && value >= tens[n - 1])
        n++;
    for (; width > n; width--)
        *p++ = ' ';
    // The digits from the right, two at a time.
    char *d = p + n;
    for (; value >= 100; value /= 100) {
        const std::uint32_t two = 2 * (value % 100);
        d -= 2;
        d[0] = digit_pairs[two];
        d[1] = digit_pairs[two + 1];
    }
    if (value >= 10) {
        d[-2] = digit_pairs[2 * value];
        d[-1] = digit_pairs[2 * value + 1];
    } else {
        d[-1] = char('0' + value);
    }
    return p + n;
}

char *out_02d(char *p, int value)
{
    if (value >= 100)
        return out_u(p, std::uint32_t(value), 0);
    p[0] = digit_pairs[std::size_t(2 * value)];
    p[1] = digit_pairs[std::size_t(2 * value + 1)];
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
                         const std::uint8_t *date, std::string_view path, bool dir, std::string_view name)
{
    char *p = msg_text_room(line_slack + atari_name.size() + path.size() + name.size());
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
        p = put(p, name);
        if (dir)
            *p++ = '/';
    }
    *p++ = '\n';
    msg_text_end(p);
}
