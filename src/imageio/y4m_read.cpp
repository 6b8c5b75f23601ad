// YUV4MPEG2 streams (.y4m files, `ffmpeg -f yuv4mpegpipe`), read a frame at
// a time.
//
//   stream header: "YUV4MPEG2", then parameters, each a blank, a letter and a
//   value, then "\n"; at most 4096 bytes:
//     W<width> H<height>  the frame size (both required)
//     F<n>:<d>            n frames every d seconds (0:0: unknown)
//     I<p|?|t|b|m>        interlacing: p (or ?, or no I) is read; t, b (top or
//                         bottom field first) and m (mixed) are refused
//     A<n>:<d>            pixel aspect ratio: the pixels are returned as stored
//     C<colour space>     420jpeg (the default), 420mpeg2, 420paldv, 420, 422,
//                         444, mono; 411, 444alpha and deeper samples (420p10,
//                         mono16, ...) are refused
//     X<anything>         extensions: XCOLORRANGE=FULL or LIMITED is read, and
//                         XYSCSS=<colour space> stands in for a missing C
//                         (mjpegtools writes it); others are ignored
//   each frame: "FRAME", parameters (ignored), "\n", at most 1024 bytes; then
//   the planes Y (W × H), Cb and Cr (each ceil(W/2) × ceil(H/2) for 4:2:0,
//   ceil(W/2) × H for 4:2:2, W × H for 4:4:4, none for mono), a byte a
//   sample, rows top to bottom.
//
// Frames come as RGB (mono as grey), converted as `ffmpeg -i in.y4m -pix_fmt
// rgb24` converts them by default, since that is what users compare with:
// libswscale's BT.601 arithmetic, limited range unless XCOLORRANGE=FULL. The
// formulas below were measured against ffmpeg 5.1 and give its bytes
// exactly, with two exceptions: ffmpeg's 32-bit sums for 4:4:4 wrap around
// for out-of-gamut samples (bright luma with extreme chroma), turning a
// channel black that is clipped to white here; and for odd heights its
// fixed-point bicubic weights differ a little from these (a few samples in
// a thousand a few levels apart):
//   - 4:2:0 and 4:2:2 of even height: every chroma sample serves the pixels it
//     covers, uninterpolated, whatever the siting the header names (ffmpeg
//     does not look at it), with 13-bit coefficients applied to samples × 8
//     and the products' fractions dropped, as ffmpeg's SIMD code does:
//     R = clip(((8Y − 128)·cy >> 16) + ((8V − 1024)·crv >> 16)), and so on;
//   - 4:4:4: the same coefficients, rounded once at the end:
//     R = clip(((Y − 16)·cy + (V − 128)·crv + 2^12) >> 13);
//   - odd heights: chroma interpolated (bicubic, B = 0 and C = 0.6, samples
//     centred, as libswscale scales when the frame is no whole number of
//     chroma rows); with an even width through ffmpeg's lookup tables, with an
//     odd one interpolated across too and rounded as 4:4:4 is;
//   - mono: the luma as grey in either range (ffmpeg copies it).
// Rows are converted side by side on the process's threads; every row is
// computed alone, so the bytes do not depend on the number of threads.
//
// Bounds: the header's size is checked against the pixel limit; a frame's
// planes grow as their bytes arrive (a header declaring a huge frame costs
// nothing until its samples come); memory is one frame's bytes and its RGB
// image whatever the number of frames, of which kMaxFrames are read.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string_view>
#include <type_traits>

#include "common/threads.h"
#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

constexpr size_t kHeaderMost = 4096;
constexpr size_t kFrameHeaderMost = 1024;
constexpr size_t kFirstPlaneBytes = size_t{1} << 20;
constexpr std::string_view kFrame = "FRAME";
constexpr const char* kReadable = "8-bit 4:2:0, 4:2:2, 4:4:4 and mono are";
constexpr std::pair<std::string_view, const char*> kFieldOrders[] = {
    {"t", "top field first"}, {"b", "bottom field first"}, {"m", "mixed field orders"}};

enum class Chroma { k420, k422, k444, kMono };

// ---- Colour --------------------------------------------------------------------

// ffmpeg's rounding of a 16.16 number to an integer.
int64_t round16(int64_t v) {
  return (v + 32768) >> 16;
}

// The conversion's integer coefficients, derived as libswscale derives them
// from BT.601 in 16.16 fixed point.
struct Coefficients {
  int64_t cy, oy;               // luma gain and offset (16.16)
  int64_t crv, cbu, cgu, cgv;   // chroma gains (16.16; the green ones negative)
  int y13, yOffset8, yOffset9;  // 13-bit luma gain; the offset × 8 and × 512
  int vr13, ub13, ug13, vg13;   // 13-bit chroma gains
};

Coefficients coefficientsFor(bool fullRange) {
  // 1.402, 1.772 and the green terms of BT.601, scaled by 255/224 (chroma
  // of limited range), as 16.16 numbers.
  Coefficients c{65536, 0, 104597, 132201, -25675, -53279, 0, 0, 0, 0, 0, 0, 0};
  if (fullRange) {
    for (int64_t* k : {&c.crv, &c.cbu, &c.cgu, &c.cgv}) *k = *k * 224 / 255;
  } else {
    c.cy = c.cy * 255 / 219;
    c.oy = int64_t{16} << 16;
  }
  c.y13 = static_cast<int>(round16(c.cy * 8192));
  c.yOffset8 = static_cast<int>(round16(c.oy * 8));
  c.yOffset9 = static_cast<int>(round16(c.oy * 512));
  c.vr13 = static_cast<int>(round16(c.crv * 8192));
  c.ub13 = static_cast<int>(round16(c.cbu * 8192));
  c.ug13 = static_cast<int>(round16(c.cgu * 8192));
  c.vg13 = static_cast<int>(round16(c.cgv * 8192));
  return c;
}

// Bicubic interpolation along one axis, from `from` samples to `to`, sample
// centres aligned: for every output sample, four neighbours (edges
// repeated) and their weights.
struct Taps {
  std::vector<std::array<int, 4>> index;
  std::vector<std::array<float, 4>> weight;

  bool empty() const { return index.empty(); }
  Taps() = default;
  Taps(int from, int to) {
    // Mitchell-Netravali with B = 0, C = 0.6: libswscale's default bicubic.
    const auto kernel = [](double t) {
      constexpr double c = 0.6;
      t = std::fabs(t);
      if (t < 1) return ((12 - 6 * c) * t * t * t + (-18 + 6 * c) * t * t + 6) / 6;
      if (t < 2) return (-6 * c * t * t * t + 30 * c * t * t - 48 * c * t + 24 * c) / 6;
      return 0.0;
    };
    for (int i = 0; i < to; ++i) {
      const double at = (i + 0.5) * from / to - 0.5;
      const int start = static_cast<int>(std::floor(at)) - 1;
      std::array<double, 4> w;
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += w[k] = kernel(at - (start + k));
      std::array<int, 4>& n = index.emplace_back();
      std::array<float, 4>& f = weight.emplace_back();
      for (int k = 0; k < 4; ++k) {
        n[k] = std::clamp(start + k, 0, from - 1);
        f[k] = static_cast<float>(w[k] / sum);
      }
    }
  }
  float apply(int i, const float* samples) const {
    const std::array<int, 4>& n = index[i];
    const std::array<float, 4>& w = weight[i];
    return w[0] * samples[n[0]] + w[1] * samples[n[1]] + w[2] * samples[n[2]] +
           w[3] * samples[n[3]];
  }
};

inline uint8_t clip8(int v) {
  return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// Samples × 8, coefficients applied with the fractions dropped (ffmpeg's
// SIMD conversion of 4:2:0 and 4:2:2): per-value tables.
struct PackedTables {
  std::array<int16_t, 256> y, rv, gu, gv, bu;
  explicit PackedTables(const Coefficients& c) {
    for (int v = 0; v < 256; ++v) {
      y[v] = static_cast<int16_t>(((8 * v - c.yOffset8) * c.y13) >> 16);
      const int chroma = 8 * v - 1024;
      rv[v] = static_cast<int16_t>((chroma * c.vr13) >> 16);
      gu[v] = static_cast<int16_t>((chroma * c.ug13) >> 16);
      gv[v] = static_cast<int16_t>((chroma * c.vg13) >> 16);
      bu[v] = static_cast<int16_t>((chroma * c.ub13) >> 16);
    }
  }
  // A chroma sample for each pair of pixels.
  void row(const uint8_t* luma, const uint8_t* u, const uint8_t* v, int width, uint8_t* out) const {
    for (int x = 0; x < width; x += 2, out += 6) {
      const int cu = u[x >> 1], cv = v[x >> 1];
      const int r = rv[cv], g = gu[cu] + gv[cv], b = bu[cu];
      for (int k = 0; k < 2 && x + k < width; ++k) {
        const int l = y[luma[x + k]];
        out[3 * k] = clip8(l + r);
        out[3 * k + 1] = clip8(l + g);
        out[3 * k + 2] = clip8(l + b);
      }
    }
  }
};

// floor(v + 0.5) without a call into the maths library (x86-64 has no
// floor instruction before SSE4.1); v is well within ±2^30.
inline int64_t roundHalfUp(double v) {
  constexpr double kBias = 1 << 30;
  return static_cast<int64_t>(v + 0.5 + kBias) - static_cast<int64_t>(kBias);
}

// One rounding at the end, in units of 2^-22 (ffmpeg's "full chroma" output
// path). Chroma comes as (C − 128) × 512, interpolated or not; the terms of
// whole samples are tabled.
struct FullFormula {
  int64_t vr, ub, ug, vg;
  std::array<int64_t, 256> y, rv, gu, gv, bu;
  explicit FullFormula(const Coefficients& c) : vr(c.vr13), ub(c.ub13), ug(c.ug13), vg(c.vg13) {
    for (int v = 0; v < 256; ++v) {
      y[v] = ((int64_t{v} << 9) - c.yOffset9) * c.y13 + (1 << 21);
      const int64_t chroma = (v - 128) * 512;
      rv[v] = chroma * vr;
      gu[v] = chroma * ug;
      gv[v] = chroma * vg;
      bu[v] = chroma * ub;
    }
  }
  static uint8_t out(int64_t v) {
    return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, (int64_t{1} << 30) - 1) >> 22);
  }
  // 4:4:4: a chroma sample for each pixel.
  void row(const uint8_t* luma, const uint8_t* u, const uint8_t* v, int width, uint8_t* rgb) const {
    for (int x = 0; x < width; ++x, rgb += 3) {
      rgb[0] = out(y[luma[x]] + rv[v[x]]);
      rgb[1] = out(y[luma[x]] + gv[v[x]] + gu[u[x]]);
      rgb[2] = out(y[luma[x]] + bu[u[x]]);
    }
  }
  // Chroma interpolated across from a row of chroma samples.
  void row(const uint8_t* luma, const float* u, const float* v, const Taps& across, int width,
           uint8_t* rgb) const {
    for (int x = 0; x < width; ++x, rgb += 3) {
      const int64_t u9 = roundHalfUp((across.apply(x, u) - 128.0) * 512.0);
      const int64_t v9 = roundHalfUp((across.apply(x, v) - 128.0) * 512.0);
      rgb[0] = out(y[luma[x]] + v9 * vr);
      rgb[1] = out(y[luma[x]] + v9 * vg + u9 * ug);
      rgb[2] = out(y[luma[x]] + u9 * ub);
    }
  }
};

// ffmpeg's lookup-table conversion (its scaled path with a chroma sample for
// each pair of pixels): chroma moves the index into a table of luma values.
struct LookupTables {
  std::array<int, 256> rv, gu, gv, bu;
  std::array<uint8_t, 1024> luma;
  int base;
  explicit LookupTables(const Coefficients& c, bool fullRange) {
    base = fullRange ? 384 : 326;
    const auto offsets = [&](int64_t gain, std::array<int, 256>& table) {
      const int64_t step = (gain * 65536 + 0x8000) / c.cy;
      for (int v = 0; v < 256; ++v) table[v] = static_cast<int>(((v * step) >> 16) - (step >> 9));
    };
    offsets(c.crv, rv);
    offsets(c.cgu, gu);
    offsets(c.cgv, gv);
    offsets(c.cbu, bu);
    for (int k = 0; k < 1024; ++k) {
      const int64_t v = (k * c.cy - (int64_t{384} << 16) - c.oy + 0x8000) >> 16;
      luma[k] = static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255));
    }
  }
  uint8_t at(int y, int offset) const { return luma[std::clamp(base + y + offset, 0, 1023)]; }
  // A chroma sample for each pair of pixels: as stored, or interpolated and
  // rounded to 8 bits as ffmpeg rounds it.
  template <class Sample>
  void row(const uint8_t* y, const Sample* u, const Sample* v, int width, uint8_t* out) const {
    const auto in8 = [](Sample c) {
      if constexpr (std::is_same_v<Sample, uint8_t>) {
        return static_cast<int>(c);
      } else {
        return static_cast<int>(std::clamp<int64_t>(roundHalfUp(c), 0, 255));
      }
    };
    for (int x = 0; x < width; x += 2, out += 6) {
      const int cu = in8(u[x >> 1]), cv = in8(v[x >> 1]);
      const int r = rv[cv], g = gu[cu] + gv[cv], b = bu[cu];
      for (int k = 0; k < 2 && x + k < width; ++k) {
        out[3 * k] = at(y[x + k], r);
        out[3 * k + 1] = at(y[x + k], g);
        out[3 * k + 2] = at(y[x + k], b);
      }
    }
  }
};

// ---- The stream ------------------------------------------------------------------

struct ColourSpace {
  std::string_view name;
  Chroma chroma;
};
constexpr ColourSpace kColourSpaces[] = {
    {"420jpeg", Chroma::k420}, {"420mpeg2", Chroma::k420}, {"420paldv", Chroma::k420},
    {"420", Chroma::k420},     {"422", Chroma::k422},      {"444", Chroma::k444},
    {"mono", Chroma::kMono},
};

class Y4mSource final : public FrameSource {
 public:
  explicit Y4mSource(InputFile& file) : file_(file), name_(file.path()) { readHeader(); }

  bool next(Image& frame) override;
  int durationMs() const override {
    return rate_ ? static_cast<int>((rate_->seconds * 1000 + rate_->frames / 2) / rate_->frames)
                 : 0;
  }
  std::optional<FrameRate> frameRate() const override { return rate_; }

 private:
  [[noreturn]] void refuse(const std::string& what) const { throw ConvError(name_ + ": " + what); }
  [[noreturn]] void malformed(const std::string& what) const {
    refuse("malformed YUV4MPEG2 header (" + what + ")");
  }
  [[noreturn]] void frameFails(const std::string& what) const {
    refuse("frame " + std::to_string(count_) + ": " + what);
  }

  // A line up to its "\n" (taken from the input, without it); nullopt when
  // the input ends first; `tooLong` when it does not end within `most`.
  std::optional<std::string> line(size_t most, bool* tooLong);
  struct HeaderFields {
    long width = -1, height = -1;
    std::optional<std::string_view> space, alternative;  // C, and XYSCSS for a missing C
  };
  void parameter(std::string_view word, HeaderFields& fields);
  void readHeader();
  Chroma colourSpace(std::string_view value) const;
  void setUpConversion();
  void convertRows(Image& frame, int begin, int end) const;

  InputFile& file_;
  const std::string name_;
  int width_ = 0, height_ = 0;
  int chromaWidth_ = 0, chromaHeight_ = 0;
  Chroma chroma_ = Chroma::k420;
  bool fullRange_ = false;
  std::optional<FrameRate> rate_;
  size_t frameBytes_ = 0;
  int64_t count_ = 0;
  std::vector<uint8_t> planes_;

  // The conversion, chosen from the layout as ffmpeg chooses it.
  enum class Path { Grey, Packed, Full, Lookup };
  Path path_ = Path::Grey;
  Coefficients coefficients_{};
  std::optional<PackedTables> packed_;
  std::optional<FullFormula> full_;
  std::optional<LookupTables> lookup_;
  Taps down_, across_;  // odd heights: chroma rows to frame rows, and columns (odd widths)
};

std::optional<std::string> Y4mSource::line(size_t most, bool* tooLong) {
  *tooLong = false;
  for (size_t want = 64;; want = std::min(most, want * 4)) {
    const std::span<const uint8_t> ahead = file_.peek(want);
    const auto end = std::find(ahead.begin(), ahead.end(), '\n');
    if (end != ahead.end()) {
      std::string text(ahead.begin(), end);
      file_.read(reinterpret_cast<uint8_t*>(text.data()), text.size());
      uint8_t newline;
      file_.read(&newline, 1);
      return text;
    }
    if (ahead.size() < want) return std::nullopt;
    if (want >= most) {
      *tooLong = true;
      return std::nullopt;
    }
  }
}

// A decimal number of at most 9 digits; -1 when the text is anything else.
long decimal(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

Chroma Y4mSource::colourSpace(std::string_view value) const {
  std::string lower(value);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const ColourSpace& space : kColourSpaces) {
    if (space.name == lower) return space.chroma;
  }
  const std::string named = " (C" + std::string(value) + ") is not read; " + kReadable;
  // Deeper samples: 420p10, 444p16, mono12 and the like.
  const size_t digits = lower.find_last_not_of("0123456789") + 1;
  if (digits < lower.size() &&
      (lower.starts_with("mono") || (lower.size() > 4 && lower[3] == 'p'))) {
    refuse("YUV4MPEG2 with " + lower.substr(digits) + "-bit samples" + named);
  }
  if (lower == "411") refuse("YUV4MPEG2 with 4:1:1 chroma" + named);
  if (lower.ends_with("alpha")) refuse("YUV4MPEG2 with an alpha plane" + named);
  refuse("YUV4MPEG2 in an unknown colour space" + named);
}

void Y4mSource::parameter(std::string_view word, HeaderFields& fields) {
  const std::string_view value = word.substr(1);
  switch (word[0]) {
    case 'W':
    case 'H': {
      const long v = decimal(value);
      if (v < 0) malformed("bad frame size \"" + std::string(word) + "\"");
      (word[0] == 'W' ? fields.width : fields.height) = v;
      break;
    }
    case 'F': {
      const size_t colon = value.find(':');
      const long n = colon == std::string_view::npos ? -1 : decimal(value.substr(0, colon));
      const long d = colon == std::string_view::npos ? -1 : decimal(value.substr(colon + 1));
      if (n < 0 || d < 0) malformed("bad frame rate \"" + std::string(word) + "\"");
      const long g = n > 0 && d > 0 ? std::gcd(n, d) : 1;
      if (n > 0 && d > 0 && n / g <= kMaxFrameRateTerm && d / g <= kMaxFrameRateTerm) {
        rate_ = FrameRate{n / g, d / g};
      }
      break;
    }
    case 'I':
      for (const auto& [code, order] : kFieldOrders) {
        if (value == code) {
          refuse("interlaced YUV4MPEG2 (I" + std::string(code) + ": " + order +
                 ") is not read; only progressive frames are");
        }
      }
      if (value != "p" && value != "?") malformed("bad interlacing \"" + std::string(word) + "\"");
      break;
    case 'C':
      fields.space = value;
      break;
    case 'X':
      if (value == "COLORRANGE=FULL") fullRange_ = true;
      if (value == "COLORRANGE=LIMITED") fullRange_ = false;
      if (value.starts_with("YSCSS=")) fields.alternative = value.substr(6);
      break;
    default:  // A (aspect ratio) and letters of later versions
      break;
  }
}

void Y4mSource::readHeader() {
  bool tooLong = false;
  const std::optional<std::string> header = line(kHeaderMost, &tooLong);
  if (tooLong) {
    refuse("the YUV4MPEG2 header does not end within " + std::to_string(kHeaderMost) + " bytes");
  }
  if (!header) refuse("the file ends inside the YUV4MPEG2 header");
  std::string_view rest(*header);
  if (!rest.starts_with("YUV4MPEG2 ")) refuse("not a YUV4MPEG2 stream (no YUV4MPEG2 signature)");
  rest.remove_prefix(10);
  HeaderFields fields;
  while (!rest.empty()) {
    const size_t gap = rest.find(' ');
    const std::string_view word = rest.substr(0, gap);
    rest.remove_prefix(gap == std::string_view::npos ? rest.size() : gap + 1);
    if (!word.empty()) parameter(word, fields);
  }
  if (fields.width < 0 || fields.height < 0) malformed("no frame size");
  checkGeometry(name_, fields.width, fields.height, "YUV4MPEG2");
  width_ = static_cast<int>(fields.width);
  height_ = static_cast<int>(fields.height);
  chroma_ = fields.space         ? colourSpace(*fields.space)
            : fields.alternative ? colourSpace(*fields.alternative)
                                 : Chroma::k420;
  const bool halfAcross = chroma_ == Chroma::k420 || chroma_ == Chroma::k422;
  chromaWidth_ = halfAcross ? (width_ + 1) / 2 : width_;
  chromaHeight_ = chroma_ == Chroma::k420 ? (height_ + 1) / 2 : height_;
  const size_t chroma = chroma_ == Chroma::kMono ? 0
                                                 : 2 * static_cast<size_t>(chromaWidth_) *
                                                       static_cast<size_t>(chromaHeight_);
  frameBytes_ = static_cast<size_t>(width_) * static_cast<size_t>(height_) + chroma;
  setUpConversion();
}

void Y4mSource::setUpConversion() {
  coefficients_ = coefficientsFor(fullRange_);
  if (chroma_ == Chroma::kMono) {
    path_ = Path::Grey;
  } else if (chroma_ == Chroma::k444 || (height_ % 2 == 1 && width_ % 2 == 1)) {
    path_ = Path::Full;
    full_.emplace(coefficients_);
  } else if (height_ % 2 == 0) {
    path_ = Path::Packed;
    packed_.emplace(coefficients_);
  } else {
    path_ = Path::Lookup;
    lookup_.emplace(coefficients_, fullRange_);
  }
  if (chroma_ != Chroma::k444 && chroma_ != Chroma::kMono && height_ % 2 == 1) {
    if (chroma_ == Chroma::k420) down_ = Taps(chromaHeight_, height_);
    if (width_ % 2 == 1) across_ = Taps(chromaWidth_, width_);
  }
}

bool Y4mSource::next(Image& frame) {
  const std::span<const uint8_t> head = file_.peek(kFrame.size() + 1);
  if (head.empty()) return false;
  if (count_ == kMaxFrames) refuse("more than " + std::to_string(kMaxFrames) + " frames");
  ++count_;
  const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  if (text == "FRAME\n") {
    uint8_t skipped[kFrame.size() + 1];
    file_.read(skipped, sizeof skipped);
  } else if (text == "FRAME ") {
    bool tooLong = false;
    if (!line(kFrameHeaderMost, &tooLong)) {
      if (!tooLong) frameFails("the file ends inside the FRAME header");
      frameFails("the FRAME header does not end within " + std::to_string(kFrameHeaderMost) +
                 " bytes");
    }
  } else if (head.size() <= kFrame.size() && kFrame.starts_with(text)) {
    frameFails("the file ends inside the FRAME header");
  } else {
    frameFails("not a YUV4MPEG2 frame (no FRAME header)");
  }
  // The planes grow as their bytes arrive: a header alone costs no frame.
  size_t got = 0;
  while (got < frameBytes_) {
    const size_t want = std::min(frameBytes_, std::max(kFirstPlaneBytes, 2 * got));
    if (planes_.size() < want) planes_.resize(want);
    const size_t read = file_.read(planes_.data() + got, want - got);
    got += read;
    if (got < want) break;
  }
  if (got < frameBytes_) {
    frameFails("the file ends inside the frame (" + std::to_string(got) + " of " +
               std::to_string(frameBytes_) + " bytes)");
  }
  frame.width = width_;
  frame.height = height_;
  frame.channels = chroma_ == Chroma::kMono ? 1 : 3;
  frame.palette.clear();
  frame.paletteAlpha.clear();
  frame.transparentIndex = -1;
  frame.metadata = ImageMetadata{};
  frame.samples.resize(frame.pixelCount() * static_cast<size_t>(frame.channels));
  if (path_ == Path::Grey) {
    std::memcpy(frame.samples.data(), planes_.data(), frame.samples.size());
    return true;
  }
  const int64_t rowsPerStripe = std::max<int64_t>(1, kStripePixels / width_);
  kx_forStripes(height_, rowsPerStripe, [&](int64_t begin, int64_t end) {
    convertRows(frame, static_cast<int>(begin), static_cast<int>(end));
  });
  return true;
}

void Y4mSource::convertRows(Image& frame, int begin, int end) const {
  const uint8_t* lumaPlane = planes_.data();
  const size_t chromaSize = static_cast<size_t>(chromaWidth_) * static_cast<size_t>(chromaHeight_);
  const uint8_t* uPlane = lumaPlane + static_cast<size_t>(width_) * height_;
  const uint8_t* vPlane = uPlane + chromaSize;
  const int shiftY = chromaHeight_ == height_ ? 0 : 1;
  // Odd heights: the chroma of a frame row, interpolated down from the
  // chroma rows (4:2:0) or taken as it is (4:2:2).
  const bool interpolated = !down_.empty() || !across_.empty();
  std::vector<float> uRow(interpolated ? chromaWidth_ : 0), vRow(uRow.size());
  for (int y = begin; y < end; ++y) {
    const uint8_t* luma = lumaPlane + static_cast<size_t>(y) * width_;
    uint8_t* out = frame.samples.data() + static_cast<size_t>(y) * width_ * 3;
    const size_t chromaRow = static_cast<size_t>(y >> shiftY) * chromaWidth_;
    const uint8_t* u = uPlane + chromaRow;
    const uint8_t* v = vPlane + chromaRow;
    if (!down_.empty()) {
      const std::array<int, 4>& n = down_.index[y];
      const std::array<float, 4>& w = down_.weight[y];
      for (auto [plane, row] : {std::pair{uPlane, uRow.data()}, std::pair{vPlane, vRow.data()}}) {
        const uint8_t* r[4];
        for (int k = 0; k < 4; ++k) r[k] = plane + static_cast<size_t>(n[k]) * chromaWidth_;
        for (int x = 0; x < chromaWidth_; ++x)
          row[x] = w[0] * r[0][x] + w[1] * r[1][x] + w[2] * r[2][x] + w[3] * r[3][x];
      }
    } else if (interpolated) {
      std::copy(u, u + chromaWidth_, uRow.begin());
      std::copy(v, v + chromaWidth_, vRow.begin());
    }
    switch (path_) {
      case Path::Packed:
        packed_->row(luma, u, v, width_, out);
        break;
      case Path::Full:
        if (interpolated) {
          full_->row(luma, uRow.data(), vRow.data(), across_, width_, out);
        } else {
          full_->row(luma, u, v, width_, out);
        }
        break;
      case Path::Lookup:
        if (interpolated) {
          lookup_->row(luma, uRow.data(), vRow.data(), width_, out);
        } else {
          lookup_->row(luma, u, v, width_, out);
        }
        break;
      case Path::Grey:
        break;
    }
  }
}

}  // namespace

std::unique_ptr<FrameSource> openY4m(InputFile& file) {
  return std::make_unique<Y4mSource>(file);
}

Image readY4mFile(const std::string& path) {
  InputFile file(path);
  Y4mSource source(file);
  Image image;
  if (!source.next(image)) throw ConvError(path + ": holds no frame");
  return image;
}

}  // namespace kx
