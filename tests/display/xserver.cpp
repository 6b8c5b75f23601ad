#include "display/xserver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
// SDL starts D-Bus, which keeps buffers it never frees (see lsan.supp); the
// tests read the children's standard error, so no report of them either.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}
extern "C" const char* __lsan_default_options() {
  return "print_suppressions=0";
}
#endif

namespace kx::xtest {
namespace {

using Clock = std::chrono::steady_clock;

// Reaps pid if it has ended by the deadline; its status as the shell sees it.
std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(10ms);
  }
}

void killAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
}

void redirect(int fd, const std::string& path, int flags) {
  const int f = open(path.c_str(), flags, 0600);
  if (f < 0) _exit(126);
  dup2(f, fd);
  close(f);
}

[[noreturn]] void execArgs(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// Runs a tool against display; its standard output, or nothing when it fails.
std::optional<std::string> runTool(const std::vector<std::string>& argv,
                                   const std::string& display) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    setenv("DISPLAY", display.c_str(), 1);
    dup2(out[1], 1);
    redirect(2, "/dev/null", O_WRONLY);
    execArgs(argv);
  }
  close(out[1]);
  std::string result;
  char buf[65536];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) result.append(buf, size_t(n));
  close(out[0]);
  int status;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::optional(result) : std::nullopt;
}

uint32_t be32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<uint8_t>(b[at + k]);
  return v;
}

// Whether an XWD dump (25 big-endian 32-bit header fields, the window name up to the header
// size, 12 bytes per colour, the rows) shows exactly this picture. Only what Xvfb gives at
// depth 24: true or direct colour, 32 bits a pixel, blue in the first byte.
bool xwdShows(const std::string& b, uint32_t width, uint32_t height,
              const std::vector<uint8_t>& rgb) {
  if (b.size() < 100 || be32(b, 16) != width || be32(b, 20) != height) return false;
  const uint32_t bytesPerLine = be32(b, 48);
  const size_t pixels = size_t{be32(b, 0)} + size_t{be32(b, 76)} * 12;
  if (be32(b, 4) != 7 || be32(b, 8) != 2 || be32(b, 28) != 0 || be32(b, 44) != 32 ||
      (be32(b, 52) | 1) != 5 || be32(b, 56) != 0xff0000 || be32(b, 60) != 0xff00 ||
      be32(b, 64) != 0xff || bytesPerLine < width * 4 || pixels > b.size() ||
      (b.size() - pixels) / bytesPerLine < height) {
    return false;
  }
  std::vector<uint8_t> shown;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      for (int c = 2; c >= 0; --c) {
        shown.push_back(static_cast<uint8_t>(b[pixels + y * bytesPerLine + x * 4 + c]));
      }
    }
  }
  return shown == rgb;
}

}  // namespace

bool Xvfb::start(std::string* why) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0 || (pid_ = ::fork()) < 0) {
    *why = std::strerror(errno);
    return false;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // -displayfd: the server picks a free display and writes its number once it accepts
    // connections. -noreset: no reset (dropping clients) when its last client leaves.
    const int fd = dup(fds[1]);
    for (int i = 0; i < 3; ++i) redirect(i, "/dev/null", O_RDWR);
    execArgs({"Xvfb", "-displayfd", std::to_string(fd), "-screen", "0", "1024x768x24", "-nolisten",
              "tcp", "-noreset"});
  }
  close(fds[1]);
  std::string number;
  for (char c; read(fds[0], &c, 1) == 1 && c != '\n';) number += c;
  close(fds[0]);
  if (number.empty()) {
    killAndReap(pid_);
    pid_ = -1;
    *why = "Xvfb did not start (is it installed?)";
    return false;
  }
  display_ = ":" + number;
  return true;
}

Xvfb::~Xvfb() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!waitUntil(pid_, Clock::now() + 5s)) killAndReap(pid_);
}

Child Child::fork(const std::function<int()>& body, const std::string& display,
                  const std::string& errPath) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    display.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", display.c_str(), 1);
    unsetenv("SDL_VIDEODRIVER");
    unsetenv("WAYLAND_DISPLAY");
    // For programs started from here under a sanitizer build.
    const char* lsan = std::getenv("LSAN_OPTIONS");
    const std::string options = std::string(lsan ? lsan : "") +
                                ":print_suppressions=0:suppressions=" KX_SOURCE_DIR
                                "/tests/display/lsan.supp";
    setenv("LSAN_OPTIONS", options.c_str(), 1);
    redirect(2, errPath, O_WRONLY | O_CREAT | O_TRUNC);
    // A test that dies must not leave its children waiting for a key.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int status = body();
    std::fflush(nullptr);
    std::exit(status);  // not _exit: the leak checker of sanitizer builds runs at exit
  }
  return Child(pid);
}

Child Child::exec(const std::vector<std::string>& argv, const std::string& display,
                  const std::string& cwd, const std::string& errPath) {
  return fork(
      [&]() -> int {
        redirect(0, "/dev/null", O_RDONLY);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execArgs(argv);
      },
      display, errPath);
}

Child::~Child() {
  if (pid_ > 0) killAndReap(pid_);
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const auto status = waitUntil(pid_, Clock::now() + timeout);
  if (status) pid_ = -1;
  return status;
}

std::optional<std::string> findWindow(const std::string& display, const std::string& title,
                                      std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  do {
    const auto out =
        runTool({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}, display);
    if (out && !out->empty()) return out->substr(0, out->find('\n'));
    std::this_thread::sleep_for(50ms);
  } while (Clock::now() < deadline);
  return std::nullopt;
}

bool waitForImage(const std::string& display, const std::string& id, int width, int height,
                  const std::vector<uint8_t>& rgb, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  do {
    const auto dump = runTool({"xwd", "-silent", "-id", id}, display);
    if (dump && xwdShows(*dump, uint32_t(width), uint32_t(height), rgb)) return true;
    std::this_thread::sleep_for(50ms);
  } while (Clock::now() < deadline);
  return false;
}

bool sendKey(const std::string& display, const std::string& id, const std::string& key) {
  // Press and release apart: a program that ends at the press takes its window along.
  const bool pressed = runTool({"xdotool", "keydown", "--window", id, key}, display).has_value();
  runTool({"xdotool", "keyup", "--window", id, key}, display);
  return pressed;
}

}  // namespace kx::xtest
