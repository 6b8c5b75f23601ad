#include "common/version.h"

#ifndef KX_VERSION
#define KX_VERSION "unknown"
#endif

namespace kx {

const char* toolVersion() {
  return KX_VERSION;
}

}  // namespace kx
