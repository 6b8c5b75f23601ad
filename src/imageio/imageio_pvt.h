// Private parts of imageio: the zlib stream of a PNG's rows, shared by the
// PNG writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "imageio/imageio.h"

namespace kx {

// The rows of a picture as a PNG filters them, made on demand so that the
// whole filtered picture is never held at once.
struct PngRows {
  size_t count = 0;   // rows
  size_t stride = 0;  // bytes of one filtered row, its filter byte included
  // 1: filter type 0 only; 2: also each row with the filter that suits it
  int forms = 1;
  // Rows [begin, end) in form 0 or 1 into out (stride × (end − begin) bytes).
  std::function<void(int form, size_t begin, size_t end, uint8_t* out)> make;
};

// The zlib stream of the rows (the data of the IDAT chunks): the same bytes
// for any thread count. See png_deflate.cpp.
std::vector<uint8_t> compressPngRows(const PngRows& rows, PngEffort effort);

}  // namespace kx
