// The in-memory image shared by every reader and writer of kxconv.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/machine.h"
#include "common/threads.h"
#include "imageio/imageio_pvt.h"

namespace kx {

void checkGeometry(const std::string& name, long width, long height, const char* format) {
  if (Status size = checkPictureSize(name, width, height, format); !size) {
    throw ConvError(size.error().message);
  }
}

Image expandToRgb(const Image& image, bool keepAlpha) {
  Image out;
  out.width = image.width;
  out.height = image.height;
  const bool alpha = keepAlpha && image.hasAlpha();
  out.channels = alpha ? 4 : 3;
  const size_t n = image.pixelCount();
  kx_resizeLarge(out.samples, n * out.channels);
  const uint8_t* src = image.samples.data();
  kx_forStripes(static_cast<int64_t>(n), kStripePixels, [&](size_t begin, size_t end) {
    uint8_t* dst = out.samples.data() + begin * out.channels;
    for (size_t i = begin; i < end; ++i, dst += out.channels) {
      if (image.indexed()) {
        // Readers check every index against the palette; the guard keeps a
        // careless caller from reading past it all the same.
        const size_t index = src[i] < image.palette.size() ? src[i] : 0;
        std::memcpy(dst, image.palette[index].data(), 3);
        continue;
      }
      const uint8_t* p = src + i * image.channels;
      if (image.channels <= 2) {
        dst[0] = dst[1] = dst[2] = p[0];
        if (alpha) dst[3] = p[1];
      } else {
        std::memcpy(dst, p, 3);
        if (alpha) dst[3] = p[3];
      }
    }
  });
  return out;
}

InputFile::InputFile(const std::string& path) : path_(path) {
  if (path == kStandardInput) {
    // Not reopened through /dev/stdin: that fails for sockets and would
    // start a redirected file over from its beginning.
    fd_ = STDIN_FILENO;
    closes_ = false;
    return;
  }
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw ConvError(path + ": cannot open: " + std::strerror(errno));
}

InputFile::~InputFile() {
  if (closes_) ::close(fd_);
}

int64_t InputFile::size() const {
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

std::span<const uint8_t> InputFile::peek(size_t n) {
  if (aheadAt_ > 0) {
    ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(aheadAt_));
    aheadAt_ = 0;
  }
  while (ahead_.size() < n) {
    const size_t old = ahead_.size();
    ahead_.resize(n);
    const ssize_t got = ::read(fd_, ahead_.data() + old, n - old);
    ahead_.resize(old + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    fromFile_ += std::max<ssize_t>(got, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ConvError(path_ + ": cannot read: " + std::strerror(errno));
    if (got == 0) break;
  }
  return {ahead_.data(), std::min(n, ahead_.size())};
}

void InputFile::putBack(std::span<const uint8_t> bytes) {
  ahead_.insert(ahead_.begin() + static_cast<std::ptrdiff_t>(aheadAt_), bytes.begin(), bytes.end());
}

size_t InputFile::read(uint8_t* out, size_t n) {
  size_t done = std::min(n, ahead_.size() - aheadAt_);
  if (done > 0) {
    std::memcpy(out, ahead_.data() + aheadAt_, done);
    aheadAt_ += done;
    if (aheadAt_ == ahead_.size()) {
      ahead_.clear();
      aheadAt_ = 0;
    }
  }
  while (done < n) {
    const ssize_t got = ::read(fd_, out + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ConvError(path_ + ": cannot read: " + std::strerror(errno));
    if (got == 0) break;
    done += static_cast<size_t>(got);
    fromFile_ += got;
  }
  return done;
}

int64_t InputFile::consumed() const {
  return fromFile_ - static_cast<int64_t>(ahead_.size() - aheadAt_);
}

bool InputFile::readUpTo(std::vector<uint8_t>& bytes, size_t limit) {
  // Grown as the bytes come, so that a short file costs only its length
  // whatever the limit.
  while (bytes.size() < limit) {
    const size_t want = std::min(limit - bytes.size(), std::max<size_t>(bytes.size(), 65536));
    const size_t old = bytes.size();
    bytes.resize(old + want);
    const size_t got = read(bytes.data() + old, want);
    bytes.resize(old + got);
    if (got < want) return false;
  }
  return !peek(1).empty();
}

}  // namespace kx
