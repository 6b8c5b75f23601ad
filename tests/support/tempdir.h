// Test helpers: a temporary directory removed after the test, and running a
// built executable with its exit status and output captured.
#pragma once

#include <sys/resource.h>

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
  long maxRssKb = 0;  // peak resident memory of the child (getrusage)
};

struct RunOptions {
  std::string cwd{};               // working directory, when not empty
  std::vector<std::string> env{};  // "NAME=value" added to the environment
  // Signal the child once a file whose name begins so appears in cwd (empty:
  // never), then, when drainFifo names a FIFO in cwd, read it to its end.
  std::string killWhenExists{};
  int killSignal = 9;  // the signal killWhenExists sends (SIGKILL)
  std::string drainFifo{};
  int timeoutSeconds = 120;     // SIGKILL after this long in any case
  long fileSizeLimit = 0;       // bytes a file may grow to (0: no limit); writes past it fail
  bool fileSizeSignal = false;  // with the limit, SIGXFSZ as a shell's ulimit -f leaves it
};

// Runs build/<program> with the arguments (no shell), in the directory cwd
// when it is not empty.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd = "");
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options);

// While alive, files this process writes cannot grow past `bytes`: a write
// beyond fails with EFBIG, the way a full disk fails one.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit saved_;
  void (*savedHandler_)(int);
};

// Every entry of a folder (not recursive) by name: the bytes of regular
// files, "-> target" for symbolic links, "<dir>" and "<other>" otherwise.
using FolderSnapshot = std::vector<std::pair<std::string, std::string>>;
FolderSnapshot snapshotFolder(const std::string& dir);

// The arguments of a command line split at each space: two spaces hold an
// empty one.
std::vector<std::string> words(const std::string& line);

std::string buildDir();
std::vector<uint8_t> readFileBytes(const std::string& path);
std::string readFileText(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace kx
