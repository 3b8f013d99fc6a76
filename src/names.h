// Host names for the names stored on a disk.
//
// Every layout turns its stored names into host file names by a rule of
// its own, and all of those rules share one core: the character rule
// below.  Names go to the host one path level at a time, so the rule turns
// both slashes into underscores; it also keeps out the few characters that
// shells and file systems treat specially.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// One stored byte as it goes into a host name: upper-case letters become
// lower case when `lower_case` is set; bytes below 0x20 or above 0x7A, the
// full stop, slash, question mark, backslash and grave accent become '_';
// every other byte stays.  Layouts where a full stop separates name and
// extension handle it before calling this.
constexpr char names_host_char(std::uint8_t b, int lower_case)
{
    // A letter turned to lower case is never replaced.
    if (lower_case && b >= 'A' && b <= 'Z')
        return char(b + 0x20);
    if (b < 0x20 || b > 0x7A || b == '.' || b == '/' || b == '?' || b == '\\' || b == '`')
        return '_';
    return char(b);
}

// Inverse-video letters and digits (0xC1-0xDA, 0xE1-0xFA, 0xB0-0xB9) with
// bit 7 cleared; every other byte unchanged.
constexpr std::uint8_t names_plain_video(std::uint8_t b)
{
    if ((b >= 0xC1 && b <= 0xDA) || (b >= 0xE1 && b <= 0xFA) || (b >= 0xB0 && b <= 0xB9))
        return std::uint8_t(b & 0x7F);
    return b;
}

// Both rules above for every byte at once, for the directory walks that
// convert thousands of names: the host character of each stored byte, or
// 0 for a blank, which names drop.  `plain_video` first applies
// names_plain_video, as the 8+3 names below do.
using NamesTable = std::array<char, 256>;
const NamesTable &names_table(bool plain_video, int lower_case);

// An 8+3 directory entry name as the DOS 2 family, DOS 3 and DOS XE store
// it: the host name is the name, a full stop and the extension, with blanks
// dropped (no full stop when the extension is blank); the Atari-style name
// is always 12 columns, 8 + a blank + 3, dropped blanks kept as blanks.
// Inverse-video letters and digits show as their plain selves.
struct AtariName {
    std::string host; // empty for an all-blank name
    char atari[13];   // NUL-terminated
};
AtariName names_8_3(const std::uint8_t *raw, int lower_case);

// A host name as Windows can hold it: the characters : * < > " | become
// '_', as do trailing full stops and blanks (which Windows would drop), and
// a reserved device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or
// without an extension) gets a '_' after its base name, so that it is
// written as a file and not sent to a device.  Other names are unchanged.
std::string names_windows_host(std::string_view name);
