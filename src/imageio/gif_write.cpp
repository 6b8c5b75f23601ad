// Animated GIF files through giflib.
//
// The file, GIF89a: the logical screen (the settings' size) with the global
// palette, padded with black to the next power of two as the format needs;
// a NETSCAPE2.0 application extension holding the loop count; then for every frame a graphic
// control extension (delay, disposal "restore to background", the transparent index when there is
// one) and the image: its place on the screen, no local palette, the indices LZW-coded by giflib.
// The background index is the transparent index when there is one, else 0.
//
// giflib writes through a callback into an OutFile, so the file on disk is
// only ever complete or absent.
#include <gif_lib.h>

#include <cerrno>
#include <cstring>

#include "common/outfile.h"
#include "imageio/imageio.h"

namespace kx {

struct GifWriter::State {
  std::string path;
  std::unique_ptr<OutFile> out;
  GifFileType* gif = nullptr;
  int screenWidth = 0, screenHeight = 0;
  GraphicsControlBlock control{};
  bool committed = false;

  ~State() {
    // Closing writes the trailer into the OutFile, which is then destroyed
    // uncommitted and removes the unfinished file.
    int error = 0;
    if (gif) EGifCloseFile(gif, &error);
  }

  [[noreturn]] void fail(const std::string& what, int code) {
    throw ConvError(path + ": cannot write the GIF file (" + what + ": " +
                    (GifErrorString(code) ? GifErrorString(code) : "unknown error") + ")");
  }
  void check(int result, const char* what) {
    if (result != GIF_ERROR) return;
    // An OutFile that failed knows why better than giflib's "write failed".
    if (out->failed()) throw ConvError(path + ": cannot write: " + std::strerror(out->error()));
    fail(what, gif->Error);
  }
};

namespace {

int writeToFile(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<OutFile*>(gif->UserData);
  out->write(data, static_cast<size_t>(length));
  return out->failed() ? 0 : length;
}

}  // namespace

GifWriter::GifWriter(const std::string& path, const Settings& settings)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  const size_t colors = settings.palette.size();
  if (colors < 1 || colors > 256) {
    throw ConvError(path + ": a GIF palette holds 1 to 256 colours, not " + std::to_string(colors));
  }
  if (settings.screenWidth < 1 || settings.screenHeight < 1 || settings.screenWidth > 0xFFFF ||
      settings.screenHeight > 0xFFFF) {
    throw ConvError(path + ": a GIF is at most 65535 x 65535 pixels, not " +
                    std::to_string(settings.screenWidth) + " x " +
                    std::to_string(settings.screenHeight));
  }
  s.screenWidth = settings.screenWidth;
  s.screenHeight = settings.screenHeight;
  s.out = OutFile::create(path);
  if (!s.out) throw ConvError(path + ": cannot create: " + std::strerror(errno));
  int error = 0;
  s.gif = EGifOpen(s.out.get(), writeToFile, &error);
  if (!s.gif) s.fail("cannot start it", error);
  EGifSetGifVersion(s.gif, true);

  int mapSize = 2;
  while (static_cast<size_t>(mapSize) < colors) mapSize *= 2;
  ColorMapObject* map = GifMakeMapObject(mapSize, nullptr);
  if (!map) throw std::bad_alloc();
  for (size_t i = 0; i < colors; ++i) {
    map->Colors[i] =
        GifColorType{settings.palette[i][0], settings.palette[i][1], settings.palette[i][2]};
  }
  const int background = settings.transparentIndex >= 0 ? settings.transparentIndex : 0;
  const int result = EGifPutScreenDesc(s.gif, s.screenWidth, s.screenHeight, 8, background, map);
  GifFreeMapObject(map);
  s.check(result, "screen");

  // Browsers and viewers read the loop count from this extension; without
  // it an animation plays once.
  static const char kNetscape[] = "NETSCAPE2.0";
  const uint8_t loop[3] = {1, static_cast<uint8_t>(settings.loopCount & 0xFF),
                           static_cast<uint8_t>((settings.loopCount >> 8) & 0xFF)};
  s.check(EGifPutExtensionLeader(s.gif, APPLICATION_EXT_FUNC_CODE), "loop count");
  s.check(EGifPutExtensionBlock(s.gif, 11, kNetscape), "loop count");
  s.check(EGifPutExtensionBlock(s.gif, 3, loop), "loop count");
  s.check(EGifPutExtensionTrailer(s.gif), "loop count");

  s.control.DisposalMode = DISPOSE_BACKGROUND;
  s.control.UserInputFlag = false;
  s.control.DelayTime = settings.delayCentiseconds;
  s.control.TransparentColor =
      settings.transparentIndex >= 0 ? settings.transparentIndex : NO_TRANSPARENT_COLOR;
}

GifWriter::~GifWriter() = default;

void GifWriter::addFrame(int width, int height, int left, int top, const uint8_t* indices) {
  State& s = *state_;
  if (s.committed) throw ConvError(s.path + ": a frame after the end of the file");
  if (width < 1 || height < 1 || left < 0 || top < 0 || left + width > s.screenWidth ||
      top + height > s.screenHeight) {
    throw ConvError(s.path + ": a " + std::to_string(width) + " x " + std::to_string(height) +
                    " frame at (" + std::to_string(left) + ", " + std::to_string(top) +
                    ") does not fit the " + std::to_string(s.screenWidth) + " x " +
                    std::to_string(s.screenHeight) + " screen");
  }
  GifByteType extension[4];
  const size_t length = EGifGCBToExtension(&s.control, extension);
  s.check(EGifPutExtension(s.gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension),
          "frame delay");
  s.check(EGifPutImageDesc(s.gif, left, top, width, height, false, nullptr), "frame");
  // giflib takes the row as non-const but only reads it.
  for (int y = 0; y < height; ++y) {
    auto* row = const_cast<GifPixelType*>(indices + static_cast<size_t>(y) * width);
    s.check(EGifPutLine(s.gif, row, width), "frame");
  }
}

void GifWriter::commit() {
  State& s = *state_;
  if (s.committed) return;
  int error = 0;
  GifFileType* gif = s.gif;
  s.gif = nullptr;
  if (EGifCloseFile(gif, &error) == GIF_ERROR) {
    if (s.out->failed())
      throw ConvError(s.path + ": cannot write: " + std::strerror(s.out->error()));
    throw ConvError(s.path + ": cannot write the GIF file (" +
                    (GifErrorString(error) ? GifErrorString(error) : "unknown error") + ")");
  }
  if (!s.out->commit()) throw ConvError(s.path + ": cannot write: " + std::strerror(errno));
  s.committed = true;
}

}  // namespace kx
