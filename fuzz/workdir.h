// One scratch directory per fuzzing process, removed with everything in it
// when the process ends: the readers under test take file names.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
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

}  // namespace kxfuzz
