// The frames of a sequence kept between its two passes (count, then remap):
// a pipe cannot be read twice, and reading a file twice costs its decoding
// twice.
//
// A frame is kept row by row, each row its RGB samples followed, when the
// frame has transparent pixels, by one byte per pixel (1: transparent). A
// row equal to the same row of the frame before (same size, same mask or
// none) is not kept again: the frame points to the bytes kept for it, so a
// screen recording or a still background costs what changes. Each frame's
// new rows are one block, in memory while the blocks fit the budget, after
// it appended, with the places of the frame's rows, to one temporary file made with the outputs'
// own machinery (PendingFile): hidden beside the output, never published, so it is removed when the
// store goes and by any signal that ends the process. Reads use pread, so frames are read back on
// many threads at once.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "sequence/sequence_pvt.h"

namespace kx {

size_t defaultFrameMemory() {
  if (const char* value = std::getenv("KX_FRAME_MEMORY"); value && *value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long bytes = std::strtoull(value, &end, 10);
    if (errno == 0 && *end == '\0') return static_cast<size_t>(bytes);
  }
  return size_t{8} << 20;
}

FrameStore::FrameStore(std::string beside, size_t budget)
    : beside_(std::move(beside)), budget_(budget) {}

FrameStore::~FrameStore() {
  if (stream_) std::fclose(stream_);
  if (reader_ >= 0) ::close(reader_);
  // spill_ removes the temporary file as it goes.
}

void FrameStore::add(const SourcePicture& frame) {
  Entry entry;
  entry.width = frame.width;
  entry.height = frame.height;
  entry.transparentCount = frame.transparentCount;
  const auto width = static_cast<size_t>(frame.width);
  const bool masked = frame.transparentCount > 0;
  const size_t rowBytes = (masked ? 4 : 3) * width;
  const Entry* before = entries_.empty() ? nullptr : &entries_.back();
  const bool comparable = before && before->width == frame.width &&
                          before->height == frame.height &&
                          (before->transparentCount > 0) == masked;
  auto rgbOf = [&](size_t y) { return frame.rgb.data() + 3 * width * y; };
  auto maskOf = [&](size_t y) { return frame.transparent.data() + width * y; };
  entry.rows.resize(static_cast<size_t>(frame.height));
  std::vector<size_t> fresh;
  for (size_t y = 0; y < entry.rows.size(); ++y) {
    if (comparable) {
      // The row of the frame before, where it is kept in memory, or as
      // last_ keeps it when it is in the file.
      const Place& kept = lastRows_[y];
      const uint8_t* row = kept.block != kInFile ? memory_[kept.block].data() + kept.at
                                                 : last_.data() + rowBytes * y;
      if (std::memcmp(row, rgbOf(y), 3 * width) == 0 &&
          (!masked || std::memcmp(row + 3 * width, maskOf(y), width) == 0)) {
        entry.rows[y] = kept;
        continue;
      }
    }
    fresh.push_back(y);
  }
  std::vector<uint8_t> block;
  block.reserve(rowBytes * fresh.size() + (spill_ ? 12 * entry.rows.size() : 0));
  for (const size_t y : fresh) {
    entry.rows[y].at = block.size();
    block.insert(block.end(), rgbOf(y), rgbOf(y) + 3 * width);
    if (masked) block.insert(block.end(), maskOf(y), maskOf(y) + width);
  }
  // The places count too: a still clip's frames are little else.
  const size_t cost = block.size() + sizeof(Place) * entry.rows.size();
  if (!spill_ && inMemory_ + cost <= budget_) {
    const auto index = static_cast<uint32_t>(memory_.size());
    for (const size_t y : fresh) entry.rows[y].block = index;
    inMemory_ += cost;
    memory_.push_back(std::move(block));
    lastRows_ = entry.rows;
  } else {
    if (!spill_) {
      spill_ = PendingFile::open(beside_, &stream_);
      if (!spill_) {
        throw ConvError(beside_ +
                        ": cannot make a temporary file for the frames: " + std::strerror(errno));
      }
    }
    // The next frame compares with these rows: they are kept in last_ too.
    last_.resize(rowBytes * entry.rows.size());
    for (const size_t y : fresh) {
      std::memcpy(last_.data() + rowBytes * y, block.data() + entry.rows[y].at, rowBytes);
      entry.rows[y].block = kInFile;
      entry.rows[y].at += spilled_;
    }
    // The places follow the rows: 12 bytes each, the block and the offset.
    entry.table = spilled_ + block.size();
    const size_t rowsAt = block.size();
    block.resize(rowsAt + 12 * entry.rows.size());
    for (size_t y = 0; y < entry.rows.size(); ++y) {
      uint8_t* out = block.data() + rowsAt + 12 * y;
      storeBE32(out, entry.rows[y].block);
      storeBE32(out + 4, static_cast<uint32_t>(entry.rows[y].at >> 32));
      storeBE32(out + 8, static_cast<uint32_t>(entry.rows[y].at));
    }
    if (std::fwrite(block.data(), 1, block.size(), stream_) != block.size()) {
      throw ConvError(spill_->writtenPath() + ": cannot keep the frames: " + std::strerror(errno));
    }
    spilled_ += block.size();
    lastRows_ = std::move(entry.rows);
    entry.rows = {};
  }
  entries_.push_back(std::move(entry));
}

void FrameStore::finish() {
  last_ = {};
  lastRows_ = {};
  if (!stream_) return;
  if (std::fflush(stream_) != 0 || std::ferror(stream_)) {
    throw ConvError(spill_->writtenPath() + ": cannot keep the frames: " + std::strerror(errno));
  }
  reader_ = ::open(spill_->writtenPath().c_str(), O_RDONLY | O_CLOEXEC);
  if (reader_ < 0) {
    throw ConvError(spill_->writtenPath() +
                    ": cannot read the frames back: " + std::strerror(errno));
  }
}

void FrameStore::readRow(const Place& place, uint8_t* out, size_t bytes) const {
  if (place.block != kInFile) {
    std::memcpy(out, memory_[place.block].data() + place.at, bytes);
    return;
  }
  readAt(place.at, out, bytes);
}

void FrameStore::readAt(uint64_t offset, uint8_t* out, size_t bytes) const {
  while (bytes > 0) {
    const ssize_t got = ::pread(reader_, out, bytes, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      throw ConvError(spill_->writtenPath() + ": cannot read the frames back: " +
                      (got < 0 ? std::strerror(errno) : "the file was cut short"));
    }
    out += got;
    offset += static_cast<uint64_t>(got);
    bytes -= static_cast<size_t>(got);
  }
}

SourcePicture FrameStore::get(size_t k) const {
  const Entry& entry = entries_.at(k);
  SourcePicture frame;
  frame.width = entry.width;
  frame.height = entry.height;
  frame.transparentCount = entry.transparentCount;
  const auto width = static_cast<size_t>(frame.width);
  const bool masked = entry.transparentCount > 0;
  const size_t rowBytes = (masked ? 4 : 3) * width;
  frame.rgb.resize(3 * frame.pixelCount());
  if (masked) frame.transparent.resize(frame.pixelCount());
  std::vector<uint8_t> row(masked ? rowBytes : 0);
  std::vector<Place> places;
  if (entry.rows.empty() && frame.height > 0) {
    std::vector<uint8_t> table(12 * static_cast<size_t>(frame.height));
    readAt(entry.table, table.data(), table.size());
    places.resize(static_cast<size_t>(frame.height));
    for (size_t y = 0; y < places.size(); ++y) {
      const uint8_t* in = table.data() + 12 * y;
      places[y].block = loadBE32(in);
      places[y].at = uint64_t{loadBE32(in + 4)} << 32 | loadBE32(in + 8);
    }
  }
  const std::vector<Place>& rows = places.empty() ? entry.rows : places;
  for (int y = 0; y < frame.height; ++y) {
    uint8_t* rgb = frame.rgb.data() + 3 * width * y;
    if (!masked) {
      // Rows kept one after the other are read at once.
      int end = y + 1;
      while (end < frame.height && rows[end].block == rows[y].block &&
             rows[end].at == rows[y].at + rowBytes * (end - y)) {
        ++end;
      }
      readRow(rows[y], rgb, rowBytes * (end - y));
      y = end - 1;
      continue;
    }
    readRow(rows[y], row.data(), rowBytes);
    std::memcpy(rgb, row.data(), 3 * width);
    std::memcpy(frame.transparent.data() + width * y, row.data() + 3 * width, width);
  }
  return frame;
}

}  // namespace kx
