#include "quant/quant.h"

int main(int argc, char** argv) {
  return kx::kxquantMain(argc, argv);
}
