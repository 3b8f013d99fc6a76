#include "names.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr NamesTable make_table(bool plain_video, int lower_case)
{
    NamesTable t{};
    for (unsigned b = 0; b < 256; b++) {
        const std::uint8_t c = plain_video ? names_plain_video(std::uint8_t(b)) : std::uint8_t(b);
        t[b] = c == ' ' ? 0 : names_host_char(c, lower_case);
    }
    return t;
}

constexpr NamesTable tables[2][2] = {{make_table(false, 0), make_table(false, 1)},
                                     {make_table(true, 0), make_table(true, 1)}};

} // namespace

const NamesTable &names_table(bool plain_video, int lower_case)
{
    return tables[plain_video][lower_case != 0];
}

AtariName names_8_3(const std::uint8_t *raw, int lower_case)
{
    const NamesTable &t = names_table(true, lower_case);
    AtariName n;
    std::memset(n.atari, ' ', 12);
    n.atari[12] = 0;
    char host[12];
    std::size_t length = 0;
    for (int i = 0; i < 8; i++)
        if (const char c = t[raw[i]]) {
            host[length++] = c;
            n.atari[i] = c;
        }
    bool dot = false;
    for (int i = 8; i < 11; i++)
        if (const char c = t[raw[i]]) {
            if (!dot) {
                host[length++] = '.';
                dot = true;
            }
            host[length++] = c;
            n.atari[i + 1] = c;
        }
    n.host.assign(host, length);
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
