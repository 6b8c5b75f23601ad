// kxsample NAME [WIDTH HEIGHT]: writes the built-in sample picture (320×240
// unless told otherwise) as the picture file NAME.pic, reads it back and
// checks that every sample survived.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "picture/picture.h"
#include "picture/sample.h"

namespace {

bool parseSize(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 32767) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: kxsample NAME [WIDTH HEIGHT]\n");
    return 2;
  }
  int width = 320, height = 240;
  if (argc == 4 && (!parseSize(argv[2], width) || !parseSize(argv[3], height))) {
    std::fprintf(stderr, "kxsample: width and height must be whole numbers from 1 to 32767\n");
    return 2;
  }
  const std::string name = argv[1];
  const std::string file = kx::QZ_pictureFileName(name);
  kx::PicturePtr picture = kx::makeSamplePicture(width, height);
  if (!kx::QZ_pictureWriteFile(name, *picture, nullptr, 0)) {
    std::fprintf(stderr, "kxsample: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  kx::PicturePtr back = kx::QZ_pictureReadFile(name);
  if (!back) {
    std::fprintf(stderr, "kxsample: cannot read %s back as a picture file\n", file.c_str());
    return 1;
  }
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  bool same = back->width == width && back->height == height && !back->channel[3];
  for (int c = 0; same && c < 3; ++c) {
    same =
        back->channel[c] && std::memcmp(back->channel[c].get(), picture->channel[c].get(), n) == 0;
  }
  if (!same) {
    std::fprintf(stderr, "kxsample: %s reads back different from what was written\n", file.c_str());
    return 1;
  }
  std::printf("%s: %dx%d RGB picture written and read back identical\n", file.c_str(), width,
              height);
  return 0;
}
