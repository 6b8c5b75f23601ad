// Byte helpers shared by every file format of the system.
//
// Every multi-byte number in our files is big-endian whatever the host's
// byte order; floats are IEEE 754 single precision. Of today's formats,
// GIF's numbers are little-endian (ByteWriter::le16). Values are always built
// from bytes: no struct is ever cast onto file data.
//
// Stands on: the standard library only.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace kx {

inline uint16_t loadBE16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t loadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void storeBE16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void storeBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline float floatFromBits(uint32_t bits) {
  return std::bit_cast<float>(bits);
}
inline uint32_t bitsFromFloat(float f) {
  return std::bit_cast<uint32_t>(f);
}

// Read cursor over a byte span. Every read checks what is left; a read past
// the end fails (returns false) and leaves the cursor where it was.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : data_(bytes) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  bool atEnd() const { return pos_ >= data_.size(); }
  std::span<const uint8_t> rest() const { return data_.subspan(pos_); }

  bool skip(size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }
  bool seek(size_t pos) {
    if (pos > data_.size()) return false;
    pos_ = pos;
    return true;
  }
  bool u8(uint8_t& v) {
    if (remaining() < 1) return false;
    v = data_[pos_++];
    return true;
  }
  bool u16(uint16_t& v) {
    if (remaining() < 2) return false;
    v = loadBE16(data_.data() + pos_);
    pos_ += 2;
    return true;
  }
  bool s16(int16_t& v) {
    uint16_t u;
    if (!u16(u)) return false;
    v = static_cast<int16_t>(u);
    return true;
  }
  bool u32(uint32_t& v) {
    if (remaining() < 4) return false;
    v = loadBE32(data_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool f32(float& v) {
    uint32_t u;
    if (!u32(u)) return false;
    v = floatFromBits(u);
    return true;
  }
  bool bytes(uint8_t* out, size_t n) {
    if (n > remaining()) return false;
    if (n) std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// Append-only writer into a byte vector: big-endian, but for le16.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}
  void u8(uint32_t v) { out_.push_back(static_cast<uint8_t>(v)); }
  void u16(uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(uint32_t v) {
    u16(v >> 16);
    u16(v);
  }
  void f32(float f) { u32(bitsFromFloat(f)); }
  void le16(uint32_t v) {
    u8(v);
    u8(v >> 8);
  }
  void bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  size_t size() const { return out_.size(); }

 private:
  std::vector<uint8_t>& out_;
};

}  // namespace kx
