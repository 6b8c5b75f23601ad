// Private pieces of the frame driver: the palette files that carry the
// one-palette mode of a sequence between the processes that share it.
//
// Palette file, all integers big-endian:
//
//   offset  size       field
//        0     4       "KXPL"            magic
//        4     2       1                 version
//        6     2       C                 colours of each palette (1 to 256)
//        8     4       start             the sequence (-s start end step), signed
//       12     4       end
//       16     4       step
//       20     4       N                 palettes that follow
//       24  N·(4+3C)   palettes          each: the frame's place in the sequence
//                                        (signed, from 0; -1 for the sequence's
//                                        own palette), then C × red, green, blue
//
// A file of any other length, version or magic is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct PaletteRecord {
  int64_t ordinal = 0;
  std::vector<uint8_t> rgb;  // colours × 3
};

struct PaletteFile {
  int32_t colors = 0;
  int32_t start = 0, end = 0, step = 0;
  std::vector<PaletteRecord> records;
};

// Both end the run through kx_error with a message naming the file.
void writePaletteFile(const std::string& path, const PaletteFile& file);
PaletteFile readPaletteFile(const std::string& path);

// Threads for the frames of a run: the process's thread count
// (kx_threadCount: KX_THREADS, else the processors the process may run on).
int kx_frameThreads();

}  // namespace kx
