#include "common/outfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kx {

namespace {
constexpr size_t kBufferSize = 1 << 16;
}

std::unique_ptr<OutFile> OutFile::create(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return nullptr;
  struct stat st;
  bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  return std::unique_ptr<OutFile>(new OutFile(f, path, regular));
}

OutFile::OutFile(std::FILE* f, std::string path, bool regular)
    : file_(f), path_(std::move(path)), regular_(regular), buffer_(new uint8_t[kBufferSize]) {}

OutFile::~OutFile() {
  if (!done_) abandon();
}

void OutFile::flushBuffer() {
  if (used_ == 0) return;
  if (error_ == 0 && std::fwrite(buffer_.get(), 1, used_, file_) != used_) {
    error_ = errno ? errno : EIO;
  }
  used_ = 0;
}

void OutFile::write(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (done_) {
    if (error_ == 0) error_ = EBADF;
    return;
  }
  if (n >= kBufferSize) {
    flushBuffer();
    if (error_ == 0 && std::fwrite(p, 1, n, file_) != n) error_ = errno ? errno : EIO;
    return;
  }
  if (used_ + n > kBufferSize) flushBuffer();
  std::memcpy(buffer_.get() + used_, p, n);
  used_ += n;
}

void OutFile::u8(uint32_t v) {
  if (done_ || used_ == kBufferSize) {
    uint8_t b = static_cast<uint8_t>(v);
    write(&b, 1);
    return;
  }
  buffer_[used_++] = static_cast<uint8_t>(v);
}

void OutFile::u16(uint32_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  write(b, 2);
}

void OutFile::u32(uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                  static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  write(b, 4);
}

bool OutFile::commit() {
  if (done_) {
    errno = error_ ? error_ : EBADF;
    return false;
  }
  flushBuffer();
  if (error_ == 0 && std::fflush(file_) != 0) error_ = errno ? errno : EIO;
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno ? errno : EIO;
  file_ = nullptr;
  done_ = true;
  if (error_ != 0) {
    if (regular_) ::unlink(path_.c_str());
    errno = error_;
    return false;
  }
  return true;
}

void OutFile::abandon() {
  if (done_) return;
  int saved = errno;
  if (file_) std::fclose(file_);
  file_ = nullptr;
  done_ = true;
  if (regular_) ::unlink(path_.c_str());
  errno = saved;
}

}  // namespace kx
