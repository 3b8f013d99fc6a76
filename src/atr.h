// Loading a disk image file: an ATR file, a raw image of one of the two
// standard sizes, or a container (DCM, ATX, PRO) that the ATR rules refuse.
//
// Image files that hold every sector are mapped privately (copy-on-write),
// whatever their size, so a listing touches only the pages of the sectors it
// reads; nothing written to the image ever reaches the file.  Where files
// cannot be mapped (Windows), and for files that end early, the sectors are
// read instead.
#pragma once

#include "image.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

// Loads an image file; every failure is fatal (show_error), warnings go
// through show_msg.  `path` is used to open the file and, as given, in messages.
std::unique_ptr<AtrImage> atr_load(const char *path);

// The same loader over an open stream or over bytes already in memory; `name`
// stands for the file in messages.
std::unique_ptr<AtrImage> atr_load_stream(std::FILE *f, const char *name);
std::unique_ptr<AtrImage> atr_load_bytes(std::span<const std::uint8_t> bytes, const char *name);

// Ends the run with the fatal "image file changed while being read" when a
// mapped image file became shorter while it was read (since the last call):
// the bytes it lost were read as zeros, so nothing read since can be
// trusted.  The loader calls it before it returns; the driver calls it once
// more after the walk, whether the walk ended normally or with an error.
void atr_check_unchanged(const char *name);
