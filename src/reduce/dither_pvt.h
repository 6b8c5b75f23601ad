// The adaptive error diffusion behind remapPixels' Dither::adaptive: a map
// of where diffusion hides banding (ditherStrength), and Floyd-Steinberg
// weighted by it.
#pragma once

#include <cstdint>
#include <vector>

#include "reduce/reduce.h"

namespace kx {

// remapPixels for Dither::adaptive, after its checks of the palette and the
// pixels.
Result<std::vector<uint8_t>> remapAdaptive(const PixelView& pixels, const Colormap& palette,
                                           const RemapOptions& options, const Context& context);

}  // namespace kx
