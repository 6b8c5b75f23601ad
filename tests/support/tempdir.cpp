#include "support/tempdir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace kx {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kxtest-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string word; std::getline(in, word, ' ');) out.push_back(word);
  return out;
}

std::string buildDir() {
  const char* env = std::getenv("KX_BUILD_DIR");
  return env ? env : KX_BUILD_DIR;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd) {
  return runProgram(program, args, RunOptions{.cwd = cwd});
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  TempDir capture;
  const std::string outPath = capture.path("stdout"), errPath = capture.path("stderr");
  const std::string exe =
      program.find('/') == std::string::npos ? buildDir() + "/" + program : program;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
    if (options.fileSizeLimit > 0) {
      // Ignored signals stay ignored across exec: writes then fail with EFBIG.
      signal(SIGXFSZ, options.fileSizeSignal ? SIG_DFL : SIG_IGN);
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimit);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  // Polls so that a child can be signalled when a file appears; wait4 gives
  // the child's own peak memory (a forked test process would otherwise count).
  const auto started = std::chrono::steady_clock::now();
  bool killed = false;
  auto appeared = [&](const std::string& prefix) {
    for (const auto& e : std::filesystem::directory_iterator(options.cwd))
      if (e.path().filename().string().starts_with(prefix)) return true;
    return false;
  };
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (!killed && !options.killWhenExists.empty() && appeared(options.killWhenExists)) {
      kill(pid, options.killSignal);
      killed = true;
      if (!options.drainFifo.empty()) {
        const int fd = open((options.cwd + "/" + options.drainFifo).c_str(), O_RDONLY);
        char buffer[4096];
        while (fd >= 0 && read(fd, buffer, sizeof buffer) > 0) continue;
        if (fd >= 0) close(fd);
      }
    }
    if (std::chrono::steady_clock::now() - started >= std::chrono::seconds(options.timeoutSeconds))
      kill(pid, SIGKILL);
    usleep(2000);
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readFileText(outPath),
          readFileText(errPath), usage.ru_maxrss};
}

FileSizeLimit::FileSizeLimit(long bytes) {
  getrlimit(RLIMIT_FSIZE, &saved_);
  savedHandler_ = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = saved_;
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &saved_);
  signal(SIGXFSZ, savedHandler_);
}

FolderSnapshot snapshotFolder(const std::string& dir) {
  FolderSnapshot entries;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string what = e.is_symlink() ? "-> " + std::filesystem::read_symlink(e.path()).string()
                       : e.is_regular_file() ? readFileText(e.path().string())
                       : e.is_directory()    ? "<dir>"
                                             : "<other>";
    entries.emplace_back(e.path().filename().string(), std::move(what));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

std::string readFileText(const std::string& path) {
  const std::vector<uint8_t> bytes = readFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kx
