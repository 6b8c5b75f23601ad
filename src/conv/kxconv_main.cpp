#include "conv/kxconv.h"

int main(int argc, char** argv) {
  return kx::kxconvMain(argc, argv);
}
