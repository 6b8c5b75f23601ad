// Command line: defaults, the option scan with its checks and messages, and
// the usage text. Every command-line error prints its message (if any) and the
// usage text on stderr and ends the run with status 255. Of the long options
// (never part of the design's command lines), --help prints the usage text on
// stdout and --version the version, both with status 0, whatever else the
// line holds.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "cli/cli.h"
#include "common/fatal.h"
#include "common/messages.h"
#include "common/outfile.h"
#include "common/threads.h"

namespace kx {

namespace {

constexpr const char* kVersion = "2.6 B3";
const char* gProgramName = "kxreduce";

// Reads a decimal integer the way strtol does: leading blanks and a sign are
// allowed, leading digits are taken and anything after them is ignored. A
// value without any digit is refused. Values beyond 32 bits are clamped.
bool readInteger(const char* text, int32_t& value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text) return false;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  value = static_cast<int32_t>(v);
  return true;
}

// atoi semantics: no digits read as 0.
int32_t readAtoi(const char* text) {
  int32_t v = 0;
  return readInteger(text, v) ? v : 0;
}

bool startsWithDigit(const char* text) {
  return std::isdigit(static_cast<unsigned char>(text[0])) != 0;
}

}  // namespace

const char* kx_programName() {
  return gProgramName;
}

int initialisation(RunSettings& opt) {
  opt = RunSettings{};
  return 1;
}

namespace {

// The usage text, on the stream given: standard error after a wrong command
// line, standard output for --help.
void writeUsage(Stream s, const char* programName) {
  kx_printf(s, "\n%s Version %s\n", programName, kVersion);
  kx_print(s, "This program converts KESTRALUX true color image ");
  kx_print(s, "file (.pic) into a color\nmapped image file (.icn). ");
  kx_print(s,
           "You can impose output image colors by using\na colormap or let the program to choose "
           "colors and produce a colormap.\n\n");
  kx_printf(s, "Usage: %s <input file> <output file>\n", programName);
  kx_print(s, "                [-n <colors>] [-a [factor] ] [-q <number>] ");
  kx_print(s, " [-b <bits>]\n");
  kx_print(s, "                [-i <format>] [-o <format>]\n");
  kx_print(s, "                [-c <colormap>] [-C <colormap>]\n");
  kx_print(s, "                [-A] [-T] [-u] [-d] [-v]\n");
  kx_print(s, "                [-r <repeat count>] [-s <start frame> ");
  kx_print(s, "<end frame> <step>] \n");
  kx_print(s, "\n");
  kx_print(s, "       <input file>:  name of the KESTRALUX file");
  kx_print(s, "\n");
  kx_print(s, "       <output file>: name of the color mapped file\n\n");
  kx_print(s, "Options:  n lets you specify the desired number of colors");
  kx_print(s, " for the\n");
  kx_print(s, "            output image (default is 256).\n");
  kx_print(s, "          a makes colors adjustment to get better result.\n");
  kx_print(s, "            0 < [factor] <= 1   (default is 0.7)\n");
  kx_print(s, "          q uses a quantization filter to reduce colors.\n");
  kx_print(s, "            <number> = 2,3,4,5,6,7\n");
  kx_print(s, "          b lets you specify the number of bits for each");
  kx_print(s, " channel(default is 8).\n");
  kx_print(s, "          d displays the output picture.\n");
  kx_print(s, "          i lets you specify input image format (pic or pict).\n");
  kx_print(s, "          o lets you specify output image format (pic or pict).\n");
  kx_print(s, "          c uses a binary colormap file (.clm).\n");
  kx_print(s, "          C uses a ASCII colormap file (.cla).\n");
  kx_print(s, "          A produces a ASCII colormap file(default is a binary file).\n");
  kx_print(s, "          T Transforms input colormap form ASCII to binary or vice versa.\n");
  kx_print(s, "          u produce a unique colormap for the whole sequence.\n");
  kx_print(s, "          r lets you specify how many times each frame ");
  kx_print(s, "should be repeated.\n");
  kx_print(s, "            The default is 1.\n");
  kx_print(s, "          s works on a whole sequence instead of only ");
  kx_print(s, "one frame.\n");
  kx_print(s, "          v turns on the verbose mode.\n\n");
}

}  // namespace

void print_usage(const char* programName) {
  writeUsage(Stream::Err, programName);
  kx_exit(-1);
}

namespace {

struct CommandLine {
  RunSettings opt;
  std::string input, output, colormap;
  SequenceShare share;
};

// The long options, which the design's command line never uses (any other
// "--..." stays an invalid option). False when arg is none of them.
bool longOption(int argc, char** argv, int& i, CommandLine& cl, const char* program) {
  const std::string arg = argv[i];
  auto value = [&]() -> std::string {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s needs a value\n", arg.c_str());
      print_usage(program);
    }
    return argv[++i];
  };
  if (arg == "--refine") {
    cl.opt.refine = 1;
    return true;
  }
  if (arg == "--frames") {
    const std::string range = value();
    char* rest = nullptr;
    const long long a = std::strtoll(range.c_str(), &rest, 10);
    const char* dash = rest;
    long long b = 0;
    char* after = nullptr;
    if (rest != range.c_str() && *dash == '-') b = std::strtoll(dash + 1, &after, 10);
    if (rest == range.c_str() || *dash != '-' || after == dash + 1 || (after && *after) || !after ||
        b < a) {
      std::fprintf(stderr, "--frames takes a range of frame numbers A-B with A <= B, not %s\n",
                   range.c_str());
      print_usage(program);
    }
    cl.share.limited = true;
    cl.share.firstFrame = a;
    cl.share.lastFrame = b;
    return true;
  }
  if (arg == "--palettes-to") {
    cl.share.palettesTo = value();
    return true;
  }
  if (arg == "--palette") {
    cl.share.palette = value();
    return true;
  }
  if (arg == "--gather") {
    // Every following argument up to the next option.
    while (i + 1 < argc && argv[i + 1][0] != '-') cl.share.gather.push_back(argv[++i]);
    if (cl.share.gather.empty()) {
      std::fputs("--gather needs the palette files of the sequence\n", stderr);
      print_usage(program);
    }
    return true;
  }
  return false;
}

// The optional factor of -q and -Q: 2 <= factor < 8, truncated; 3 without one.
int32_t quantFactor(int argc, char** argv, int& i, const char* program) {
  if (i + 1 < argc && startsWithDigit(argv[i + 1])) {
    double f = std::atof(argv[++i]);
    if (!(f >= 2.0 && f < 8.0)) {
      std::fputs("quantization factor must > 1", stderr);
      std::fprintf(stderr, " and < %d\n", 8);
      print_usage(program);
    }
    return static_cast<int32_t>(f);
  }
  return 3;
}

CommandLine scan(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "kxreduce";
  gProgramName = program;
  CommandLine cl;
  initialisation(cl.opt);
  RunSettings& opt = cl.opt;
  int positional = 0;
  // Fetches the value of an option; a missing one is a usage error.
  auto value = [&](int& i) -> const char* {
    if (i + 1 >= argc) print_usage(program);
    return argv[++i];
  };
  auto integer = [&](int& i) -> int32_t {
    int32_t v = 0;
    if (!readInteger(value(i), v)) print_usage(program);
    return v;
  };

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      if (positional == 0) {
        cl.input = arg;
      } else if (positional == 1) {
        cl.output = arg;
      } else {
        std::fputs("Too many parameters!\n", stderr);
        print_usage(program);
      }
      ++positional;
      continue;
    }
    if (arg[1] == '-' && longOption(argc, argv, i, cl, program)) continue;
    switch (arg[1]) {
      case 'n': {
        int32_t n = integer(i);
        if (n < 2) {
          std::fputs("number of colors must >= 2\n", stderr);
          print_usage(program);
        }
        if (n > 256) {
          std::fprintf(stderr, "Too many colors, %d colors used.\n", 256);
          n = 256;
        }
        opt.colors = n;
        opt.colorsGiven = 1;
        break;
      }
      case 'a':
        opt.adjust = 1;
        if (i + 1 < argc && startsWithDigit(argv[i + 1])) {
          double f = std::atof(argv[++i]);
          if (!(f > 0.0 && f <= 1.0)) {
            std::fputs("adjustment factor mast > 0", stderr);
            std::fputs(" and <= 1\n", stderr);
            print_usage(program);
          }
          opt.adjustFactor = static_cast<float>(f);
        }
        break;
      case 'q':
        opt.quant = quantFactor(argc, argv, i, program);
        break;
      case 'Q':
        opt.paletteQuant = quantFactor(argc, argv, i, program);
        break;
      case 'b': {
        int32_t b = integer(i);
        if (b <= 0) {
          std::fputs("number of bits must > 0 ", stderr);
          print_usage(program);
        }
        opt.bits = b;
        opt.bitsGiven = 1;
        break;
      }
      case 'z': {
        int32_t z = readAtoi(value(i));
        if (z < 1 || z > 255) {
          std::fputs("compress value must > 1", stderr);
          std::fprintf(stderr, " and < %d\n", 255);
          print_usage(program);
        }
        opt.compress = z;
        opt.compressGiven = 1;
        break;
      }
      case 'i': {
        const char* f = value(i);
        if (!std::strcmp(f, "pic") || !std::strcmp(f, "kest")) {
          opt.inPict = 0;
        } else if (!std::strcmp(f, "pict")) {
          opt.inPict = 1;
        } else {
          std::fprintf(stderr, "format %s unknown.\n\n", f);
          print_usage(program);
        }
        break;
      }
      case 'o': {
        const char* f = value(i);
        if (!std::strcmp(f, "pic") || !std::strcmp(f, "kest")) {
          opt.outPic = 1;
        } else if (!std::strcmp(f, "pict")) {
          opt.outPict = 1;
        } else if (!std::strcmp(f, "pict2")) {
          opt.outPict = 2;
        } else {
          std::fprintf(stderr, "format %s unknown.\n\n", f);
          print_usage(program);
        }
        break;
      }
      case 'c':
        cl.colormap = value(i);
        opt.colormapMode = 1;
        break;
      case 'C':
        cl.colormap = value(i);
        opt.colormapMode = 2;
        break;
      case 'A':
        opt.asciiColormap = 1;
        break;
      case 'T':
        opt.transform = 1;
        break;
      case 'u':
        opt.unique = 1;
        break;
      case 'd':
        opt.display = 1;
        break;
      case 'v':
        opt.verbose = 1;
        break;
      case 'r': {
        int32_t r = integer(i);
        if (r < 0) {
          std::fprintf(stderr, "%d is an invalid opt.repeat value.\n", r);
          print_usage(program);
        }
        opt.repeat = r;
        break;
      }
      case 's': {
        if (i + 3 >= argc) print_usage(program);
        int32_t start = integer(i), end = integer(i), step = integer(i);
        opt.sequence = 1;
        opt.start = start;
        opt.end = end;
        opt.step = step;
        break;
      }
      default:
        std::fprintf(stderr, "Invalid option -%c\n\n", arg[1]);
        print_usage(program);
    }
  }
  if (positional != 2) print_usage(program);
  // Colormap files hold 16 bits per value: a palette that will be saved
  // cannot have more, and it is better said before any work.
  if (opt.bitsGiven && opt.bits > 16 && opt.colormapMode == 0) {
    std::fprintf(stderr, "number of bits must <= 16 to save a colormap\n");
    print_usage(program);
  }
  if ((cl.share.limited || cl.share.staged()) && !opt.sequence) {
    std::fputs("--frames, --palettes-to, --gather and --palette work on a sequence: give -s\n",
               stderr);
    print_usage(program);
  }
  if (opt.outPic && cl.input == cl.output) {
    std::fputs("!!!Error: When using option -o, input and output\n", stderr);
    std::fputs("must have different file names\n", stderr);
    print_usage(program);
  }
  return cl;
}

}  // namespace

int kxreduceMain(int argc, char** argv) {
  kx_removeTemporariesOnSignals();
  // The two long options: anywhere on the line, and before anything else.
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      writeUsage(Stream::Out, argv[0]);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("kxreduce %s\n", kVersion);
      return 0;
    }
  }
  try {
    CommandLine cl = scan(argc, argv);
    if (const std::string threads = kx_threadSettingError(); !threads.empty()) kx_error(threads);
    if (cl.share.limited || cl.share.staged()) {
      operationShare(cl.input, cl.output, cl.colormap, cl.opt, cl.share);
    } else {
      operation(cl.input, cl.output, cl.colormap, cl.opt);
    }
  } catch (const ExitRequest& e) {
    std::fflush(stdout);
    std::fflush(stderr);
    return e.status;
  } catch (const std::bad_alloc&) {
    std::fputs("Error: out of memory\n", stderr);
    return 255;
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace kx
