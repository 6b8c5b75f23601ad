// Animated GIF files, written here: the file's structure, and the image data
// LZW-coded by gif_lzw.cpp, so that frames can be coded on many threads.
//
// The file, GIF89a, all numbers little-endian:
//   "GIF89a", the logical screen descriptor: the screen's width and height
//     (16 bits each), a global colour table of 2^n entries (the palette padded
//     with black), colour resolution 8, the background index (the
//     transparent index when there is one, else 0), aspect 0;
//   the global colour table, 3 bytes (R, G, B) per entry;
//   a NETSCAPE2.0 application extension (21 FF 0B "NETSCAPE2.0"): a 3-byte
//     sub-block, 1 and the loop count (0 repeats for ever), an empty
//     sub-block; left out when the frames play once;
//   for every stored frame:
//     a graphic control extension (21 F9 04): disposal 1 ("leave in place")
//       or 2 ("restore to background"), no user input, the delay in
//       hundredths of a second, the transparent index (flagged whenever
//       there is one; FF when there is none), an empty sub-block;
//     an image descriptor (2C): the frame's rectangle on the screen, no
//       local colour table, not interlaced;
//     the image data: the LZW minimum code size (the bits of the largest
//       index the frame's data holds, at least 2: a frame of the palette's
//       first entries codes with shorter codes), the data sub-blocks, an
//       empty sub-block;
//   the trailer, 0x3B.
//
// The palette's transparent entry is the transparent index; without one, the
// writer adds an entry after the palette's colours for it, when the palette
// has fewer than 256 colours.
//
// How frames are stored. The screen starts as background. Each frame is
// stored as the smallest rectangle where its picture differs from what the
// screen shows, drawn over it and left in place. Inside the rectangle,
// pixels equal to what is shown may be written as the transparent index,
// which often codes into longer strings: both versions are coded and the
// smaller one is stored (the opaque one on a tie). A frame equal to the one
// before lengthens it (the delays add up, while the sum fits 16 bits); one
// that differs from it only where the previous frame's disposal cleared the
// screen is stored as a 1 x 1 frame that changes nothing, to mark its start.
//
// Background cannot be drawn over a colour: a transparent pixel shows what
// is below it. Where a picture shows background (its transparent pixels, or
// the screen around a smaller picture) where the screen shows a colour, the
// frame before gets disposal 2 and its rectangle grows to cover those
// pixels; so one frame is held back until the next has arrived. Without a
// transparent index (256 colours and no transparent entry) frames are plain
// rectangles: background can then only be around smaller pictures, which
// disposal 2 alone clears.
//
// Decoders show the background as transparent (browsers always; every
// decoder when the background index is the transparent index), so a picture
// smaller than the screen has a transparent surround.
//
// Lossy coding (Settings::standInDistance2): each colour's stand-ins are the
// palette's colours within the distance, nearest first (at most
// kMaxStandIns), tried by the LZW coder where a string would end.
//
// Frames wait in a batch of a few (twice the threads, bounded in bytes) and
// the batch's frames are coded side by side; which version of a frame is
// stored depends only on its own codes, so the bytes are the same for any
// number of threads. The bytes go into an OutFile, so the file on disk is
// only ever complete or absent, or into memory.
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>

#include "common/bytes.h"
#include "common/color.h"
#include "common/outfile.h"
#include "common/threads.h"
#include "encode/encode_pvt.h"

namespace kx {

namespace {

// What the screen shows at a pixel: a palette index, or the background.
using Shown = uint16_t;
constexpr Shown kBackground = 256;
constexpr int kMaxDelay = 65535;
// Disposal methods of the graphic control extension.
constexpr int kLeaveInPlace = 1;
constexpr int kRestoreBackground = 2;
// Blocks of the file.
constexpr uint8_t kExtension = 0x21, kImage = 0x2C, kTrailer = 0x3B;
constexpr uint8_t kGraphicControl = 0xF9, kApplication = 0xFF;
// Frames waiting to be coded hold up to two versions of their rectangle.
constexpr size_t kBatchBytes = size_t{64} << 20;
constexpr size_t kMaxStandIns = 16;

// The bounding box of the pixels added to it.
class Bounds {
 public:
  void add(int x, int y) {
    x0_ = std::min(x0_, x);
    x1_ = std::max(x1_, x);
    y0_ = std::min(y0_, y);
    y1_ = std::max(y1_, y);
  }
  void add(const GifRect& r) {
    add(r.left, r.top);
    add(r.left + r.width - 1, r.top + r.height - 1);
  }
  bool empty() const { return x1_ < x0_; }
  GifRect rect() const {
    return empty() ? GifRect{} : GifRect{x0_, y0_, x1_ - x0_ + 1, y1_ - y0_ + 1};
  }

 private:
  int x0_ = INT_MAX, y0_ = INT_MAX, x1_ = -1, y1_ = -1;
};

}  // namespace

int64_t gifFrameStart(int64_t frame, const FrameRate& rate) {
  return (200 * frame * rate.seconds + rate.frames) / (2 * rate.frames);
}

namespace {

// Each colour's stand-ins within `limit`, nearest first (ties by index);
// the transparent entry has none and stands in for none.
LzwStandIns standInsOf(const std::vector<std::array<uint8_t, 3>>& palette, int transparent,
                       int limit) {
  LzwStandIns standIns(palette.size());
  if (limit <= 0) return standIns;
  for (size_t i = 0; i < palette.size(); ++i) {
    if (static_cast<int>(i) == transparent) continue;
    std::vector<std::pair<int, uint8_t>> near;
    for (size_t j = 0; j < palette.size(); ++j) {
      if (j == i || static_cast<int>(j) == transparent) continue;
      const auto& a = palette[i];
      const auto& b = palette[j];
      const int d = weightedDistance2(a[0], a[1], a[2], b[0], b[1], b[2]);
      if (d <= limit) near.emplace_back(d, static_cast<uint8_t>(j));
    }
    std::sort(near.begin(), near.end());
    if (near.size() > kMaxStandIns) near.resize(kMaxStandIns);
    for (const auto& n : near) standIns[i].push_back(n.second);
  }
  return standIns;
}

}  // namespace

struct GifWriter::State {
  // A frame as it came: the screen's indices and where the picture is.
  struct Canvas {
    std::vector<uint8_t> pixels;
    GifRect picture;
  };
  // A frame whose rectangle and disposal are settled, waiting to be coded.
  struct Pending {
    GifRect rect;
    int disposal = kLeaveInPlace;
    int delay = 0;
    std::vector<uint8_t> versions[2];  // opaque; unchanged pixels transparent (or empty)
    std::vector<uint8_t> codes[2];
    int codeSizes[2] = {2, 2};
  };
  // Where a row of one frame differs from the same row of another.
  struct Span {
    int first = INT_MAX, last = -1;
    bool empty() const { return last < first; }
  };

  std::string path;              // for messages
  std::unique_ptr<OutFile> out;  // the file; or
  std::vector<uint8_t>* memory = nullptr;
  std::vector<uint8_t> bytes;  // the file in memory, until commit()
  ThreadPool* pool = nullptr;
  int width = 0, height = 0;
  int colours = 0;             // the caller's palette entries
  int sourceTransparent = -1;  // the caller's transparent entry
  int transparent = -1;        // the transparent index of the file
  LzwStandIns standIns;        // empty: lossless
  size_t batch = 1;
  bool committed = false;

  // The last frame settled, with its rectangle and disposal: the screen
  // before the held frame is this picture, cleared over the rectangle with
  // disposal 2. None before the first frame (all background).
  std::optional<Canvas> settled;
  GifRect settledRect;
  int settledDisposal = kLeaveInPlace;
  // The last frame, held back until the next one settles its disposal.
  std::optional<Canvas> held;
  GifRect heldRect;  // what differs from the screen before it
  int heldDelay = 0;
  std::vector<Pending> pending;
  std::vector<Span> spans;  // per row: where the new frame differs from the held one
  std::vector<Shown> rowA, rowB;

  // The bytes to the file (an OutFile destroyed uncommitted removes it), or
  // to memory.
  void put(const std::vector<uint8_t>& block) {
    if (!out) {
      bytes.insert(bytes.end(), block.begin(), block.end());
      return;
    }
    out->write(block);
    if (out->failed()) throw ConvError(path + ": cannot write: " + std::strerror(out->error()));
  }

  // Row y of a frame as the screen is to show it.
  void expandRow(const Canvas& c, int y, Shown* row) const {
    const GifRect& p = c.picture;
    if (y < p.top || y >= p.top + p.height) {
      std::fill(row, row + width, kBackground);
      return;
    }
    std::fill(row, row + p.left, kBackground);
    const uint8_t* from = c.pixels.data() + static_cast<size_t>(y) * width;
    for (int x = p.left; x < p.left + p.width; ++x) {
      row[x] = from[x] == sourceTransparent ? kBackground : from[x];
    }
    std::fill(row + p.left + p.width, row + width, kBackground);
  }

  // Row y of the screen as the held frame finds it.
  void screenRow(int y, Shown* row) const {
    if (!settled) {
      std::fill(row, row + width, kBackground);
      return;
    }
    expandRow(*settled, y, row);
    const GifRect& r = settledRect;
    if (settledDisposal == kRestoreBackground && y >= r.top && y < r.top + r.height) {
      std::fill(row + r.left, row + r.left + r.width, kBackground);
    }
  }

  static Span differ(const Shown* a, const Shown* b, int n) {
    Span s;
    int x = 0;
    while (x < n && a[x] == b[x]) ++x;
    if (x == n) return s;
    s.first = x;
    for (x = n - 1; a[x] == b[x];) --x;
    s.last = x;
    return s;
  }

  // The held frame is stored over `rect` with `disposal`, and becomes the
  // settled one.
  void settle(const GifRect& rect, int disposal) {
    Pending p;
    p.rect = rect;
    p.disposal = disposal;
    p.delay = heldDelay;
    const size_t area = static_cast<size_t>(rect.width) * rect.height;
    p.versions[0].resize(area);
    if (transparent >= 0) p.versions[1].resize(area);
    const auto clear = static_cast<uint8_t>(std::max(transparent, 0));
    bool differs = false;  // the two versions
    size_t at = 0;
    for (int y = rect.top; y < rect.top + rect.height; ++y) {
      expandRow(*held, y, rowA.data());
      screenRow(y, rowB.data());
      for (int x = rect.left; x < rect.left + rect.width; ++x, ++at) {
        const Shown want = rowA[x], now = rowB[x];
        // Background is only wanted where the screen shows it already: the
        // frame before was disposed of over it.
        assert(want != kBackground || (transparent >= 0 && now == kBackground));
        const uint8_t drawn = want == kBackground ? clear : static_cast<uint8_t>(want);
        p.versions[0][at] = drawn;
        if (transparent >= 0) {
          const bool same = want == now;
          differs = differs || (same && want != kBackground);
          p.versions[1][at] = same ? clear : drawn;
        }
      }
    }
    if (!differs) p.versions[1] = {};
    settled = std::move(held);
    held.reset();
    settledRect = rect;
    settledDisposal = disposal;
    pending.push_back(std::move(p));
    if (pending.size() >= batch) flush();
  }

  // The frame becomes the held one; `changed` holds what differs from the
  // screen it finds.
  void hold(Canvas canvas, const Bounds& changed, int delay) {
    heldRect = changed.rect();
    if (heldRect.empty()) {
      // Nothing to draw, but the frame's time starts here. Without a
      // transparent index the picture's corner is a colour, and the screen
      // shows it already.
      heldRect = transparent >= 0 ? GifRect{0, 0, 1, 1}
                                  : GifRect{canvas.picture.left, canvas.picture.top, 1, 1};
    }
    held = std::move(canvas);
    heldDelay = delay;
  }

  // Compares the new frame with the held one row by row (in stripes of rows
  // on the threads): fills `spans`, and returns whether they are the same
  // and where the new one shows background over a colour of the held one.
  bool compare(const Canvas& next, Bounds& cleared) {
    const bool samePlace = next.picture == held->picture;
    std::mutex merge;
    bool same = true;
    const int64_t minimumRows = std::max<int64_t>(1, kStripePixels / width);
    forStripes(pool, height, minimumRows, [&](int64_t begin, int64_t end) {
      std::vector<Shown> a(static_cast<size_t>(width)), b(static_cast<size_t>(width));
      Bounds stripeCleared;
      bool stripeSame = true;
      for (auto y = static_cast<int>(begin); y < end; ++y) {
        Span& span = spans[static_cast<size_t>(y)];
        span = Span{};
        // Equal bytes over the same picture: the same row on the screen.
        const size_t row = static_cast<size_t>(y) * width + std::max(next.picture.left, 0);
        if (samePlace && (y < next.picture.top || y >= next.picture.top + next.picture.height ||
                          std::memcmp(next.pixels.data() + row, held->pixels.data() + row,
                                      static_cast<size_t>(next.picture.width)) == 0)) {
          continue;
        }
        expandRow(next, y, a.data());
        expandRow(*held, y, b.data());
        span = differ(a.data(), b.data(), width);
        if (span.empty()) continue;
        stripeSame = false;
        for (int x = span.first; x <= span.last; ++x) {
          if (a[x] == kBackground && b[x] != kBackground) stripeCleared.add(x, y);
        }
      }
      const std::lock_guard lock(merge);
      same = same && stripeSame;
      if (!stripeCleared.empty()) cleared.add(stripeCleared.rect());
    });
    return same;
  }

  // Codes the waiting frames side by side and writes them in order.
  void flush() {
    std::vector<std::pair<size_t, int>> jobs;
    for (size_t f = 0; f < pending.size(); ++f) {
      for (int v = 0; v < 2; ++v) {
        if (!pending[f].versions[v].empty()) jobs.emplace_back(f, v);
      }
    }
    runTasks(pool, static_cast<int>(jobs.size()), [&](int j) {
      const auto [f, v] = jobs[static_cast<size_t>(j)];
      Pending& p = pending[f];
      int bits = 2;
      const uint8_t largest = *std::max_element(p.versions[v].begin(), p.versions[v].end());
      while (largest >> bits != 0) ++bits;
      p.codeSizes[v] = bits;
      p.codes[v] = gifLzwEncode(p.versions[v], bits, standIns.empty() ? nullptr : &standIns);
      p.versions[v] = {};
    });
    for (Pending& p : pending) {
      const int v = !p.codes[1].empty() && p.codes[1].size() < p.codes[0].size() ? 1 : 0;
      write(p, p.codes[v], p.codeSizes[v]);
    }
    pending.clear();
  }

  void write(const Pending& p, const std::vector<uint8_t>& code, int codeSize) {
    std::vector<uint8_t> block;
    block.reserve(code.size() + 20);
    ByteWriter w(block);
    w.u8(kExtension);
    w.u8(kGraphicControl);
    w.u8(4);
    w.u8(p.disposal << 2 | (transparent >= 0 ? 1 : 0));
    w.le16(static_cast<uint32_t>(p.delay));
    w.u8(transparent >= 0 ? static_cast<uint32_t>(transparent) : 0xFF);
    w.u8(0);
    w.u8(kImage);
    for (const int v : {p.rect.left, p.rect.top, p.rect.width, p.rect.height}) {
      w.le16(static_cast<uint32_t>(v));
    }
    w.u8(0);  // no local colour table, not interlaced
    w.u8(static_cast<uint32_t>(codeSize));
    w.bytes(code.data(), code.size());
    w.u8(0);
    put(block);
  }
};

Result<std::unique_ptr<GifWriter>> GifWriter::create(const std::string& path,
                                                     const Settings& settings) {
  return guarded(
      path, [&] { return std::unique_ptr<GifWriter>(new GifWriter(path, nullptr, settings)); });
}

Result<std::unique_ptr<GifWriter>> GifWriter::create(std::vector<uint8_t>& memory,
                                                     const std::string& name,
                                                     const Settings& settings) {
  return guarded(
      name, [&] { return std::unique_ptr<GifWriter>(new GifWriter(name, &memory, settings)); });
}

GifWriter::GifWriter(const std::string& path, std::vector<uint8_t>* memory,
                     const Settings& settings)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  s.memory = memory;
  s.pool = settings.pool;
  const size_t colours = settings.palette.size();
  if (colours < 1 || colours > 256) {
    throw ConvError(path + ": a GIF palette holds 1 to 256 colours, not " +
                    std::to_string(colours));
  }
  if (settings.screenWidth < 1 || settings.screenHeight < 1 || settings.screenWidth > 0xFFFF ||
      settings.screenHeight > 0xFFFF) {
    throw ConvError(path + ": a GIF is at most 65535 x 65535 pixels, not " +
                    std::to_string(settings.screenWidth) + " x " +
                    std::to_string(settings.screenHeight));
  }
  if (settings.transparentIndex >= static_cast<int>(colours)) {
    throw ConvError(path + ": the transparent index " + std::to_string(settings.transparentIndex) +
                    " is not in the palette");
  }
  s.width = settings.screenWidth;
  s.height = settings.screenHeight;
  s.colours = static_cast<int>(colours);
  s.sourceTransparent = settings.transparentIndex;
  std::vector<std::array<uint8_t, 3>> palette = settings.palette;
  s.transparent = settings.transparentIndex;
  if (s.transparent < 0 && colours < 256) {
    s.transparent = static_cast<int>(colours);
    palette.push_back({0, 0, 0});
  }
  if (settings.standInDistance2 > 0) {
    s.standIns = standInsOf(palette, s.transparent, settings.standInDistance2);
  }
  const size_t screen = static_cast<size_t>(s.width) * s.height;
  s.spans.resize(static_cast<size_t>(s.height));
  s.rowA.resize(static_cast<size_t>(s.width));
  s.rowB.resize(static_cast<size_t>(s.width));
  const int threads = threadsOf(s.pool);
  s.batch = threads <= 1 ? 1 : std::clamp<size_t>(kBatchBytes / (3 * screen), 1, 2 * threads);

  if (!memory) {
    s.out = OutFile::create(path);
    if (!s.out) throw ConvError(path + ": cannot create: " + std::strerror(errno));
  }
  // The colour table has 2^bits entries, at least 2, padded with black.
  int bits = 1;
  while (size_t{1} << bits < palette.size()) ++bits;
  std::vector<uint8_t> head;
  ByteWriter w(head);
  w.bytes("GIF89a", 6);
  w.le16(static_cast<uint32_t>(s.width));
  w.le16(static_cast<uint32_t>(s.height));
  // A global colour table, 8 bits per primary, not sorted, its size.
  w.u8(0x80 | (8 - 1) << 4 | (bits - 1));
  w.u8(static_cast<uint32_t>(std::max(s.transparent, 0)));  // the background
  w.u8(0);                                                  // no aspect ratio
  for (const auto& colour : palette) w.bytes(colour.data(), 3);
  w.zeros(3 * ((size_t{1} << bits) - palette.size()));
  if (settings.loopCount != kPlayOnce) {
    // Browsers and viewers read the loop count from this extension; without
    // it an animation plays once.
    w.u8(kExtension);
    w.u8(kApplication);
    w.u8(11);
    w.bytes("NETSCAPE2.0", 11);
    w.u8(3);
    w.u8(1);
    w.le16(static_cast<uint32_t>(settings.loopCount));
    w.u8(0);
  }
  s.put(head);
}

GifWriter::~GifWriter() = default;

Status GifWriter::addFrame(std::vector<uint8_t> screen, int delayCentiseconds, GifRect picture) {
  return guarded(state_->path,
                 [&] { addHeldFrame(std::move(screen), delayCentiseconds, picture); });
}

Status GifWriter::commit() {
  return guarded(state_->path, [&] { finish(); });
}

void GifWriter::addHeldFrame(std::vector<uint8_t> screen, int delayCentiseconds, GifRect picture) {
  State& s = *state_;
  if (s.committed) throw ConvError(s.path + ": a frame after the end of the file");
  if (picture.empty()) picture = GifRect{0, 0, s.width, s.height};
  if (picture.left < 0 || picture.top < 0 || picture.width > s.width - picture.left ||
      picture.height > s.height - picture.top ||
      screen.size() != static_cast<size_t>(s.width) * s.height) {
    throw ConvError(s.path + ": a " + std::to_string(picture.width) + " x " +
                    std::to_string(picture.height) + " picture at (" +
                    std::to_string(picture.left) + ", " + std::to_string(picture.top) +
                    ") does not fit the " + std::to_string(s.width) + " x " +
                    std::to_string(s.height) + " screen");
  }
  if (delayCentiseconds < 0 || delayCentiseconds > kMaxDelay) {
    throw ConvError(s.path + ": a frame delay of " + std::to_string(delayCentiseconds) +
                    " hundredths of a second (GIF stores 0 to 65535)");
  }
  for (int y = picture.top; y < picture.top + picture.height; ++y) {
    const uint8_t* row = screen.data() + static_cast<size_t>(y) * s.width + picture.left;
    if (*std::max_element(row, row + picture.width) >= s.colours) {
      throw ConvError(s.path + ": a frame has indices beyond its " + std::to_string(s.colours) +
                      " palette entries");
    }
  }
  State::Canvas canvas{std::move(screen), picture};
  if (!s.held) {
    Bounds changed;
    for (int y = 0; y < s.height; ++y) {
      s.expandRow(canvas, y, s.rowA.data());
      s.screenRow(y, s.rowB.data());
      const State::Span span = State::differ(s.rowA.data(), s.rowB.data(), s.width);
      if (!span.empty()) changed.add(GifRect{span.first, y, span.last - span.first + 1, 1});
    }
    s.hold(std::move(canvas), changed, delayCentiseconds);
    return;
  }
  // Where the new picture shows background over a colour of the held one,
  // the held frame must clear the screen after it.
  Bounds cleared;
  const bool same = s.compare(canvas, cleared);
  if (same && s.heldDelay + delayCentiseconds <= kMaxDelay) {
    s.heldDelay += delayCentiseconds;
    return;
  }
  if (cleared.empty()) {
    s.settle(s.heldRect, kLeaveInPlace);
  } else {
    cleared.add(s.heldRect);
    s.settle(cleared.rect(), kRestoreBackground);
  }
  // What differs from the screen now: from the frame just settled, except
  // where its disposal cleared the screen.
  const GifRect& r = s.settledRect;
  const bool disposed = s.settledDisposal == kRestoreBackground;
  Bounds changed;
  for (int y = 0; y < s.height; ++y) {
    State::Span span = s.spans[static_cast<size_t>(y)];
    if (disposed && y >= r.top && y < r.top + r.height) {
      s.expandRow(canvas, y, s.rowA.data());
      s.screenRow(y, s.rowB.data());
      span = State::differ(s.rowA.data(), s.rowB.data(), s.width);
    }
    if (!span.empty()) changed.add(GifRect{span.first, y, span.last - span.first + 1, 1});
  }
  s.hold(std::move(canvas), changed, delayCentiseconds);
}

void GifWriter::finish() {
  State& s = *state_;
  if (s.committed) return;
  if (s.held) s.settle(s.heldRect, kLeaveInPlace);
  s.flush();
  s.put({kTrailer});
  if (s.memory) {
    *s.memory = std::move(s.bytes);
  } else if (!s.out->commit()) {
    throw ConvError(s.path + ": cannot write: " + std::strerror(errno));
  }
  s.committed = true;
}

}  // namespace kx
