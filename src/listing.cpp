#include "listing.h"

#include "messages.h"

namespace {

// The line being assembled; one at a time, reused so that it costs no
// allocation once it has grown.
std::string line;

// "%02d-%02d-%02d %02d:%02d", with ":%02d" after it when `seconds`.
void out_date(const std::uint8_t *d, bool seconds)
{
    out_02d(line, d[0]);
    line += '-';
    out_02d(line, d[1]);
    line += '-';
    out_02d(line, d[2]);
    line += ' ';
    out_02d(line, d[3]);
    line += ':';
    out_02d(line, d[4]);
    if (seconds) {
        line += ':';
        out_02d(line, d[5]);
    }
}

} // namespace

void out_u(std::string &out, std::uint32_t value, int width)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    if (width > n)
        out.append(std::size_t(width - n), ' ');
    while (n)
        out += digits[--n];
}

void out_02d(std::string &out, int value)
{
    if (value >= 100)
        out_u(out, std::uint32_t(value), 0);
    else {
        out += char('0' + value / 10);
        out += char('0' + value % 10);
    }
}

void out_s(std::string &out, std::string_view text, int width)
{
    out += text;
    if (width > int(text.size()))
        out.append(std::size_t(width) - text.size(), ' ');
}

void out_line(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), msg_out);
}

void listing_heading(const std::string &dir_path)
{
    line.assign("Directory of ");
    line += dir_path.empty() ? "/" : dir_path;
    line += "\n\n";
    out_line(line);
}

void listing_entry(int atari_list, std::string_view atari_name, int width, std::uint32_t size,
                   std::string_view path, bool dir)
{
    line.clear();
    if (atari_list) {
        out_s(line, atari_name, width);
        if (dir) {
            line += "  <DIR>";
        } else {
            line += ' ';
            out_u(line, size, 7);
        }
    } else {
        out_u(line, size, 8);
        line += "\t\t";
        line += path;
        if (dir)
            line += '/';
    }
    line += '\n';
    out_line(line);
}

void listing_dated_entry(int atari_list, std::string_view atari_name, std::uint32_t size,
                         const std::uint8_t *date, std::string_view path, bool dir)
{
    line.clear();
    if (atari_list) {
        out_s(line, atari_name, 12);
        if (dir) {
            line += "  <DIR>  ";
        } else {
            line += ' ';
            out_u(line, size, 7);
            line += ' ';
        }
        out_date(date, false);
    } else {
        out_u(line, size, 8);
        line += '\t';
        out_date(date, true);
        line += '\t';
        line += path;
        if (dir)
            line += '/';
    }
    line += '\n';
    out_line(line);
}
