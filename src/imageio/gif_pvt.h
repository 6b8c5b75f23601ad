// Private parts of the GIF writer: the LZW coder, which frames are coded
// with side by side.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kx {

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
std::vector<uint8_t> gifLzwEncode(std::span<const uint8_t> indices, int minCodeSize);

}  // namespace kx
