// netpbm files: PBM, PGM, PPM and PAM.
//
//   P1 / P4   PBM, plain / raw: "P4" width height, one whitespace byte, then
//             rows of ceil(width / 8) bytes, most significant bit first;
//             1 is black. Plain rows are '0' and '1' characters.
//   P2 / P5   PGM: "P5" width height maxval, one whitespace byte, then one
//             sample per pixel.
//   P3 / P6   PPM: as PGM with three samples (red, green, blue) per pixel.
//   P7        PAM: "P7\n", then lines "WIDTH w", "HEIGHT h", "DEPTH d",
//             "MAXVAL m", "TUPLTYPE t" in any order, "ENDHDR\n", then
//             w × h × d samples.
// Header fields are decimal numbers separated by whitespace, with '#'
// comments up to the end of the line; a number above 2^31 - 1 is refused,
// as netpbm refuses it, and the header (comments included) must end within
// the first megabyte of the file. Raw samples take one byte when maxval
// is below 256, else two, most significant first; plain samples are decimal
// numbers. maxval runs from 1 to 65535.
//
// Samples are brought to 8 bits with netpbm's rounding (scaleSample), the
// values `pamdepth 255` gives. PAM tuple types GRAYSCALE, BLACKANDWHITE,
// GRAYSCALE_ALPHA, BLACKANDWHITE_ALPHA, RGB and RGB_ALPHA are read (a
// missing TUPLTYPE is taken from DEPTH 1 to 4); other tuple types, a depth
// that does not match the tuple type, samples above maxval, files shorter
// than their raster and pictures larger than 32767 pixels on a side are
// refused. One image is read; the bytes after it are left to the input, for
// the next image of a multi-image file (frames.cpp).
//
// Written: raw PPM, "P6\n<width> <height>\n255\n" and RGB bytes.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/outfile.h"
#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

constexpr uint64_t kLargestNumber = 0x7FFFFFFF;

// Headers (comments included) must end within the first block of an image.
constexpr size_t kHeaderBlock = size_t{1} << 20;
// An input is first read this far: a stream of small images is not read
// far ahead of the image at hand.
constexpr size_t kFirstRead = 4096;

// Thrown instead of a refusal when an image runs past the bytes at hand and
// more of the input may still be read for it.
struct NeedMore {};

// How far the bytes at hand reach into the input.
struct Reach {
  bool more = false;     // the input goes on after them
  bool canGrow = false;  // and more of it may be read for this image
  size_t most = 0;       // the furthest the image can reach
  bool exact = false;    // it ends exactly there (a raw raster)
};

class PnmParser {
 public:
  PnmParser(const std::string& name, const std::vector<uint8_t>& bytes, const Reach& reach = {})
      : name_(name), bytes_(bytes), more_(reach.more), canGrow_(reach.canGrow) {}

  [[noreturn]] void fail(const std::string& what) const { throw ConvError(name_ + ": " + what); }

  bool atEnd() const { return pos_ >= bytes_.size(); }
  size_t remaining() const { return bytes_.size() - pos_; }
  size_t position() const { return pos_; }
  uint8_t peek() const { return bytes_[pos_]; }
  const uint8_t* here() const { return bytes_.data() + pos_; }
  void advance(size_t n) { pos_ += n; }

  static bool isSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }

  // Whitespace and comments before a header field or a plain sample.
  void skipSpace() {
    while (!atEnd()) {
      if (isSpace(peek())) {
        ++pos_;
      } else if (peek() == '#') {
        while (!atEnd() && peek() != '\n') ++pos_;
        endedInComment_ = atEnd();
      } else {
        break;
      }
    }
  }

  // The header has met the end of the bytes at hand.
  [[noreturn]] void headerEnds(const std::string& what) const {
    if (canGrow_) throw NeedMore{};
    if (!more_) fail(what);
    const std::string limit = "the first " + std::to_string(kHeaderBlock) + " bytes";
    if (endedInComment_)
      fail("a comment in the header is too long (the header must end within " + limit + ")");
    fail("the header does not end within " + limit);
  }

  // The raster has met the end of the bytes at hand.
  [[noreturn]] void rasterEnds() const {
    if (canGrow_) throw NeedMore{};
    fail("the file ends inside the raster");
  }

  // A decimal number of the header; `what` names it in messages.
  uint32_t number(const char* what) {
    skipSpace();
    if (atEnd()) headerEnds(std::string("the file ends before the ") + what);
    const uint32_t v = digits(what);
    if (atEnd() && more_) headerEnds("");
    return v;
  }

  // A plain sample: a number that may go on in bytes not yet at hand.
  uint32_t sample() {
    skipSpace();
    if (atEnd()) rasterEnds();
    const uint32_t v = digits("sample");
    if (atEnd() && canGrow_) throw NeedMore{};
    return v;
  }

 private:
  uint32_t digits(const char* what) {
    if (peek() < '0' || peek() > '9') fail(std::string("the ") + what + " is not a number");
    uint64_t v = 0;
    while (!atEnd() && peek() >= '0' && peek() <= '9') {
      v = v * 10 + (peek() - '0');
      if (v > kLargestNumber) fail(std::string("the ") + what + " is too large to be processed");
      ++pos_;
    }
    return static_cast<uint32_t>(v);
  }

 public:
  // A text line of the PAM header, without its line feed.
  std::string_view line() {
    const size_t start = pos_;
    while (!atEnd() && peek() != '\n') ++pos_;
    if (atEnd()) headerEnds("the file ends inside the PAM header");
    std::string_view text(reinterpret_cast<const char*>(bytes_.data() + start), pos_ - start);
    ++pos_;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text;
  }

 private:
  const std::string& name_;
  const std::vector<uint8_t>& bytes_;
  bool more_;
  bool canGrow_;
  bool endedInComment_ = false;
  size_t pos_ = 0;
};

struct Layout {
  const char* format = "PAM";  // its name in messages
  int width = 0;
  int height = 0;
  int depth = 0;        // samples per pixel in the file
  int channels = 0;     // samples per pixel of the image
  uint32_t maxval = 0;  // 1 for bit maps
  bool plain = false;   // decimal text samples
  bool bitmap = false;  // PBM: bits, 1 black
};

struct PamTupleType {
  std::string_view name;
  int depth;
};
constexpr PamTupleType kTupleTypes[] = {
    {"GRAYSCALE", 1},           {"BLACKANDWHITE", 1}, {"GRAYSCALE_ALPHA", 2},
    {"BLACKANDWHITE_ALPHA", 2}, {"RGB", 3},           {"RGB_ALPHA", 4},
};

Layout readPamHeader(PnmParser& in) {
  Layout l;
  long width = -1, height = -1, depth = -1, maxval = -1;
  std::string tupleType;
  for (;;) {
    std::string_view text = in.line();
    while (!text.empty() && PnmParser::isSpace(static_cast<uint8_t>(text.front()))) {
      text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '#') continue;
    if (text == "ENDHDR") break;
    const size_t gap = text.find_first_of(" \t");
    const std::string_view key = text.substr(0, gap);
    std::string_view value = gap == std::string_view::npos ? std::string_view() : text.substr(gap);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (key == "TUPLTYPE") {
      // Several TUPLTYPE lines are joined with a blank, as netpbm does.
      if (!tupleType.empty()) tupleType += ' ';
      tupleType += value;
      continue;
    }
    long* field = key == "WIDTH"    ? &width
                  : key == "HEIGHT" ? &height
                  : key == "DEPTH"  ? &depth
                  : key == "MAXVAL" ? &maxval
                                    : nullptr;
    if (!field) in.fail("unknown PAM header line \"" + std::string(text) + "\"");
    long v = 0;
    if (value.empty() || value.size() > 9) v = -1;
    for (char c : value) {
      if (c < '0' || c > '9') v = -1;
      if (v >= 0) v = v * 10 + (c - '0');
    }
    if (v < 0) in.fail("bad PAM header line \"" + std::string(text) + "\"");
    *field = v;
  }
  if (width < 0 || height < 0 || depth < 0 || maxval < 0) {
    in.fail("the PAM header lacks WIDTH, HEIGHT, DEPTH or MAXVAL");
  }
  if (maxval < 1 || maxval > 65535)
    in.fail("the maxval " + std::to_string(maxval) + " is not 1 to 65535");
  if (tupleType.empty()) {
    if (depth < 1 || depth > 4)
      in.fail("PAM depth " + std::to_string(depth) + " without a TUPLTYPE");
  } else {
    const PamTupleType* known = nullptr;
    for (const auto& t : kTupleTypes) {
      if (t.name == tupleType) known = &t;
    }
    if (!known) in.fail("unsupported PAM tuple type \"" + tupleType + "\"");
    if (known->depth != depth) {
      in.fail("the PAM tuple type " + tupleType + " needs depth " + std::to_string(known->depth) +
              ", not " + std::to_string(depth));
    }
  }
  l.width = static_cast<int>(std::min(width, 1L << 30));
  l.height = static_cast<int>(std::min(height, 1L << 30));
  l.depth = l.channels = static_cast<int>(depth);
  l.maxval = static_cast<uint32_t>(maxval);
  return l;
}

Layout readHeader(PnmParser& in) {
  if (in.remaining() < 2 || in.peek() != 'P') in.fail("not a netpbm file (no P1 to P7 magic)");
  in.advance(1);
  const uint8_t kind = in.peek();
  if (kind < '1' || kind > '7') in.fail("not a netpbm file (no P1 to P7 magic)");
  in.advance(1);
  if (kind == '7') {
    if (in.atEnd() || in.peek() != '\n') in.fail("not a PAM file (no line feed after P7)");
    in.advance(1);
    return readPamHeader(in);
  }
  Layout l;
  l.format = kind == '1' || kind == '4' ? "PBM" : kind == '2' || kind == '5' ? "PGM" : "PPM";
  l.plain = kind <= '3';
  l.bitmap = kind == '1' || kind == '4';
  l.depth = l.channels = (kind == '3' || kind == '6') ? 3 : 1;
  l.width = static_cast<int>(in.number("width"));
  l.height = static_cast<int>(in.number("height"));
  l.maxval = l.bitmap ? 1 : in.number("maxval");
  if (l.maxval < 1 || l.maxval > 65535) {
    in.fail("the maxval " + std::to_string(l.maxval) + " is not 1 to 65535");
  }
  // Exactly one whitespace byte separates a raw header from the raster.
  if (!l.plain) {
    if (in.atEnd()) in.headerEnds("the file ends inside its header");
    if (!PnmParser::isSpace(in.peek())) in.fail("the file ends inside its header");
    in.advance(1);
  }
  return l;
}

void readBitmap(PnmParser& in, const Layout& l, Image& image) {
  const size_t rowBytes = (static_cast<size_t>(l.width) + 7) / 8;
  uint8_t* out = image.samples.data();
  for (int y = 0; y < l.height; ++y) {
    const uint8_t* row = in.here();
    for (int x = 0; x < l.width; ++x) {
      bool black;
      if (l.plain) {
        in.skipSpace();
        if (in.atEnd()) in.rasterEnds();
        if (in.peek() != '0' && in.peek() != '1') in.fail("a PBM pixel is neither 0 nor 1");
        black = in.peek() == '1';
        in.advance(1);
      } else {
        black = (row[x >> 3] >> (7 - (x & 7))) & 1;
      }
      *out++ = black ? 0 : 255;
    }
    if (!l.plain) in.advance(rowBytes);
  }
}

void readSamples(PnmParser& in, const Layout& l, Image& image) {
  const size_t count = image.pixelCount() * l.depth;
  const size_t sampleBytes = l.maxval > 255 ? 2 : 1;
  uint8_t* out = image.samples.data();
  if (!l.plain && l.maxval == 255) {  // what video tools write: the samples as they are
    std::memcpy(out, in.here(), count);
    in.advance(count);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    uint32_t v;
    if (l.plain) {
      v = in.sample();
    } else {
      const uint8_t* p = in.here();
      v = sampleBytes == 2 ? (uint32_t{p[0]} << 8 | p[1]) : p[0];
      in.advance(sampleBytes);
    }
    if (v > l.maxval) {
      in.fail("a sample (" + std::to_string(v) + ") exceeds the maxval " +
              std::to_string(l.maxval));
    }
    out[i] = l.maxval == 255 ? static_cast<uint8_t>(v) : scaleSample(v, l.maxval);
  }
}

// The most bytes a raster of this layout can take in a file. Plain samples
// are decimal text with white space and comments between them; 64
// characters a sample is far more than any writer uses.
constexpr size_t kPlainBytesPerSample = 64;
size_t rasterBytesAtMost(const Layout& l) {
  const size_t pixels = static_cast<size_t>(l.width) * static_cast<size_t>(l.height);
  if (l.plain) return pixels * l.depth * kPlainBytesPerSample;
  if (l.bitmap) return (static_cast<size_t>(l.width) + 7) / 8 * l.height;
  return pixels * l.depth * (l.maxval > 255 ? 2 : 1);
}

// The image at the start of the bytes; *used: the bytes it took. Once the
// header is read, reach->most is set to the furthest the image can reach and
// reach->exact tells whether it ends exactly there.
Image decodeStart(const std::string& name, const std::vector<uint8_t>& bytes, size_t* used,
                  Reach* reach = nullptr) {
  Reach none;
  PnmParser in(name, bytes, reach ? *reach : none);
  const Layout l = readHeader(in);
  checkGeometry(name, l.width, l.height, l.format);
  if (reach) {
    reach->most = in.position() + rasterBytesAtMost(l);
    reach->exact = !l.plain;
  }
  // The raster must fit in what is left of the file before anything is
  // allocated for it: a small file cannot make us reserve gigabytes.
  const size_t pixels = static_cast<size_t>(l.width) * static_cast<size_t>(l.height);
  size_t least;
  if (l.bitmap) {
    // Plain bits need one character each; raw rows are padded to bytes.
    least = l.plain ? pixels : (static_cast<size_t>(l.width) + 7) / 8 * l.height;
  } else {
    const size_t count = pixels * l.depth;
    // Plain samples are at least one digit and a separator apart (the last
    // one may end the file); raw ones take one or two bytes.
    least = l.plain ? 2 * count - 1 : count * (l.maxval > 255 ? 2 : 1);
  }
  if (in.remaining() < least) in.rasterEnds();
  Image image;
  image.width = l.width;
  image.height = l.height;
  image.channels = l.channels;
  image.samples.resize(image.pixelCount() * image.channels);
  if (l.bitmap) {
    readBitmap(in, l, image);
  } else {
    readSamples(in, l, image);
  }
  *used = in.position();
  return image;
}

}  // namespace

Image decodePnm(const std::string& name, const std::vector<uint8_t>& bytes) {
  size_t used = 0;
  return decodeStart(name, bytes, &used);
}

Image readPnmFile(InputFile& file) {
  // Read in steps, decoding again after each: the header within its first
  // block, a raw raster exactly to its end, plain text growing fourfold, so
  // that a stream of images is read no further than the image at hand.
  const std::string& path = file.path();
  std::vector<uint8_t> bytes;
  Reach reach;
  reach.most = kHeaderBlock;
  size_t want = kFirstRead;
  for (;;) {
    bytes.reserve(want);
    if (reach.exact && want == reach.most) {
      // A raw raster ends exactly here: no byte after it is waited for, so
      // an image of a live pipe is at hand as soon as it is complete.
      const size_t old = bytes.size();
      bytes.resize(want);
      bytes.resize(old + file.read(bytes.data() + old, want - old));
      reach.more = false;
    } else {
      reach.more = file.readUpTo(bytes, want);
    }
    reach.canGrow = reach.more && bytes.size() < reach.most;
    try {
      size_t used = 0;
      Image image = decodeStart(path, bytes, &used, &reach);
      file.putBack({bytes.data() + used, bytes.size() - used});
      return image;
    } catch (const NeedMore&) {
      want = reach.exact ? reach.most : std::min(reach.most, bytes.size() * 4);
    }
  }
}

Image readPnmFile(const std::string& path) {
  InputFile file(path);
  return readPnmFile(file);
}

void writePpmFile(const std::string& path, const Image& image) {
  const Image rgb = image.channels == 3 && !image.indexed() ? Image{} : expandToRgb(image, false);
  const Image& src = rgb.samples.empty() ? image : rgb;
  std::unique_ptr<OutFile> out = OutFile::create(path);
  if (!out) throw ConvError(path + ": cannot create: " + std::strerror(errno));
  out->text("P6\n" + std::to_string(src.width) + " " + std::to_string(src.height) + "\n255\n");
  out->write(src.samples.data(), src.samples.size());
  if (!out->commit()) throw ConvError(path + ": cannot write: " + std::strerror(errno));
}

}  // namespace kx
