// ATX (VAPI) images of protected originals, decoded into a plain sector image.
#pragma once

#include "image.h"

#include <cstdint>
#include <memory>
#include <span>

// The disk held in `file` when it is an ATX file (strict signature check),
// else nullptr with nothing printed.  Damage inside the container is
// reported through show_msg as "<image>: ATX <what>", one line per kind of
// damage, and the sectors it costs read as zeros.
std::unique_ptr<AtrImage> atx_decode(std::span<const std::uint8_t> file, const char *name);
