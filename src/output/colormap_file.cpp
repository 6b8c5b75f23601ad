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
// Nothing after the entries used is read.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/messages.h"
#include "output/output.h"

namespace kx {

namespace {

constexpr int kMaxIndexedColors = 256;
constexpr size_t kHeaderBytes = 16;
constexpr size_t kEntryBytes = 6;
// Text an ASCII colormap may take up to its last color used: 256 entries of
// four numbers fit in a few kilobytes, so this leaves room for any layout.
constexpr size_t kMaxTextBytes = size_t{1} << 20;

[[noreturn]] void failOpen(const char* format, const std::string& path) {
  kx_printf(Stream::Err, format, path.c_str());
  kx_exit(-1);
}

void commitOrFail(OutFile& file) {
  if (!file.commit()) {
    kx_error(std::string(std::strerror(file.error() ? file.error() : errno)) + " , Can't write " +
             file.path() + "\n");
  }
}

uint32_t largestStored(int bits) {
  return (uint32_t{1} << bits) - 1;
}

// The stored value of an 8-bit sample.
uint32_t toStored(uint8_t sample, const RunSettings* opt) {
  if (!opt->bitsGiven) return sample;
  const double scale = (std::pow(2.0, opt->bits) - 1.0) / 255.0;
  return static_cast<uint32_t>(sample * scale);
}

// The 8-bit sample of a stored value at `bits` bits.
uint8_t toSample(uint32_t stored, int bits) {
  if (bits == 8) return static_cast<uint8_t>(stored);
  const double scale = 255.0 / (std::pow(2.0, bits) - 1.0);
  return static_cast<uint8_t>(static_cast<uint32_t>(stored * scale));
}

void checkWritable(const std::string& path, const Colormap& colormap, const RunSettings* opt) {
  if (opt->colors < 0 || static_cast<size_t>(opt->colors) > colormap.size() ||
      opt->colors > 0x7FFF) {
    kx_error("cannot write colormap " + path + ": " + std::to_string(opt->colors) +
             " colors asked of a palette of " + std::to_string(colormap.size()) + "\n");
  }
  // Colormap files hold 16-bit values and are read back only up to 16 bits.
  if (opt->bits < 1 || opt->bits > 16) {
    kx_error("cannot write colormap " + path + " with " + std::to_string(opt->bits) +
             " bits per channel (1 to 16 can be stored)\n");
  }
}

// The whole file, or false when it cannot be opened. `limit` bounds what is
// read: nothing past it can matter.
bool readFile(const std::string& path, std::vector<uint8_t>& bytes, size_t limit) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes.clear();
  uint8_t chunk[65536];
  while (bytes.size() < limit) {
    const size_t want = std::min(sizeof chunk, limit - bytes.size());
    const size_t got = std::fread(chunk, 1, want, f);
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (got < want) break;
  }
  const bool failed = std::ferror(f) != 0;
  const int error = errno;
  std::fclose(f);
  if (failed) kx_error(std::string(std::strerror(error)) + " , Can't read " + path + "\n");
  return true;
}

// Checks the header values and applies the -n limit; returns the number of
// entries to read.
int entriesToRead(const std::string& path, long fileCount, long bits, const RunSettings* opt) {
  if (fileCount < 1 || fileCount > 0x7FFF) {
    kx_error("colormap " + path + " gives " + std::to_string(fileCount) +
             " colors (1 to 32767 can be read)\n");
  }
  if (bits < 1 || bits > 16) {
    kx_error("colormap " + path + " gives " + std::to_string(bits) +
             " bits per channel (1 to 16 can be read)\n");
  }
  int count = static_cast<int>(fileCount);
  if (opt->colorsGiven && opt->colors < count) count = opt->colors;
  if (count < 1) {
    kx_error("colormap " + path + ": no colors left to read with -n " +
             std::to_string(opt->colors) + "\n");
  }
  if (count > kMaxIndexedColors) {
    kx_error("colormap " + path + " has " + std::to_string(count) +
             " colors, more than the 256 that one-byte indices can hold; use -n 256 to take "
             "its first 256\n");
  }
  return count;
}

void checkStored(const std::string& path, int entry, long value, int bits) {
  if (value < 0 || value > static_cast<long>(largestStored(bits))) {
    kx_error("colormap " + path + ", color " + std::to_string(entry) + ": value " +
             std::to_string(value) + " does not fit " + std::to_string(bits) + " bits\n");
  }
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

  // The next number, or false when something else (or the end) comes first.
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

 private:
  int get() {
    if (read_ == kMaxTextBytes) {
      kx_error("ASCII colormap " + path_ + " holds more than " + std::to_string(kMaxTextBytes) +
               " bytes of text before its last color; no colormap is that long\n");
    }
    const int c = std::getc(file_);
    if (c == EOF) {
      if (std::ferror(file_)) {
        kx_error(std::string(std::strerror(errno)) + " , Can't read " + path_ + "\n");
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
};

// The 16-byte header of a binary colormap file.
void putBinaryHeader(ByteWriter& w, int count, int bits) {
  w.bytes("CMAP", 4);
  w.bytes("0100", 4);
  w.u16(static_cast<uint32_t>(count));
  w.u16(static_cast<uint32_t>(bits));
  w.u32(0);
}

void writeBinary(const std::string& name, const Colormap& colormap, const RunSettings* opt) {
  const std::string path = name + ".clm";
  checkWritable(path, colormap, opt);
  std::unique_ptr<OutFile> file = OutFile::create(path);
  if (!file) failOpen("can't create colormap %s, exit...\n", path);
  std::vector<uint8_t> bytes;
  ByteWriter w(bytes);
  putBinaryHeader(w, opt->colors, opt->bits);
  for (int i = 0; i < opt->colors; ++i) {
    w.u16(toStored(colormap[i].red, opt));
    w.u16(toStored(colormap[i].green, opt));
    w.u16(toStored(colormap[i].blue, opt));
  }
  file->write(bytes.data(), bytes.size());
  commitOrFail(*file);
}

void writeAscii(const std::string& name, const Colormap& colormap, const RunSettings* opt) {
  const std::string path = name + ".cla";
  checkWritable(path, colormap, opt);
  std::unique_ptr<OutFile> file = OutFile::create(path);
  if (!file) failOpen("can't create colormap %s, exit...\n", path);
  char line[64];
  std::snprintf(line, sizeof line, "%d %d\n", opt->colors, opt->bits);
  file->text(line);
  for (int i = 0; i < opt->colors; ++i) {
    std::snprintf(line, sizeof line, "%d %u %u %u\n", i, toStored(colormap[i].red, opt),
                  toStored(colormap[i].green, opt), toStored(colormap[i].blue, opt));
    file->text(line);
  }
  commitOrFail(*file);
}

Colormap readBinary(const std::string& name, ColormapFileHeader* header, const RunSettings* opt) {
  const std::string path = name + ".clm";
  std::vector<uint8_t> bytes;
  // No more entries than a palette holds are ever used (-n cuts larger
  // counts to at most 256; without it they are refused).
  if (!readFile(path, bytes, kHeaderBytes + kEntryBytes * kMaxIndexedColors)) {
    failOpen("can't read colormap %s, exit...\n", path);
  }
  ByteReader r(bytes);
  ColormapFileHeader h;
  if (!r.bytes(reinterpret_cast<uint8_t*>(h.magic), 4) ||
      !r.bytes(reinterpret_cast<uint8_t*>(h.version), 4) || !r.s16(h.colors) || !r.s16(h.bits) ||
      !r.u32(h.reserved)) {
    kx_error("colormap " + path + " is too short: " + std::to_string(bytes.size()) +
             " bytes, its header alone takes 16\n");
  }
  const int count = entriesToRead(path, h.colors, h.bits, opt);
  if (r.remaining() < kEntryBytes * count) {
    kx_error("colormap " + path + " is too short: " + std::to_string(count) + " colors need " +
             std::to_string(kHeaderBytes + kEntryBytes * count) + " bytes, it has " +
             std::to_string(bytes.size()) + "\n");
  }
  std::vector<StoredEntry> stored(count);
  for (int i = 0; i < count; ++i) {
    uint16_t v[3] = {0, 0, 0};
    // The length was checked above, so these reads cannot fail.
    r.u16(v[0]);
    r.u16(v[1]);
    r.u16(v[2]);
    for (uint16_t value : v) checkStored(path, i, value, h.bits);
    stored[i] = StoredEntry{v[0], v[1], v[2]};
  }
  h.colors = static_cast<int16_t>(count);

  if (opt->transform) {
    const std::string asciiPath = name + ".cla";
    std::unique_ptr<OutFile> file = OutFile::create(asciiPath);
    if (!file) failOpen("can't create ASCII colormap %s, exit...\n", asciiPath);
    char line[64];
    std::snprintf(line, sizeof line, "%d %d\n", count, h.bits);
    file->text(line);
    for (int i = 0; i < count; ++i) {
      std::snprintf(line, sizeof line, "%d %u %u %u\n", i, stored[i].red, stored[i].green,
                    stored[i].blue);
      file->text(line);
    }
    commitOrFail(*file);
  }
  *header = h;
  return toColormap(stored, h.bits);
}

Colormap readAscii(const std::string& name, ColormapFileHeader* header, const RunSettings* opt) {
  const std::string path = name + ".cla";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) failOpen("can't read ASCII colormap %s, exit...\n", path);
  NumberReader in(file.get(), path);
  long fileCount = 0, fileBits = 0;
  if (!in.next(fileCount)) {
    if (in.atEnd()) kx_error("ASCII colormap " + path + " is empty\n");
    kx_error("ASCII colormap " + path + ", line " + std::to_string(in.line()) +
             ": expected \"<colors> <bits>\"\n");
  }
  if (!in.next(fileBits)) {
    kx_error("ASCII colormap " + path + ", line " + std::to_string(in.line()) +
             ": expected \"<colors> <bits>\"\n");
  }
  const int count = entriesToRead(path, fileCount, fileBits, opt);
  const int bits = static_cast<int>(fileBits);

  std::vector<StoredEntry> stored(count);
  for (int i = 0; i < count; ++i) {
    // The index, then red, green and blue; the index is not used: entries
    // are taken in file order.
    long numbers[4];
    for (long& number : numbers) {
      if (in.next(number)) continue;
      if (in.atEnd()) {
        kx_error("ASCII colormap " + path + " ends after " + std::to_string(i) + " of its " +
                 std::to_string(count) + " colors\n");
      }
      kx_error("ASCII colormap " + path + ", line " + std::to_string(in.line()) +
               ": expected \"<index> <red> <green> <blue>\"\n");
    }
    for (int c = 1; c <= 3; ++c) checkStored(path, i, numbers[c], bits);
    stored[i] = StoredEntry{static_cast<uint32_t>(numbers[1]), static_cast<uint32_t>(numbers[2]),
                            static_cast<uint32_t>(numbers[3])};
  }
  file.reset();

  if (opt->transform) {
    const std::string binaryPath = name + ".clm";
    std::unique_ptr<OutFile> file = OutFile::create(binaryPath);
    if (!file) failOpen("can't create colormap %s, exit...\n", binaryPath);
    std::vector<uint8_t> out;
    ByteWriter w(out);
    putBinaryHeader(w, count, bits);
    for (const StoredEntry& e : stored) {
      w.u16(e.red);
      w.u16(e.green);
      w.u16(e.blue);
    }
    file->write(out.data(), out.size());
    commitOrFail(*file);
  }
  *header = ColormapFileHeader{};
  header->colors = static_cast<int16_t>(count);
  header->bits = static_cast<int16_t>(bits);
  return toColormap(stored, bits);
}

// Running out of memory ends the run like every other failure.
template <typename F>
auto orOutOfMemory(const std::string& path, F f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for colormap " + path + "\n");
  }
}

}  // namespace

void kx_writeColorMap(const std::string& name, const Colormap& colormap, const RunSettings* opt) {
  orOutOfMemory(name + ".clm", [&] { writeBinary(name, colormap, opt); });
}

void kx_writeASCIIColorMap(const std::string& name, const Colormap& colormap,
                           const RunSettings* opt) {
  orOutOfMemory(name + ".cla", [&] { writeAscii(name, colormap, opt); });
}

Colormap kx_readColorMap(const std::string& name, ColormapFileHeader* header,
                         const RunSettings* opt) {
  return orOutOfMemory(name + ".clm", [&] { return readBinary(name, header, opt); });
}

Colormap kx_readASCIIColorMap(const std::string& name, ColormapFileHeader* header,
                              const RunSettings* opt) {
  return orOutOfMemory(name + ".cla", [&] { return readAscii(name, header, opt); });
}

}  // namespace kx
