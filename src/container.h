// What the container decoders (DCM, ATX, PRO) share: a cursor that reads a
// file's bytes only within the file, and a tally of one kind of damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A position in a file's bytes.  Every read is checked against the end of
// the file: a request for more bytes than remain gives nullptr (or an empty
// span) and leaves the position where it was.  The position never passes
// the end.
struct ByteCursor {
    std::span<const std::uint8_t> bytes;
    std::size_t pos = 0;

    std::size_t remaining() const { return bytes.size() - pos; }

    // The next n bytes, or nullptr when fewer remain; the cursor moves past them.
    const std::uint8_t *take(std::size_t n)
    {
        if (remaining() < n)
            return nullptr;
        const std::uint8_t *p = bytes.data() + pos;
        pos += n;
        return p;
    }

    // The next n bytes without moving, or nullptr when fewer remain.
    const std::uint8_t *peek(std::size_t n) const
    {
        return remaining() < n ? nullptr : bytes.data() + pos;
    }

    // Moves n bytes on; false, unmoved, when fewer remain.
    bool skip(std::size_t n)
    {
        if (remaining() < n)
            return false;
        pos += n;
        return true;
    }

    // Moves to offset `at`; false, unmoved, when it lies beyond the end.
    bool seek(std::size_t at)
    {
        if (at > bytes.size())
            return false;
        pos = at;
        return true;
    }

    // The n bytes at offset `at` wherever the cursor is, or nullptr unless
    // all of them lie inside (at + n may not wrap round).
    const std::uint8_t *at(std::size_t offset, std::size_t n) const
    {
        if (offset > bytes.size() || n > bytes.size() - offset)
            return nullptr;
        return bytes.data() + offset;
    }

    // The n bytes at offset `at` as a span, empty unless all lie inside.
    std::span<const std::uint8_t> subspan(std::size_t offset, std::size_t n) const
    {
        if (!at(offset, n))
            return {};
        return bytes.subspan(offset, n);
    }

    // The bytes from the position to the end.
    std::span<const std::uint8_t> rest() const { return bytes.subspan(pos); }
};

// One kind of damage: how many sectors (or records) it touched, where the
// first was, and one detail of the first (an ATX sector's weak offset).
struct DamageTally {
    unsigned count = 0;
    std::size_t first = 0;
    std::size_t detail = 0;

    void add(std::size_t where, std::size_t what = 0)
    {
        if (count++ == 0) {
            first = where;
            detail = what;
        }
    }
};
