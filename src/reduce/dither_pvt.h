// The adaptive error diffusion behind remapPixels' Dither::adaptive: a map
// of where diffusion hides banding (ditherStrength), and Floyd-Steinberg
// weighted by it.
#pragma once

#include <cstdint>
#include <vector>

#include "reduce/reduce.h"

namespace kx {

class SharedNearestSearch;

// remapPixels for Dither::adaptive, after its checks of the palette and the
// pixels; with `shared`, the search kept by a PaletteMapper. Pixels equal
// to the frame before (options.before) keep their indices and take no
// part in the diffusion, as pixels of strength 0.
Result<std::vector<uint8_t>> remapAdaptive(const PixelView& pixels, const Colormap& palette,
                                           const RemapOptions& options, const Context& context,
                                           SharedNearestSearch* shared = nullptr);

}  // namespace kx
