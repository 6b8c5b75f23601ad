// Preview window.
#pragma once

#include "cli/cli.h"

namespace kx {

int kx_displayImage(int* windowHandle, PixelPlanes& planes, int width, int height, int maxval,
                    int colors, int lastFrame);

}  // namespace kx
