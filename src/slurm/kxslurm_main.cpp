#include "slurm/slurm.h"

int main(int argc, char** argv) {
  return kx::kxslurmMain(argc, argv);
}
