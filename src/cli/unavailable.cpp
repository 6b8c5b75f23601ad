// Stand-ins for the PICT and preview subsystems until they are built.
#include <cstdio>

#include "display/display.h"
#include "pict/pict.h"

namespace kx {

int kx_pictureReadPict(const std::string&, Picture&, int) {
  std::fputs("PICT input is not available in this build\n", stderr);
  return -1;
}

int kx_pictureWritePict(const std::string&, Picture&, int, const Colormap*) {
  std::fputs("PICT output is not available in this build\n", stderr);
  return -1;
}

int kx_displayImage(int*, PixelPlanes&, int, int, int, int, int) {
  kx_error("the preview window is not available in this build\n");
}

}  // namespace kx
