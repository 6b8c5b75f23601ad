// Whole-picture read and write: header, channel buffers, every scanline.
//
// A picture file is loaded into memory in one piece and decoded from there,
// and written by encoding into a buffer that goes to the file in blocks of
// about a megabyte; byte-at-a-time stream calls would cost several times the
// decoding itself. The layout is described in header.cpp and scanline.cpp.
//
// Beyond a bad header (header.cpp), reading refuses a negative width or
// height, a packet list that names one channel twice (its buffer holds one
// scanline per scanline, not two) and channel buffers larger than the
// machine's memory. Writing refuses packets that name a channel the record
// lacks, or one channel twice, and a negative geometry; it leaves no file
// behind when the file cannot be written completely.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "picture/picture_pvt.h"

namespace kx {

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

// Physical memory of the machine; channel buffers beyond it could only be
// paged to death, so such a header is refused like a failed allocation.
size_t physicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return SIZE_MAX;
  return static_cast<size_t>(pages) * static_cast<size_t>(pageSize);
}

// The whole file in memory; null with errno set when it cannot be read.
std::unique_ptr<PictureInStream> loadFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  size_t capacity =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
  capacity = capacity + 1;  // one more byte shows the end without a second pass
  std::unique_ptr<uint8_t[]> data;
  size_t used = 0;
  try {
    data = QZ_allocateBuffer(capacity);
    for (;;) {
      if (used == capacity) {  // the file grew, or is not a regular file
        auto bigger = QZ_allocateBuffer(capacity * 2);
        std::memcpy(bigger.get(), data.get(), used);
        data = std::move(bigger);
        capacity *= 2;
      }
      const ssize_t got = ::read(fd, data.get() + used, capacity - used);
      if (got < 0) {
        if (errno == EINTR) continue;
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
      }
      if (got == 0) break;
      used += static_cast<size_t>(got);
    }
  } catch (const std::bad_alloc&) {
    ::close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  ::close(fd);
  return std::make_unique<PictureInStream>(std::move(data), used);
}

// Allocates the buffers that the packets name and reads every scanline.
PicturePtr readPicture(PictureInStream& in, PicturePtr picture, ChannelPacketList& packets) {
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
  const size_t plane = static_cast<size_t>(pic.width) * static_cast<size_t>(pic.height);
  if (plane * count > physicalMemory()) return nullptr;
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
    return nullptr;
  }
  for (int y = 0; y < pic.height; ++y) QZ_pictureReadScanline(in, pic, packets);
  return picture;
}

// Writes the header and every scanline; the caller commits the stream.
void writePicture(PictureOutStream& out, Picture& picture, ChannelPacketList& packets,
                  int compression) {
  QZ_pictureWriteStreamHeader(out, picture, packets, compression);
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
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(n);
  if (n >= 2 * kHugePage) {
    const auto start = reinterpret_cast<uintptr_t>(buffer.get());
    const uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (start + n) & ~(kHugePage - 1);
    // Only a hint: where it fails the buffer is simply made of small pages.
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  return buffer;
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
  auto in = loadFile(QZ_pictureFileName(name));
  if (!in) return nullptr;
  ChannelPacketList local;
  if (!QZ_pictureReadStreamHeader(*in, picture, packets ? *packets : local)) return nullptr;
  return in;
}

PicturePtr QZ_pictureReadFile(const std::string& name) {
  PicturePtr picture = QZ_pictureAllocate();
  if (!picture) return nullptr;
  ChannelPacketList packets;
  auto in = QZ_pictureReadFileHeader(name, *picture, &packets);
  if (!in) return nullptr;
  return readPicture(*in, std::move(picture), packets);
}

PicturePtr QZ_pictureReadMemory(std::span<const uint8_t> bytes) {
  PicturePtr picture = QZ_pictureAllocate();
  if (!picture) return nullptr;
  PictureInStream in(bytes);
  ChannelPacketList packets;
  if (!QZ_pictureReadStreamHeader(in, *picture, packets)) return nullptr;
  return readPicture(in, std::move(picture), packets);
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
