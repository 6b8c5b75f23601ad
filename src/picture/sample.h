// A synthetic photograph-like picture: smooth sky and ground gradients, a
// lit sphere, soft-edged shapes and a little sensor noise. Used by the demo,
// the tests and the benchmarks so that they need no image files.
#pragma once

#include <cstdint>

#include "picture/picture.h"

namespace kx {

PicturePtr makeSamplePicture(int width, int height, uint32_t seed = 1);

}  // namespace kx
