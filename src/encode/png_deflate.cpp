// The zlib stream of a PNG's rows, compressed in parts side by side.
//
// The rows are cut into parts of whole rows, about kPartBytes each whatever
// the thread count, and the parts are compressed at the same time on the
// process's pool. Their deflate data are joined into one zlib stream:
//
//   2 bytes   zlib header 78 DA: deflate, 32 KiB window, maximum compression
//   parts     every part but the last: deflate blocks, none of them final,
//             then an empty stored block (the bits 000, zeros to the byte
//             boundary, 00 00 FF FF) so that the next part starts on a byte;
//             the last part: deflate blocks, the last one final
//   4 bytes   Adler-32 of all the rows, big-endian
//
// What compresses palette rows best, measured on photographs, screenshots
// and user-interface pictures reduced to 16, 64 and 256 colours, in 1 MiB
// parts (bench/png_size makes such pictures):
// - where libdeflate's fastest level shrinks a part less than kFlatRatio:1
//   (detailed or dithered rows), libdeflate's near-optimal level 10 is 1 to
//   14 % smaller than zlib's level 9, and on dithered rows faster;
// - where it shrinks it more (flat areas), zlib's level 9 is mostly smaller
//   (up to half) and 2 to 7 times faster than level 10: libdeflate ends a
//   block every 300 000 bytes of input at most, and where a row costs a few
//   bits the block headers weigh;
// - libdeflate's lazy levels, up to 9, are 1 to 12 % larger than zlib's 9;
// - filters other than type 0 lose 10 to 30 % at every lazy level, and win
//   only sometimes at level 12, with a palette ordered by nearest colours.
// So each part is probed with libdeflate's level 1 and compressed by one of
// the two. zlib's level 9 is optipng's own compressor, so optipng -o2 finds
// next to nothing in such parts, nor in the others.
//
// Level 10 costs about 0.15 s of CPU per MiB of dithered rows, most of a 9 MP
// picture's whole run (4 times its reduction), and zlib's level 9 is slower
// still on dithered gradients, which its probe finds flat (10 to 20:1). Past
// kLargeRows, therefore, only parts that libdeflate's level 1 shrinks more
// than kLargeFlatRatio:1 go to zlib, and every other part to libdeflate's
// lazy level 6: 12 to 17 times faster than level 10, 10 to 18 % larger.
//
// Pictures of at most kSmallRows (icons, sprites, up to 512 x 512 at 256
// colours) are mostly reduced many at a time, where level 10 was a quarter
// of the CPU time: their parts that are not flat go to level 6 as well. On
// the forty 256 x 256 icons of bench/icons that is 23 % less CPU time for
// files 5 % larger at 256 colours, 9 % at 64 (optipng -o2 finds 0.2 % in
// them); levels 7 to 9 are as large and slower.
//
// With PngEffort::Best every part is compressed by libdeflate's level 12 in
// both forms of the rows (filter type 0, and each row with the filter that
// suits it), then by zlib's level 9, and the smallest is kept.
//
// zlib is primed with the 32 KiB before its part, as a decoder has them.
// libdeflate has no preset dictionary, so its parts start without history
// (0.2 to 1 % larger on 1 MiB parts than in one piece), and it always ends
// with a final block: the part's blocks are walked with zlib's inflate
// (Z_BLOCK stops at every block boundary) to clear the last one's BFINAL bit.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "common/bytes.h"
#include "common/threads.h"
#include "encode/encode_pvt.h"

namespace kx {

namespace {

// Big enough that starting without history costs little, small enough that
// a 9 MP picture gives both cores several parts to share.
constexpr size_t kPartBytes = size_t{1} << 20;
constexpr size_t kWindow = 32768;
// Parts that libdeflate's fastest level shrinks more than this are flat
// enough for zlib to win.
constexpr size_t kFlatRatio = 12;
// Rows beyond which parts are compressed faster, and the ratio that makes a
// part flat there.
constexpr size_t kLargeRows = size_t{4} << 20;
constexpr size_t kLargeFlatRatio = 24;
// Rows up to which the parts are compressed by level 6 too.
constexpr size_t kSmallRows = size_t{256} << 10;
// The empty stored block after a part that is not the last one, less its
// three header bits (which are zero, as is the padding before the length).
constexpr uint8_t kSyncMarker[4] = {0x00, 0x00, 0xFF, 0xFF};

struct Part {
  size_t begin = 0, end = 0;  // rows
  int form = 0;
  std::vector<uint8_t> deflated;
  bool byZlib = false;
  uint32_t adler = 1;
};

std::vector<uint8_t> libdeflateCompress(int level, const std::vector<uint8_t>& data) {
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c(
      libdeflate_alloc_compressor(level), libdeflate_free_compressor);
  if (!c) throw std::bad_alloc();
  std::vector<uint8_t> out(libdeflate_deflate_compress_bound(c.get(), data.size()));
  out.resize(
      libdeflate_deflate_compress(c.get(), data.data(), data.size(), out.data(), out.size()));
  if (out.empty()) throw std::logic_error("libdeflate: the bound did not hold");
  return out;
}

// zlib's default memory level: its blocks of 16 Ki symbols suit palette
// rows better than level 9's (up to 2 % smaller), and optipng -o2 uses it.
struct Deflater {
  z_stream z{};
  Deflater() {
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
  }
  ~Deflater() { deflateEnd(&z); }
};

// The part's data as raw deflate: ends with a final block when `last`, else
// with the empty stored block of a sync flush.
std::vector<uint8_t> zlibCompress(const std::vector<uint8_t>& data,
                                  const std::vector<uint8_t>& history, bool last) {
  Deflater d;
  if (!history.empty() &&
      deflateSetDictionary(&d.z, history.data(), static_cast<uInt>(history.size())) != Z_OK) {
    throw std::logic_error("zlib: the dictionary was refused");
  }
  std::vector<uint8_t> out(deflateBound(&d.z, data.size()) + 64);
  d.z.next_in = const_cast<Bytef*>(data.data());
  d.z.avail_in = static_cast<uInt>(data.size());
  for (;;) {
    d.z.next_out = out.data() + d.z.total_out;
    d.z.avail_out = static_cast<uInt>(out.size() - d.z.total_out);
    const int r = deflate(&d.z, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (r == Z_STREAM_ERROR) throw std::logic_error("zlib: deflate failed");
    if (d.z.avail_in == 0 && d.z.avail_out > 0 && (!last || r == Z_STREAM_END)) break;
    out.resize(out.size() * 2);
  }
  out.resize(d.z.total_out);
  return out;
}

struct Inflater {
  z_stream z{};
  Inflater() {
    if (inflateInit2(&z, -15) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&z); }
};

// Turns a complete raw deflate stream into one that goes on: its last block
// is no longer final, and an empty stored block ends it on a byte boundary.
void continueStream(std::vector<uint8_t>& deflated) {
  Inflater in;
  std::vector<uint8_t> scratch(64 * 1024);
  in.z.next_in = deflated.data();
  in.z.avail_in = static_cast<uInt>(deflated.size());
  size_t lastBlock = 0;  // bit position of the last block header seen
  unsigned unused = 8;   // bits after the final block's end in its last byte
  int r = Z_OK;
  while (r != Z_STREAM_END) {
    in.z.next_out = scratch.data();
    in.z.avail_out = static_cast<uInt>(scratch.size());
    r = inflate(&in.z, Z_BLOCK);
    if (r != Z_OK && r != Z_STREAM_END)
      throw std::logic_error("libdeflate's part does not inflate");
    // 128: stopped at the end of a block, 64: that block was the final one;
    // the low bits are the bits of the last byte read not used yet.
    if (r == Z_OK && (in.z.data_type & 128)) {
      const size_t at = (deflated.size() - in.z.avail_in) * 8 - (in.z.data_type & 7);
      if (in.z.data_type & 64) {
        unused = static_cast<unsigned>(in.z.data_type & 7);
      } else {
        lastBlock = at;
      }
    }
  }
  if (in.z.avail_in != 0 || unused > 7) {
    throw std::logic_error("libdeflate's part does not end as expected");
  }
  deflated[lastBlock / 8] &= static_cast<uint8_t>(~(1u << (lastBlock % 8)));
  if (unused > 0) deflated.back() &= static_cast<uint8_t>((1u << (8 - unused)) - 1);
  // The stored block's three header bits fit after the final code, or take
  // a byte of their own.
  if (unused < 3) deflated.push_back(0);
  deflated.insert(deflated.end(), std::begin(kSyncMarker), std::end(kSyncMarker));
}

class Compressor {
 public:
  Compressor(const PngRows& rows, PngEffort effort)
      : rows_(rows),
        effort_(effort),
        large_(rows.count * rows.stride > kLargeRows),
        small_(rows.count * rows.stride <= kSmallRows) {
    const size_t perPart = std::max<size_t>(1, kPartBytes / rows.stride);
    for (size_t begin = 0; begin < rows.count; begin += perPart) {
      Part& part = parts_.emplace_back();
      part.begin = begin;
      part.end = std::min(rows.count, begin + perPart);
    }
  }

  std::vector<uint8_t> run() {
    const int n = static_cast<int>(parts_.size());
    // The form of a part decides the history of the next one; with one form
    // it is known from the start and each part is done in one go.
    if (rows_.forms == 1) {
      kx_parallel(n, [&](int i) { finish(i, choose(i)); });
    } else {
      kx_parallel(n, [&](int i) { choose(i); });
      kx_parallel(n, [&](int i) { finish(i, {}); });
    }
    std::vector<uint8_t> out = {0x78, 0xDA};
    uint32_t adler = 1;
    for (Part& p : parts_) {
      out.insert(out.end(), p.deflated.begin(), p.deflated.end());
      std::vector<uint8_t>().swap(p.deflated);
      const size_t length = (p.end - p.begin) * rows_.stride;
      adler = static_cast<uint32_t>(adler32_combine(adler, p.adler, static_cast<z_off_t>(length)));
    }
    uint8_t check[4];
    storeBE32(check, adler);
    out.insert(out.end(), check, check + 4);
    return out;
  }

 private:
  bool best() const { return effort_ == PngEffort::Best; }
  bool last(int i) const { return static_cast<size_t>(i) + 1 == parts_.size(); }

  std::vector<uint8_t> make(int form, size_t begin, size_t end) const {
    std::vector<uint8_t> data((end - begin) * rows_.stride);
    rows_.make(form, begin, end, data.data());
    return data;
  }

  // Picks the form of the part and, but for flat parts, compresses it with
  // libdeflate; returns the part's rows in that form.
  std::vector<uint8_t> choose(int i) {
    Part& p = parts_[i];
    std::vector<uint8_t> kept;
    for (int form = 0; form < rows_.forms; ++form) {
      std::vector<uint8_t> data = make(form, p.begin, p.end);
      int level = best() ? 12 : 10;
      if (!best()) {
        const size_t probe = libdeflateCompress(1, data).size();
        if (data.size() >= (large_ ? kLargeFlatRatio : kFlatRatio) * probe) {
          return data;  // flat: zlib alone
        }
        if (large_ || small_) level = 6;
      }
      std::vector<uint8_t> deflated = libdeflateCompress(level, data);
      if (form == 0 || deflated.size() < p.deflated.size()) {
        p.form = form;
        p.deflated = std::move(deflated);
        kept = std::move(data);
      }
    }
    return kept;
  }

  // zlib where it is wanted, then the part made ready to be joined.
  void finish(int i, std::vector<uint8_t> data) {
    Part& p = parts_[i];
    if (data.empty()) data = make(p.form, p.begin, p.end);
    p.adler = libdeflate_adler32(1, data.data(), data.size());
    if (best() || p.deflated.empty()) {
      std::vector<uint8_t> history;
      if (i > 0) {
        const Part& before = parts_[i - 1];
        const size_t rows = std::min(before.end - before.begin, kWindow / rows_.stride + 1);
        // With one form the part before may still be at work: its form is 0.
        history = make(rows_.forms == 1 ? 0 : before.form, before.end - rows, before.end);
        if (history.size() > kWindow) history.erase(history.begin(), history.end() - kWindow);
      }
      std::vector<uint8_t> z = zlibCompress(data, history, last(i));
      // A libdeflate part that goes on gains 4 or 5 bytes.
      if (p.deflated.empty() || z.size() < p.deflated.size() + (last(i) ? 0 : 5)) {
        p.deflated = std::move(z);
        p.byZlib = true;
      }
    }
    if (!last(i) && !p.byZlib) continueStream(p.deflated);
  }

  const PngRows& rows_;
  PngEffort effort_;
  bool large_, small_;
  std::vector<Part> parts_;
};

}  // namespace

std::vector<uint8_t> compressPngRows(const PngRows& rows, PngEffort effort) {
  // zlib counts lengths in uInt: a part is at most a few MiB.
  static_assert(kPartBytes < std::numeric_limits<uInt>::max() / 4);
  return Compressor(rows, effort).run();
}

}  // namespace kx
