// What both fuzz targets do first: silence the program's output and load
// the input bytes as the content of an image file.
#pragma once

#include "atr.h"
#include "driver.h"
#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

inline const char fuzz_image_name[] = "fuzz.atr";

// The loaded image, or nullptr when the loader refuses the bytes.
inline std::unique_ptr<AtrImage> fuzz_load(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *sink = std::fopen("/dev/null", "w");
    msg_out = sink;
    msg_err = sink;
    try {
        return atr_load_bytes({data, size}, fuzz_image_name);
    } catch (const ProgramExit &) {
        return nullptr;
    }
}

// The handlers in their order, as the driver offers the image; a fatal
// error inside ends only this run.
inline void fuzz_probe(const AtrImage &image, int atari_list, int lower_case, int extract)
{
    try {
        driver_probe(image, fuzz_image_name, atari_list, lower_case, extract);
    } catch (const ProgramExit &) {
    }
}
