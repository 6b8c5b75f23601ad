// One scratch directory per fuzzing process, removed with everything in it
// when the process ends: the readers under test take file names.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kxfuzz {

inline const std::string& workDir(const char* tag) {
  struct Dir {
    std::string path = (std::filesystem::temp_directory_path() / "kxfuzz-").string();
    explicit Dir(const char* tag) {
      path += std::string(tag) + "-XXXXXX";
      if (!mkdtemp(path.data())) std::abort();
    }
    ~Dir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  };
  static const Dir dir(tag);
  return dir.path;
}

// Replaces the file at path with the bytes.
inline void writeInput(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace kxfuzz
