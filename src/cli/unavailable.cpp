// Stand-in for the preview subsystem until it is built.
#include "display/display.h"

namespace kx {

int kx_displayImage(int*, PixelPlanes&, int, int, int, int, int) {
  kx_error("the preview window is not available in this build\n");
}

}  // namespace kx
