// PRO (APE) images of protected disks, decoded into a plain sector image.
#pragma once

#include "image.h"

#include <cstdint>
#include <memory>
#include <span>

// The disk held in `file` when it is a PRO file (strict signature check),
// else nullptr with nothing printed.  Damage inside the container is
// reported through show_msg as "<image>: PRO <what>", one line per kind of
// damage, and the sectors it costs read as zeros.
std::unique_ptr<AtrImage> pro_decode(std::span<const std::uint8_t> file, const char *name);
