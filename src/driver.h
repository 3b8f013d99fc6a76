// The command line: options, loading the image, the extraction directory,
// and the order in which the handlers are offered the image.
#pragma once

// Runs the whole program on argv and returns the exit status.  Fatal errors
// unwind to here; the output streams are flushed before it returns.
int driver_main(int argc, char **argv);

// Offers a loaded image to the handlers in their fixed order and returns the
// status (0 when one of them handled it).
struct AtrImage;
int driver_probe(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract);
