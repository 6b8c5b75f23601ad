// Stand-ins for the PICT subsystem until it is built.
#include <cstdio>

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

}  // namespace kx
