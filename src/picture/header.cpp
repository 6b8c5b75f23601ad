// Picture record, channel packet lists and the picture file header.
//
// A picture file ("NAME.pic"), every number big-endian, floats IEEE 754
// single precision:
//
//   offset  bytes  field
//        0      4  magic      0x5380F634 written; 0x5380F634..0x5380F645 read
//        4      4  version    float, 2.7 written (40 2C CC CD); a later
//                             version is read after a two-line warning
//        8     80  comment    "No comment..." and NUL bytes; ignored
//       88      4  "PICT"     anything else: not a picture file
//       92      2  width      signed
//       94      2  height     signed
//       96      4  ratio      float, copied, never used
//      100      2  fields     signed, copied, never used
//      102      2  padding    0
//      104   4×k  packets    chained (1 = another packet follows), size
//                             (bits per sample, 8), type (low nibble: 0 raw,
//                             1 pure run-length, 2 mixed run-length), mask
//                             (0x80 red, 0x40 green, 0x20 blue, 0x10 alpha)
//   104+4k    ...  scanlines  one segment per packet each (scanline.cpp)
//
// An RGB picture written with the default packets therefore has a 108-byte
// header, one with alpha 112 bytes.
//
// Refused on reading: a magic number out of range, an identifier other than
// "PICT", a file ending inside the header or packet list, a list of more than
// kMaxPackets packets; and, by the whole picture reader, a negative width or
// height, a packet list naming one channel twice, a picture over the pixel
// limit (common/pixel_limit.h) and buffers that do not fit in memory. A file
// ending inside the scanlines is not refused: missing bytes read as 255.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/bytes.h"
#include "common/messages.h"
#include "picture/picture_pvt.h"

namespace kx {

const int QZ_VERSION = 3;
const float QZ_RELEASE_NUMBER = 2.7f;
const float QZ_versionTable[4] = {2.0f, 2.1f, 2.6f, 2.7f};

namespace {

const char kDefaultComment[] = "No comment...";

void putBE16(PictureOutStream& out, uint32_t v) {
  uint8_t b[2];
  storeBE16(b, v);
  out.write(b, 2);
}

void putBE32(PictureOutStream& out, uint32_t v) {
  uint8_t b[4];
  storeBE32(b, v);
  out.write(b, 4);
}

// Header fields that are cut short keep the value they had.
void readS16(PictureInStream& in, int16_t& v) {
  uint8_t b[2];
  if (in.read(b, 2)) v = static_cast<int16_t>(loadBE16(b));
}

void readF32(PictureInStream& in, float& v) {
  uint8_t b[4];
  if (in.read(b, 4)) v = floatFromBits(loadBE32(b));
}

std::unique_ptr<PictureOutStream> createOutput(const std::string& path) {
  auto file = OutFile::create(path);
  if (!file) return nullptr;
  return std::make_unique<PictureOutStream>(std::move(file));
}

}  // namespace

// ---- Records and packet lists ----------------------------------------------

PicturePtr QZ_pictureAllocate() {
  try {
    return std::make_unique<Picture>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int QZ_pictureDispose(PicturePtr* picture) {
  if (picture) picture->reset();
  return 1;
}

void QZ_channelPacketDispose(ChannelPacketList* list) {
  if (list) list->clear();
}

std::string QZ_pictureFileName(const std::string& name) {
  // Only a name with something before the extension counts as complete, so
  // the bare name ".pic" becomes ".pic.pic".
  if (name.size() >= 5 && name.ends_with(".pic")) return name;
  return name + ".pic";
}

ChannelPacketList QZ_defaultPackets(const Picture& picture, int compression) {
  const uint8_t type = compression == 0 ? 2 : compression == 1 ? 1 : 0;
  ChannelPacketList list;
  list.push_back({8, type, 0xE0});
  if (picture.channel[3]) list.push_back({8, type, 0x10});
  return list;
}

bool QZ_packetsFitPicture(const Picture& picture, const ChannelPacketList& packets) {
  if (picture.width < 0 || picture.height < 0) return false;
  uint8_t seen = 0;
  for (const ChannelPacket& p : packets) {
    for (int c = 0; c < 4; ++c) {
      if (!(p.mask & kChannelBits[c])) continue;
      // A channel named twice would move its cursor two scanlines per
      // scanline and run off the end of its buffer.
      if ((seen & kChannelBits[c]) || !picture.channel[c]) return false;
      seen |= kChannelBits[c];
    }
  }
  return true;
}

// ---- Binary header ----------------------------------------------------------

bool PictureInStream::read(uint8_t* out, size_t n) {
  if (!ensure(n)) {
    seekEnd();
    eof_ = true;
    return false;
  }
  std::memcpy(out, data_ + pos_, n);
  pos_ += n;
  return true;
}

int QZ_headerWriteBinary(PictureOutStream& out, const char* comment) {
  putBE32(out, kPictureMagic);
  putBE32(out, bitsFromFloat(QZ_versionTable[QZ_VERSION]));
  uint8_t field[kCommentSize] = {};
  const char* text = comment ? comment : kDefaultComment;
  // The field holds at most 80 characters, without a terminator when full.
  std::memcpy(field, text, strnlen(text, kCommentSize));
  out.write(field, kCommentSize);
  return 1;
}

uint32_t QZ_headerReadBinary(PictureInStream& in, float* version, char* comment) {
  uint8_t head[kBinaryHeaderSize];
  if (!in.read(head, sizeof head)) return 0;
  const uint32_t magic = loadBE32(head);
  if (magic < kPictureMagic || magic >= kPictureMagicEnd) return 0;
  const float fileVersion = floatFromBits(loadBE32(head + 4));
  if (version) *version = fileVersion;
  if (fileVersion > QZ_RELEASE_NUMBER) {
    kx_printf(Stream::Err, "Warning, file version %g is later than Qzar release version %g\n",
              static_cast<double>(fileVersion), static_cast<double>(QZ_RELEASE_NUMBER));
    kx_printf(Stream::Err, "Attempt to read: An error may occur...\n");
  }
  if (comment) {
    const size_t len = strnlen(reinterpret_cast<const char*>(head + 8), kCommentSize);
    std::memset(comment, 0, kCommentSize);
    std::memcpy(comment, head + 8, len);
  }
  uint8_t id[4];
  if (!in.read(id, 4)) return 0;
  return loadBE32(id);
}

// ---- Header and packet list ---------------------------------------------------

void QZ_pictureWriteStreamHeader(PictureOutStream& out, const Picture& picture,
                                 ChannelPacketList& packets, int compression) {
  if (packets.empty()) packets = QZ_defaultPackets(picture, compression);
  QZ_headerWriteBinary(out, nullptr);
  putBE32(out, kPictIdentifier);
  putBE16(out, static_cast<uint16_t>(picture.width));
  putBE16(out, static_cast<uint16_t>(picture.height));
  putBE32(out, bitsFromFloat(picture.ratio));
  putBE16(out, static_cast<uint16_t>(picture.fields));
  putBE16(out, 0);
  for (size_t i = 0; i < packets.size(); ++i) {
    const ChannelPacket& p = packets[i];
    const uint8_t entry[4] = {static_cast<uint8_t>(i + 1 < packets.size() ? 1 : 0), p.size, p.type,
                              p.mask};
    out.write(entry, 4);
  }
}

bool QZ_pictureReadStreamHeader(PictureInStream& in, Picture& picture, ChannelPacketList& packets) {
  packets.clear();
  if (QZ_headerReadBinary(in, nullptr, nullptr) != kPictIdentifier) return false;
  readS16(in, picture.width);
  readS16(in, picture.height);
  readF32(in, picture.ratio);
  readS16(in, picture.fields);
  uint8_t padding[2];
  in.read(padding, 2);
  uint8_t entry[4];
  do {
    if (packets.size() == kMaxPackets || !in.read(entry, 4)) {
      packets.clear();
      return false;
    }
    packets.push_back({entry[1], entry[2], entry[3]});
  } while (entry[0] != 0);
  return true;
}

bool QZ_pictureFileExtent(std::span<const uint8_t> start, PictureFileExtent* extent) {
  ByteReader in(start);
  uint32_t magic = 0, identifier = 0;
  int16_t width = 0, height = 0;
  if (!in.u32(magic) || magic < kPictureMagic || magic >= kPictureMagicEnd ||
      !in.seek(kBinaryHeaderSize) || !in.u32(identifier) || identifier != kPictIdentifier ||
      !in.s16(width) || !in.s16(height) || !in.seek(kHeaderFixedSize) || width < 0 || height < 0) {
    return false;
  }
  // Per scanline, each packet that stores its n channels: raw pixels; runs
  // of at most 255 pixels; or, mixed, a repeat of up to 65535 pixels (one of
  // up to 128 in a short one), each pixel a literal of its own at most.
  uint64_t least = 0, most = 0;
  const uint64_t w = static_cast<uint64_t>(width);
  uint8_t entry[4] = {1};
  for (size_t k = 0; entry[0] != 0; ++k) {
    if (k == kMaxPackets || !in.bytes(entry, 4)) return false;
    const uint64_t n = static_cast<uint64_t>(std::popcount(static_cast<unsigned>(entry[3] & 0xF0)));
    if (w == 0) continue;
    switch (entry[2] & 0x0F) {
      case 0:
        least += w * n;
        most += w * n;
        break;
      case 1:
        least += (w + 254) / 255 * (1 + n);
        most += w * (1 + n);
        break;
      case 2:
        least += std::min((w + 127) / 128 * (1 + n), 3 + n);
        most += w * (1 + n);
        break;
      default:
        break;  // stores nothing
    }
  }
  extent->width = width;
  extent->height = height;
  extent->least = in.position() + least * static_cast<uint64_t>(height);
  extent->most = in.position() + most * static_cast<uint64_t>(height);
  return true;
}

std::unique_ptr<PictureOutStream> QZ_pictureWriteFileHeader(const std::string& name,
                                                            const Picture& picture,
                                                            ChannelPacketList* packets,
                                                            int compression) {
  ChannelPacketList local;
  ChannelPacketList& list = packets ? *packets : local;
  if (list.empty()) list = QZ_defaultPackets(picture, compression);
  if (!QZ_packetsFitPicture(picture, list)) {
    errno = EINVAL;
    return nullptr;
  }
  auto out = createOutput(QZ_pictureFileName(name));
  if (!out) return nullptr;
  QZ_pictureWriteStreamHeader(*out, picture, list, compression);
  return out;
}

}  // namespace kx
