#include "common/machine.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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

void kx_adviseHugePages(const void* p, size_t bytes) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  if (p == nullptr || bytes < 2 * kHugePage) return;
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (start + bytes) & ~(kHugePage - 1);
  // Where it fails the memory is simply made of small pages.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace kx
