// Test helpers for windows on a private X server (Xvfb), read with xwd and
// driven with xdotool.
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

// An X server of our own (1024 × 768 × 24) on a free display, stopped on destruction.
class Xvfb {
 public:
  ~Xvfb();
  bool start(std::string* why);  // false with the reason when it cannot
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// A child process with DISPLAY set to display (unset when empty) and its
// standard error in errPath; killed and reaped on destruction if still running.
// fork runs body and exits with its result; exec runs a program in directory cwd.
class Child {
 public:
  static Child fork(const std::function<int()>& body, const std::string& display,
                    const std::string& errPath);
  static Child exec(const std::vector<std::string>& argv, const std::string& display,
                    const std::string& cwd, const std::string& errPath);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();
  // The exit status (128 + signal), or nothing while still running after the timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  explicit Child(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// The id of the visible window titled exactly title (no regex metacharacters).
std::optional<std::string> findWindow(const std::string& display, const std::string& title,
                                      std::chrono::milliseconds timeout);

// Whether a screenshot shows exactly these width × height RGB pixels before the timeout.
bool waitForImage(const std::string& display, const std::string& id, int width, int height,
                  const std::vector<uint8_t>& rgb, std::chrono::milliseconds timeout);

// Presses and releases a key such as "Escape"; true when the press was delivered.
bool sendKey(const std::string& display, const std::string& id, const std::string& key);

}  // namespace kx::xtest
