// Big-endian reads, writes and seeks within the data fork of an open
// Macintosh file. Every number is moved most significant byte first.
//
// The I/O count measures the bytes of the current PICT opcode: it is reset by
// the caller or by an absolute seek, blocks and writes add their length only
// when they succeed, and the number reads add their size even when they fail
// (the caller checks MacError() instead of the value).
//
// The PICT reader calls these once or more per picture row, so they go
// straight to the stream's buffer (the unlocked stdio calls: one Macintosh
// file is used by one thread).
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "macfile/macfile.h"

namespace kx {

namespace {

// The count is a 32-bit counter; it wraps rather than overflowing.
inline void addCount(MacFile& f, uint64_t n) {
  f.ioCount = static_cast<int32_t>(static_cast<uint32_t>(f.ioCount) + static_cast<uint32_t>(n));
}

inline void readFailed(const MacFile& f) {
  MacSetError(kMacReadError, f.name);
}
inline void writeFailed(const MacFile& f) {
  MacSetError(kMacWriteError, f.name);
}
inline void seekFailed(const MacFile& f) {
  MacSetError(f.mode == 'w' ? kMacWriteError : kMacReadError, f.name);
}

inline bool readBytes(MacFile& f, void* buffer, size_t length) {
  std::FILE* s = f.stream.get();
  return s && fread_unlocked(buffer, 1, length, s) == length;
}

inline bool writeBytes(MacFile& f, const void* buffer, size_t length) {
  std::FILE* s = f.stream.get();
  return s && fwrite_unlocked(buffer, 1, length, s) == length;
}

}  // namespace

int MacRead(MacFile& f, void* buffer, size_t length) {
  if (!readBytes(f, buffer, length)) {
    readFailed(f);
    return -1;
  }
  addCount(f, length);
  return 0;
}

int MacReadNumbers(MacFile& f, void* buffer, size_t length) {
  // The numbers stay big-endian, as in the file: callers convert each field
  // by its own width.
  return MacRead(f, buffer, length);
}

uint32_t MacReadLong(MacFile& f) {
  uint8_t b[4];
  const bool ok = readBytes(f, b, 4);
  addCount(f, 4);
  if (!ok) {
    readFailed(f);
    return 0;
  }
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

uint16_t MacReadShort(MacFile& f) {
  std::FILE* s = f.stream.get();
  addCount(f, 2);
  if (!s) {
    readFailed(f);
    return 0;
  }
  const int hi = getc_unlocked(s);
  const int lo = getc_unlocked(s);
  if (hi == EOF || lo == EOF) {
    readFailed(f);
    return 0;
  }
  return static_cast<uint16_t>((hi << 8) | lo);
}

uint8_t MacReadByte(MacFile& f) {
  std::FILE* s = f.stream.get();
  addCount(f, 1);
  const int c = s ? getc_unlocked(s) : EOF;
  if (c == EOF) {
    readFailed(f);
    return 0;
  }
  return static_cast<uint8_t>(c);
}

int MacWrite(MacFile& f, const void* buffer, size_t length) {
  if (!writeBytes(f, buffer, length)) {
    writeFailed(f);
    return -1;
  }
  addCount(f, length);
  return 0;
}

int MacWriteNumbers(MacFile& f, const void* buffer, size_t length) {
  return MacWrite(f, buffer, length);
}

int MacWriteLong(MacFile& f, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                        static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return MacWrite(f, b, 4);
}

int MacWriteShort(MacFile& f, uint32_t value) {
  const uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return MacWrite(f, b, 2);
}

int MacWriteByte(MacFile& f, uint32_t value) {
  const uint8_t b = static_cast<uint8_t>(value);
  return MacWrite(f, &b, 1);
}

int MacSkip(MacFile& f, int32_t n) {
  if (n <= 0) return 0;
  std::FILE* s = f.stream.get();
  if (!s || fseeko(s, n, SEEK_CUR) != 0) {
    seekFailed(f);
    return -1;
  }
  addCount(f, static_cast<uint64_t>(n));
  return 0;
}

int MacSkipTo(MacFile& f, int64_t position) {
  std::FILE* s = f.stream.get();
  const int64_t start = f.dataStart;
  const int64_t target = position > INT64_MAX - start ? -1 : start + position;
  if (!s || target < 0 || fseeko(s, static_cast<off_t>(target), SEEK_SET) != 0) {
    seekFailed(f);
    return -1;
  }
  f.ioCount = 0;
  return 0;
}

int64_t MacBytesLeft(MacFile& f) {
  std::FILE* s = f.stream.get();
  struct stat st;
  if (!s || fstat(fileno(s), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const off_t here = ftello(s);
  if (here < 0) return -1;
  return here < st.st_size ? static_cast<int64_t>(st.st_size - here) : 0;
}

void MacResetIOCount(MacFile& f) {
  f.ioCount = 0;
}

int32_t MacGetIOCount(const MacFile& f) {
  return f.ioCount;
}

}  // namespace kx
