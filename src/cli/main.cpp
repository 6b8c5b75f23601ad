#include <cstdio>

#include "cli/cli.h"

namespace kx {

int kxreduceMain(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::fputs("kxreduce: the command line is not built yet\n", stderr);
  return 255;
}

}  // namespace kx
