#include "conv_support.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <stdexcept>

#include "picture/picture.h"

namespace kx {

int PngSpec::channels() const {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
      return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    default:
      return 4;
  }
}

size_t PngSpec::rowBytes() const {
  return (static_cast<size_t>(width) * channels() * bitDepth + 7) / 8;
}

namespace {

struct Writer {
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::vector<png_bytep> rows;
};

bool writeAll(Writer& w, const PngSpec& s) {
  if (setjmp(png_jmpbuf(w.png))) return false;
  png_init_io(w.png, w.file);
  png_set_IHDR(w.png, w.info, s.width, s.height, s.bitDepth, s.colorType,
               s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!s.palette.empty()) {
    png_set_PLTE(w.png, w.info, s.palette.data(), static_cast<int>(s.palette.size()));
  }
  if (!s.paletteAlpha.empty()) {
    png_set_tRNS(w.png, w.info, s.paletteAlpha.data(), static_cast<int>(s.paletteAlpha.size()),
                 nullptr);
  } else if (s.hasTransparentColour) {
    png_color_16 colour = s.transparentColour;
    png_set_tRNS(w.png, w.info, nullptr, 0, &colour);
  }
  png_write_info(w.png, w.info);
  png_write_image(w.png, w.rows.data());
  png_write_end(w.png, nullptr);
  return true;
}

}  // namespace

void writeTestPng(const std::string& path, const PngSpec& spec) {
  Writer w;
  w.file = std::fopen(path.c_str(), "wb");
  if (!w.file) throw std::runtime_error("cannot create " + path);
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  w.info = png_create_info_struct(w.png);
  for (int y = 0; y < spec.height; ++y) {
    w.rows.push_back(const_cast<png_bytep>(spec.data.data() + y * spec.rowBytes()));
  }
  const bool ok = writeAll(w, spec);
  png_destroy_write_struct(&w.png, &w.info);
  std::fclose(w.file);
  if (!ok) throw std::runtime_error("libpng refused to write " + path);
}

void fillRandom(PngSpec& spec, uint32_t seed) {
  uint32_t s = seed ? seed : 1;
  spec.data.resize(spec.rowBytes() * spec.height);
  for (auto& b : spec.data) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    b = static_cast<uint8_t>(s >> 7);
  }
  if (spec.colorType == PNG_COLOR_TYPE_PALETTE) {
    const size_t n = spec.palette.size();
    if (spec.bitDepth == 8) {
      for (auto& b : spec.data) b = static_cast<uint8_t>(b % n);
    } else {  // packed indices: keep every field below the palette size
      const int perByte = 8 / spec.bitDepth, mask = (1 << spec.bitDepth) - 1;
      for (auto& b : spec.data) {
        uint8_t out = 0;
        for (int k = 0; k < perByte; ++k) {
          const int v = ((b >> (k * spec.bitDepth)) & mask) % static_cast<int>(n);
          out = static_cast<uint8_t>(out | (v << (k * spec.bitDepth)));
        }
        b = out;
      }
    }
  }
}

Raster parseNetpbm(const std::string& bytes) {
  Raster r;
  size_t pos = 0;
  auto token = [&]() {
    while (pos < bytes.size() && isspace(static_cast<unsigned char>(bytes[pos]))) ++pos;
    const size_t start = pos;
    while (pos < bytes.size() && !isspace(static_cast<unsigned char>(bytes[pos]))) ++pos;
    return bytes.substr(start, pos - start);
  };
  const std::string magic = token();
  int maxval = 0;
  if (magic == "P5" || magic == "P6") {
    r.width = std::stoi(token());
    r.height = std::stoi(token());
    maxval = std::stoi(token());
    r.depth = magic == "P5" ? 1 : 3;
  } else if (magic == "P7") {
    for (std::string key = token(); key != "ENDHDR" && !key.empty(); key = token()) {
      if (key == "WIDTH") r.width = std::stoi(token());
      if (key == "HEIGHT") r.height = std::stoi(token());
      if (key == "DEPTH") r.depth = std::stoi(token());
      if (key == "MAXVAL") maxval = std::stoi(token());
      if (key == "TUPLTYPE") token();
    }
  } else {
    return {};
  }
  ++pos;  // the single whitespace byte before the raster
  const size_t n = static_cast<size_t>(r.width) * r.height * r.depth;
  if (maxval != 255 || bytes.size() < pos + n) return {};
  r.samples.assign(bytes.begin() + static_cast<long>(pos),
                   bytes.begin() + static_cast<long>(pos + n));
  return r;
}

std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

RunResult shell(const std::string& command) {
  return runProgram("/bin/sh", {"-c", command});
}

Raster netpbmPngAt8Bits(const std::string& pngPath) {
  RunResult r = shell("pngtopam -alphapam " + quoted(pngPath) + " | pamdepth 255");
  if (r.status != 0) throw std::runtime_error("pngtopam failed: " + r.err);
  return parseNetpbm(r.out);
}

// Python 3 from the system, whatever python3 comes first on the PATH: PIL is
// a Debian package (python3-pil).
static const char* kPython = "/usr/bin/python3";

Raster pilPixels(const std::string& path, const std::string& mode) {
  RunResult r = runProgram(kPython, {"-c",
                                     "import sys\n"
                                     "from PIL import Image\n"
                                     "im = Image.open(sys.argv[1]).convert(sys.argv[2])\n"
                                     "sys.stdout.buffer.write(b'P7 WIDTH %d HEIGHT %d DEPTH %d "
                                     "MAXVAL 255 ENDHDR\\n' % (im.size[0], im.size[1], "
                                     "len(sys.argv[2])) + im.tobytes())\n",
                                     path, mode});
  if (r.status != 0) throw std::runtime_error("PIL failed: " + r.err);
  return parseNetpbm(r.out);
}

std::string pilDescribe(const std::string& path, const std::string& expression) {
  RunResult r = runProgram(kPython, {"-c",
                                     "import sys\n"
                                     "from PIL import Image\n"
                                     "im = Image.open(sys.argv[1])\n"
                                     "print(" +
                                         expression + ")\n",
                                     path});
  if (r.status != 0) throw std::runtime_error("PIL failed: " + r.err);
  return r.out;
}

Raster picPixels(const std::string& path) {
  PicturePtr pic = QZ_pictureReadFile(path);
  if (!pic) return {};
  Raster r;
  r.width = pic->width;
  r.height = pic->height;
  r.depth = pic->channel[3] ? 4 : 3;
  const size_t n = static_cast<size_t>(r.width) * r.height;
  r.samples.resize(n * r.depth);
  for (int c = 0; c < r.depth; ++c) {
    if (!pic->channel[c]) return {};
    for (size_t i = 0; i < n; ++i) r.samples[i * r.depth + c] = pic->channel[c][i];
  }
  return r;
}

RunResult kxconv(const std::vector<std::string>& args, const std::string& dir) {
  return runProgram("kxconv", args, dir);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace kx
