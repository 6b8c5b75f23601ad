// A slow, byte-at-a-time picture scanline coder and decoder over C-stream-like
// readers and writers; the library's buffer-based code must agree with it.
#pragma once

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
  bool abandoned = false;  // a packet did not fit its scanline
  bool ranOut = false;     // a read met the end (kept when seekEnd clears eofFlag)
  explicit In(const std::vector<uint8_t>& d) : data(d) {}
  int getc() { return pos < data.size() ? data[pos++] : (eofFlag = ranOut = true, -1); }
  void seekEnd() {
    pos = data.size();
    eofFlag = false;
    abandoned = true;
  }
};

struct Out {
  std::vector<uint8_t> bytes;
  void putc(int b) { bytes.push_back(static_cast<uint8_t>(b)); }
};

inline bool equal(int n, const uint8_t* const s[], int a, int b) {
  for (int c = 0; c < n; ++c)
    if (s[c][a] != s[c][b]) return false;
  return true;
}

inline void putPixels(Out& out, int n, const uint8_t* const s[], int x, int count) {
  for (int i = x; i < x + count; ++i)
    for (int c = 0; c < n; ++c) out.putc(s[c][i]);
}

// Stores the pixel v into samples x..x+m-1 of the scanline (none past width).
inline void fill(uint8_t* const s[], int n, const uint8_t* v, int x, int m, int width) {
  for (int i = x; i < x + m && i < width; ++i)
    for (int c = 0; c < n; ++c) s[c][i] = v[c];
}

// One segment of type 0 (uncompressed), 1 (pure run-length) or 2 (mixed
// run-length): n channels, samples[c] points at this scanline of channel c.
inline void write(int type, Out& out, int width, int n, const uint8_t* const s[]) {
  if (type == 0) return putPixels(out, n, s, 0, width);
  for (int x = 0; x < width;) {
    int k = 1;
    if (type == 1) {  // runs of at most 255 equal pixels
      while (x + k < width && k < 255 && equal(n, s, x, x + k)) ++k;
      out.putc(k);
      putPixels(out, n, s, x, 1);
    } else if (x + 1 < width && equal(n, s, x, x + 1)) {  // a repeat of 2..65535
      while (x + k < width && k < 65535 && equal(n, s, x, x + k)) ++k;
      if (k >= 128) out.putc(128), out.putc(k >> 8);
      out.putc(k < 128 ? k + 127 : k & 0xFF);
      putPixels(out, n, s, x, 1);
    } else {  // a literal of 1..128, ending before two equal pixels
      while (x + k < width && k < 128 && !equal(n, s, x + k - 1, x + k)) ++k;
      if (x + k < width && k < 128) --k;
      out.putc(k - 1);
      putPixels(out, n, s, x, k);
    }
    x += k;
  }
}

inline void read(int type, In& in, int width, int n, uint8_t* const s[]) {
  uint8_t v[4];
  if (type == 0) {
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < n; ++c) s[c][x] = static_cast<uint8_t>(in.getc());
  } else if (type == 1) {
    int x = 0, remaining = width;
    do {
      int k = static_cast<uint8_t>(in.getc());
      if (k > width) k = width;
      remaining -= k;
      for (int c = 0; c < n; ++c) v[c] = static_cast<uint8_t>(in.getc());
      fill(s, n, v, x, k, width);
      x += k;
    } while (remaining > 0);
  } else {
    for (int x = 0, m; x < width; x += m) {
      const int h = static_cast<uint8_t>(in.getc());
      m = h < 128 ? h + 1 : h - 127;
      if (h == 128) {
        m = static_cast<uint8_t>(in.getc()) << 8;
        m |= static_cast<uint8_t>(in.getc());
        if (in.eofFlag) return;
      }
      if (x + m > width) return in.seekEnd();
      for (int i = 0; i < (h < 128 ? m : 1); ++i) {
        for (int c = 0; c < n; ++c) v[c] = static_cast<uint8_t>(in.getc());
        fill(s, n, v, x + i, h < 128 ? 1 : m, width);
      }
    }
  }
}

}  // namespace kx::ref
