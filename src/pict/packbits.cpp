// PackBits, the run-length coding of PICT rows.
//
// A packed row is a sequence of groups, each a signed flag byte n followed by
// data: n >= 0 copies the next n + 1 units, n < 0 repeats the next unit
// 1 - n times (so -128 repeats it 129 times). A unit is one byte, or two
// bytes for rows of 16-bit pixels.
//
// Our packer emits literal groups of at most 128 bytes and runs of 3 to 128
// bytes; pairs of equal bytes stay inside literal groups, where they cost
// less than a run of their own.
#include <cstring>

#include "pict/pict_pvt.h"

namespace kx {

int64_t PictUnpackBits(std::span<const uint8_t> in, std::span<uint8_t> out, int unit) {
  const size_t u = unit == 2 ? 2 : 1;
  size_t ip = 0, op = 0;
  // Both the input left and the output left are checked for every group: a
  // corrupt row can claim far more data than either holds.
  while (ip < in.size()) {
    const int n = static_cast<int8_t>(in[ip++]);
    if (n >= 0) {
      const size_t bytes = (static_cast<size_t>(n) + 1) * u;
      if (bytes > in.size() - ip || bytes > out.size() - op) return -1;
      std::memcpy(out.data() + op, in.data() + ip, bytes);
      ip += bytes;
      op += bytes;
    } else {
      const size_t count = static_cast<size_t>(1 - n);
      if (u > in.size() - ip || count * u > out.size() - op) return -1;
      if (u == 1) {
        std::memset(out.data() + op, in[ip], count);
      } else {
        for (size_t i = 0; i < count; ++i) {
          out[op + 2 * i] = in[ip];
          out[op + 2 * i + 1] = in[ip + 1];
        }
      }
      ip += u;
      op += count * u;
    }
  }
  return static_cast<int64_t>(op);
}

size_t PictPackBits(std::span<const uint8_t> in, uint8_t* out) {
  const size_t n = in.size();
  size_t pos = 0;
  size_t header = 0;  // the reserved flag byte of the next group
  size_t outPos = 1;  // where the next data byte goes
  int literal = -1;   // count - 1 of the pending literal group, -1 when none
  auto closeLiteral = [&] {
    out[header] = static_cast<uint8_t>(literal);
    header = outPos;
    outPos = header + 1;
    literal = -1;
  };
  while (pos < n) {
    const uint8_t c = in[pos];
    size_t run = 0;
    while (run < 127 && pos + 1 + run < n && in[pos + 1 + run] == c) ++run;
    if (run <= 1) {
      out[outPos++] = c;
      if (run == 1) out[outPos++] = c;
      literal += static_cast<int>(run) + 1;
      pos += run + 1;
      if (literal >= 126) closeLiteral();
    } else {
      if (literal >= 0) closeLiteral();
      out[header] = static_cast<uint8_t>(-static_cast<int>(run));
      out[header + 1] = c;
      header += 2;
      outPos = header + 1;
      pos += run + 1;
    }
  }
  if (literal >= 0) {
    out[header] = static_cast<uint8_t>(literal);
    return outPos;
  }
  return header;  // the reserved flag byte is not part of the output
}

}  // namespace kx
