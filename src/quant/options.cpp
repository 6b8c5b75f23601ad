// kxquant's command line: short options in the usual Unix way (grouped flags,
// values attached or in the next argument), a long form for every option,
// and "--" before inputs whose names start with a dash.
//
// The adjustment factor is optional, as in kxreduce; unlike kxreduce, the
// next argument is taken as the factor only when it is a number through and
// through, so "-a 2004photo.jpg" reads the picture.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <numeric>
#include <optional>

#include "common/version.h"
#include "quant/quant.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

// The whole text as a number, or nothing.
std::optional<double> wholeNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

std::optional<long> wholeInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

// A frame rate: a whole number, a decimal ("29.97") or a ratio
// ("30000/1001") as frames every so many seconds in lowest terms (0 frames
// for a rate of 0); nothing when the text is not written so.
std::optional<std::pair<int64_t, int64_t>> frameRate(const std::string& text) {
  int64_t frames = 0, seconds = 1;
  const size_t slash = text.find('/'), dot = text.find('.');
  auto digits = [](const std::string& part, int64_t& out) {
    if (part.empty() || part.size() > 12) return false;
    out = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      out = out * 10 + (c - '0');
    }
    return true;
  };
  if (slash != std::string::npos) {
    if (!digits(text.substr(0, slash), frames) || !digits(text.substr(slash + 1), seconds))
      return std::nullopt;
  } else if (dot != std::string::npos) {
    const std::string fraction = text.substr(dot + 1);
    if (!digits(text.substr(0, dot) + fraction, frames)) return std::nullopt;
    for (size_t i = 0; i < fraction.size(); ++i) seconds *= 10;
  } else if (!digits(text, frames)) {
    return std::nullopt;
  }
  if (frames == 0 || seconds == 0) return std::make_pair(int64_t{0}, int64_t{1});
  const int64_t common = std::gcd(frames, seconds);
  return std::make_pair(frames / common, seconds / common);
}

struct Parser {
  int argc;
  char** argv;
  int next = 1;  // the argument to read next
  QuantOptions& options;
  std::string* error;
  // Options whose absence and default differ in what the user meant.
  bool outputGiven = false;
  const char* gifOption = nullptr;  // the last of the GIF-only options given

  bool fail(const std::string& what) {
    *error = what;
    return false;
  }

  // The value of an option that needs one: attached, or the next argument.
  bool value(const std::string& name, std::optional<std::string> attached, std::string& out) {
    if (attached) {
      out = *attached;
      return true;
    }
    if (next >= argc) return fail(name + " needs a value");
    out = argv[next++];
    return true;
  }

  bool integer(const std::string& name, std::optional<std::string> attached, long low, long high,
               const char* what, long& out) {
    std::string text;
    if (!value(name, std::move(attached), text)) return false;
    const std::optional<long> v = wholeInteger(text);
    if (!v || *v < low || *v > high) {
      return fail(name + " takes " + what + " from " + std::to_string(low) + " to " +
                  std::to_string(high) + ", not \"" + text + "\"");
    }
    out = *v;
    return true;
  }

  bool adjust(const std::string& name, std::optional<std::string> attached) {
    options.adjust = true;
    options.noDither = false;
    std::optional<std::string> text = std::move(attached);
    if (!text && next < argc && wholeNumber(argv[next])) text = argv[next++];
    if (!text) return true;
    const std::optional<double> f = wholeNumber(*text);
    if (!f || !(*f > 0.0 && *f <= 1.0)) {
      return fail(name + " takes a factor above 0 and at most 1, not \"" + *text + "\"");
    }
    options.adjustFactor = static_cast<float>(*f);
    return true;
  }

  // MIN-MAX, MAX alone (MIN 0), MIN- (MAX 100) or -MAX, as pngquant takes it.
  bool quality(const std::string& name, std::optional<std::string> attached) {
    std::string text;
    if (!value(name, std::move(attached), text)) return false;
    const size_t dash = text.find('-');
    std::optional<long> low = 0, high = 100;
    if (dash == std::string::npos) {
      high = wholeInteger(text);
    } else {
      if (dash > 0) low = wholeInteger(text.substr(0, dash));
      if (dash + 1 < text.size()) high = wholeInteger(text.substr(dash + 1));
      if (dash == 0 && dash + 1 == text.size()) low.reset();
    }
    if (!low || !high || *low < 0 || *high > 100 || *low > *high) {
      return fail(name + " takes MIN-MAX, qualities from 0 to 100 with MIN at most MAX, not \"" +
                  text + "\"");
    }
    options.qualityMin = static_cast<int>(*low);
    options.qualityMax = static_cast<int>(*high);
    return true;
  }

  bool fps(const std::string& name, std::optional<std::string> attached) {
    std::string text;
    if (!value(name, std::move(attached), text)) return false;
    const auto rate = frameRate(text);
    if (!rate) {
      return fail(name + " takes a frame rate written as 25, 29.97 or 30000/1001, not \"" + text +
                  "\"");
    }
    if (rate->first == 0) return fail(name + " takes a frame rate above 0, not \"" + text + "\"");
    // GIF delays are 16-bit hundredths of a second.
    if (100 * rate->second > 65535 * rate->first) {
      return fail(name + " " + text + ": a GIF frame lasts at most 655.35 seconds");
    }
    if (rate->first > kMaxFrameRateTerm || rate->second > kMaxFrameRateTerm) {
      return fail(name + " " + text + ": at most " + std::to_string(kMaxFrameRateTerm) +
                  " frames a second, and a ratio's terms at most that");
    }
    options.fps = text;
    options.fpsFrames = rate->first;
    options.fpsSeconds = rate->second;
    return true;
  }

  // One option by its long name (or the long name of a short one).
  bool option(const std::string& name, const std::string& shown,
              std::optional<std::string> attached, ParseOutcome& outcome) {
    long v = 0;
    auto noValue = [&] { return !attached || fail(shown + " takes no value"); };
    if (name == "colors" || name == "colours") {
      if (!integer(shown, std::move(attached), 2, 256, "a number of colours", v)) return false;
      options.colors = static_cast<int>(v);
    } else if (name == "adjust") {
      return adjust(shown, std::move(attached));
    } else if (name == "output") {
      outputGiven = true;
      return value(shown, std::move(attached), options.output);
    } else if (name == "delay") {
      if (!integer(shown, std::move(attached), 0, 655350, "milliseconds", v)) return false;
      options.delayMs = static_cast<int>(v);
      options.delayGiven = true;
      gifOption = "--delay";
    } else if (name == "fps") {
      gifOption = "--fps";
      return fps(shown, std::move(attached));
    } else if (name == "loop") {
      if (!integer(shown, std::move(attached), 0, 65535, "a loop count", v)) return false;
      options.loop = static_cast<int>(v);
      gifOption = "--loop";
    } else if (name == "no-alpha-dither") {
      options.alphaDither = false;
      gifOption = "--no-alpha-dither";
      return noValue();
    } else if (name == "no-loop") {
      options.loop = -1;
      gifOption = "--no-loop";
      return noValue();
    } else if (name == "unique") {
      options.unique = true;
      return noValue();
    } else if (name == "quiet") {
      options.quiet = true;
      options.verbose = false;
      return noValue();
    } else if (name == "verbose") {
      options.verbose = true;
      options.quiet = false;
      return noValue();
    } else if (name == "force") {
      options.force = true;
      return noValue();
    } else if (name == "dither") {
      if (!integer(shown, std::move(attached), 1, kMaxDitherLevel, "a level", v)) return false;
      options.ditherLevel = static_cast<int>(v);
      options.adjust = false;
      options.noDither = false;
    } else if (name == "cut-by-error") {
      options.cutByError = true;
      return noValue();
    } else if (name == "fit-worst") {
      options.fitWorst = true;
      return noValue();
    } else if (name == "no-dither" || name == "nofs") {
      options.noDither = true;
      options.adjust = false;
      return noValue();
    } else if (name == "ext") {
      if (!value(shown, std::move(attached), options.ext)) return false;
      OutputKind kind = OutputKind::Gif;
      if (options.ext.find('/') != std::string::npos || !outputKindOf("x" + options.ext, &kind) ||
          kind != OutputKind::Png) {
        return fail(shown + " takes a suffix ending in .png, such as -kx.png or .png, not \"" +
                    options.ext + "\"");
      }
      options.extGiven = true;
    } else if (name == "quality") {
      return quality(shown, std::move(attached));
    } else if (name == "skip-if-larger") {
      options.skipIfLarger = true;
      return noValue();
    } else if (name == "strip") {
      options.strip = true;
      return noValue();
    } else if (name == "no-refine") {
      options.refine = false;
      return noValue();
    } else if (name == "best") {
      options.best = true;
      return noValue();
    } else if (name == "help") {
      outcome = ParseOutcome::Help;
      return noValue();
    } else if (name == "version") {
      outcome = ParseOutcome::Version;
      return noValue();
    } else {
      return fail("unknown option " + shown);
    }
    return true;
  }

  bool shortOptions(const std::string& arg, ParseOutcome& outcome) {
    static const struct {
      char letter;
      const char* name;
      bool takesValue;
    } kShort[] = {{'n', "colors", true},  {'a', "adjust", true}, {'o', "output", true},
                  {'u', "unique", false}, {'q', "quiet", false}, {'v', "verbose", false},
                  {'f', "force", false},  {'h', "help", false},  {'Q', "quality", true}};
    for (size_t i = 1; i < arg.size(); ++i) {
      const auto* found = std::find_if(std::begin(kShort), std::end(kShort),
                                       [&](const auto& s) { return s.letter == arg[i]; });
      const std::string shown = std::string("-") + arg[i];
      if (found == std::end(kShort)) return fail("unknown option " + shown);
      if (!found->takesValue) {
        if (!option(found->name, shown, std::nullopt, outcome)) return false;
        continue;
      }
      // The rest of the argument is the value, when there is a rest; for
      // the optional factor only when it is a number ("-au" is -a -u).
      std::optional<std::string> attached;
      if (i + 1 < arg.size()) attached = arg.substr(i + 1);
      if (found->letter == 'a' && attached && !wholeNumber(*attached)) {
        options.adjust = true;
        options.noDither = false;
        continue;
      }
      return option(found->name, shown, std::move(attached), outcome);
    }
    return true;
  }

  // The outcome; nothing after a failure (see fail()).
  std::optional<ParseOutcome> run() {
    ParseOutcome outcome = ParseOutcome::Run;
    bool optionsEnded = false;
    while (next < argc) {
      const std::string arg = argv[next++];
      bool ok = true;
      if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
        options.inputs.push_back(arg);
      } else if (arg == "--") {
        optionsEnded = true;
      } else if (arg.compare(0, 2, "--") == 0) {
        const size_t eq = arg.find('=');
        std::optional<std::string> attached;
        if (eq != std::string::npos) attached = arg.substr(eq + 1);
        ok = option(arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2),
                    arg.substr(0, eq), std::move(attached), outcome);
      } else {
        ok = shortOptions(arg, outcome);
      }
      if (!ok) return std::nullopt;
    }
    if (outcome != ParseOutcome::Run) return outcome;
    OutputKind kind = OutputKind::Png;
    if (!options.fps.empty() && options.delayGiven) {
      fail("--fps and --delay both set the frame time; give one");
    } else if (options.inputs.empty()) {
      fail("no input picture");
    } else if (std::count(options.inputs.begin(), options.inputs.end(), kStandardInput) > 1) {
      fail("- (the standard input) is given more than once; it can be read only once");
    } else if (outputGiven && options.output.empty()) {
      fail("-o names no file (the name is empty)");
    } else if (options.output != kStandardInput && !options.output.empty() &&
               !outputKindOf(options.output, &kind)) {
      fail(options.output + ": unknown output extension (kxquant writes .png, .gif and .icn)");
    } else if (!options.output.empty() && kind != OutputKind::Gif && options.inputs.size() > 1) {
      fail("-o names one output; give one input, or a .gif for all of them");
    } else if (gifOption && kind != OutputKind::Gif) {
      fail(std::string(gifOption) + " applies to a .gif output only (-o NAME.gif)");
    } else if (options.best && kind != OutputKind::Png) {
      fail("--best applies to a PNG output only (its compression)");
    } else if (options.extGiven && outputGiven) {
      fail("--ext and -o both name the output; give one");
    } else if (options.qualityMax >= 0 && kind != OutputKind::Gif &&
               (kind != OutputKind::Png || options.unique)) {
      fail("--quality applies to a PNG output of each input, without -u, or to a .gif");
    } else if (options.skipIfLarger && (kind != OutputKind::Png || options.unique)) {
      fail("--skip-if-larger applies to a PNG output of each input, without -u");
    } else {
      return outcome;
    }
    return std::nullopt;
  }
};

}  // namespace

Result<ParseOutcome> parseQuantOptions(int argc, char** argv, QuantOptions& options) {
  options = QuantOptions{};
  std::string error;
  Parser parser{argc, argv, 1, options, &error};
  if (const std::optional<ParseOutcome> outcome = parser.run()) return *outcome;
  return Error(ErrorCode::usage, error);
}

std::string quantVersion() {
  return std::string("kxquant ") + toolVersion() + "\n";
}

std::string quantUsage() {
  return "Usage: kxquant [options] INPUT...\n"
         "\n"
         "Reduces each picture to an indexed picture of at most 256 colours with kxreduce's\n"
         "engine, and writes it beside the input as <input stem>-kx.png (photo.jpg ->\n"
         "photo-kx.png); the input - is standard input, its output standard output.\n"
         "Inputs are never replaced, except by their own output named with --ext or -o\n"
         "together with --force. Reads PNG, JPEG, WebP, GIF, TIFF, PPM/PGM/PBM/PAM,\n"
         "YUV4MPEG2, .pic and .pict (plain, AppleSingle, AppleDouble). A PNG keeps\n"
         "alpha, an alpha per palette entry; a GIF keeps transparency, partly transparent\n"
         "pixels dithered between transparent and opaque. A picture that keeps too many\n"
         "colours is compressed until it fits. The remapping error is diffused as far\n"
         "as it shows: fully in smooth areas, less in texture, not on edges nor in flat\n"
         "areas whose colour the palette holds.\n"
         "\n"
         "Options:\n"
         "  -n, --colors N      palette size, 2 to 256 (default 256)\n"
         "  -a, --adjust [F]    kxreduce's error diffusion instead, over every pixel, factor\n"
         "                      0 < F <= 1 (default 0.7); the next argument is the factor\n"
         "                      only when it is a number\n"
         "      --dither N      kxquant's own error diffusion at level N, 1 (default) to 3:\n"
         "                      each level dithers more texture, for more bytes\n"
         "      --no-dither     no error diffusion: every pixel to its nearest colour\n"
         "                      (--nofs is the same; the last of -a, --dither and\n"
         "                      --no-dither counts)\n"
         "      --cut-by-error  a palette whose boxes are cut where the error is: colours\n"
         "                      of few pixels far from the rest get entries of their own\n"
         "      --fit-worst     a PNG's palette chosen again for the places it served worst\n"
         "                      (opaque pictures): a better look on photographs, slower\n"
         "  -u, --unique        one palette for all inputs\n"
         "  -o, --output FILE   the output, by its extension (one input, or a .gif):\n"
         "                        .png  indexed PNG (- standard output)\n"
         "                        .gif  animated GIF of all inputs in order, one palette\n"
         "                        .icn  kxreduce's colour-mapped image and its .clm colormap\n"
         "  -f, --force         replace outputs that exist, and an input named as its\n"
         "                      own output by --ext or -o (replaced when complete)\n"
         "      --ext SUFFIX    output names: <input stem>SUFFIX (default -kx.png)\n"
         "  -Q, --quality MIN-MAX  the fewest colours (at most -n) whose PNG reaches\n"
         "                      quality MAX; below MIN with -n colours, nothing is\n"
         "                      written (status 99). 0 to 100: see kxquant(1). A GIF\n"
         "                      of quality MAX below 100 lets pixels differ a little\n"
         "                      from their colour for fewer bytes\n"
         "      --skip-if-larger  nothing written when the PNG is not smaller than its\n"
         "                      input (status 98)\n"
         "      --strip         no colour profile, gamma nor physical size in the PNG\n"
         "      --fps R         GIF: frames per second, such as 25, 29.97 or 30000/1001\n"
         "      --delay MS      GIF: time each frame is shown (default 100)\n"
         "      --loop N        GIF: loop count, 0 for ever (default 0)\n"
         "      --no-loop       GIF: play once (no loop extension)\n"
         "      --no-alpha-dither  GIF: partly transparent pixels cut at alpha 128, not\n"
         "                      dithered (the default shows a shadow as a stipple)\n"
         "      --no-refine     the design's median-cut palette (kxreduce without --refine)\n"
         "      --best          PNG: a few % smaller file for many times the time of\n"
         "                      writing it (the pixels are the same)\n"
         "  -q, --quiet         no notes and no progress line\n"
         "  -v, --verbose       the engine's progress messages\n"
         "  -h, --help          this text\n"
         "      --version       the version\n"
         "\n"
         "Exit status: 0 when every input was done, 1 when some input failed, 2 for a\n"
         "usage error, 99 when some input did not reach --quality's MIN, 98 when some\n"
         "output was skipped as larger.\n";
}

}  // namespace kx
