// The largest picture the tools read, and how a reader says why it did not
// read one.
//
// A picture file's header can declare up to 32767 × 32767 pixels in a few
// bytes; decoding that takes gigabytes of planes and minutes. Every reader
// compares the declared size with the limit before it allocates anything the
// size of the picture. The limit is 2^27 pixels (134,217,728: a 16384 × 8192
// picture, about 1 GB of working memory in kxreduce) unless the environment
// variable KX_MAX_PIXELS gives another whole number of pixels.
//
// Stands on: error.h.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"

namespace kx {

constexpr int64_t kDefaultMaxPixels = int64_t{1} << 27;
constexpr const char* kMaxPixelsVariable = "KX_MAX_PIXELS";

// Parses a KX_MAX_PIXELS value: a whole number from 1 up, in decimal digits
// only (values beyond 2^63 - 1 count as 2^63 - 1). False, with the reason in
// *problem, for anything else.
bool kx_parseMaxPixels(const char* text, int64_t* limit, std::string* problem);

// The limit in force: KX_MAX_PIXELS when it is set and not empty, else
// kDefaultMaxPixels. Read once per process. An invalid value counts as
// unset here: every front end refuses it with kx_maxPixelsProblem() before
// it reads a picture.
int64_t kx_maxPixels();
// Why KX_MAX_PIXELS cannot be used ("KX_MAX_PIXELS=abc is not ..."), or
// empty when it is unset or valid.
std::string kx_maxPixelsProblem();
// Replaces the limit for the rest of the process (tests and fuzz targets
// that want small pictures to be "large").
void kx_setMaxPixels(int64_t limit);

bool kx_overPixelLimit(int64_t width, int64_t height);

// The largest side of a picture: .pic geometry is signed 16-bit.
constexpr int kMaxPictureSide = 32767;

// Refuses, naming the file, a picture without pixels, one with a side over
// kMaxPictureSide and one over the pixel limit. With a format name ("PNG"),
// a side over the maximum is said in that format's terms.
Status checkPictureSize(const std::string& file, int64_t width, int64_t height,
                        const char* format = nullptr);

// Why a picture could not be read, when it is more than "not a readable
// picture file": the tools then say so instead of "cannot open".
struct ReadRefusal {
  enum class Cause { none, tooLarge, outOfMemory };
  Cause cause = Cause::none;
  int64_t width = 0;  // the declared geometry (tooLarge)
  int64_t height = 0;

  explicit operator bool() const { return cause != Cause::none; }
};

// "<file>: the picture is W x H pixels, over the limit of N pixels (set
// KX_MAX_PIXELS to change it)" or "<file>: out of memory"; empty for none.
std::string kx_readRefusalText(const std::string& file, const ReadRefusal& refusal);

}  // namespace kx
