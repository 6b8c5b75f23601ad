// kxconv's command line: picks the reader and the writer by the file
// extensions and runs one conversion.
//
//   kxconv [-c COLORMAP | -C COLORMAP] IN OUT
//
// Inputs: .png, .jpg/.jpeg, .webp, .tif/.tiff, .y4m (the first frame or page),
// .ppm, .pgm, .pbm, .pnm, .pam (extensions in any case), .pic, .icn, .pict. Outputs: .png, .ppm,
// .pic. Every refusal prints "kxconv: <file>: <what is wrong>" and ends with status 255; the output
// is created only after the input has been read and checked, and is removed when it cannot be
// written completely. --help and --version print on the standard output, with status 0.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "common/error.h"
#include "common/outfile.h"
#include "common/pixel_limit.h"
#include "common/threads.h"
#include "common/version.h"
#include "conv/kxconv.h"
#include "imageio/imageio.h"

namespace kx {

namespace {

constexpr int kFailure = 255;

using Format = ImageFormat;

std::string extensionOf(const std::string& path) {
  return std::filesystem::path(path).extension().string();
}

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Foreign formats are recognised in any case (PHOTO.PNG); the system's own
// files are always named in lower case by the tools, and the picture library
// would add ".pic" to "x.PIC" anyway.
std::optional<Format> inputFormat(const std::string& path) {
  const std::string ext = extensionOf(path), low = lowered(ext);
  if (low == ".png") return Format::Png;
  if (low == ".jpg" || low == ".jpeg") return Format::Jpeg;
  if (low == ".webp") return Format::Webp;
  if (low == ".tif" || low == ".tiff") return Format::Tiff;
  if (low == ".y4m") return Format::Y4m;
  if (low == ".ppm" || low == ".pgm" || low == ".pbm" || low == ".pnm" || low == ".pam") {
    return Format::Pnm;
  }
  if (ext == ".pic") return Format::Pic;
  if (ext == ".icn") return Format::Icn;
  if (ext == ".pict") return Format::Pict;
  return std::nullopt;
}

std::optional<Format> outputFormat(const std::string& path) {
  const std::string ext = extensionOf(path), low = lowered(ext);
  if (low == ".png") return Format::Png;
  if (low == ".ppm") return Format::Ppm;
  if (ext == ".pic") return Format::Pic;
  return std::nullopt;
}

std::string describeExtension(const std::string& path) {
  const std::string ext = extensionOf(path);
  return ext.empty() ? "no extension" : "unknown extension \"" + ext + "\"";
}

void printUsage(std::FILE* stream) {
  std::fputs(
      "Usage: kxconv [-c <colormap> | -C <colormap>] <input> <output>\n"
      "\n"
      "Converts pictures by their file extensions:\n"
      "  .png .ppm .pgm .pbm .pnm .pam  ->  .pic (RGB, with alpha when the source has it)\n"
      "  .jpg .jpeg                     ->  .pic (RGB)\n"
      "  .webp .tif .tiff .y4m          ->  .pic (the first frame or page)\n"
      "  .pic                           ->  .png (RGB or RGBA) or .ppm\n"
      "  .icn + colormap                ->  .png (palette image) or .ppm\n"
      "  .pict                          ->  .png\n"
      "(any input can be written as .png, .ppm or .pic)\n"
      "\n"
      "  -c <colormap>  binary colormap (.clm) of a .icn input, with or without extension\n"
      "  -C <colormap>  ASCII colormap (.cla) of a .icn input, with or without extension\n"
      "                 (default: the .clm, else the .cla, with the .icn file's base name)\n"
      "  --help         this text\n"
      "  --version      the version\n"
      "\n"
      "Pictures over 134217728 pixels (2^27) are refused before they are decoded;\n"
      "the environment variable KX_MAX_PIXELS sets another limit (a number of pixels).\n",
      stream);
}

struct Arguments {
  std::string input, output;
  ColormapSource colormap;
  bool colormapGiven = false;
};

// False after printing what is wrong with the command line.
bool parseArguments(int argc, char** argv, Arguments& args) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-c" || arg == "-C") {
      if (args.colormapGiven) {
        std::fputs("kxconv: only one -c or -C option may be given\n", stderr);
        return false;
      }
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kxconv: %s needs a colormap file name\n", arg.c_str());
        return false;
      }
      args.colormap.kind = arg == "-c" ? ColormapSource::Kind::Binary : ColormapSource::Kind::Ascii;
      args.colormap.name = argv[++i];
      args.colormapGiven = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "kxconv: unknown option %s\n", arg.c_str());
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    if (argc > 1) std::fputs("kxconv: give one input and one output file\n", stderr);
    return false;
  }
  args.input = positional[0];
  args.output = positional[1];
  return true;
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  return std::filesystem::path(a).lexically_normal() == std::filesystem::path(b).lexically_normal();
}

// Whatever is wrong names the file (but a colormap's own words).
Status convert(const Arguments& args) {
  const std::optional<Format> in = inputFormat(args.input), out = outputFormat(args.output);
  if (!in) {
    return ConvError(
        args.input + ": " + describeExtension(args.input) +
        " (kxconv reads .png, .jpg, .jpeg, .webp, .tif, .tiff, .ppm, .pgm, .pbm, .pnm, .pam, .pic, "
        ".icn and .pict)");
  }
  if (!out) {
    return ConvError(args.output + ": " + describeExtension(args.output) +
                     " (kxconv writes .png, .ppm and .pic)");
  }
  if (args.colormapGiven && in != Format::Icn) {
    return ConvError(args.input + ": -c and -C apply only to .icn input");
  }
  if (sameFile(args.input, args.output)) {
    return ConvError(args.output + ": the output would overwrite the input");
  }
  // Known before the input is read: no conversion is done for nothing.
  if (const std::string problem = kx_outputPlaceProblem(args.output); !problem.empty()) {
    return ConvError(args.output + ": " + problem);
  }

  // A PNG made into a picture goes row by row into the picture's planes:
  // the one copy of the raster that is needed.
  if (in == Format::Png && out == Format::Pic) return convertPngToPic(args.input, args.output);
  const Result<Image> image = readImageFile(*in, args.input, args.colormap);
  if (!image) return image.error();
  if (out == Format::Ppm && image->hasAlpha()) {
    std::fprintf(stderr, "kxconv: %s: note: PPM has no alpha channel; alpha is dropped\n",
                 args.output.c_str());
  }
  return writeImageFile(*out, args.output, *image);
}

}  // namespace

int kxconvMain(int argc, char** argv) {
  kx_removeTemporariesOnSignals();
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      printUsage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("kxconv %s\n", toolVersion());
      return 0;
    }
  }
  Arguments args;
  if (!parseArguments(argc, argv, args)) {
    printUsage(stderr);
    return kFailure;
  }
  if (const std::string problem = kx_maxPixelsProblem(); !problem.empty()) {
    std::fprintf(stderr, "kxconv: %s\n", problem.c_str());
    return kFailure;
  }
  if (const std::string threads = kx_threadSettingError(); !threads.empty()) {
    std::fprintf(stderr, "kxconv: %s", threads.c_str());
    return kFailure;
  }
  // The output replaces the file that was at its name when the run began,
  // never one that appeared there meanwhile.
  std::error_code missing;
  kx_replaceOutputs(std::filesystem::symlink_status(args.output, missing).type() !=
                    std::filesystem::file_type::not_found);
  const Status done = convert(args);
  if (!done) {
    const Error& e = done.error();
    std::fflush(stdout);
    if (e.kxreduceWords) {
      std::fprintf(stderr, "Error: %s\n", e.what());
    } else if (e.code == ErrorCode::outOfMemory) {
      std::fprintf(stderr, "kxconv: %s: out of memory\n", args.input.c_str());
    } else {
      std::fprintf(stderr, "kxconv: %s\n", e.what());
    }
    return kFailure;
  }
  return 0;
}

}  // namespace kx
