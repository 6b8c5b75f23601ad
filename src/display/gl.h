// The few workstation graphics calls the preview window makes, under their
// workstation names, as the preview module exports them.
//
// The module (kxpreview.so, display/preview_module.cpp over SDL2) is loaded
// with dlopen only when a run asks for the preview, so that nothing else
// needs SDL2, X11 or Wayland: it exports one C function, kx_gl_calls, which
// hands back a table of these calls.
//
// Coordinates follow the workstation convention: the origin is the
// lower-left corner (of the screen for prefposition, of the window for
// lrectwrite), and y grows upward. Pixels are packed 32-bit words, red in
// bits 0-7, green in 8-15, blue in 16-23, bits 24-31 unused.
//
// Events: REDRAW (value: the window id) is queued whenever the window system
// shows, exposes or resizes the window, and by qenter. The Escape key is
// queued as ESCKEY (value 1 pressed, 0 released) once qdevice(ESCKEY) was
// called; asking the window system to close the window counts as pressing
// Escape, so that a closed preview cannot leave the program waiting.
//
// Stands on: the C library only (both sides of dlopen include it).
#pragma once

#include <stdint.h>

namespace kx::gl {

inline constexpr int32_t ESCKEY = 7;
inline constexpr int32_t REDRAW = 528;
// getgdesc inquiries: the screen's width and height in pixels.
inline constexpr int32_t GD_XPMAX = 1;
inline constexpr int32_t GD_YPMAX = 2;

// The version of the table below; a module of another version is refused.
inline constexpr int32_t kCallsVersion = 1;
inline constexpr const char* kCallsSymbol = "kx_gl_calls";

struct Calls {
  int32_t version;
  // The answer to an inquiry about the screen (GD_XPMAX, GD_YPMAX: the part
  // of it a window can take), or 0 when there is no screen to ask.
  int32_t (*getgdesc)(int32_t inquiry);
  // The screen rectangle (inclusive corners) of the next window opened.
  void (*prefposition)(int32_t x0, int32_t x1, int32_t y0, int32_t y1);
  // Opens a window and makes it current; its id (never 0), or -1 when no
  // window can be shown (no display, or a video driver that draws nowhere).
  int32_t (*winopen)(const char* title);
  void (*RGBmode)();
  void (*gconfig)();
  void (*qdevice)(int32_t device);
  void (*qenter)(int32_t device, int16_t value);
  // Draws (x1-x0+1) × (y1-y0+1) words into the current window, the first
  // word at (x0, y0) and rows going upward; what falls outside is cut.
  void (*lrectwrite)(int32_t x0, int32_t y0, int32_t x1, int32_t y1, const uint32_t* words);
  // Makes everything drawn so far visible.
  void (*swapbuffers)();
  // Blocks until an event is queued; returns its device and stores its
  // value. -1 when no event can come (why() says why).
  int32_t (*qread)(int16_t* value);
  // Fills the current window with black.
  void (*clear)();
  // Why the last qread failed.
  const char* (*why)();
};

}  // namespace kx::gl

extern "C" {
// The module's one export.
typedef const kx::gl::Calls* (*KxGlCallsFunction)(void);
}
