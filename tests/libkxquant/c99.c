/* The library from C99, compiled with -std=c99 -pedantic -Werror: kxquant
 * -u's way through the API (each picture added, one palette chosen, each
 * picture mapped to it), which the C++ tests compare with the command. */
#include <stdio.h>
#include <string.h>

#include "kxquant.h"

int kxqTestShared(kxq_options* options, const unsigned char* const* pictures, int count, int width,
                  int height, int channels, unsigned char* palette, unsigned char* indices,
                  char* message, size_t size) {
  kxq_shared* shared = NULL;
  kxq_result* chosen = NULL;
  int entries = -1;
  const kxq_format format = channels == 4 ? KXQ_RGBA : KXQ_RGB;
  const size_t stride = (size_t)width * (size_t)channels;
  const size_t pixels = (size_t)width * (size_t)height;
  message[0] = '\0';
  if (kxq_shared_create(options, &shared) != KXQ_OK) goto done;
  for (int i = 0; i < count; ++i)
    if (kxq_shared_add(shared, pictures[i], width, height, stride, format) != KXQ_OK) goto done;
  if (kxq_shared_palette(shared, &chosen) != KXQ_OK) goto done;
  for (int i = 0; i < count; ++i) {
    kxq_result* mapped = NULL;
    if (kxq_remap(options, chosen, pictures[i], width, height, stride, format, &mapped) != KXQ_OK) {
      entries = -1; /* a later picture's failure is the call's, with its message */
      goto done;
    }
    memcpy(indices + (size_t)i * pixels, kxq_result_indices(mapped), pixels);
    entries = kxq_result_colors(mapped);
    memcpy(palette, kxq_result_palette(mapped), (size_t)entries * 4);
    kxq_result_destroy(mapped);
  }
done:
  if (entries < 0)
    snprintf(message, size, "%s",
             shared && kxq_shared_message(shared)[0] ? kxq_shared_message(shared)
                                                     : kxq_options_message(options));
  kxq_result_destroy(chosen);
  kxq_shared_destroy(shared);
  return entries;
}
