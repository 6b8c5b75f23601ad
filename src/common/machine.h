// What the machine offers the process: its processors and its memory.
//
// Stands on: the standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace kx {

// The processors the process may run on (its affinity mask), at least 1.
int kx_processorCount();

// The machine's memory in bytes; when the system does not tell,
// kAssumedMemory, a small machine's.
constexpr uint64_t kAssumedMemory = uint64_t{4} << 30;
uint64_t kx_physicalMemory();

// Asks the system to back the whole huge pages (2 MiB) within [p, p + bytes)
// with huge pages when they are first touched: one page fault where there
// would be 512 (on a virtual machine a fault costs microseconds, and a
// picture's buffers take thousands). Only a hint, given for 4 MiB and more;
// it changes no contents. Give it before the memory is first written.
void kx_adviseHugePages(const void* p, size_t bytes);

// v resized to n elements, new ones `value`, as v.resize(n, value); memory it
// newly takes is advised for huge pages before it is written.
template <class T>
void kx_resizeLarge(std::vector<T>& v, size_t n, const T& value = T()) {
  if (n > v.capacity()) {
    v.reserve(n);
    kx_adviseHugePages(v.data(), n * sizeof(T));
  }
  v.resize(n, value);
}

// std::vector<T>(n, value), its memory advised for huge pages.
template <class T>
std::vector<T> kx_largeVector(size_t n, const T& value = T()) {
  std::vector<T> v;
  kx_resizeLarge(v, n, value);
  return v;
}

// n elements left unwritten, advised for huge pages: for memory written only
// where it is used.
template <class T>
std::unique_ptr<T[]> kx_largeArrayForOverwrite(size_t n) {
  auto array = std::make_unique_for_overwrite<T[]>(n);
  kx_adviseHugePages(array.get(), n * sizeof(T));
  return array;
}

// n elements whose bytes are all zero, from memory that the system maps
// (zeroed) only where it is first touched (calloc): for large tables of
// which a small picture uses a few entries, the cost follows the entries
// used, not the table's size. An element of zero bytes must be its empty
// value. Throws std::bad_alloc.
template <class T>
class ZeroedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  explicit ZeroedArray(size_t n = 0) : size_(n) {
    if (n > 0 && !(data_ = {static_cast<T*>(std::calloc(n, sizeof(T))), std::free})) {
      throw std::bad_alloc();
    }
  }
  T& operator[](size_t i) { return data_.get()[i]; }
  const T& operator[](size_t i) const { return data_.get()[i]; }
  const T* begin() const { return data_.get(); }
  const T* end() const { return data_.get() + size_; }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<T, decltype(&std::free)> data_{nullptr, std::free};
  size_t size_;
};

}  // namespace kx
