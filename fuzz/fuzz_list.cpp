// Fuzz target: arbitrary bytes as the content of an image file, through the
// loader (from memory, a file or a pipe) and then every handler in every
// listing mode.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput in = fuzz_load(data, size);
    if (!in.image)
        return 0;
    for (int atari_list = 0; atari_list < 2; atari_list++)
        for (int lower_case = 0; lower_case < 2; lower_case++)
            fuzz_probe(*in.image, atari_list, lower_case, 0);
    return 0;
}
