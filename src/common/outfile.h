// Output files that are never left looking complete after a failure.
//
// An OutFile creates (or truncates) its file at once, so that failures to
// create it are reported where the system reports them, buffers its writes,
// and remembers the first write error. commit() flushes and closes it and
// says whether every byte reached the file. An OutFile destroyed without a
// successful commit (an error, or a fatal exit unwinding through its owner)
// removes the regular file it created, so a half-written output never stays
// on disk under its final name.
//
// Stands on: the standard library only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

namespace kx {

class OutFile {
 public:
  // Creates the file; null on failure with errno set by the system call.
  static std::unique_ptr<OutFile> create(const std::string& path);
  ~OutFile();
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  void write(const void* data, size_t n);
  void write(std::span<const uint8_t> bytes) { write(bytes.data(), bytes.size()); }
  void u8(uint32_t v);
  void u16(uint32_t v);  // big-endian
  void u32(uint32_t v);  // big-endian
  void text(const std::string& s) { write(s.data(), s.size()); }

  const std::string& path() const { return path_; }
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }  // errno of the first failure, 0 if none

  // Flushes and closes. True when every byte was written; otherwise errno is
  // set, error() tells why, and the file is removed.
  bool commit();
  // Closes and removes the file now (a later commit is not possible).
  void abandon();

 private:
  OutFile(std::FILE* f, std::string path, bool regular);
  void flushBuffer();

  std::FILE* file_;
  std::string path_;
  bool regular_;  // only regular files are ever removed (never /dev/full)
  bool done_ = false;
  int error_ = 0;
  size_t used_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
};

}  // namespace kx
