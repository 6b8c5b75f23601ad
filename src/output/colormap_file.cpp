// Colormap files: a palette kept so that later runs can impose it.
//
// Binary colormap file (.clm), all integers big-endian:
//
//   offset  size        field
//        0     4        "CMAP"           magic (not checked when reading)
//        4     4        "0100"           version (not checked when reading)
//        8     2        colour count     signed; 1 to 32767
//       10     2        bits             signed; bits per stored value, 1 to 16
//       12     4        0                reserved
//       16     6/entry  red, green, blue unsigned 16-bit each, entry 0 first
//
// ASCII colormap file (.cla), lines ending in a line feed:
//
//   <count> <bits>
//   <index> <red> <green> <blue>     one line per entry; the index is not used
//
// and read as fscanf's "%d %d" reads it: decimal numbers separated by any
// white space, so the line breaks are not needed ("2 8 0 1 2 3 1 4 5 6" on
// one line is the same colormap).
//
// Stored values are the 8-bit samples scaled to `bits` bits, in double
// precision and truncated: stored = trunc(sample * (2^bits - 1) / 255) when
// -b was given (else the sample itself), sample = trunc(stored * 255 /
// (2^bits - 1)) when the file's bits differ from 8. A conversion (-T) copies
// the stored values unchanged.
//
// Refused when reading, with a message naming the file: a file shorter than
// its header or than its entries, a colour count below 1, bits of 0 or above
// 16, a stored value above 2^bits - 1, ASCII text where a number is due,
// more than 1 MiB of ASCII text before the last entry used, and more than 256
// entries once -n is applied (palette indices are written as one byte).
// Nothing after the entries used is read. Every failure is an Error whose
// message is kxreduce's (see output.h).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/outfile.h"
#include "output/output.h"

namespace kx {

namespace {

constexpr int kMaxIndexedColors = 256;
constexpr size_t kHeaderBytes = 16;
constexpr size_t kEntryBytes = 6;
// Text an ASCII colormap may take up to its last color used: 256 entries of
// four numbers fit in a few kilobytes, so this leaves room for any layout.
constexpr size_t kMaxTextBytes = size_t{1} << 20;

// "can't read colormap x.clm, exit...", printed without "Error: ".
Error cannotOpen(const std::string& what, const std::string& path) {
  return Error(ErrorCode::cannotOpen, what + " " + path + ", exit...", errno);
}

Error failed(const std::string& what) {
  return Error(ErrorCode::badFile, what);
}

Status commitOrFail(OutFile& file) {
  if (!file.commit()) {
    const int error = file.error() ? file.error() : errno;
    return Error(ErrorCode::cannotWrite,
                 std::string(std::strerror(error)) + " , Can't write " + file.path(), error);
  }
  return {};
}

uint32_t largestStored(int bits) {
  return (uint32_t{1} << bits) - 1;
}

// The stored value of an 8-bit sample.
uint32_t toStored(uint8_t sample, const ColormapFormat& format) {
  if (!format.bitsGiven) return sample;
  const double scale = (std::pow(2.0, format.bits) - 1.0) / 255.0;
  return static_cast<uint32_t>(sample * scale);
}

// The 8-bit sample of a stored value at `bits` bits.
uint8_t toSample(uint32_t stored, int bits) {
  if (bits == 8) return static_cast<uint8_t>(stored);
  const double scale = 255.0 / (std::pow(2.0, bits) - 1.0);
  return static_cast<uint8_t>(static_cast<uint32_t>(stored * scale));
}

Status checkWritable(const std::string& path, const Colormap& colormap,
                     const ColormapFormat& format) {
  if (format.colors < 0 || static_cast<size_t>(format.colors) > colormap.size() ||
      format.colors > 0x7FFF) {
    return failed("cannot write colormap " + path + ": " + std::to_string(format.colors) +
                  " colors asked of a palette of " + std::to_string(colormap.size()));
  }
  // Colormap files hold 16-bit values and are read back only up to 16 bits.
  if (format.bits < 1 || format.bits > 16) {
    return failed("cannot write colormap " + path + " with " + std::to_string(format.bits) +
                  " bits per channel (1 to 16 can be stored)");
  }
  return {};
}

// The whole file, or nothing when it cannot be opened. `limit` bounds what
// is read: nothing past it can matter.
Result<std::optional<std::vector<uint8_t>>> readFile(const std::string& path, size_t limit) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::optional<std::vector<uint8_t>>();
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  while (bytes.size() < limit) {
    const size_t want = std::min(sizeof chunk, limit - bytes.size());
    const size_t got = std::fread(chunk, 1, want, f);
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (got < want) break;
  }
  const bool broken = std::ferror(f) != 0;
  const int error = errno;
  std::fclose(f);
  if (broken) {
    return Error(ErrorCode::cannotRead,
                 std::string(std::strerror(error)) + " , Can't read " + path);
  }
  return std::optional<std::vector<uint8_t>>(std::move(bytes));
}

// Checks the header values and applies the -n limit; returns the number of
// entries to read.
Result<int> entriesToRead(const std::string& path, long fileCount, long bits,
                          const ColormapReading& reading) {
  if (fileCount < 1 || fileCount > 0x7FFF) {
    return failed("colormap " + path + " gives " + std::to_string(fileCount) +
                  " colors (1 to 32767 can be read)");
  }
  if (bits < 1 || bits > 16) {
    return failed("colormap " + path + " gives " + std::to_string(bits) +
                  " bits per channel (1 to 16 can be read)");
  }
  int count = static_cast<int>(fileCount);
  if (reading.colorLimit > 0 && reading.colorLimit < count) count = reading.colorLimit;
  if (count > kMaxIndexedColors) {
    return failed("colormap " + path + " has " + std::to_string(count) +
                  " colors, more than the 256 that one-byte indices can hold; use -n 256 to take "
                  "its first 256");
  }
  return count;
}

Status checkStored(const std::string& path, int entry, long value, int bits) {
  if (value < 0 || value > static_cast<long>(largestStored(bits))) {
    return failed("colormap " + path + ", color " + std::to_string(entry) + ": value " +
                  std::to_string(value) + " does not fit " + std::to_string(bits) + " bits");
  }
  return {};
}

struct StoredEntry {
  uint32_t red, green, blue;
};

Colormap toColormap(const std::vector<StoredEntry>& stored, int bits) {
  Colormap colormap(stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    colormap[i].red = toSample(stored[i].red, bits);
    colormap[i].green = toSample(stored[i].green, bits);
    colormap[i].blue = toSample(stored[i].blue, bits);
  }
  return colormap;
}

// The numbers of an ASCII colormap, read as fscanf's "%d" reads them: white
// space of any kind (line ends included) before each, an optional sign, then
// digits up to the first non-digit. Only the numbers the colormap needs are
// read, and no more than kMaxTextBytes of text: a file that has not given
// them by then (white space without end, /dev/zero) is refused.
class NumberReader {
 public:
  NumberReader(std::FILE* file, const std::string& path) : file_(file), path_(path) {}

  // The next number, or false when something else (or the end, or a
  // failure: see error()) comes first.
  bool next(long& value) {
    int c = get();
    while (c != EOF && std::isspace(c)) c = get();
    line_ = lines_;
    bool negative = false;
    if (c == '-' || c == '+') {
      negative = c == '-';
      c = get();
    }
    if (c == EOF || !std::isdigit(c)) return false;
    long v = 0;
    constexpr long kLarge = 1L << 40;  // beyond every field's range: refused there
    while (c != EOF && std::isdigit(c)) {
      v = std::min(v * 10 + (c - '0'), kLarge);
      c = get();
    }
    if (error_) return false;
    if (c != EOF) {
      std::ungetc(c, file_);
      --read_;
      if (c == '\n') --lines_;
    }
    value = negative ? -v : v;
    return true;
  }
  // The line the last number began on (or where one was missing), from 1.
  int line() const { return line_; }
  bool atEnd() const { return std::feof(file_) != 0; }
  // Why the text stopped, when it was not the text itself.
  const std::optional<Error>& error() const { return error_; }

 private:
  int get() {
    if (error_) return EOF;
    if (read_ == kMaxTextBytes) {
      error_ =
          failed("ASCII colormap " + path_ + " holds more than " + std::to_string(kMaxTextBytes) +
                 " bytes of text before its last color; no colormap is that long");
      return EOF;
    }
    const int c = std::getc(file_);
    if (c == EOF) {
      if (std::ferror(file_)) {
        error_ = Error(ErrorCode::cannotRead,
                       std::string(std::strerror(errno)) + " , Can't read " + path_);
      }
      return EOF;
    }
    ++read_;
    if (c == '\n') ++lines_;
    return c;
  }

  std::FILE* file_;
  const std::string& path_;
  size_t read_ = 0;
  int lines_ = 1;
  int line_ = 1;
  std::optional<Error> error_;
};

// The 16-byte header of a binary colormap file.
void putBinaryHeader(ByteWriter& w, int count, int bits) {
  w.bytes("CMAP", 4);
  w.bytes("0100", 4);
  w.u16(static_cast<uint32_t>(count));
  w.u16(static_cast<uint32_t>(bits));
  w.u32(0);
}

Status writeBinaryFile(const std::string& path, int count, int bits,
                       const std::vector<StoredEntry>& stored, const std::string& openFailure) {
  std::unique_ptr<OutFile> file = OutFile::create(path);
  if (!file) return cannotOpen(openFailure, path);
  std::vector<uint8_t> bytes;
  ByteWriter w(bytes);
  putBinaryHeader(w, count, bits);
  for (const StoredEntry& e : stored) {
    w.u16(e.red);
    w.u16(e.green);
    w.u16(e.blue);
  }
  file->write(bytes.data(), bytes.size());
  return commitOrFail(*file);
}

Status writeAsciiFile(const std::string& path, int count, int bits,
                      const std::vector<StoredEntry>& stored, const std::string& openFailure) {
  std::unique_ptr<OutFile> file = OutFile::create(path);
  if (!file) return cannotOpen(openFailure, path);
  char line[64];
  std::snprintf(line, sizeof line, "%d %d\n", count, bits);
  file->text(line);
  for (size_t i = 0; i < stored.size(); ++i) {
    std::snprintf(line, sizeof line, "%zu %u %u %u\n", i, stored[i].red, stored[i].green,
                  stored[i].blue);
    file->text(line);
  }
  return commitOrFail(*file);
}

Result<std::vector<StoredEntry>> storedOf(const std::string& path, const Colormap& colormap,
                                          const ColormapFormat& format) {
  if (Status writable = checkWritable(path, colormap, format); !writable) return writable.error();
  std::vector<StoredEntry> stored(format.colors);
  for (int i = 0; i < format.colors; ++i) {
    stored[i] = StoredEntry{toStored(colormap[i].red, format), toStored(colormap[i].green, format),
                            toStored(colormap[i].blue, format)};
  }
  return stored;
}

Result<ColormapFile> readBinary(const std::string& name, const ColormapReading& reading) {
  const std::string path = name + ".clm";
  // No more entries than a palette holds are ever used (-n cuts larger
  // counts to at most 256; without it they are refused).
  auto read = readFile(path, kHeaderBytes + kEntryBytes * kMaxIndexedColors);
  if (!read) return read.error();
  if (!*read) return cannotOpen("can't read colormap", path);
  const std::vector<uint8_t>& bytes = **read;
  ByteReader r(bytes);
  ColormapFileHeader h;
  if (!r.bytes(reinterpret_cast<uint8_t*>(h.magic), 4) ||
      !r.bytes(reinterpret_cast<uint8_t*>(h.version), 4) || !r.s16(h.colors) || !r.s16(h.bits) ||
      !r.u32(h.reserved)) {
    return failed("colormap " + path + " is too short: " + std::to_string(bytes.size()) +
                  " bytes, its header alone takes 16");
  }
  const Result<int> count = entriesToRead(path, h.colors, h.bits, reading);
  if (!count) return count.error();
  if (r.remaining() < kEntryBytes * *count) {
    return failed("colormap " + path + " is too short: " + std::to_string(*count) +
                  " colors need " + std::to_string(kHeaderBytes + kEntryBytes * *count) +
                  " bytes, it has " + std::to_string(bytes.size()));
  }
  std::vector<StoredEntry> stored(*count);
  for (int i = 0; i < *count; ++i) {
    uint16_t v[3] = {0, 0, 0};
    // The length was checked above, so these reads cannot fail.
    r.u16(v[0]);
    r.u16(v[1]);
    r.u16(v[2]);
    for (uint16_t value : v) {
      if (Status fits = checkStored(path, i, value, h.bits); !fits) return fits.error();
    }
    stored[i] = StoredEntry{v[0], v[1], v[2]};
  }
  h.colors = static_cast<int16_t>(*count);
  if (reading.transform) {
    Status converted =
        writeAsciiFile(name + ".cla", *count, h.bits, stored, "can't create ASCII colormap");
    if (!converted) return converted.error();
  }
  return ColormapFile{toColormap(stored, h.bits), h};
}

Result<ColormapFile> readAscii(const std::string& name, const ColormapReading& reading) {
  const std::string path = name + ".cla";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return cannotOpen("can't read ASCII colormap", path);
  NumberReader in(file.get(), path);
  // What the reader met instead of the number due.
  auto missing = [&](const std::string& expected) -> Error {
    if (in.error()) return *in.error();
    return failed("ASCII colormap " + path + ", line " + std::to_string(in.line()) +
                  ": expected \"" + expected + "\"");
  };
  long fileCount = 0, fileBits = 0;
  if (!in.next(fileCount)) {
    if (!in.error() && in.atEnd()) return failed("ASCII colormap " + path + " is empty");
    return missing("<colors> <bits>");
  }
  if (!in.next(fileBits)) return missing("<colors> <bits>");
  const Result<int> count = entriesToRead(path, fileCount, fileBits, reading);
  if (!count) return count.error();
  const int bits = static_cast<int>(fileBits);

  std::vector<StoredEntry> stored(*count);
  for (int i = 0; i < *count; ++i) {
    // The index, then red, green and blue; the index is not used: entries
    // are taken in file order.
    long numbers[4];
    for (long& number : numbers) {
      if (in.next(number)) continue;
      if (!in.error() && in.atEnd()) {
        return failed("ASCII colormap " + path + " ends after " + std::to_string(i) + " of its " +
                      std::to_string(*count) + " colors");
      }
      return missing("<index> <red> <green> <blue>");
    }
    for (int c = 1; c <= 3; ++c) {
      if (Status fits = checkStored(path, i, numbers[c], bits); !fits) return fits.error();
    }
    stored[i] = StoredEntry{static_cast<uint32_t>(numbers[1]), static_cast<uint32_t>(numbers[2]),
                            static_cast<uint32_t>(numbers[3])};
  }
  file.reset();
  if (reading.transform) {
    Status converted =
        writeBinaryFile(name + ".clm", *count, bits, stored, "can't create colormap");
    if (!converted) return converted.error();
  }
  ColormapFile read{toColormap(stored, bits), ColormapFileHeader{}};
  read.header.colors = static_cast<int16_t>(*count);
  read.header.bits = static_cast<int16_t>(bits);
  return read;
}

// Running out of memory is an Error like every other failure.
template <typename F>
auto orOutOfMemory(const std::string& path, F f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for colormap " + path);
  }
}

}  // namespace

Status kx_writeColorMap(const std::string& name, const Colormap& colormap,
                        const ColormapFormat& format) {
  const std::string path = name + ".clm";
  return orOutOfMemory(path, [&]() -> Status {
    const Result<std::vector<StoredEntry>> stored = storedOf(path, colormap, format);
    if (!stored) return stored.error();
    return writeBinaryFile(path, format.colors, format.bits, *stored, "can't create colormap");
  });
}

Status kx_writeASCIIColorMap(const std::string& name, const Colormap& colormap,
                             const ColormapFormat& format) {
  const std::string path = name + ".cla";
  return orOutOfMemory(path, [&]() -> Status {
    const Result<std::vector<StoredEntry>> stored = storedOf(path, colormap, format);
    if (!stored) return stored.error();
    return writeAsciiFile(path, format.colors, format.bits, *stored, "can't create colormap");
  });
}

Result<ColormapFile> kx_readColorMap(const std::string& name, const ColormapReading& reading) {
  return orOutOfMemory(name + ".clm", [&] { return readBinary(name, reading); });
}

Result<ColormapFile> kx_readASCIIColorMap(const std::string& name, const ColormapReading& reading) {
  return orOutOfMemory(name + ".cla", [&] { return readAscii(name, reading); });
}

}  // namespace kx
