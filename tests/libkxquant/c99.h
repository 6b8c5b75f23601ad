/* What c99.c gives the C++ tests. */
#pragma once

#include "kxquant.h"

#ifdef __cplusplus
extern "C" {
#endif

/* count pictures of width x height pixels of `channels` bytes reduced to one
 * palette with the options: the palette's entries (RGBA, up to 256 x 4
 * bytes, in palette) and every picture's indices one after the other; the
 * entries, or -1 with the library's message. */
int kxqTestShared(kxq_options* options, const unsigned char* const* pictures, int count, int width,
                  int height, int channels, unsigned char* palette, unsigned char* indices,
                  char* message, size_t size);

#ifdef __cplusplus
}
#endif
