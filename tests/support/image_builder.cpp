#include "image_builder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

DiskBuilder::DiskBuilder(int size, std::uint32_t count)
    : sector_size(size), sector_count(count), data(std::size_t(size) * count, 0)
{
}

std::uint8_t *DiskBuilder::sector(std::uint32_t n)
{
    if (n == 0 || n > sector_count)
        throw std::out_of_range("DiskBuilder: no sector " + std::to_string(n));
    return data.data() + std::size_t(n - 1) * sector_size;
}

DiskBuilder &DiskBuilder::bytes(std::uint32_t n, std::size_t offset, std::initializer_list<std::uint8_t> b)
{
    std::uint8_t *p = sector(n) + offset;
    for (std::uint8_t v : b)
        *p++ = v;
    return *this;
}

DiskBuilder &DiskBuilder::text(std::uint32_t n, std::size_t offset, std::string_view s)
{
    std::memcpy(sector(n) + offset, s.data(), s.size());
    return *this;
}

DiskBuilder &DiskBuilder::le16(std::uint32_t n, std::size_t offset, std::uint32_t v)
{
    return bytes(n, offset, {std::uint8_t(v), std::uint8_t(v >> 8)});
}

DiskBuilder &DiskBuilder::le24(std::uint32_t n, std::size_t offset, std::uint32_t v)
{
    return bytes(n, offset, {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16)});
}

DiskBuilder &DiskBuilder::fill(std::uint32_t n, std::size_t offset, std::size_t length, std::uint8_t v)
{
    std::memset(sector(n) + offset, v, length);
    return *this;
}

std::unique_ptr<AtrImage> DiskBuilder::image() const
{
    std::unique_ptr<AtrImage> img = atr_create(sector_size, sector_count);
    if (!data.empty())
        std::memcpy(img->data, data.data(), data.size());
    return img;
}

std::vector<std::uint8_t> atr_header(std::uint64_t data_bytes, int sector_size)
{
    std::uint64_t para = data_bytes / 16;
    return {0x96,
            0x02,
            std::uint8_t(para),
            std::uint8_t(para >> 8),
            std::uint8_t(sector_size),
            std::uint8_t(sector_size >> 8),
            std::uint8_t(para >> 16),
            0, 0, 0, 0, 0, 0, 0, 0, 0};
}

std::vector<std::uint8_t> DiskBuilder::atr(bool full_first) const
{
    std::vector<std::uint8_t> body;
    for (std::uint32_t n = 1; n <= sector_count; n++) {
        const std::uint8_t *p = data.data() + std::size_t(n - 1) * sector_size;
        std::size_t len = (sector_size == 256 && n <= 3 && !full_first) ? 128 : sector_size;
        body.insert(body.end(), p, p + len);
    }
    std::vector<std::uint8_t> out = atr_header(body.size(), sector_size);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "vorlen-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string realdisks_dir()
{
    const char *env = std::getenv("VORLEN_REALDISKS");
    std::string dir = env ? env : VORLEN_REALDISKS;
    return std::filesystem::is_directory(dir) ? dir : std::string();
}
