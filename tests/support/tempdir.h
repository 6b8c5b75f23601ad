// Test helpers: a temporary directory removed after the test, and running a
// built executable with its exit status and output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs build/<program> with the arguments (no shell), in the directory cwd
// when it is not empty.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd = "");

std::string buildDir();
std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace kx
