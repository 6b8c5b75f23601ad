#include "picture/reference_coder.h"

#include <bit>
#include <cstring>

namespace kx::ref {

namespace {

using Pixel = std::array<uint8_t, 4>;

Pixel pixelAt(int n, const uint8_t* const samples[], int x) {
  Pixel p{};
  for (int c = 0; c < n; ++c) p[c] = samples[c][x];
  return p;
}

bool equal(const Pixel& a, const Pixel& b, int n) {
  for (int c = 0; c < n; ++c)
    if (a[c] != b[c]) return false;
  return true;
}

void putPixel(Out& out, const Pixel& p, int n) {
  for (int c = 0; c < n; ++c) out.putc(p[c]);
}

void putLiteral(Out& out, const Pixel* buffer, int k, int n) {
  out.putc(k - 1);
  for (int i = 0; i < k; ++i) putPixel(out, buffer[i], n);
}

void putRepeat(Out& out, const Pixel& v, int k, int n) {
  if (k < 128) {
    out.putc(k + 127);
  } else {
    out.putc(128);
    out.putc(k >> 8);
    out.putc(k & 0xFF);
  }
  putPixel(out, v, n);
}

void put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, v >> 16);
  put16(b, v & 0xFFFF);
}

// n bytes big-endian, or false (value unchanged) when the file ends first.
bool getBE(In& in, int bytes, uint32_t& v) {
  uint32_t r = 0;
  for (int i = 0; i < bytes; ++i) {
    const int b = in.getc();
    if (b < 0) return false;
    r = (r << 8) | static_cast<uint32_t>(b);
  }
  v = r;
  return true;
}

}  // namespace

void writeUncompressed(Out& out, int width, int n, const uint8_t* const samples[]) {
  for (int x = 0; x < width; ++x)
    for (int c = 0; c < n; ++c) out.putc(samples[c][x]);
}

void writePureRunLength(Out& out, int width, int n, const uint8_t* const samples[]) {
  Pixel v{};
  int k = 0;
  for (int x = 0; x < width; ++x) {
    const Pixel p = pixelAt(n, samples, x);
    for (;;) {
      if (k == 0) {
        v = p;
        k = 1;
      } else if (equal(p, v, n)) {
        if (++k == 255) {
          out.putc(k);
          putPixel(out, v, n);
          k = 0;
        }
      } else {
        out.putc(k);
        putPixel(out, v, n);
        k = 0;
        continue;  // p starts the next run
      }
      break;
    }
  }
  if (k > 0) {
    out.putc(k);
    putPixel(out, v, n);
  }
}

void writeMixedRunLength(Out& out, int width, int n, const uint8_t* const samples[]) {
  Pixel buffer[128] = {};
  uint16_t k = 0;
  bool repeat = false;
  for (int x = 0; x < width; ++x) {
    const Pixel p = pixelAt(n, samples, x);
    if (k == 0) {
      buffer[0] = p;
      k = 1;
    } else if (k == 1) {
      repeat = equal(p, buffer[0], n);
      if (!repeat) buffer[1] = p;
      k = 2;
    } else {
      const bool match = repeat ? equal(p, buffer[0], n) : equal(p, buffer[k - 1], n);
      if (!repeat && match) {
        putLiteral(out, buffer, k - 1, n);
        buffer[0] = buffer[1] = p;
        k = 2;
        repeat = true;
      } else if (repeat && !match) {
        putRepeat(out, buffer[0], k, n);
        buffer[0] = p;
        k = 1;
      } else {
        if (!repeat) buffer[k] = p;
        ++k;
        if (!repeat && k == 128) {
          putLiteral(out, buffer, k, n);
          k = 0;
        } else if (repeat && k == 65535) {
          putRepeat(out, buffer[0], k, n);
          k = 0;
        }
      }
    }
  }
  if (k == 0) return;
  if (k == 1 || !repeat) {
    putLiteral(out, buffer, k, n);
  } else {
    putRepeat(out, buffer[0], k, n);
  }
}

void readUncompressed(In& in, int width, int n, uint8_t* const samples[]) {
  for (int x = 0; x < width; ++x)
    for (int c = 0; c < n; ++c) samples[c][x] = static_cast<uint8_t>(in.getc());
}

void readPureRunLength(In& in, int width, int n, uint8_t* const samples[]) {
  int x = 0, remaining = width;
  do {
    int k = static_cast<uint8_t>(in.getc());
    if (k > width) k = width;
    remaining -= k;
    uint8_t v[4];
    for (int c = 0; c < n; ++c) v[c] = static_cast<uint8_t>(in.getc());
    for (int i = x; i < x + k && i < width; ++i)
      for (int c = 0; c < n; ++c) samples[c][i] = v[c];
    x += k;
  } while (remaining > 0);
}

void readMixedRunLength(In& in, int width, int n, uint8_t* const samples[]) {
  int x = 0;
  while (x < width) {
    const int h = static_cast<uint8_t>(in.getc());
    int m;
    if (h < 128) {
      m = h + 1;
      if (x + m > width) {
        in.seekEnd();
        return;
      }
      for (int i = 0; i < m; ++i)
        for (int c = 0; c < n; ++c) samples[c][x + i] = static_cast<uint8_t>(in.getc());
      x += m;
      continue;
    }
    if (h == 128) {
      m = static_cast<uint8_t>(in.getc()) << 8;
      m |= static_cast<uint8_t>(in.getc());
      if (in.eofFlag) return;
    } else {
      m = h - 127;
    }
    if (x + m > width) {
      in.seekEnd();
      return;
    }
    uint8_t v[4];
    for (int c = 0; c < n; ++c) v[c] = static_cast<uint8_t>(in.getc());
    for (int i = 0; i < m; ++i)
      for (int c = 0; c < n; ++c) samples[c][x + i] = v[c];
    x += m;
  }
}

std::vector<uint8_t> writeFile(const Image& image, const std::vector<Packet>& packets) {
  std::vector<uint8_t> b;
  put32(b, 0x5380F634);
  put32(b, std::bit_cast<uint32_t>(2.7f));
  const char comment[] = "No comment...";
  for (size_t i = 0; i < 80; ++i) b.push_back(i < 13 ? static_cast<uint8_t>(comment[i]) : 0);
  for (char ch : {'P', 'I', 'C', 'T'}) b.push_back(static_cast<uint8_t>(ch));
  put16(b, static_cast<uint16_t>(image.width));
  put16(b, static_cast<uint16_t>(image.height));
  put32(b, std::bit_cast<uint32_t>(image.ratio));
  put16(b, static_cast<uint16_t>(image.fields));
  put16(b, 0);
  for (size_t i = 0; i < packets.size(); ++i) {
    b.push_back(i + 1 < packets.size() ? 1 : 0);
    b.push_back(packets[i].size);
    b.push_back(packets[i].type);
    b.push_back(packets[i].mask);
  }
  Out out;
  std::array<size_t, 4> cursor{};
  for (int y = 0; y < image.height; ++y) {
    for (const Packet& p : packets) {
      const uint8_t* samples[4];
      int index[4], n = 0;
      for (int c = 0; c < 4; ++c)
        if (p.mask & (0x80 >> c)) index[n++] = c;
      for (int i = 0; i < n; ++i) samples[i] = image.channel[index[i]].data() + cursor[index[i]];
      switch (p.type & 0x0F) {
        case 0:
          writeUncompressed(out, image.width, n, samples);
          break;
        case 1:
          writePureRunLength(out, image.width, n, samples);
          break;
        case 2:
          writeMixedRunLength(out, image.width, n, samples);
          break;
      }
      for (int i = 0; i < n; ++i) cursor[index[i]] += image.width;
    }
  }
  b.insert(b.end(), out.bytes.begin(), out.bytes.end());
  return b;
}

bool readFile(const std::vector<uint8_t>& bytes, Image& image) {
  In in(bytes);
  uint32_t magic, v;
  if (!getBE(in, 4, magic) || magic < 0x5380F634 || magic >= 0x5380F646) return false;
  for (int i = 0; i < 84; ++i) in.getc();  // version and comment
  if (!getBE(in, 4, v) || v != 0x50494354) return false;
  if (getBE(in, 2, v)) image.width = static_cast<int16_t>(v);
  if (getBE(in, 2, v)) image.height = static_cast<int16_t>(v);
  if (getBE(in, 4, v)) image.ratio = std::bit_cast<float>(v);
  if (getBE(in, 2, v)) image.fields = static_cast<int16_t>(v);
  getBE(in, 2, v);
  std::vector<Packet> packets;
  int chained;
  do {
    chained = in.getc();
    Packet p;
    const int size = in.getc(), type = in.getc(), mask = in.getc();
    if (mask < 0) return false;
    p.size = static_cast<uint8_t>(size);
    p.type = static_cast<uint8_t>(type);
    p.mask = static_cast<uint8_t>(mask);
    packets.push_back(p);
  } while (chained != 0);
  if (image.width < 0 || image.height < 0) return false;
  const size_t plane = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  for (const Packet& p : packets) {
    for (int c = 0; c < 4; ++c) {
      if (!(p.mask & (0x80 >> c))) continue;
      if (image.has[c]) return false;
      image.has[c] = true;
      image.channel[c].assign(plane, 0);
    }
  }
  std::array<size_t, 4> cursor{};
  for (int y = 0; y < image.height; ++y) {
    for (const Packet& p : packets) {
      uint8_t* samples[4];
      int index[4], n = 0;
      for (int c = 0; c < 4; ++c)
        if (p.mask & (0x80 >> c)) index[n++] = c;
      for (int i = 0; i < n; ++i) samples[i] = image.channel[index[i]].data() + cursor[index[i]];
      switch (p.type & 0x0F) {
        case 0:
          readUncompressed(in, image.width, n, samples);
          break;
        case 1:
          readPureRunLength(in, image.width, n, samples);
          break;
        case 2:
          readMixedRunLength(in, image.width, n, samples);
          break;
      }
      for (int i = 0; i < n; ++i) cursor[index[i]] += image.width;
    }
  }
  return true;
}

}  // namespace kx::ref
