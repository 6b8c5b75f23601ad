// Whole-picture read and write: header, channel buffers, every scanline.
//
// A picture file is read in blocks of about a megabyte and decoded from
// them, and written by encoding into a buffer that goes to the file in blocks
// of the same size; byte-at-a-time stream calls would cost several times the
// decoding itself. Only what the header and the scanlines consume is read:
// a refused header costs one block, whatever the file's size. The layout is
// described in header.cpp and scanline.cpp.
//
// Beyond a bad header (header.cpp), reading refuses a negative width or
// height, a packet list that names one channel twice (its buffer holds one
// scanline per scanline, not two), a picture over the pixel limit, channel
// buffers larger than the machine's memory, and a file whose reading fails. Writing refuses packets
// that name a channel the record lacks, or one channel twice, and a negative geometry; it leaves no
// file behind when the file cannot be written completely.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "common/machine.h"
#include "common/threads.h"
#include "picture/picture_pvt.h"

namespace kx {

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;

void refuse(ReadRefusal* why, ReadRefusal::Cause cause, const Picture& picture) {
  if (why) *why = ReadRefusal{cause, picture.width, picture.height};
}

// Decodes the scanlines on the process's pool, a window of the file at a
// time: the scanlines that lie whole in the bytes at hand are found without
// decoding them, decoded in stripes side by side, and passed; the stream
// reads on where one scanline after the other would. From a scanline that
// is cut short by the end of the file, or gives up on it, on, the rest is
// decoded one scanline after the other, where those cases are handled.
// Returns false (nothing read) with one thread or for a small picture.
bool readInStripes(PictureInStream& in, Picture& pic, const ChannelPacketList& packets,
                   size_t plane) {
  if (kx_threadsHere() <= 1 || pic.height < 2 || plane < 2 * kStripePixels) return false;
  const size_t width = static_cast<size_t>(pic.width);
  std::vector<size_t> starts;
  int y = 0;
  while (y < pic.height) {
    bool abandons = false;
    const int rows = QZ_findScanlines(in, pic.width, pic.height - y, packets, starts, &abandons);
    if (rows == 0) {
      // More of the file, unless the next scanline is damaged or the file
      // ends within it.
      if (!abandons && in.ensure(in.available() + 1)) continue;
      break;
    }
    const uint8_t* const base = in.here();
    const int stripes =
        std::min(kx_stripes(static_cast<int64_t>(rows) * pic.width, kStripePixels), rows);
    kx_parallel(stripes, [&](int i) {
      const int first = static_cast<int>(kx_stripeStart(rows, i, stripes));
      const int end = static_cast<int>(kx_stripeStart(rows, i + 1, stripes));
      PictureInStream stripe(std::span(base + starts[first], starts[end] - starts[first]));
      uint8_t* cursor[4];
      for (int c = 0; c < 4; ++c) {
        cursor[c] = pic.cursor[c] ? pic.cursor[c] + first * width : nullptr;
      }
      for (int row = first; row < end; ++row) {
        QZ_scanlineRead(stripe, pic.width, packets, cursor);
      }
    });
    in.advance(starts[rows]);
    for (int c = 0; c < 4; ++c) {
      if (pic.cursor[c]) pic.cursor[c] += rows * width;
    }
    y += rows;
  }
  for (; y < pic.height; ++y) QZ_pictureReadScanline(in, pic, packets);
  return true;
}

// Allocates the buffers that the packets name and reads every scanline.
PicturePtr readPicture(PictureInStream& in, PicturePtr picture, ChannelPacketList& packets,
                       ReadRefusal* why) {
  Picture& pic = *picture;
  if (pic.width < 0 || pic.height < 0) return nullptr;
  uint8_t named = 0;
  int count = 0;
  for (const ChannelPacket& p : packets) {
    for (int c = 0; c < 4; ++c) {
      if (!(p.mask & kChannelBits[c])) continue;
      if (named & kChannelBits[c]) return nullptr;
      named |= kChannelBits[c];
      ++count;
    }
  }
  // Checked even when no channel is named: whoever uses the picture makes
  // planes of its size.
  if (kx_overPixelLimit(pic.width, pic.height)) {
    refuse(why, ReadRefusal::Cause::tooLarge, pic);
    return nullptr;
  }
  const size_t plane = static_cast<size_t>(pic.width) * static_cast<size_t>(pic.height);
  if (plane * count > kx_physicalMemory()) {
    refuse(why, ReadRefusal::Cause::outOfMemory, pic);
    return nullptr;
  }
  try {
    for (int c = 0; c < 4; ++c) {
      if (!(named & kChannelBits[c])) continue;
      // Cleared, so that samples which a damaged file never reaches read as 0
      // rather than as whatever the memory held before.
      pic.channel[c] = QZ_allocateBuffer(plane);
      std::memset(pic.channel[c].get(), 0, plane);
      pic.cursor[c] = pic.channel[c].get();
    }
  } catch (const std::bad_alloc&) {
    refuse(why, ReadRefusal::Cause::outOfMemory, pic);
    return nullptr;
  }
  if (!readInStripes(in, pic, packets, plane)) {
    for (int y = 0; y < pic.height; ++y) QZ_pictureReadScanline(in, pic, packets);
  }
  if (in.error() != 0) {
    errno = in.error();
    return nullptr;
  }
  return picture;
}

// Codes the scanlines in chunks on the process's pool, a wave of chunks at
// a time, each into memory of its own, and writes the chunks in order;
// false (nothing written) with one thread or for a small picture. Every
// scanline is coded on its own, so the bytes are those of one scanline
// after the other.
bool writeInStripes(PictureOutStream& out, Picture& picture, const ChannelPacketList& packets) {
  const size_t width = static_cast<size_t>(std::max<int16_t>(picture.width, 0));
  const int height = picture.height;
  if (kx_threadsHere() <= 1 || height < 2 || width * height < kStripePixels) return false;
  const int rowsPerChunk = static_cast<int>(std::max<size_t>(1, kStripePixels / width));
  const int chunks = (height + rowsPerChunk - 1) / rowsPerChunk;
  // Bounded memory: a wave holds a few chunks per thread, not the file.
  const int wave = 2 * kx_threadsHere();
  std::vector<PictureOutStream> coded(static_cast<size_t>(std::min(wave, chunks)));
  uint8_t named = 0;
  for (const ChannelPacket& p : packets) named |= p.mask;
  for (int firstChunk = 0; firstChunk < chunks; firstChunk += wave) {
    const int count = std::min(wave, chunks - firstChunk);
    kx_parallel(count, [&](int i) {
      const int first = (firstChunk + i) * rowsPerChunk;
      const int end = std::min(first + rowsPerChunk, height);
      uint8_t* cursor[4];
      for (int c = 0; c < 4; ++c) {
        uint8_t* channel = picture.channel[c].get();
        cursor[c] = channel ? channel + first * width : nullptr;
      }
      coded[i].clear();
      for (int y = first; y < end; ++y) QZ_scanlineWrite(coded[i], picture.width, packets, cursor);
    });
    for (int i = 0; i < count; ++i) {
      const auto bytes = coded[i].bytes();
      out.write(bytes.data(), bytes.size());
    }
  }
  for (int c = 0; c < 4; ++c) {
    uint8_t* channel = picture.channel[c].get();
    picture.cursor[c] = channel && (named & kChannelBits[c]) ? channel + height * width : channel;
  }
  return true;
}

// Writes the header and every scanline; the caller commits the stream.
void writePicture(PictureOutStream& out, Picture& picture, ChannelPacketList& packets,
                  int compression) {
  QZ_pictureWriteStreamHeader(out, picture, packets, compression);
  if (writeInStripes(out, picture, packets)) return;
  for (int c = 0; c < 4; ++c) picture.cursor[c] = picture.channel[c].get();
  for (int y = 0; y < picture.height; ++y) QZ_pictureWriteScanline(out, picture, packets);
}

// The caller's list, or the default one when there is none.
ChannelPacketList packetsFor(const Picture& picture, const ChannelPacketList* packets,
                             int compression) {
  if (packets && !packets->empty()) return *packets;
  return QZ_defaultPackets(picture, compression);
}

}  // namespace

std::unique_ptr<uint8_t[]> QZ_allocateBuffer(size_t n) {
  return kx_largeArrayForOverwrite<uint8_t>(n);
}

// ---- Input stream ----------------------------------------------------------------

PictureInStream::PictureInStream(int fd) : fd_(fd) {}

PictureInStream::~PictureInStream() {
  if (fd_ >= 0) ::close(fd_);
}

bool PictureInStream::refill(size_t n) {
  if (fd_ < 0 || ended_) return false;
  // The unread bytes move to the front of the window; the rest of it is
  // filled from the file.
  const size_t kept = size_ - pos_;
  if (!buffer_ || capacity_ < n) {
    const size_t capacity = std::max(n, kBlockSize);
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (kept) std::memcpy(bigger.get(), data_ + pos_, kept);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
  } else if (kept && pos_) {
    std::memmove(buffer_.get(), data_ + pos_, kept);
  }
  base_ += pos_;
  pos_ = 0;
  size_ = kept;
  data_ = buffer_.get();
  while (size_ < n) {
    const ssize_t got = ::read(fd_, buffer_.get() + size_, capacity_ - size_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) error_ = errno;
      ended_ = true;
      return false;
    }
    size_ += static_cast<size_t>(got);
  }
  return true;
}

uint8_t PictureInStream::getSlow() {
  if (refill(1)) return data_[pos_++];
  eof_ = true;
  return 255;
}

// ---- Output stream ---------------------------------------------------------------

PictureOutStream::PictureOutStream() = default;

PictureOutStream::PictureOutStream(std::unique_ptr<OutFile> file) : file_(std::move(file)) {}

void PictureOutStream::makeRoom(size_t n) {
  if (file_ && used_ > 0) {
    file_->write(buffer_.get(), used_);
    used_ = 0;
    if (capacity_ >= n) return;
  }
  size_t capacity = std::max(capacity_ * 2, file_ ? kBlockSize : size_t{4096});
  while (capacity - used_ < n) capacity *= 2;
  auto bigger = QZ_allocateBuffer(capacity);
  if (used_) std::memcpy(bigger.get(), buffer_.get(), used_);
  buffer_ = std::move(bigger);
  capacity_ = capacity;
}

void PictureOutStream::write(const void* data, size_t n) {
  if (n == 0) return;  // an empty span may have no storage at all
  uint8_t* p = reserve(n);
  std::memcpy(p, data, n);
  used_ += n;
}

uint8_t* PictureOutStream::scratch(size_t n) {
  if (scratch_.size() < n) scratch_.resize(n);
  return scratch_.data();
}

bool PictureOutStream::finish() {
  if (!file_) return true;
  if (used_) file_->write(buffer_.get(), used_);
  used_ = 0;
  return file_->commit();
}

// ---- Whole pictures --------------------------------------------------------------

std::unique_ptr<PictureInStream> QZ_pictureReadFileHeader(const std::string& name, Picture& picture,
                                                          ChannelPacketList* packets) {
  const int fd = ::open(QZ_pictureFileName(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto in = std::make_unique<PictureInStream>(fd);
  ChannelPacketList local;
  if (!QZ_pictureReadStreamHeader(*in, picture, packets ? *packets : local)) return nullptr;
  return in;
}

PicturePtr QZ_pictureReadFile(const std::string& name, ReadRefusal* why) {
  if (why) *why = ReadRefusal{};
  PicturePtr picture = QZ_pictureAllocate();
  if (!picture) {
    if (why) why->cause = ReadRefusal::Cause::outOfMemory;
    return nullptr;
  }
  ChannelPacketList packets;
  std::unique_ptr<PictureInStream> in;
  try {
    in = QZ_pictureReadFileHeader(name, *picture, &packets);
  } catch (const std::bad_alloc&) {
    if (why) why->cause = ReadRefusal::Cause::outOfMemory;
    return nullptr;
  }
  if (!in) return nullptr;
  return readPicture(*in, std::move(picture), packets, why);
}

PicturePtr QZ_pictureReadMemory(std::span<const uint8_t> bytes, ReadRefusal* why) {
  if (why) *why = ReadRefusal{};
  PicturePtr picture = QZ_pictureAllocate();
  if (!picture) return nullptr;
  PictureInStream in(bytes);
  ChannelPacketList packets;
  if (!QZ_pictureReadStreamHeader(in, *picture, packets)) return nullptr;
  return readPicture(in, std::move(picture), packets, why);
}

int QZ_pictureWritePath(const std::string& path, Picture& picture, const ChannelPacketList* packets,
                        int compression) {
  ChannelPacketList list = packetsFor(picture, packets, compression);
  if (!QZ_packetsFitPicture(picture, list)) {
    errno = EINVAL;
    return 0;
  }
  auto file = OutFile::create(path);
  if (!file) return 0;
  PictureOutStream out(std::move(file));
  writePicture(out, picture, list, compression);
  return out.finish() ? 1 : 0;
}

int QZ_pictureWriteFile(const std::string& name, Picture& picture, const ChannelPacketList* packets,
                        int compression) {
  return QZ_pictureWritePath(QZ_pictureFileName(name), picture, packets, compression);
}

bool QZ_pictureWriteMemory(Picture& picture, const ChannelPacketList* packets, int compression,
                           std::vector<uint8_t>& bytes) {
  ChannelPacketList list = packetsFor(picture, packets, compression);
  if (!QZ_packetsFitPicture(picture, list)) {
    errno = EINVAL;
    return false;
  }
  PictureOutStream out;
  writePicture(out, picture, list, compression);
  const auto written = out.bytes();
  bytes.assign(written.begin(), written.end());
  return true;
}

}  // namespace kx
