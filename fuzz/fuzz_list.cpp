// Fuzz target: arbitrary bytes as the content of an image file, through the
// loader and then every handler in every listing mode.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::unique_ptr<AtrImage> image = fuzz_load(data, size);
    if (!image)
        return 0;
    for (int atari_list = 0; atari_list < 2; atari_list++)
        for (int lower_case = 0; lower_case < 2; lower_case++)
            fuzz_probe(*image, atari_list, lower_case, 0);
    return 0;
}
