// The frames of a sequence kept between its two passes (count, then remap):
// a pipe cannot be read twice, and reading a file twice costs its decoding
// twice.
//
// A frame is kept as its RGB samples, then, when it has transparent
// pixels, one byte per pixel (1: transparent). Frames stay in memory while
// they fit the budget; the rest go, in order, to one temporary file made
// with the outputs' own machinery (PendingFile): hidden beside the output,
// never published, so it is removed when the store goes and by any signal
// that ends the process. Reads use pread, so frames are read back on many
// threads at once.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "quant/quant_pvt.h"

namespace kx {

namespace {

size_t frameBytes(size_t pixels, size_t transparentCount) {
  return 3 * pixels + (transparentCount > 0 ? pixels : 0);
}

}  // namespace

size_t FrameStore::defaultBudget() {
  if (const char* value = std::getenv("KX_FRAME_MEMORY"); value && *value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long bytes = std::strtoull(value, &end, 10);
    if (errno == 0 && *end == '\0') return static_cast<size_t>(bytes);
  }
  return size_t{128} << 20;
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
  const size_t n = frame.pixelCount();
  const size_t bytes = frameBytes(n, frame.transparentCount);
  if (!spill_ && kept_ + bytes <= budget_) {
    std::vector<uint8_t> kept(bytes);
    std::memcpy(kept.data(), frame.rgb.data(), 3 * n);
    if (frame.transparentCount > 0) std::memcpy(kept.data() + 3 * n, frame.transparent.data(), n);
    entry.at = memory_.size();
    memory_.push_back(std::move(kept));
    kept_ += bytes;
    entries_.push_back(entry);
    return;
  }
  if (!spill_) {
    spill_ = PendingFile::open(beside_, &stream_);
    if (!spill_) {
      throw ConvError(beside_ +
                      ": cannot make a temporary file for the frames: " + std::strerror(errno));
    }
  }
  entry.spilled = true;
  entry.at = spilled_;
  std::fwrite(frame.rgb.data(), 1, 3 * n, stream_);
  if (frame.transparentCount > 0) std::fwrite(frame.transparent.data(), 1, n, stream_);
  if (std::ferror(stream_)) {
    throw ConvError(spill_->writtenPath() + ": cannot keep the frames: " + std::strerror(errno));
  }
  spilled_ += bytes;
  entries_.push_back(entry);
}

void FrameStore::finish() {
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

SourcePicture FrameStore::get(size_t k) const {
  const Entry& entry = entries_.at(k);
  SourcePicture frame;
  frame.width = entry.width;
  frame.height = entry.height;
  frame.transparentCount = entry.transparentCount;
  const size_t n = frame.pixelCount();
  frame.rgb.resize(3 * n);
  if (entry.transparentCount > 0) frame.transparent.resize(n);
  if (!entry.spilled) {
    const std::vector<uint8_t>& kept = memory_[entry.at];
    std::memcpy(frame.rgb.data(), kept.data(), 3 * n);
    if (entry.transparentCount > 0) std::memcpy(frame.transparent.data(), kept.data() + 3 * n, n);
    return frame;
  }
  auto readAt = [&](uint8_t* out, size_t bytes, size_t offset) {
    while (bytes > 0) {
      const ssize_t got = ::pread(reader_, out, bytes, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        throw ConvError(spill_->writtenPath() + ": cannot read the frames back: " +
                        (got < 0 ? std::strerror(errno) : "the file was cut short"));
      }
      out += got;
      offset += static_cast<size_t>(got);
      bytes -= static_cast<size_t>(got);
    }
  };
  readAt(frame.rgb.data(), 3 * n, entry.at);
  if (entry.transparentCount > 0) readAt(frame.transparent.data(), n, entry.at + 3 * n);
  return frame;
}

}  // namespace kx
