// The preview module (kxpreview.so): the workstation graphics calls of the
// preview over SDL2, one window surface per window, presented on
// swapbuffers, and an event queue of our own in front of SDL's so that
// qenter can queue events too. Built on its own, not into the tools, and
// loaded by them only for -d (display/display.cpp).
#include <SDL.h>

#include <climits>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "display/gl.h"

namespace kx::gl {
namespace {

struct Layer {
  bool havePreferred = false;
  int32_t prefX0 = 0, prefX1 = 0, prefY0 = 0, prefY1 = 0;
  std::vector<SDL_Window*> windows;  // never closed: they go with the process
  SDL_Window* current = nullptr;
  std::set<int32_t> queuedDevices;
  std::deque<std::pair<int32_t, int16_t>> queue;
};

Layer& layer() {
  static Layer state;
  return state;
}

bool ownsWindow(Uint32 id) {
  for (SDL_Window* w : layer().windows) {
    if (SDL_GetWindowID(w) == id) return true;
  }
  return false;
}

// Turns an SDL event into a workstation event; false when it means nothing
// to the program.
bool translate(const SDL_Event& e, int32_t* device, int16_t* value) {
  Layer& l = layer();
  if (e.type == SDL_WINDOWEVENT && ownsWindow(e.window.windowID)) {
    switch (e.window.event) {
      case SDL_WINDOWEVENT_SHOWN:
      case SDL_WINDOWEVENT_EXPOSED:
      case SDL_WINDOWEVENT_RESIZED:
      case SDL_WINDOWEVENT_SIZE_CHANGED:
      case SDL_WINDOWEVENT_RESTORED:
      case SDL_WINDOWEVENT_MAXIMIZED:
        *device = REDRAW;
        *value = static_cast<int16_t>(e.window.windowID);
        return true;
      case SDL_WINDOWEVENT_CLOSE:
        if (!l.queuedDevices.contains(ESCKEY)) return false;
        *device = ESCKEY;
        *value = 1;
        return true;
      default:
        return false;
    }
  }
  if ((e.type == SDL_KEYDOWN || e.type == SDL_KEYUP) && !e.key.repeat &&
      e.key.keysym.sym == SDLK_ESCAPE && l.queuedDevices.contains(ESCKEY)) {
    *device = ESCKEY;
    *value = e.type == SDL_KEYDOWN ? 1 : 0;
    return true;
  }
  return false;
}

// These drivers accept windows that nobody can see: the last frame would
// wait for an Escape key that can never be pressed.
bool drawsNowhere(const char* driver) {
  return SDL_strcasecmp(driver, "dummy") == 0 || SDL_strcasecmp(driver, "offscreen") == 0 ||
         SDL_strcasecmp(driver, "evdev") == 0;
}

// The video drivers worth trying, in SDL's order. Wayland is left out when no
// compositor announces itself: its library would print its own complaint
// before our message when there is no display at all.
std::string usableDrivers() {
  std::string list;
  for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
    const char* name = SDL_GetVideoDriver(i);
    if (!name || drawsNowhere(name)) continue;
    if (SDL_strcasecmp(name, "wayland") == 0 && !SDL_getenv("WAYLAND_DISPLAY")) continue;
    if (!list.empty()) list += ',';
    list += name;
  }
  return list;
}

// Starts SDL's video on a driver that draws somewhere; false when there is
// none.
bool startVideo() {
  // SDL would otherwise turn Ctrl-C into a quit event that nobody reads
  // before the last frame, and switch off the user's screen saver.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  if (!SDL_WasInit(SDL_INIT_VIDEO)) {
    // A driver named in SDL_VIDEODRIVER still wins over this default list.
    SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, usableDrivers().c_str(), SDL_HINT_DEFAULT);
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  }
  const char* driver = SDL_GetCurrentVideoDriver();
  // X11 draws a window's pixels itself. A still picture gains nothing from a
  // GPU surface there, and getting one loads the GL stack and makes the
  // window again under a new id: a window that shows for a moment, then
  // goes (unless the user asks for it). Other drivers need the GPU surface.
  if (driver && SDL_strcasecmp(driver, "x11") == 0) {
    SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_DEFAULT);
  }
  return driver && !drawsNowhere(driver);
}

std::string gWhy;

}  // namespace

void prefposition(int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
  Layer& l = layer();
  l.havePreferred = true;
  l.prefX0 = x0;
  l.prefX1 = x1;
  l.prefY0 = y0;
  l.prefY1 = y1;
}

int32_t getgdesc(int32_t inquiry) {
  SDL_Rect usable;
  if (!startVideo() || SDL_GetDisplayUsableBounds(0, &usable) != 0) return 0;
  if (inquiry == GD_XPMAX) return usable.w;
  if (inquiry == GD_YPMAX) return usable.h;
  return 0;
}

int32_t winopen(const char* title) {
  Layer& l = layer();
  if (!startVideo()) return -1;

  int x = SDL_WINDOWPOS_UNDEFINED, y = SDL_WINDOWPOS_UNDEFINED, width = 640, height = 480;
  if (l.havePreferred) {
    const int64_t w = int64_t{l.prefX1} - l.prefX0 + 1, h = int64_t{l.prefY1} - l.prefY0 + 1;
    if (w < 1 || h < 1 || w > INT_MAX / 4 || h > INT_MAX) return -1;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    // The screen's y axis grows downward here; the preferred corners count
    // upward from the bottom of the screen.
    SDL_Rect screen;
    if (SDL_GetDisplayBounds(0, &screen) == 0) {
      x = screen.x + l.prefX0;
      y = screen.y + screen.h - 1 - l.prefY1;
    }
    l.havePreferred = false;  // it applies to one window only
  }
  SDL_Window* window = SDL_CreateWindow(title, x, y, width, height, SDL_WINDOW_SHOWN);
  if (!window) return -1;
  l.windows.push_back(window);
  l.current = window;
  return static_cast<int32_t>(SDL_GetWindowID(window));
}

// The window surface always holds true colour; there is nothing to set up.
void RGBmode() {}
void gconfig() {}

void qdevice(int32_t device) {
  layer().queuedDevices.insert(device);
}

void qenter(int32_t device, int16_t value) {
  layer().queue.emplace_back(device, value);
}

void lrectwrite(int32_t x0, int32_t y0, int32_t x1, int32_t y1, const uint32_t* words) {
  Layer& l = layer();
  if (!l.current || !words) return;
  const int64_t w = int64_t{x1} - x0 + 1, h = int64_t{y1} - y0 + 1;
  if (w < 1 || h < 1 || w > INT_MAX / 4 || h > INT_MAX) return;
  SDL_Surface* target = SDL_GetWindowSurface(l.current);
  if (!target) return;
  // The words run bottom-up, surfaces top-down: turn the rows over, then let
  // SDL convert the pixel format and cut what lies outside the window.
  const size_t rowWords = static_cast<size_t>(w), rows = static_cast<size_t>(h);
  std::vector<uint32_t> topDown(rowWords * rows);
  for (size_t r = 0; r < rows; ++r) {
    std::memcpy(&topDown[(rows - 1 - r) * rowWords], words + r * rowWords, rowWords * 4);
  }
  SDL_Surface* source =
      SDL_CreateRGBSurfaceWithFormatFrom(topDown.data(), static_cast<int>(w), static_cast<int>(h),
                                         32, static_cast<int>(w * 4), SDL_PIXELFORMAT_ABGR8888);
  if (!source) return;
  // Bits 24-31 are not an alpha: copy the colours as they are.
  SDL_SetSurfaceBlendMode(source, SDL_BLENDMODE_NONE);
  SDL_Rect where{x0, static_cast<int>(target->h - 1 - y1), static_cast<int>(w),
                 static_cast<int>(h)};
  SDL_BlitSurface(source, nullptr, target, &where);
  SDL_FreeSurface(source);
}

void swapbuffers() {
  Layer& l = layer();
  if (l.current) SDL_UpdateWindowSurface(l.current);
}

int32_t qread(int16_t* value) {
  Layer& l = layer();
  for (;;) {
    if (!l.queue.empty()) {
      const auto [device, v] = l.queue.front();
      l.queue.pop_front();
      if (value) *value = v;
      return device;
    }
    if (!SDL_WasInit(SDL_INIT_VIDEO)) {
      gWhy = "no window is open: no event can come";
      return -1;
    }
    SDL_Event e;
    if (SDL_WaitEvent(&e) == 0) {
      gWhy = std::string("lost the window system: ") + SDL_GetError();
      return -1;
    }
    int32_t device = 0;
    int16_t v = 0;
    if (translate(e, &device, &v)) l.queue.emplace_back(device, v);
  }
}

void clear() {
  Layer& l = layer();
  if (!l.current) return;
  SDL_Surface* target = SDL_GetWindowSurface(l.current);
  if (target) SDL_FillRect(target, nullptr, SDL_MapRGB(target->format, 0, 0, 0));
}

const char* why() {
  return gWhy.c_str();
}

}  // namespace kx::gl

extern "C" __attribute__((visibility("default"))) const kx::gl::Calls* kx_gl_calls() {
  using namespace kx::gl;
  static const Calls calls = {kCallsVersion, getgdesc, prefposition, winopen,    RGBmode,
                              gconfig,       qdevice,  qenter,       lrectwrite, swapbuffers,
                              qread,         clear,    why};
  return &calls;
}
