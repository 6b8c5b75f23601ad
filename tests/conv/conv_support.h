// Helpers of the kxconv tests: the outside tools (netpbm, ImageMagick, PIL) as
// references, and small raster readers.
#pragma once

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "picture/picture.h"
#include "support/tempdir.h"

namespace kx {

struct Raster {
  int width = 0, height = 0, depth = 0;  // depth: samples per pixel
  std::vector<uint8_t> samples;
  bool operator==(const Raster&) const = default;
};

// The 8-bit view of a raster as RGB or RGBA, grey spread to three colours.
inline Raster asRgb(const Raster& in, bool alpha) {
  Raster out{in.width, in.height, alpha ? 4 : 3, {}};
  for (size_t i = 0; i < in.samples.size(); i += in.depth) {
    const uint8_t* p = in.samples.data() + i;
    for (int c = 0; c < 3; ++c) out.samples.push_back(in.depth <= 2 ? p[0] : p[c]);
    if (alpha) out.samples.push_back(in.depth % 2 == 0 ? p[in.depth - 1] : 255);
  }
  return out;
}

// A maxval-255 P7 image; empty when the bytes are something else.
inline Raster parsePam(const std::string& bytes) {
  std::istringstream in(bytes);
  Raster r;
  std::string key, value;
  int maxval = 0;
  if (!(in >> key) || key != "P7") return {};
  while (in >> key && key != "ENDHDR" && in >> value) {
    if (key == "WIDTH") r.width = std::stoi(value);
    if (key == "HEIGHT") r.height = std::stoi(value);
    if (key == "DEPTH") r.depth = std::stoi(value);
    if (key == "MAXVAL") maxval = std::stoi(value);
  }
  r.samples.resize(static_cast<size_t>(r.width) * r.height * r.depth);
  in.get();
  in.read(reinterpret_cast<char*>(r.samples.data()), static_cast<long>(r.samples.size()));
  return maxval == 255 && in ? r : Raster{};
}

inline std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

inline RunResult shell(const std::string& command) {
  return runProgram("/bin/sh", {"-c", command});
}

// The netpbm tools' 8-bit view of a file: command | pamdepth 255 | pamtopam.
inline Raster netpbm(const std::string& command) {
  return parsePam(shell(command + " | pamdepth 255 | pamtopam").out);
}

inline RunResult python(const std::string& body, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-c", "import sys\nfrom PIL import Image\n" + body};
  all.insert(all.end(), args.begin(), args.end());
  RunResult r = runProgram("/usr/bin/python3", all);
  if (r.status != 0) throw std::runtime_error("PIL failed: " + r.err);
  return r;
}

// PIL's decoding of a file converted to mode, and a Python expression about it.
inline Raster pilPixels(const std::string& path, const std::string& mode = "RGBA") {
  return parsePam(
      python("im = Image.open(sys.argv[1]).convert(sys.argv[2])\n"
             "sys.stdout.buffer.write(b'P7 WIDTH %d HEIGHT %d DEPTH %d MAXVAL 255 ENDHDR\\n' % "
             "(im.size[0], im.size[1], len(sys.argv[2])) + im.tobytes())\n",
             {path, mode})
          .out);
}

inline std::string pilDescribe(const std::string& path, const std::string& expression) {
  return python("im = Image.open(sys.argv[1])\nprint(" + expression + ")\n", {path}).out;
}

// A width × height JPEG made by PIL: a smooth picture with some detail in the
// mode given ("RGB", "L", "CMYK"), saved with the options given as Python
// keyword arguments ("quality=90, progressive=True").
inline void makeJpeg(const std::string& path, int width, int height, const std::string& mode,
                     const std::string& options) {
  python(
      "w, h = int(sys.argv[2]), int(sys.argv[3])\n"
      "im = Image.new('RGB', (w, h))\n"
      "im.putdata([(x * 255 // w, y * 255 // h, (x * y) % 256) for y in range(h) for x in "
      "range(w)])\n"
      "im.convert(sys.argv[4]).save(sys.argv[1], 'JPEG', **eval('dict(' + sys.argv[5] + ')'))\n",
      {path, std::to_string(width), std::to_string(height), mode, options});
}

// A .pic file's channels: RGB, or RGBA with an alpha channel.
inline Raster picPixels(const std::string& path) {
  PicturePtr pic = QZ_pictureReadFile(path);
  if (!pic) return {};
  Raster r{pic->width, pic->height, pic->channel[3] ? 4 : 3, {}};
  const size_t n = static_cast<size_t>(r.width) * r.height;
  r.samples.resize(n * r.depth);
  for (int c = 0; c < r.depth; ++c) {
    if (!pic->channel[c]) return {};
    for (size_t i = 0; i < n; ++i) r.samples[i * r.depth + c] = pic->channel[c][i];
  }
  return r;
}

inline RunResult kxconv(const std::vector<std::string>& args, const std::string& dir) {
  return runProgram("kxconv", args, dir);
}

using std::filesystem::exists;

}  // namespace kx
