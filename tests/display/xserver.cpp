#include "display/xserver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
// The children forked by the window tests open windows through SDL, which
// starts D-Bus; D-Bus keeps buffers it never frees (see lsan.supp, given to
// the programs these helpers start).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}
// The tests read the children's standard error: no report of the above.
extern "C" const char* __lsan_default_options() {
  return "print_suppressions=0";
}
#endif

namespace kx::xtest {
namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

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

// In a freshly forked child: the environment a window test wants.
void setUpChild(const std::string& display, const std::string& errPath) {
  if (display.empty()) {
    unsetenv("DISPLAY");
  } else {
    setenv("DISPLAY", display.c_str(), 1);
  }
  unsetenv("SDL_VIDEODRIVER");
  unsetenv("WAYLAND_DISPLAY");
  // For programs started from here under a sanitizer build (a forked child
  // already has the suppressions of this test program).
  const char* lsan = std::getenv("LSAN_OPTIONS");
  std::string options = lsan && *lsan ? std::string(lsan) + ":" : "";
  options += "print_suppressions=0:suppressions=" KX_SOURCE_DIR "/tests/display/lsan.supp";
  setenv("LSAN_OPTIONS", options.c_str(), 1);
  if (!errPath.empty()) {
    const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) _exit(126);
    dup2(fd, 2);
    close(fd);
  }
  // A test that dies must not leave its children waiting for a key.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
}

std::vector<char*> argvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

uint32_t be32(const std::string& b, size_t at) {
  return uint32_t{static_cast<uint8_t>(b[at])} << 24 |
         uint32_t{static_cast<uint8_t>(b[at + 1])} << 16 |
         uint32_t{static_cast<uint8_t>(b[at + 2])} << 8 | uint32_t{static_cast<uint8_t>(b[at + 3])};
}

// The 8-bit value of a colour under its mask.
uint8_t channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = __builtin_ctz(mask);
  const uint32_t max = mask >> shift;
  return static_cast<uint8_t>(((pixel & mask) >> shift) * 255 / max);
}

}  // namespace

// ---- Xvfb --------------------------------------------------------------------

bool Xvfb::start(std::string* why, int width, int height) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *why = "pipe: " + std::string(std::strerror(errno));
    return false;
  }
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  pid_ = ::fork();
  if (pid_ < 0) {
    *why = "fork: " + std::string(std::strerror(errno));
    return false;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // -displayfd lets the server pick a free display number and tell us
    // once it accepts connections; the descriptor must survive exec.
    const int fd = dup(fds[1]);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    // -noreset: the server would otherwise reset whenever its last client
    // (say one xdotool run) leaves, and drop a program connecting meanwhile.
    const std::vector<std::string> args = {"Xvfb",      "-displayfd", std::to_string(fd),
                                           "-screen",   "0",          screen,
                                           "-nolisten", "tcp",        "-noreset"};
    std::vector<char*> argv = argvOf(args);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  const auto deadline = Clock::now() + 20s;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, msLeft(deadline)) <= 0) break;
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  struct stat st;
  if (number.empty() || stat(("/tmp/.X11-unix/X" + number).c_str(), &st) != 0) {
    const auto status = waitUntil(pid_, Clock::now());
    if (!status) killAndReap(pid_);
    pid_ = -1;
    *why = status == 127 ? "Xvfb is not installed"
                         : "Xvfb did not start (status " +
                               (status ? std::to_string(*status) : std::string("running")) + ")";
    return false;
  }
  display_ = ":" + number;
  width_ = width;
  height_ = height;
  return true;
}

Xvfb::~Xvfb() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!waitUntil(pid_, Clock::now() + 5s)) killAndReap(pid_);
}

// ---- Child processes ---------------------------------------------------------

Child Child::fork(const std::function<int()>& body, const std::string& display,
                  const std::string& errPath) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    setUpChild(display, errPath);
    const int status = body();
    std::fflush(nullptr);
    // exit, not _exit: the leak checker of sanitizer builds runs at exit.
    std::exit(status);
  }
  return Child(pid);
}

Child Child::exec(const std::vector<std::string>& argv, const std::string& display,
                  const std::string& cwd, const std::string& errPath, const std::string& outPath) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    setUpChild(display, errPath);
    if (!outPath.empty()) {
      const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) _exit(126);
      dup2(fd, 1);
      close(fd);
    }
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args = argvOf(argv);
    execvp(args[0], args.data());
    _exit(127);
  }
  return Child(pid);
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

// ---- X tools -----------------------------------------------------------------

ToolResult runTool(const std::vector<std::string>& argv, const std::string& display,
                   std::chrono::milliseconds timeout) {
  ToolResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    setenv("DISPLAY", display.c_str(), 1);
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> args = argvOf(argv);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  const auto deadline = Clock::now() + timeout;
  pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && poll(p, 2, msLeft(deadline)) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else {
        close(p[i].fd);
        p[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& q : p) {
    if (q.fd >= 0) close(q.fd);
  }
  const auto status = waitUntil(pid, deadline);
  if (status) {
    result.status = *status;
  } else {
    killAndReap(pid);
    result.status = -1;
    result.err += "(timed out)";
  }
  return result;
}

std::optional<std::string> findWindow(const std::string& display, const std::string& title,
                                      std::chrono::milliseconds timeout) {
  std::string pattern = "^";
  for (char c : title) {
    if (std::strchr("\\^$.|?*+()[]{}", c)) pattern += '\\';
    pattern += c;
  }
  pattern += "$";
  const auto deadline = Clock::now() + timeout;
  do {
    const ToolResult r =
        runTool({"xdotool", "search", "--onlyvisible", "--name", pattern}, display);
    if (r.status == 0 && !r.out.empty()) return r.out.substr(0, r.out.find('\n'));
    std::this_thread::sleep_for(50ms);
  } while (Clock::now() < deadline);
  return std::nullopt;
}

std::optional<Geometry> windowGeometry(const std::string& display, const std::string& id) {
  const ToolResult r = runTool({"xdotool", "getwindowgeometry", "--shell", id}, display);
  if (r.status != 0) return std::nullopt;
  Geometry g;
  int found = 0;
  size_t at = 0;
  while (at < r.out.size()) {
    const size_t end = r.out.find('\n', at);
    const std::string line = r.out.substr(at, end == std::string::npos ? end : end - at);
    at = end == std::string::npos ? r.out.size() : end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const int value = std::atoi(line.c_str() + eq + 1);
    if (key == "X") g.x = value, ++found;
    if (key == "Y") g.y = value, ++found;
    if (key == "WIDTH") g.width = value, ++found;
    if (key == "HEIGHT") g.height = value, ++found;
  }
  if (found != 4) return std::nullopt;
  return g;
}

// An XWD dump: a header of 25 big-endian 32-bit fields (header size, version
// 7, format, depth, width, height, x offset, byte order, bitmap unit, bit
// order, pad, bits per pixel, bytes per line, visual class, red, green and
// blue masks, bits per rgb, colormap entries, colour count, then the window's
// size, place and border), the window name up to the header size, 12 bytes
// per colour, then height rows of bytes-per-line bytes.
std::optional<Screenshot> parseXwd(const std::string& b, std::string* why) {
  auto fail = [why](const std::string& reason) -> std::optional<Screenshot> {
    if (why) *why = reason;
    return std::nullopt;
  };
  if (b.size() < 100) return fail("XWD dump too short");
  const uint32_t headerSize = be32(b, 0), version = be32(b, 4), format = be32(b, 8);
  const uint32_t width = be32(b, 16), height = be32(b, 20), byteOrder = be32(b, 28);
  const uint32_t bitsPerPixel = be32(b, 44), bytesPerLine = be32(b, 48), visual = be32(b, 52);
  const uint32_t redMask = be32(b, 56), greenMask = be32(b, 60), blueMask = be32(b, 64);
  const uint32_t ncolors = be32(b, 76);
  if (version != 7 || format != 2) return fail("not a ZPixmap XWD dump");
  if (visual != 4 && visual != 5) return fail("not a true-colour visual");
  if (bitsPerPixel != 24 && bitsPerPixel != 32) return fail("unsupported pixel size");
  if (width > 16384 || height > 16384 || bytesPerLine < width * (bitsPerPixel / 8)) {
    return fail("implausible XWD size");
  }
  const size_t pixels = size_t{headerSize} + size_t{ncolors} * 12;
  if (pixels > b.size() || (b.size() - pixels) / bytesPerLine < height) {
    return fail("XWD dump cut short");
  }
  Screenshot s;
  s.width = static_cast<int>(width);
  s.height = static_cast<int>(height);
  s.rgb.reserve(size_t{width} * height * 3);
  const size_t step = bitsPerPixel / 8;
  for (uint32_t y = 0; y < height; ++y) {
    const size_t row = pixels + size_t{y} * bytesPerLine;
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t v = 0;
      for (size_t k = 0; k < step; ++k) {
        const uint32_t byte = static_cast<uint8_t>(b[row + x * step + k]);
        v |= byteOrder == 0 ? byte << (8 * k) : byte << (8 * (step - 1 - k));
      }
      s.rgb.push_back(channel(v, redMask));
      s.rgb.push_back(channel(v, greenMask));
      s.rgb.push_back(channel(v, blueMask));
    }
  }
  return s;
}

std::optional<Screenshot> captureWindow(const std::string& display, const std::string& id,
                                        std::string* why) {
  const ToolResult r = runTool({"xwd", "-silent", "-id", id}, display);
  if (r.status != 0) {
    if (why) *why = "xwd failed: " + r.err;
    return std::nullopt;
  }
  return parseXwd(r.out, why);
}

std::optional<Screenshot> waitForImage(const std::string& display, const std::string& id, int width,
                                       int height, const std::vector<uint8_t>& rgb,
                                       std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::optional<Screenshot> last;
  do {
    if (auto s = captureWindow(display, id)) {
      if (s->width == width && s->height == height && s->rgb == rgb) return s;
      last = std::move(s);
    }
    std::this_thread::sleep_for(50ms);
  } while (Clock::now() < deadline);
  return last;
}

bool sendKey(const std::string& display, const std::string& id, const std::string& key) {
  // Press and release separately: a program that ends at the press takes its
  // window along, and the release then has nowhere to go.
  const ToolResult press = runTool({"xdotool", "keydown", "--window", id, key}, display);
  if (press.status != 0) {
    std::fprintf(stderr, "xdotool keydown %s: %s\n", key.c_str(), press.err.c_str());
    return false;
  }
  runTool({"xdotool", "keyup", "--window", id, key}, display);
  return true;
}

}  // namespace kx::xtest
