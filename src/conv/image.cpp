// The in-memory image shared by every reader and writer of kxconv.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "conv/conv.h"

namespace kx {

void checkGeometry(const std::string& name, long width, long height) {
  const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
  if (width < 1 || height < 1) throw ConvError(name + ": the picture is empty (" + size + ")");
  if (width > kMaxPictureSide || height > kMaxPictureSide) {
    throw ConvError(name + ": the picture is " + size + "; a .pic picture holds at most " +
                    std::to_string(kMaxPictureSide) + " x " + std::to_string(kMaxPictureSide));
  }
}

Image expandToRgb(const Image& image, bool keepAlpha) {
  Image out;
  out.width = image.width;
  out.height = image.height;
  const bool alpha = keepAlpha && image.hasAlpha();
  out.channels = alpha ? 4 : 3;
  const size_t n = image.pixelCount();
  out.samples.resize(n * out.channels);
  const uint8_t* src = image.samples.data();
  uint8_t* dst = out.samples.data();
  for (size_t i = 0; i < n; ++i, dst += out.channels) {
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
  return out;
}

std::vector<uint8_t> readWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw ConvError(path + ": cannot open: " + std::strerror(errno));
  std::vector<uint8_t> bytes;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
  uint8_t block[65536];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      throw ConvError(path + ": cannot read: " + std::strerror(saved));
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), block, block + got);
  }
  ::close(fd);
  return bytes;
}

}  // namespace kx
