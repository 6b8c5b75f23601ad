// What the machine offers the process: its processors and its memory.
//
// Stands on: the standard library only.
#pragma once

#include <cstdint>

namespace kx {

// The processors the process may run on (its affinity mask), at least 1.
int kx_processorCount();

// The machine's memory in bytes; when the system does not tell,
// kAssumedMemory, a small machine's.
constexpr uint64_t kAssumedMemory = uint64_t{4} << 30;
uint64_t kx_physicalMemory();

}  // namespace kx
