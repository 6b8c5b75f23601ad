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
    std::string path;
    explicit Dir(const char* tag) {
      std::string tmpl =
          (std::filesystem::temp_directory_path() / ("kxfuzz-" + std::string(tag) + "-XXXXXX"))
              .string();
      if (!mkdtemp(tmpl.data())) std::abort();
      path = tmpl;
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
