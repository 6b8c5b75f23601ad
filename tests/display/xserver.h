// Test helpers for windows on a private X server: starting Xvfb, running
// processes against it with a deadline, finding a window by its title,
// taking a screenshot of it as RGB bytes and pressing keys in it.
//
// Typical use (an end-to-end run of a program that shows a window):
//   xtest::Xvfb x;
//   std::string why;
//   if (!x.start(&why)) GTEST_SKIP() << why;
//   auto child = xtest::Child::exec({exe, "-d", "in", "out"}, x.display(), dir, dir + "/err");
//   auto id = xtest::findWindow(x.display(), "16 colors image", 10s);
//   auto shot = xtest::waitForImage(x.display(), *id, w, h, rgb, 10s);
//   xtest::sendKey(x.display(), *id, "Escape");
//   EXPECT_EQ(child.wait(10s), 0);
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kx::xtest {

using namespace std::chrono_literals;

// An X server of our own on a free display number, stopped on destruction.
class Xvfb {
 public:
  Xvfb() = default;
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // Starts the server with one screen of width × height × 24 bits and waits
  // until it accepts connections; false with the reason when it cannot.
  bool start(std::string* why, int width = 1024, int height = 768);
  const std::string& display() const { return display_; }  // ":N"
  int screenWidth() const { return width_; }
  int screenHeight() const { return height_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  int width_ = 0, height_ = 0;
};

// A child process, killed (and reaped) on destruction if still running.
class Child {
 public:
  // Forks; the child runs body with DISPLAY set to display (unset when
  // empty; SDL_VIDEODRIVER and WAYLAND_DISPLAY always unset) and its standard
  // error in errPath (unless empty), then exits with body's result.
  static Child fork(const std::function<int()>& body, const std::string& display,
                    const std::string& errPath = "");
  // Runs an executable the same way, in directory cwd when not empty, its
  // standard output in outPath and error in errPath when not empty.
  static Child exec(const std::vector<std::string>& argv, const std::string& display,
                    const std::string& cwd = "", const std::string& errPath = "",
                    const std::string& outPath = "");

  Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
  Child& operator=(Child&&) = delete;
  ~Child();

  // The exit status (128 + signal when killed by one), or nothing when the
  // child is still running after the timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }

 private:
  explicit Child(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

struct ToolResult {
  int status = -1;
  std::string out;  // binary-safe
  std::string err;
};

// Runs a program found on PATH against display, at most timeout long.
ToolResult runTool(const std::vector<std::string>& argv, const std::string& display,
                   std::chrono::milliseconds timeout = 10s);

// The id of the visible window whose title is exactly title, polled until
// the timeout.
std::optional<std::string> findWindow(const std::string& display, const std::string& title,
                                      std::chrono::milliseconds timeout);

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;  // y from the top of the screen
};
std::optional<Geometry> windowGeometry(const std::string& display, const std::string& id);

struct Screenshot {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // top row first, 3 bytes a pixel
};
// The window's pixels (taken with xwd).
std::optional<Screenshot> captureWindow(const std::string& display, const std::string& id,
                                        std::string* why = nullptr);
// Takes screenshots until one is width × height with exactly these pixels;
// returns the last one taken (compare it to see what went wrong).
std::optional<Screenshot> waitForImage(const std::string& display, const std::string& id, int width,
                                       int height, const std::vector<uint8_t>& rgb,
                                       std::chrono::milliseconds timeout);

// Presses and releases a key (an xdotool key name such as "Escape") in the
// window; true when the press was delivered (the release may find the window
// gone when the program ends at the press).
bool sendKey(const std::string& display, const std::string& id, const std::string& key);

// An XWD dump (as written by xwd) as RGB bytes; nothing for the visuals we
// cannot read (only true colour at 24 or 32 bits a pixel).
std::optional<Screenshot> parseXwd(const std::string& bytes, std::string* why = nullptr);

}  // namespace kx::xtest
