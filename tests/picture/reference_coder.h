// A slow, obviously correct picture-file coder and decoder, written byte at a
// time over C-stream-like readers and writers, the way the format is defined.
// The library's buffer-based code must produce exactly the same bytes and
// samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx::ref {

// Like a C stream: getc() gives -1 past the end and raises the end-of-file
// flag; seekEnd() positions at the end and clears the flag.
struct In {
  const std::vector<uint8_t>& data;
  size_t pos = 0;
  bool eofFlag = false;
  explicit In(const std::vector<uint8_t>& d) : data(d) {}
  int getc() {
    if (pos < data.size()) return data[pos++];
    eofFlag = true;
    return -1;
  }
  void seekEnd() {
    pos = data.size();
    eofFlag = false;
  }
};

struct Out {
  std::vector<uint8_t> bytes;
  void putc(int b) { bytes.push_back(static_cast<uint8_t>(b)); }
};

// One segment: n channels, samples[c] points at this scanline of channel c.
void writeUncompressed(Out& out, int width, int n, const uint8_t* const samples[]);
void writePureRunLength(Out& out, int width, int n, const uint8_t* const samples[]);
void writeMixedRunLength(Out& out, int width, int n, const uint8_t* const samples[]);
void readUncompressed(In& in, int width, int n, uint8_t* const samples[]);
void readPureRunLength(In& in, int width, int n, uint8_t* const samples[]);
void readMixedRunLength(In& in, int width, int n, uint8_t* const samples[]);

struct Packet {
  uint8_t size = 8, type = 2, mask = 0xE0;
};

// A picture as plain vectors.
struct Image {
  int16_t width = 0, height = 0;
  float ratio = 1.0f;
  int16_t fields = 0;
  std::array<bool, 4> has{};  // which channels the file names
  std::array<std::vector<uint8_t>, 4> channel;
};

// The whole file, header included.
std::vector<uint8_t> writeFile(const Image& image, const std::vector<Packet>& packets);
// Reads a whole file into image (buffers zero-filled before decoding). False
// for a bad header, a negative geometry or a channel named twice.
bool readFile(const std::vector<uint8_t>& bytes, Image& image);

}  // namespace kx::ref
