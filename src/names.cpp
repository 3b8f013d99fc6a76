#include "names.h"

#include <algorithm>
#include <cstring>

char names_host_char(std::uint8_t b, int lower_case)
{
    // A letter turned to lower case is never replaced.
    if (lower_case && b >= 'A' && b <= 'Z')
        return char(b + 0x20);
    if (b < 0x20 || b > 0x7A || b == '.' || b == '/' || b == '?' || b == '\\' || b == '`')
        return '_';
    return char(b);
}

std::uint8_t names_plain_video(std::uint8_t b)
{
    if ((b >= 0xC1 && b <= 0xDA) || (b >= 0xE1 && b <= 0xFA) || (b >= 0xB0 && b <= 0xB9))
        return std::uint8_t(b & 0x7F);
    return b;
}

AtariName names_8_3(const std::uint8_t *raw, int lower_case)
{
    AtariName n;
    std::memset(n.atari, ' ', 12);
    n.atari[12] = 0;
    bool dot = false;
    for (int i = 0; i < 11; i++) {
        const std::uint8_t b = names_plain_video(raw[i]);
        if (b == ' ')
            continue;
        const char c = names_host_char(b, lower_case);
        if (i >= 8 && !dot) {
            n.host += '.';
            dot = true;
        }
        n.host += c;
        n.atari[i < 8 ? i : i + 1] = c;
    }
    return n;
}

namespace {

bool reserved_device(std::string_view base)
{
    char up[5] = {};
    if (base.size() < 3 || base.size() > 4)
        return false;
    for (std::size_t i = 0; i < base.size(); i++)
        up[i] = (base[i] >= 'a' && base[i] <= 'z') ? char(base[i] - 0x20) : base[i];
    const std::string_view u(up, base.size());
    if (u == "CON" || u == "PRN" || u == "AUX" || u == "NUL")
        return true;
    return u.size() == 4 && (u.substr(0, 3) == "COM" || u.substr(0, 3) == "LPT") && u[3] >= '1' && u[3] <= '9';
}

} // namespace

std::string names_windows_host(std::string_view name)
{
    std::string out(name);
    for (char &c : out)
        if (c == ':' || c == '*' || c == '<' || c == '>' || c == '"' || c == '|')
            c = '_';
    for (std::size_t i = out.size(); i > 0 && (out[i - 1] == '.' || out[i - 1] == ' '); i--)
        out[i - 1] = '_';
    const std::size_t base = std::min(out.find('.'), out.size());
    if (reserved_device(std::string_view(out).substr(0, base)))
        out.insert(base, 1, '_');
    return out;
}
