// Private pieces of the picture-file library: the in-memory streams that the
// header and scanline operations work on, and those operations themselves.
// The byte layout of the file is described in header.cpp (header and packet
// list) and scanline.cpp (scanline segments).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/outfile.h"
#include "picture/picture.h"

namespace kx {

// The version written into every file is QZ_versionTable[QZ_VERSION].
extern const float QZ_versionTable[4];

constexpr uint32_t kPictIdentifier = 0x50494354;  // "PICT"
constexpr size_t kBinaryHeaderSize = 88;          // magic, version, comment
constexpr size_t kCommentSize = 80;
constexpr size_t kHeaderFixedSize = 104;  // up to the packet list
constexpr uint8_t kChannelBits[4] = {0x80, 0x40, 0x20, 0x10};
// The longest packet list read. Four channels, each named once, need at most
// four packets; the others can only carry nothing, yet each costs a pass over
// every scanline (a million of them made a 4 MB file decode for minutes).
constexpr size_t kMaxPackets = 8;

// A buffer of n bytes, not cleared. Large ones are backed by huge pages
// where the kernel allows it: touching a fresh picture-sized buffer 4 KB page
// by page can cost more than decoding into it.
std::unique_ptr<uint8_t[]> QZ_allocateBuffer(size_t n);

// Input stream over a picture file: the bytes of a file held in memory, or
// a file read block by block, so that only the bytes the decoders consume
// are ever read (a header that is refused costs one block, and a file larger
// than its picture needs is not read to its end). It answers like a C stream
// read byte by byte, which is what decoders of existing files rely on: a
// read past the end yields 255 (EOF stored into a sample byte) and raises
// the end-of-file flag; only a seek clears the flag again.
class PictureInStream {
 public:
  explicit PictureInStream(std::span<const uint8_t> bytes)
      : data_(bytes.data()), size_(bytes.size()) {}
  // Reads the open file descriptor, which the stream closes.
  explicit PictureInStream(int fd);
  ~PictureInStream();
  PictureInStream(const PictureInStream&) = delete;
  PictureInStream& operator=(const PictureInStream&) = delete;

  uint8_t get() {
    if (pos_ < size_) return data_[pos_++];
    return getSlow();
  }
  // All-or-nothing read of n bytes (header fields); false when fewer are left.
  bool read(uint8_t* out, size_t n);
  bool eof() const { return eof_; }
  // Makes at least n bytes available at here(); false when the file has
  // fewer left (what there is is still available).
  bool ensure(size_t n) { return size_ - pos_ >= n || refill(n); }
  // Bytes available at here() without reading more of the file.
  size_t available() const { return size_ - pos_; }
  const uint8_t* here() const { return data_ + pos_; }
  void advance(size_t n) { pos_ += n; }  // n <= available()
  // Bytes consumed from the start of the file.
  size_t position() const { return base_ + pos_; }
  // Where an abandoned scanline leaves the stream: every later read meets the
  // end of the file (the rest of a file is not read). Like fseek, this clears
  // the end-of-file flag.
  void seekEnd() {
    base_ += size_;
    pos_ = size_ = 0;
    ended_ = true;
    eof_ = false;
  }
  // The errno of a failed read of the file, 0 when none failed (a failed
  // read ends the stream like the end of the file).
  int error() const { return error_; }

 private:
  bool refill(size_t n);
  uint8_t getSlow();

  int fd_ = -1;
  std::unique_ptr<uint8_t[]> buffer_;  // the window of a file
  size_t capacity_ = 0;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;     // bytes in the window (or in memory)
  size_t pos_ = 0;      // next byte of the window
  size_t base_ = 0;     // file offset of the window's first byte
  bool ended_ = false;  // nothing more to read from the file
  bool eof_ = false;
  int error_ = 0;
};

// Output stream for picture files. Coders reserve room for a whole segment,
// write it with plain pointer stores and commit the new end. With a file the
// bytes go out in blocks of about a megabyte; without one they all stay in
// memory (bytes()).
class PictureOutStream {
 public:
  PictureOutStream();
  explicit PictureOutStream(std::unique_ptr<OutFile> file);

  // Room for at least n more bytes; the caller writes them and hands the end
  // of what it wrote to commit().
  uint8_t* reserve(size_t n) {
    if (capacity_ - used_ < n) makeRoom(n);
    return buffer_.get() + used_;
  }
  void commit(uint8_t* end) { used_ = static_cast<size_t>(end - buffer_.get()); }
  void write(const void* data, size_t n);

  // Forgets the bytes of an in-memory stream, keeping its memory.
  void clear() { used_ = 0; }

  // Scratch space for the coders (one byte per pixel of a scanline).
  uint8_t* scratch(size_t n);

  // Flushes and, with a file, commits it. False (errno set) when a write
  // failed; the file is then removed.
  bool finish();
  // The bytes of an in-memory stream.
  std::span<const uint8_t> bytes() const { return {buffer_.get(), used_}; }

 private:
  void makeRoom(size_t n);

  std::unique_ptr<OutFile> file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_ = 0;
  size_t used_ = 0;
  std::vector<uint8_t> scratch_;
};

// ---- Header ---------------------------------------------------------------

// Writes the 88-byte binary header; a null comment writes "No comment...".
int QZ_headerWriteBinary(PictureOutStream& out, const char* comment);
// Reads the binary header and the identifier that follows it. 0 when the
// magic number is out of range or the file is too short; otherwise the
// identifier (kPictIdentifier for a picture file). version and comment (80
// bytes) are filled when not null. Prints the version warning for files newer
// than this library.
uint32_t QZ_headerReadBinary(PictureInStream& in, float* version, char* comment);

// The default packet list: red, green and blue in one packet, alpha in a
// second one when the record has an alpha buffer.
ChannelPacketList QZ_defaultPackets(const Picture& picture, int compression);

// True when every packet names only channels that the record has, and no
// channel twice, and the geometry is not negative: then the scanline
// operations stay inside the buffers.
bool QZ_packetsFitPicture(const Picture& picture, const ChannelPacketList& packets);

// Writes the header and packet list of the record; an empty list is first
// replaced by the default list built from the compression.
void QZ_pictureWriteStreamHeader(PictureOutStream& out, const Picture& picture,
                                 ChannelPacketList& packets, int compression);
// Reads the header and packet list into the record and the list; false when
// it is not a readable picture file header (the list is then empty).
bool QZ_pictureReadStreamHeader(PictureInStream& in, Picture& picture, ChannelPacketList& packets);

// Creates the file (name completed by QZ_pictureFileName) and writes the
// header. Null when the packets do not fit the record (errno EINVAL) or the
// file cannot be created (errno from the system).
std::unique_ptr<PictureOutStream> QZ_pictureWriteFileHeader(const std::string& name,
                                                            const Picture& picture,
                                                            ChannelPacketList* packets,
                                                            int compression);
// Opens the file (name completed by QZ_pictureFileName) and reads its header.
// The stream returned stands at the first scanline; null when the file cannot
// be read or its header is not a picture file header.
std::unique_ptr<PictureInStream> QZ_pictureReadFileHeader(const std::string& name, Picture& picture,
                                                          ChannelPacketList* packets);

// ---- Scanlines ------------------------------------------------------------

// One scanline, one segment per packet; the cursors of every packet's
// channels advance by width. Always 1.
int QZ_pictureWriteScanline(PictureOutStream& out, Picture& picture,
                            const ChannelPacketList& packets);
int QZ_pictureReadScanline(PictureInStream& in, Picture& picture, const ChannelPacketList& packets);
// The same with cursors of their own (red, green, blue, alpha), which
// advance as the record's do.
void QZ_scanlineWrite(PictureOutStream& out, int16_t width, const ChannelPacketList& packets,
                      uint8_t* cursor[4]);
void QZ_scanlineRead(PictureInStream& in, int16_t width, const ChannelPacketList& packets,
                     uint8_t* cursor[4]);
// How many of the next `rows` scanlines lie whole in the bytes available at
// in.here(), found by walking their segments without decoding them; starts
// receives where each of them begins and where the last one ends, counted
// from in.here(). The walk stops at the first scanline cut short by the end
// of the available bytes, and at one holding a packet that does not fit the
// scanline (*abandons set): decoding that one gives up on the file.
int QZ_findScanlines(const PictureInStream& in, int16_t width, int rows,
                     const ChannelPacketList& packets, std::vector<size_t>& starts, bool* abandons);

// Coders and decoders of one segment: n channels (0 to 4), samples[c] is the
// first sample of this scanline in channel c.
void QZ_scanlineWriteUncompressed(PictureOutStream& out, int16_t width, int n,
                                  const uint8_t* const samples[]);
void QZ_scanlineWritePureRunLength(PictureOutStream& out, int16_t width, int n,
                                   const uint8_t* const samples[]);
void QZ_scanlineWriteMixedRunLength(PictureOutStream& out, int16_t width, int n,
                                    const uint8_t* const samples[]);
void QZ_scanlineReadUncompressed(PictureInStream& in, int16_t width, int n,
                                 uint8_t* const samples[]);
void QZ_scanlineReadPureRunLength(PictureInStream& in, int16_t width, int n,
                                  uint8_t* const samples[]);
void QZ_scanlineReadMixedRunLength(PictureInStream& in, int16_t width, int n,
                                   uint8_t* const samples[]);

}  // namespace kx
