#include "dosxe.h"

int dosxe_list(const AtrImage &image, const char *name, int atari_list, int lower_case, int extract)
{
    (void)image, (void)name, (void)atari_list, (void)lower_case, (void)extract;
    return 1;
}
