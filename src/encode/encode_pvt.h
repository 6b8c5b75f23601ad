// Private parts of the writers: the zlib stream of a PNG's rows, and the
// LZW coder that GIF frames are coded with side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "encode/encode.h"

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

// The image data of one GIF frame after its code-size byte: the indices
// (each below 2^minCodeSize, rows top to bottom) LZW-coded as the format
// defines it, in data sub-blocks of at most 255 bytes each led by its
// length, without the terminating empty sub-block. minCodeSize is 2 to 8.
//
// The coding is giflib's, code for code: a clear code first, the longest
// string in the table each time, codes one bit wider as soon as the next free
// code needs it, and a clear code when the next free code would be 4095. So
// the bytes are those giflib's own coder writes for the same indices, and
// only the speed (and being callable on many threads at once) differs.
//
// With stand-ins the coding is lossy: where the string so far followed by
// the next index is not in the table, the string followed by one of that
// index's stand-ins (tried in their order) is taken when it is, so strings
// grow longer; a decoder then shows the stand-in there.
using LzwStandIns = std::vector<std::vector<uint8_t>>;  // per index, up to 256
std::vector<uint8_t> gifLzwEncode(std::span<const uint8_t> indices, int minCodeSize,
                                  const LzwStandIns* standIns = nullptr);

}  // namespace kx
