// kxreduce's command line: the option scan with its checks and messages,
// and the usage text.
//
// The scan reads every argument once, left to right; optionValues() alone
// decides which arguments are the values of an option. The first error
// ends kxreduce's run (its message, then the usage text, status 255), but
// the scan reads on, consuming the values of every option just as it would
// have, so that kxslurm learns the settings of a command line that kxreduce
// would refuse (kxreduce tells the refusal itself, on kxslurm's behalf).
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/run.h"

namespace kx {

namespace {

// The version the design's usage text names.
constexpr const char* kDesignVersion = "2.6 B3";

// Reads a decimal integer the way strtol does: leading blanks and a sign are
// allowed, leading digits are taken and anything after them is ignored.
// Nothing without a digit. Values beyond 32 bits are clamped.
std::optional<int32_t> readInteger(const std::string& text) {
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str()) return std::nullopt;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  return static_cast<int32_t>(v);
}

bool startsWithDigit(const std::string& text) {
  return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) != 0;
}

class Scanner {
 public:
  explicit Scanner(const std::vector<std::string>& args) : args_(args) {}

  ParsedCommandLine scan();

 private:
  // The first error; what the scan says after it is not said.
  void fail(std::string message = "") {
    if (!result_.error) result_.error = Error(ErrorCode::usage, std::move(message));
  }
  void note(const std::string& text) {
    if (!result_.error) result_.notes += text;
  }
  // The next value of the option being read, which it consumes; a missing
  // one is a usage error (and an empty value).
  bool more() const { return values_ > 0; }
  std::string value() {
    if (!more()) {
      fail();
      return "";
    }
    --values_;
    return args_[++i_];
  }
  // An integer value as strtol reads it (0 without digits, a usage error).
  int32_t integer() {
    const std::optional<int32_t> v = readInteger(value());
    if (!v) fail();
    return v.value_or(0);
  }
  // The optional factor of -q and -Q: 2 <= factor < 8, truncated; 3 without one.
  int32_t quantFactor() {
    if (!more()) return 3;
    const double f = std::atof(value().c_str());
    if (!(f >= 2.0 && f < 8.0)) fail("quantization factor must > 1 and < 8\n");
    return static_cast<int32_t>(f);
  }
  bool longOption();
  void shortOption(char letter);
  void checkWhole();

  const std::vector<std::string>& args_;
  size_t i_ = 0;
  int values_ = 0;  // the values the option being read has
  int positional_ = 0;
  ParsedCommandLine result_;
};

// The long options, which the design's command line never uses (any other
// "--..." stays an invalid option). False when the argument is none of them.
bool Scanner::longOption() {
  const std::string& arg = args_[i_];
  CommandLine& cl = result_.line;
  auto longValue = [&]() -> std::string {
    if (!more()) fail(arg + " needs a value\n");
    return more() ? value() : "";
  };
  if (arg == "--refine") {
    cl.opt.refine = 1;
  } else if (arg == "--frames") {
    const std::string range = longValue();
    char* rest = nullptr;
    const long long a = std::strtoll(range.c_str(), &rest, 10);
    const char* dash = rest;
    long long b = 0;
    char* after = nullptr;
    if (rest != range.c_str() && *dash == '-') b = std::strtoll(dash + 1, &after, 10);
    if (rest == range.c_str() || *dash != '-' || after == dash + 1 || (after && *after) || !after ||
        b < a) {
      fail("--frames takes a range of frame numbers A-B with A <= B, not " + range + "\n");
    }
    cl.share.limited = true;
    cl.share.firstFrame = a;
    cl.share.lastFrame = b;
  } else if (arg == "--palettes-to") {
    cl.share.palettesTo = longValue();
  } else if (arg == "--palette") {
    cl.share.palette = longValue();
  } else if (arg == "--gather") {
    while (more()) cl.share.gather.push_back(value());
    if (cl.share.gather.empty()) fail("--gather needs the palette files of the sequence\n");
  } else {
    return false;
  }
  return true;
}

void Scanner::shortOption(char letter) {
  RunSettings& opt = result_.line.opt;
  CommandLine& cl = result_.line;
  switch (letter) {
    case 'n': {
      int32_t n = integer();
      if (n < 2) fail("number of colors must >= 2\n");
      if (n > 256) {
        note("Too many colors, 256 colors used.\n");
        n = 256;
      }
      opt.colors = n;
      opt.colorsGiven = 1;
      break;
    }
    case 'a':
      opt.adjust = 1;
      if (more()) {
        const double f = std::atof(value().c_str());
        if (!(f > 0.0 && f <= 1.0)) fail("adjustment factor mast > 0 and <= 1\n");
        opt.adjustFactor = static_cast<float>(f);
      }
      break;
    case 'q':
      opt.quant = quantFactor();
      break;
    case 'Q':
      opt.paletteQuant = quantFactor();
      break;
    case 'b': {
      const int32_t b = integer();
      if (b <= 0) fail("number of bits must > 0 ");
      opt.bits = b;
      opt.bitsGiven = 1;
      break;
    }
    case 'z': {
      // atoi: no digits read as 0, which is out of range.
      const int32_t z = readInteger(value()).value_or(0);
      if (z < 1 || z > 255) fail("compress value must > 1 and < 255\n");
      opt.compress = z;
      opt.compressGiven = 1;
      break;
    }
    case 'i': {
      const std::string f = value();
      opt.inPict = f == "pict";
      if (f != "pic" && f != "kest" && f != "pict") fail("format " + f + " unknown.\n\n");
      break;
    }
    case 'o': {
      const std::string f = value();
      if (f == "pic" || f == "kest") {
        opt.outPic = 1;
      } else if (f == "pict") {
        opt.outPict = 1;
      } else if (f == "pict2") {
        opt.outPict = 2;
      } else {
        fail("format " + f + " unknown.\n\n");
      }
      break;
    }
    case 'c':
    case 'C':
      opt.colormapMode = letter == 'c' ? 1 : 2;
      cl.colormap = value();
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
      const int32_t r = integer();
      if (r < 0) fail(std::to_string(r) + " is an invalid opt.repeat value.\n");
      opt.repeat = r;
      break;
    }
    case 's':
      if (values_ < 3) fail();
      opt.sequence = 1;
      opt.start = integer();
      opt.end = integer();
      opt.step = integer();
      break;
    default:
      fail(std::string("Invalid option -") + letter + "\n\n");
  }
}

// The checks of the whole line, after the scan.
void Scanner::checkWhole() {
  const RunSettings& opt = result_.line.opt;
  const CommandLine& cl = result_.line;
  if (positional_ != 2) fail();
  // Colormap files hold 16 bits per value: a palette that will be saved
  // cannot have more, and it is better said before any work.
  if (opt.bitsGiven && opt.bits > 16 && opt.colormapMode == 0) {
    fail("number of bits must <= 16 to save a colormap\n");
  }
  if ((cl.share.limited || cl.share.staged()) && !opt.sequence) {
    fail("--frames, --palettes-to, --gather and --palette work on a sequence: give -s\n");
  }
  if (opt.outPic && cl.input == cl.output) {
    fail("!!!Error: When using option -o, input and output\nmust have different file names\n");
  }
}

ParsedCommandLine Scanner::scan() {
  for (i_ = 0; i_ < args_.size(); ++i_) {
    const std::string& arg = args_[i_];
    if (arg.empty() || arg[0] != '-') {
      if (positional_ == 0) {
        result_.line.input = arg;
      } else if (positional_ == 1) {
        result_.line.output = arg;
      } else {
        fail("Too many parameters!\n");
      }
      ++positional_;
      continue;
    }
    // Only the second character counts: -verbose is -v.
    const char letter = arg.size() > 1 ? arg[1] : '\0';
    values_ = optionValues(args_, i_);
    if (letter == '-' && longOption()) continue;
    shortOption(letter);
  }
  checkWhole();
  return std::move(result_);
}

}  // namespace

int optionValues(const std::vector<std::string>& args, size_t i) {
  const std::string& arg = args[i];
  if (arg.size() < 2 || arg[0] != '-') return 0;
  const int left = static_cast<int>(args.size() - i - 1);
  auto upTo = [left](int n) { return std::min(n, left); };
  switch (arg[1]) {
    case 'n':
    case 'b':
    case 'z':
    case 'i':
    case 'o':
    case 'c':
    case 'C':
    case 'r':
      return upTo(1);
    case 's':
      return upTo(3);
    case 'a':
    case 'q':
    case 'Q':
      // A factor is optional: the next argument is one only when it starts
      // with a digit.
      return left > 0 && startsWithDigit(args[i + 1]) ? 1 : 0;
    case '-':
      if (arg == "--frames" || arg == "--palettes-to" || arg == "--palette") return upTo(1);
      if (arg == "--gather") {
        // Every following argument up to the next option.
        int n = 0;
        while (n < left && (args[i + 1 + n].empty() || args[i + 1 + n][0] != '-')) ++n;
        return n;
      }
      return 0;
    default:
      return 0;
  }
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
  return Scanner(args).scan();
}

std::string usageText(const std::string& programName) {
  const std::string& p = programName;
  return "\n" + p + " Version " + kDesignVersion +
         "\n"
         "This program converts KESTRALUX true color image file (.pic) into a color\n"
         "mapped image file (.icn). You can impose output image colors by using\n"
         "a colormap or let the program to choose colors and produce a colormap.\n\n"
         "Usage: " +
         p +
         " <input file> <output file>\n"
         "                [-n <colors>] [-a [factor] ] [-q <number>]  [-b <bits>]\n"
         "                [-i <format>] [-o <format>]\n"
         "                [-c <colormap>] [-C <colormap>]\n"
         "                [-A] [-T] [-u] [-d] [-v]\n"
         "                [-r <repeat count>] [-s <start frame> <end frame> <step>] \n"
         "\n"
         "       <input file>:  name of the KESTRALUX file\n"
         "       <output file>: name of the color mapped file\n\n"
         "Options:  n lets you specify the desired number of colors for the\n"
         "            output image (default is 256).\n"
         "          a makes colors adjustment to get better result.\n"
         "            0 < [factor] <= 1   (default is 0.7)\n"
         "          q uses a quantization filter to reduce colors.\n"
         "            <number> = 2,3,4,5,6,7\n"
         "          b lets you specify the number of bits for each channel(default is 8).\n"
         "          d displays the output picture.\n"
         "          i lets you specify input image format (pic or pict).\n"
         "          o lets you specify output image format (pic or pict).\n"
         "          c uses a binary colormap file (.clm).\n"
         "          C uses a ASCII colormap file (.cla).\n"
         "          A produces a ASCII colormap file(default is a binary file).\n"
         "          T Transforms input colormap form ASCII to binary or vice versa.\n"
         "          u produce a unique colormap for the whole sequence.\n"
         "          r lets you specify how many times each frame should be repeated.\n"
         "            The default is 1.\n"
         "          s works on a whole sequence instead of only one frame.\n"
         "          v turns on the verbose mode.\n\n";
}

}  // namespace kx
