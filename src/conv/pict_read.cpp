// PICT pictures for kxconv. The PICT reader is not part of this build yet.
#include "conv/conv.h"

namespace kx {

Image readPictFile(const std::string& path) {
  throw ConvError(path + ": PICT support is not built yet");
}

}  // namespace kx
