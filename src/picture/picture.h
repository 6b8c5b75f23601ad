// The picture-file library: true-colour pictures in the system's own .pic
// format (fixed big-endian header, channel packet list, run-length-coded
// scanlines of 8-bit samples). See header.cpp for the byte layout.
//
// The library reports failure by a null result (or false/0), never by
// printing, apart from the version warning of the header reader.
//
// Stands on: common (byte helpers, output files, the pixel limit).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/pixel_limit.h"

namespace kx {

// Picture record: geometry and one byte plane per channel (0 red, 1 green,
// 2 blue, 3 alpha). A present channel holds width × height samples, scanline
// after scanline; a null channel is absent. The record owns its buffers.
struct Picture {
  int16_t width = 0;
  int16_t height = 0;
  float ratio = 1.0f;
  int16_t fields = 0;
  std::array<std::unique_ptr<uint8_t[]>, 4> channel;
  std::array<uint8_t*, 4> cursor{};  // next scanline of each channel
};

using PicturePtr = std::unique_ptr<Picture>;

// Channel packet: which channels a group of scanline segments carries and
// how they are coded.
struct ChannelPacket {
  uint8_t size = 8;  // bits per sample (only 8 is written)
  uint8_t type = 2;  // low four bits: 0 uncompressed, 1 pure run-length, 2 mixed run-length
  uint8_t mask = 0;  // 0x80 red, 0x40 green, 0x20 blue, 0x10 alpha
};
using ChannelPacketList = std::vector<ChannelPacket>;

// Constants of the format.
constexpr uint32_t kPictureMagic = 0x5380F634;
constexpr uint32_t kPictureMagicEnd = 0x5380F646;  // first magic value refused
extern const int QZ_VERSION;
extern const float QZ_RELEASE_NUMBER;

PicturePtr QZ_pictureAllocate();
int QZ_pictureDispose(PicturePtr* picture);
void QZ_channelPacketDispose(ChannelPacketList* list);

// Reads a whole picture file (".pic" is appended unless the name already ends
// in it). Null when the file is missing or not a readable picture file, and
// when its width or height is negative, two packets name the same channel,
// the picture is over the pixel limit (common/pixel_limit.h) or the channel
// buffers do not fit in memory; for the last two, *why (when given) says so
// before anything the size of the picture was allocated. A file cut short is
// read: its missing bytes read as 255.
PicturePtr QZ_pictureReadFile(const std::string& name, ReadRefusal* why = nullptr);
// The same from the bytes of a picture file held in memory.
PicturePtr QZ_pictureReadMemory(std::span<const uint8_t> bytes, ReadRefusal* why = nullptr);

// What the first bytes of a picture file declare about the whole file: its
// geometry, and the fewest and the most bytes the file takes with every
// scanline in it, each coded as short / as long as its packets allow. A
// reader that holds a file to its header refuses one shorter than `least`
// before it allocates the picture, and reads no further than `most`.
struct PictureFileExtent {
  int width = 0;
  int height = 0;
  uint64_t least = 0;
  uint64_t most = 0;
};
// The header and packet list take at most this many bytes.
constexpr size_t kPictureHeaderMost = 104 + 4 * 8;
// False when `start` (the file's first kPictureHeaderMost bytes, or all of a
// shorter file) is not the start of a picture file that the readers take:
// a bad magic number or identifier, a packet list cut short or too long, a
// negative width or height. Prints nothing.
bool QZ_pictureFileExtent(std::span<const uint8_t> start, PictureFileExtent* extent);

// Writes a whole picture file. packets null: the default packet list built
// from the compression (0 mixed run-length, 1 pure run-length, other values
// uncompressed). Returns 1 on success, 0 when the file could not be created
// or a write failed (errno tells why; no partial file is left), and 0 with
// errno EINVAL, creating nothing, when the packets name a channel that the
// record lacks or one channel twice, or the geometry is negative.
int QZ_pictureWriteFile(const std::string& name, Picture& picture, const ChannelPacketList* packets,
                        int compression);
// The same to exactly the given path (no ".pic" appended).
int QZ_pictureWritePath(const std::string& path, Picture& picture, const ChannelPacketList* packets,
                        int compression);
// The same into memory: the bytes of the file, or false (errno EINVAL) when
// the packets name a channel that the record lacks, or one channel twice, or
// the geometry is negative.
bool QZ_pictureWriteMemory(Picture& picture, const ChannelPacketList* packets, int compression,
                           std::vector<uint8_t>& bytes);

// The file name that the header operations use for a given name.
std::string QZ_pictureFileName(const std::string& name);

}  // namespace kx
