// Scanlines of a picture file.
//
// After the packet list come the scanlines, first to last. A scanline is one
// segment per packet, in list order, with no length prefix and no alignment:
// the next segment starts where decoding the current one ends. A segment
// carries the packet's n channels (red, green, blue, alpha, those whose mask
// bit is set) for one scanline; a pixel is written as its n samples in that
// channel order. The low nibble of the packet type selects the coding:
//
//   0 uncompressed       width pixels
//   1 pure run-length    runs: count k (1..255), one pixel = k copies
//   2 mixed run-length   packets opened by a header byte h:
//                          0..127   literal: h+1 pixels follow
//                          128      long repeat: 16-bit count m, one pixel
//                          129..255 short repeat of h-127 pixels: one pixel
//   other                nothing is stored (the cursors still advance)
//
// The mixed coder starts a repeat at every two equal neighbours, emits
// literals of at most 128 pixels, short repeats of 2..127 and long repeats
// for 128 and more; it never writes 255.
//
// Decoding is lenient, as it always was for existing files: a missing byte
// reads as 255; a pure run-length count above the width is clamped and a run
// is cut at the scanline's end; a count of 0 still consumes its pixel. A mixed
// literal or repeat that does not fit the rest of the scanline abandons the
// file: the stream is put at its end, so every later scanline reads end of
// file; after a long repeat count that met the end of the file, the scanline
// ends. Samples that a decoder does not reach keep what their buffer held.
//
// Files are decoded from a window of about a megabyte and encoded into
// memory, so the loops below work on plain pointers; only the last few bytes
// of a file, where a packet may be cut short, go through the byte-at-a-time
// reads.
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "picture/picture_pvt.h"

namespace kx {

namespace {

// eq[x] = 1 when pixel x equals pixel x − 1 in all n channels (eq[0] = 0).
// With no channel at all every pixel equals its neighbour.
void markEqualNeighbours(uint8_t* eq, size_t w, int n, const uint8_t* const s[]) {
  if (w == 0) return;
  if (n == 0) {
    std::memset(eq, 1, w);
  } else {
    const uint8_t* a = s[0];
    for (size_t x = 1; x < w; ++x) eq[x] = a[x] == a[x - 1];
    for (int c = 1; c < n; ++c) {
      const uint8_t* b = s[c];
      for (size_t x = 1; x < w; ++x) eq[x] &= b[x] == b[x - 1];
    }
  }
  eq[0] = 0;
}

inline uint8_t* putPixel(uint8_t* p, int n, const uint8_t* const s[], size_t x) {
  for (int c = 0; c < n; ++c) *p++ = s[c][x];
  return p;
}

// m pixels from x on, interleaved.
inline uint8_t* putPixels(uint8_t* p, int n, const uint8_t* const s[], size_t x, size_t m) {
  if (n == 3) {
    const uint8_t *r = s[0] + x, *g = s[1] + x, *b = s[2] + x;
    for (size_t i = 0; i < m; ++i, p += 3) {
      p[0] = r[i];
      p[1] = g[i];
      p[2] = b[i];
    }
    return p;
  }
  if (n == 1) {
    std::memcpy(p, s[0] + x, m);
    return p + m;
  }
  for (size_t i = 0; i < m; ++i) p = putPixel(p, n, s, x + i);
  return p;
}

// m pixels into x on, from interleaved bytes.
inline void takePixels(const uint8_t* p, int n, uint8_t* const s[], size_t x, size_t m) {
  if (n == 3) {
    uint8_t *r = s[0] + x, *g = s[1] + x, *b = s[2] + x;
    for (size_t i = 0; i < m; ++i, p += 3) {
      r[i] = p[0];
      g[i] = p[1];
      b[i] = p[2];
    }
    return;
  }
  if (n == 1) {
    std::memcpy(s[0] + x, p, m);
    return;
  }
  for (size_t i = 0; i < m; ++i)
    for (int c = 0; c < n; ++c) s[c][x + i] = *p++;
}

inline void fill(uint8_t* dst, uint8_t v, size_t m) {
  // Short runs dominate photographs; a call to memset costs more than them.
  if (m <= 16) {
    for (size_t i = 0; i < m; ++i) dst[i] = v;
  } else {
    std::memset(dst, v, m);
  }
}

// m pixels from the stream into x on: straight from memory when they are all
// there, else byte by byte so that the missing ones read as 255.
inline void readPixels(PictureInStream& in, int n, uint8_t* const s[], size_t x, size_t m) {
  const size_t bytes = m * static_cast<size_t>(n);
  if (in.ensure(bytes)) {
    takePixels(in.here(), n, s, x, m);
    in.advance(bytes);
    return;
  }
  for (size_t i = 0; i < m; ++i)
    for (int c = 0; c < n; ++c) s[c][x + i] = in.get();
}

uint8_t* putLiteral(uint8_t* p, int n, const uint8_t* const s[], size_t x, size_t m) {
  *p++ = static_cast<uint8_t>(m - 1);
  return putPixels(p, n, s, x, m);
}

uint8_t* putRepeat(uint8_t* p, int n, const uint8_t* const s[], size_t x, size_t m) {
  if (m < 128) {
    *p++ = static_cast<uint8_t>(m + 127);
  } else {
    *p++ = 128;
    storeBE16(p, static_cast<uint32_t>(m));
    p += 2;
  }
  return putPixel(p, n, s, x);
}

}  // namespace

// ---- Coders ---------------------------------------------------------------------

void QZ_scanlineWriteUncompressed(PictureOutStream& out, int16_t width, int n,
                                  const uint8_t* const samples[]) {
  if (width <= 0 || n == 0) return;
  const size_t w = static_cast<size_t>(width);
  out.commit(putPixels(out.reserve(w * n), n, samples, 0, w));
}

void QZ_scanlineWritePureRunLength(PictureOutStream& out, int16_t width, int n,
                                   const uint8_t* const samples[]) {
  if (width <= 0) return;
  const size_t w = static_cast<size_t>(width);
  uint8_t* eq = out.scratch(w);
  markEqualNeighbours(eq, w, n, samples);
  uint8_t* p = out.reserve(w * (n + 1));
  // Runs of equal pixels, cut every 255 pixels; a cut run starts afresh.
  for (size_t s = 0; s < w;) {
    size_t r = 1;
    while (s + r < w && r < 255 && eq[s + r]) ++r;
    *p++ = static_cast<uint8_t>(r);
    p = putPixel(p, n, samples, s);
    s += r;
  }
  out.commit(p);
}

void QZ_scanlineWriteMixedRunLength(PictureOutStream& out, int16_t width, int n,
                                    const uint8_t* const samples[]) {
  if (width <= 0) return;
  const size_t w = static_cast<size_t>(width);
  uint8_t* eq = out.scratch(w);
  markEqualNeighbours(eq, w, n, samples);
  // At worst every pixel costs its samples and one header byte.
  uint8_t* p = out.reserve(w * (n + 1) + 4);
  size_t s = 0;  // first pending pixel
  while (s < w) {
    if (s + 1 == w) {  // a lone last pixel
      p = putLiteral(p, n, samples, s, 1);
      break;
    }
    if (eq[s + 1]) {
      // A repeat runs while the pixels stay equal; its count is 16 bits wide.
      size_t r = 2;
      while (s + r < w && r < 65535 && eq[s + r]) ++r;
      p = putRepeat(p, n, samples, s, r);
      s += r;
      continue;
    }
    // A literal runs until two equal neighbours, which open a repeat; its
    // last pixel then goes to the repeat. At 128 pixels it is emitted as is.
    const size_t limit = std::min(w, s + 128);
    size_t x = s + 2;
    if (x < limit) {
      const void* hit = std::memchr(eq + x, 1, limit - x);
      x = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - eq) : limit;
    }
    if (x < limit) {
      p = putLiteral(p, n, samples, s, x - 1 - s);
      s = x - 1;
    } else {
      p = putLiteral(p, n, samples, s, limit - s);
      s = limit;
    }
  }
  out.commit(p);
}

// ---- Decoders -------------------------------------------------------------------

void QZ_scanlineReadUncompressed(PictureInStream& in, int16_t width, int n,
                                 uint8_t* const samples[]) {
  if (width <= 0 || n == 0) return;
  const size_t w = static_cast<size_t>(width);
  if (!in.ensure(1)) {
    in.get();  // meets the end of the file
    for (int c = 0; c < n; ++c) std::memset(samples[c], 255, w);
    return;
  }
  readPixels(in, n, samples, 0, w);
}

void QZ_scanlineReadPureRunLength(PictureInStream& in, int16_t width, int n,
                                  uint8_t* const samples[]) {
  const int w = width;
  int x = 0;
  // At least one run is read, even for an empty scanline.
  do {
    int k = in.get();
    if (k > w) k = w;
    uint8_t v[4];
    for (int c = 0; c < n; ++c) v[c] = in.get();
    const int stop = std::min(x + k, w);
    if (stop > x) {
      for (int c = 0; c < n; ++c) fill(samples[c] + x, v[c], static_cast<size_t>(stop - x));
    }
    x += k;
  } while (x < w);
}

namespace {

constexpr ptrdiff_t kLargestRgbPacket = 1 + 128 * 3;

// The mixed decoder for red, green and blue together, the files this system
// writes, while a whole packet (at most a header and 128 pixels) is surely in
// the stream's window: no end-of-file cases, and the stream state stays in
// registers. Returns false when the file was abandoned.
bool readMixedRgbInMemory(PictureInStream& in, int w, int& xInOut, uint8_t* const samples[]) {
  constexpr ptrdiff_t kLargestPacket = kLargestRgbPacket;
  const uint8_t* p = in.here();
  const uint8_t* const end = p + in.available();
  uint8_t *r = samples[0], *g = samples[1], *b = samples[2];
  int x = xInOut;
  bool fits = true;
  while (x < w && end - p >= kLargestPacket) {
    const int h = *p++;
    if (h < 128) {
      const int m = h + 1;
      if (x + m > w) {
        fits = false;
        break;
      }
      for (int i = 0; i < m; ++i, p += 3) {
        r[x + i] = p[0];
        g[x + i] = p[1];
        b[x + i] = p[2];
      }
      x += m;
    } else {
      int m = h - 127;
      if (h == 128) {
        m = (p[0] << 8) | p[1];
        p += 2;
      }
      if (x + m > w) {
        fits = false;
        break;
      }
      fill(r + x, p[0], static_cast<size_t>(m));
      fill(g + x, p[1], static_cast<size_t>(m));
      fill(b + x, p[2], static_cast<size_t>(m));
      p += 3;
      x += m;
    }
  }
  in.advance(static_cast<size_t>(p - in.here()));
  xInOut = x;
  if (!fits) in.seekEnd();
  return fits;
}

}  // namespace

void QZ_scanlineReadMixedRunLength(PictureInStream& in, int16_t width, int n,
                                   uint8_t* const samples[]) {
  const int w = width;
  int x = 0;
  // The window is refilled between runs of the fast decoder; only the last
  // packets of a file go through the byte-at-a-time reads below.
  while (n == 3 && x < w && in.ensure(kLargestRgbPacket)) {
    if (!readMixedRgbInMemory(in, w, x, samples)) return;
  }
  while (x < w) {
    const int h = in.get();
    int m;
    if (h < 128) {
      m = h + 1;
      if (x + m > w) {
        in.seekEnd();
        return;
      }
      readPixels(in, n, samples, static_cast<size_t>(x), static_cast<size_t>(m));
      x += m;
      continue;
    }
    if (h == 128) {
      m = in.get() << 8;
      m |= in.get();
      if (in.eof()) return;
    } else {
      m = h - 127;
    }
    if (x + m > w) {
      in.seekEnd();
      return;
    }
    uint8_t v[4];
    for (int c = 0; c < n; ++c) v[c] = in.get();
    for (int c = 0; c < n; ++c) fill(samples[c] + x, v[c], static_cast<size_t>(m));
    x += m;
  }
}

// ---- Scanline operations ---------------------------------------------------------

namespace {

// The cursors of the packet's channels in red, green, blue, alpha order.
int gatherChannels(const ChannelPacket& packet, int index[4]) {
  int n = 0;
  for (int c = 0; c < 4; ++c)
    if (packet.mask & kChannelBits[c]) index[n++] = c;
  return n;
}

}  // namespace

int QZ_pictureWriteScanline(PictureOutStream& out, Picture& picture,
                            const ChannelPacketList& packets) {
  QZ_scanlineWrite(out, picture.width, packets, picture.cursor.data());
  return 1;
}

void QZ_scanlineWrite(PictureOutStream& out, int16_t width, const ChannelPacketList& packets,
                      uint8_t* cursor[4]) {
  for (const ChannelPacket& packet : packets) {
    int index[4];
    const int n = gatherChannels(packet, index);
    const uint8_t* samples[4] = {};
    for (int i = 0; i < n; ++i) samples[i] = cursor[index[i]];
    switch (packet.type & 0x0F) {
      case 0:
        QZ_scanlineWriteUncompressed(out, width, n, samples);
        break;
      case 1:
        QZ_scanlineWritePureRunLength(out, width, n, samples);
        break;
      case 2:
        QZ_scanlineWriteMixedRunLength(out, width, n, samples);
        break;
      default:
        break;
    }
    for (int i = 0; i < n; ++i) cursor[index[i]] += width;
  }
}

int QZ_pictureReadScanline(PictureInStream& in, Picture& picture,
                           const ChannelPacketList& packets) {
  QZ_scanlineRead(in, picture.width, packets, picture.cursor.data());
  return 1;
}

void QZ_scanlineRead(PictureInStream& in, int16_t width, const ChannelPacketList& packets,
                     uint8_t* cursor[4]) {
  for (const ChannelPacket& packet : packets) {
    int index[4];
    const int n = gatherChannels(packet, index);
    uint8_t* samples[4] = {};
    for (int i = 0; i < n; ++i) samples[i] = cursor[index[i]];
    switch (packet.type & 0x0F) {
      case 0:
        QZ_scanlineReadUncompressed(in, width, n, samples);
        break;
      case 1:
        QZ_scanlineReadPureRunLength(in, width, n, samples);
        break;
      case 2:
        QZ_scanlineReadMixedRunLength(in, width, n, samples);
        break;
      default:
        break;
    }
    for (int i = 0; i < n; ++i) cursor[index[i]] += width;
  }
}

int QZ_findScanlines(const PictureInStream& in, int16_t width, int rows,
                     const ChannelPacketList& packets, std::vector<size_t>& starts,
                     bool* abandons) {
  const uint8_t* const data = in.here();
  const size_t size = in.available();
  const int w = width;
  size_t pos = 0;
  *abandons = false;
  starts.assign(1, 0);
  for (int y = 0; y < rows; ++y) {
    for (const ChannelPacket& packet : packets) {
      int index[4];
      const size_t n = static_cast<size_t>(gatherChannels(packet, index));
      switch (packet.type & 0x0F) {
        case 0:
          if (w <= 0 || n == 0) break;
          if (size - pos < static_cast<size_t>(w) * n) return y;
          pos += static_cast<size_t>(w) * n;
          break;
        case 1: {
          // As the decoder walks it: at least one run, counts above the
          // width clamped.
          int x = 0;
          do {
            if (size - pos < 1 + n) return y;
            x += std::min<int>(data[pos], w);
            pos += 1 + n;
          } while (x < w);
          break;
        }
        case 2:
          for (int x = 0; x < w;) {
            if (pos == size) return y;
            const int h = data[pos++];
            int m = h - 127;
            size_t bytes = n;
            if (h < 128) {
              m = h + 1;
              bytes = static_cast<size_t>(m) * n;
            } else if (h == 128) {
              if (size - pos < 2) return y;
              m = (data[pos] << 8) | data[pos + 1];
              pos += 2;
            }
            if (x + m > w) {
              *abandons = true;
              return y;
            }
            if (size - pos < bytes) return y;
            pos += bytes;
            x += m;
          }
          break;
        default:
          break;
      }
    }
    starts.push_back(pos);
  }
  return rows;
}

}  // namespace kx
