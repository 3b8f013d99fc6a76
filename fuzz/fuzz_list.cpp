// Fuzz target: arbitrary bytes as the content of an image file, through the
// loader and then every handler in every listing mode.
#include "atr.h"
#include "driver.h"
#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *sink = std::fopen("/dev/null", "w");
    msg_out = sink;
    msg_err = sink;

    std::unique_ptr<AtrImage> image;
    try {
        image = atr_load_bytes({data, size}, "fuzz.atr");
    } catch (const ProgramExit &) {
        return 0; // refused by the loader
    }
    for (int atari_list = 0; atari_list < 2; atari_list++)
        for (int lower_case = 0; lower_case < 2; lower_case++) {
            try {
                driver_probe(*image, "fuzz.atr", atari_list, lower_case, 0);
            } catch (const ProgramExit &) {
            }
        }
    return 0;
}
