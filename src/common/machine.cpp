#include "common/machine.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace kx {

int kx_processorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 1) return CPU_COUNT(&set);
  return std::max(static_cast<int>(std::thread::hardware_concurrency()), 1);
}

uint64_t kx_physicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return kAssumedMemory;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

}  // namespace kx
