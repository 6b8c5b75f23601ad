#include "cli/cli.h"

int main(int argc, char** argv) {
  return kx::kxreduceMain(argc, argv);
}
