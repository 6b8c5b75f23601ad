#include "common/error.h"

namespace kx {

const char* errorCodeText(ErrorCode code) {
  switch (code) {
    case ErrorCode::usage:
      return "wrong command line";
    case ErrorCode::badArgument:
      return "invalid argument";
    case ErrorCode::outOfMemory:
      return "out of memory";
    case ErrorCode::tooManyColors:
      return "too many colours, even after compression";
    case ErrorCode::cannotOpen:
      return "cannot open the file";
    case ErrorCode::cannotRead:
      return "cannot read the file";
    case ErrorCode::cannotWrite:
      return "cannot write the file";
    case ErrorCode::badFile:
      return "not a valid file";
    case ErrorCode::tooLarge:
      return "the picture is over the pixel limit";
    case ErrorCode::unsupported:
      return "not supported";
    case ErrorCode::noDisplay:
      return "the preview cannot be shown";
    case ErrorCode::failed:
      break;
  }
  return "failed";
}

}  // namespace kx
