// GIF's LZW coding of one frame's indices (see encode_pvt.h).
//
// The string table maps (prefix code, next index) to a code through an open-
// addressed hash of 8192 slots: at most 4093 strings live in it between two
// clear codes, so it stays at most half full and probes stay short. A slot
// holds the 20-bit key and the 12-bit code in one word, so a probe is one
// load and one compare.
#include <algorithm>
#include <array>

#include "encode/encode_pvt.h"

namespace kx {

namespace {

constexpr uint32_t kLastCode = 4095;  // codes are at most 12 bits
constexpr int kHashBits = 13;
constexpr uint32_t kEmpty = 0xFFFFFFFF;  // no key is all ones: prefixes are below 4096

class StringTable {
 public:
  StringTable() { clear(); }
  void clear() { slots_.fill(kEmpty); }

  // The code of the string (prefix, index); when it is not in the table,
  // -1, and the string's slot is remembered for add().
  int find(uint32_t key) {
    for (uint32_t slot = hash(key);; slot = (slot + 1) & kMask) {
      const uint32_t entry = slots_[slot];
      if (entry == kEmpty) {
        free_ = slot;
        return -1;
      }
      if (entry >> 12 == key) return static_cast<int>(entry & 0xFFF);
    }
  }
  // Adds the string find() did not find.
  void add(uint32_t key, uint32_t code) { slots_[free_] = key << 12 | code; }

 private:
  static constexpr uint32_t kMask = (1u << kHashBits) - 1;
  static uint32_t hash(uint32_t key) { return (key * 0x9E3779B1u) >> (32 - kHashBits); }
  std::array<uint32_t, size_t{1} << kHashBits> slots_;
  uint32_t free_ = 0;
};

// Codes packed from the least significant bit up, as GIF packs them.
class CodeWriter {
 public:
  explicit CodeWriter(size_t expected) { bytes_.reserve(expected); }
  void put(uint32_t code, int width) {
    bits_ |= uint64_t{code} << count_;
    count_ += width;
    while (count_ >= 8) {
      bytes_.push_back(static_cast<uint8_t>(bits_));
      bits_ >>= 8;
      count_ -= 8;
    }
  }
  // The bytes with the last partial byte padded with zeros, cut into
  // sub-blocks.
  std::vector<uint8_t> finish() {
    if (count_ > 0) bytes_.push_back(static_cast<uint8_t>(bits_));
    std::vector<uint8_t> blocks;
    blocks.reserve(bytes_.size() + bytes_.size() / 255 + 1);
    for (size_t at = 0; at < bytes_.size(); at += 255) {
      const size_t n = std::min<size_t>(255, bytes_.size() - at);
      blocks.push_back(static_cast<uint8_t>(n));
      blocks.insert(blocks.end(), bytes_.begin() + static_cast<long>(at),
                    bytes_.begin() + static_cast<long>(at + n));
    }
    return blocks;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t bits_ = 0;
  int count_ = 0;
};

}  // namespace

std::vector<uint8_t> gifLzwEncode(std::span<const uint8_t> indices, int minCodeSize,
                                  const LzwStandIns* standIns) {
  const uint32_t clearCode = 1u << minCodeSize;
  const uint32_t endCode = clearCode + 1;
  StringTable table;
  CodeWriter out(indices.size() / 2 + 16);
  int width = minCodeSize + 1;
  uint32_t next = endCode + 1;
  // The decoder widens its codes when its table reaches the current width's
  // limit; it adds each string one code later than the coder, hence ">=".
  auto put = [&](uint32_t code) {
    out.put(code, width);
    if (next >= (1u << width)) ++width;
  };
  put(clearCode);
  if (!indices.empty()) {
    uint32_t prefix = indices[0];
    for (size_t i = 1; i < indices.size(); ++i) {
      const uint32_t index = indices[i];
      const uint32_t key = prefix << 8 | index;
      int code = table.find(key);
      if (code < 0 && standIns && index < standIns->size()) {
        for (const uint8_t other : (*standIns)[index]) {
          if ((code = table.find(prefix << 8 | other)) >= 0) break;
        }
        if (code < 0) table.find(key);  // the slot add() takes
      }
      if (code >= 0) {
        prefix = static_cast<uint32_t>(code);
        continue;
      }
      put(prefix);
      prefix = index;
      if (next >= kLastCode) {
        put(clearCode);
        next = endCode + 1;
        width = minCodeSize + 1;
        table.clear();
      } else {
        table.add(key, next++);
      }
    }
    put(prefix);
  }
  put(endCode);
  return out.finish();
}

}  // namespace kx
