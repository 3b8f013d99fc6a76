#include "dcm.h"

std::unique_ptr<AtrImage> dcm_decode(std::span<const std::uint8_t> file, const char *name)
{
    (void)file;
    (void)name;
    return nullptr;
}
