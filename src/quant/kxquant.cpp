// kxquant's driver: plans the outputs, checks them before any work, reduces
// every input (each on its own, or with one palette for all: two passes, as
// kxreduce's unique colormap), and reports.
//
// Every input is worked on with the engine's messages held: a failure
// becomes the one line "kxquant: <file>: <what is wrong>" and the next input
// is done all the same. Nothing is written for an input that failed, and an
// output is refused before any work when it exists (without -f), when it is
// one of the inputs, or when two inputs would write the same file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <new>
#include <optional>

#include "common/fatal.h"
#include "common/messages.h"
#include "common/outfile.h"
#include "common/pixel_limit.h"
#include "common/threads.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

constexpr int kUsageError = 2;

// The text of an engine failure held in the buffer: what follows the last
// "Error: ", or the last line printed.
std::string engineFailure(const std::string& held) {
  std::string text = held;
  const size_t error = text.rfind("Error: ");
  if (error != std::string::npos) {
    text = text.substr(error + 7);
  } else {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t line = text.rfind('\n');
    if (line != std::string::npos) text = text.substr(line + 1);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  const size_t newline = text.find('\n');
  if (newline != std::string::npos) text = text.substr(0, newline);
  return text.empty() ? "failed" : text;
}

// Lines on standard error above one progress line that rewrites itself (only
// on a terminal).
class Reporter {
 public:
  explicit Reporter(bool progress) : progress_(progress) {}

  void say(const std::string& line) {
    clearProgress();
    std::fprintf(stderr, "%s\n", line.c_str());
    redraw();
  }
  // Messages of the engine, held while an input was worked on.
  void replay(MessageBuffer& held) {
    clearProgress();
    std::fflush(stderr);
    held.replay();
    std::fflush(stdout);
    redraw();
  }
  void progress(const char* what, int done, int total) {
    if (!progress_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char text[160];
    if (done > 0 && seconds > 0) {
      const double rate = done / seconds;
      std::snprintf(text, sizeof text, "kxquant: %s %d/%d, %.1f frames/s, %.0f s left", what, done,
                    total, rate, std::ceil((total - done) / rate));
    } else {
      std::snprintf(text, sizeof text, "kxquant: %s %d/%d", what, done, total);
    }
    line_ = text;
    redraw();
  }
  void restart() { start_ = std::chrono::steady_clock::now(); }
  void end() {
    clearProgress();
    line_.clear();
  }

 private:
  void clearProgress() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }
  void redraw() {
    if (!progress_ || line_.empty()) return;
    std::fprintf(stderr, "\r%s\033[K", line_.c_str());
    std::fflush(stderr);
    shown_ = true;
  }

  bool progress_;
  bool shown_ = false;
  std::string line_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string describeColours(int64_t n) {
  char text[64];
  if (n >= 1000000) {
    std::snprintf(text, sizeof text, "%.1f million colours", n / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%lld colours", static_cast<long long>(n));
  }
  return text;
}

std::string defaultOutput(const std::string& input) {
  const std::filesystem::path path(input);
  return (path.parent_path() / (path.stem().string() + "-kx.png")).string();
}

struct FileId {
  dev_t device;
  ino_t inode;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> fileId(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// Whether a name is taken: a link counts, even one to nothing.
bool nameTaken(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// An input that cannot be read a second time (a pipe, a FIFO, /dev/stdin).
bool cannotBeReread(const std::string& path) {
  std::error_code ec;
  return !std::filesystem::is_regular_file(path, ec);
}

class Driver {
 public:
  explicit Driver(const QuantOptions& options)
      : options_(options),
        reporter_(!options.quiet && options.inputs.size() > 1 && ::isatty(STDERR_FILENO)) {}

  int run() {
    // The command line has checked the output's kind.
    kind_ = OutputKind::Png;
    if (!options_.output.empty()) outputKindOf(options_.output, &kind_);
    if (kind_ == OutputKind::Gif) options_.unique = true;
    planOutputs();
    if (options_.unique) {
      runShared();
    } else {
      for (size_t i = 0; i < options_.inputs.size(); ++i) {
        if (!failed_[i]) runAlone(i);
        reporter_.progress("frames", static_cast<int>(i + 1),
                           static_cast<int>(options_.inputs.size()));
      }
    }
    reporter_.end();
    std::fflush(stdout);
    for (bool f : failed_) {
      if (f) return 1;
    }
    return 0;
  }

 private:
  // Runs body for input i with the engine's messages held; a failure marks
  // the input and prints its one line.
  template <class Body>
  bool attempt(size_t i, const std::string& file, Body&& body) {
    MessageBuffer held;
    std::string failure;
    try {
      body();
    } catch (const ConvError& e) {
      failure = e.what();
    } catch (const ExitRequest&) {
      failure = file + ": " + engineFailure(held.text(Stream::Err) + held.text(Stream::Out));
    } catch (const std::bad_alloc&) {
      failure = file + ": out of memory";
    }
    if (!failure.empty()) {
      held.clear();
      if (i < failed_.size()) failed_[i] = true;
      reporter_.say("kxquant: " + failure);
      return false;
    }
    if (options_.verbose) {
      reporter_.replay(held);
    }
    return true;
  }

  void fail(size_t i, const std::string& what) {
    failed_[i] = true;
    reporter_.say("kxquant: " + what);
  }

  // Names every output and refuses the ones that may not be written, before
  // any input is read: one of the inputs, one that two inputs would write,
  // one that cannot be made where it is named (a folder, a missing folder),
  // one that exists without -f.
  void planOutputs() {
    const size_t n = options_.inputs.size();
    failed_.assign(n, false);
    outputs_.resize(n);
    std::vector<std::optional<FileId>> inputIds;
    for (const std::string& input : options_.inputs) inputIds.push_back(fileId(input));
    std::map<std::string, size_t> claimed;
    for (size_t i = 0; i < n; ++i) {
      outputs_[i] = !options_.output.empty() ? options_.output : defaultOutput(options_.inputs[i]);
      if (kind_ == OutputKind::Gif && i > 0) continue;  // one file for all
      for (const std::string& file : outputFiles(outputs_[i], kind_)) {
        const auto [at, fresh] = claimed.emplace(std::filesystem::path(file).lexically_normal(), i);
        const std::optional<FileId> id = fileId(file);
        std::string why;
        const std::string place = kx_outputPlaceProblem(file);
        if (id && std::find(inputIds.begin(), inputIds.end(), id) != inputIds.end()) {
          why = file + ": is an input picture; kxquant never overwrites its inputs";
        } else if (!fresh) {
          why = file + ": is also the output of " + options_.inputs[at->second] +
                "; name the outputs with -o, one input at a time";
        } else if (!place.empty()) {
          why = file + ": " + place;
        } else if (nameTaken(file) && !options_.force) {
          why = file + ": already exists (-f replaces it)";
        }
        if (!why.empty()) {
          fail(i, why);
          break;
        }
      }
    }
    // The GIF holds every input: when it may not be written, nothing is done.
    if (kind_ == OutputKind::Gif && failed_[0]) failed_.assign(n, true);
  }

  void noteCompression(const std::string& name, const Compression& c) {
    if (c.target == 255 || options_.quiet) return;
    reporter_.say(name + ": " + describeColours(c.distinctColors) + "; compressed to " +
                  std::to_string(c.target + 1) + " levels per channel");
  }

  // Held with the engine's messages, so that it follows them.
  void verboseSummary(const std::string& input, const std::string& output,
                      const IndexedPicture& picture) {
    if (!options_.verbose) return;
    kx_printf(Stream::Err, "%s -> %s: %d x %d, %zu palette entries\n", input.c_str(),
              output.c_str(), picture.width, picture.height, picture.palette.size());
  }

  void write(size_t i, IndexedPicture& picture) {
    if (kind_ == OutputKind::Icn) {
      writeIconAndColormap(outputs_[i], picture);
    } else {
      writeIndexedPng(outputs_[i], picture);
    }
  }

  // .icn holds no transparency: the alpha channel is left out, as kxreduce
  // leaves it out of a picture file.
  SourcePicture read(size_t i) {
    SourcePicture source = readSourcePicture(options_.inputs[i]);
    if (kind_ == OutputKind::Icn) {
      source.transparent.clear();
      source.transparentCount = 0;
    }
    return source;
  }

  void runAlone(size_t i) {
    const std::string& input = options_.inputs[i];
    attempt(i, input, [&] {
      const SourcePicture source = read(i);
      const int colors = options_.colors - (source.transparentCount > 0 ? 1 : 0);
      ChosenPalette chosen = choosePictureColormap(source, colors, options_);
      noteCompression(input, chosen.compression);
      // The colour-mapped image keeps kxreduce's whole palette; the others
      // drop the entries after the last one used.
      // With the refinement the original samples are remapped, as kxreduce
      // --refine remaps them.
      const int remapTarget = options_.refine ? 255 : chosen.compression.target;
      IndexedPicture picture =
          remapPicture(source, chosen.colormap, remapTarget, std::move(chosen.planes), options_,
                       kind_ != OutputKind::Icn, false);
      write(i, picture);
      verboseSummary(input, outputs_[i], picture);
    });
  }

  // One palette for all inputs: every picture's own palette first, then the
  // palette of those palettes, then every picture remapped to it. Pictures
  // are read twice rather than kept, so that memory stays that of one; only
  // those that cannot be read again (a pipe) are kept from the first pass.
  void runShared() {
    const size_t n = options_.inputs.size();
    std::vector<std::optional<SourcePicture>> kept(n);
    std::vector<Colormap> palettes;
    std::vector<size_t> used;
    int width = 0, height = 0;
    bool transparent = false;
    reporter_.restart();
    for (size_t i = 0; i < n; ++i) {
      if (failed_[i]) continue;
      const std::string& input = options_.inputs[i];
      attempt(i, input, [&] {
        SourcePicture source = read(i);
        ChosenPalette chosen = choosePictureColormap(source, options_.colors, options_);
        noteCompression(input, chosen.compression);
        palettes.push_back(std::move(chosen.colormap));
        used.push_back(i);
        width = std::max(width, source.width);
        height = std::max(height, source.height);
        transparent = transparent || source.transparentCount > 0;
        if (cannotBeReread(input)) kept[i] = std::move(source);
      });
      reporter_.progress("palettes", static_cast<int>(i + 1), static_cast<int>(n));
    }
    if (used.empty()) return;

    const std::string sharedName =
        kind_ == OutputKind::Gif ? options_.output : "the palette of all inputs";
    ChosenPalette shared;
    const bool chosen = attempt(n, sharedName, [&] {
      shared = chooseSharedColormap(palettes, options_.colors - (transparent ? 1 : 0), options_);
      noteCompression(sharedName, shared.compression);
    });
    if (!chosen) {
      for (size_t i : used) failed_[i] = true;
      return;
    }

    std::unique_ptr<GifWriter> gif;
    if (kind_ == OutputKind::Gif) {
      GifWriter::Settings settings;
      settings.screenWidth = width;
      settings.screenHeight = height;
      for (const HistogramEntry& e : shared.colormap) {
        settings.palette.push_back({e.red, e.green, e.blue});
      }
      if (transparent) {
        settings.transparentIndex = static_cast<int>(settings.palette.size());
        settings.palette.push_back({0, 0, 0});
      }
      settings.loopCount = options_.loop < 0 ? GifWriter::kPlayOnce : options_.loop;
      if (!attempt(0, options_.output,
                   [&] { gif = std::make_unique<GifWriter>(options_.output, settings); })) {
        for (size_t i : used) failed_[i] = true;
        return;
      }
      warnOfShortFrames(used.size());
    }
    reporter_.restart();
    int frames = 0;
    for (size_t k = 0; k < used.size(); ++k) {
      const size_t i = used[k];
      const std::string& input = options_.inputs[i];
      attempt(i, input, [&] {
        const SourcePicture source = kept[i] ? std::move(*kept[i]) : read(i);
        kept[i].reset();
        // As kxreduce's second pass: the pictures are remapped as they are,
        // without the compression their own palettes needed.
        IndexedPicture picture =
            remapPicture(source, shared.colormap, 255, PixelPlanes{}, options_, false, transparent);
        if (gif) {
          // Smaller frames are centred on the screen of the largest.
          const GifRect place{(width - picture.width) / 2, (height - picture.height) / 2,
                              picture.width, picture.height};
          std::vector<uint8_t> screen(static_cast<size_t>(width) * height);
          for (int y = 0; y < picture.height; ++y) {
            std::copy_n(picture.indices.begin() + static_cast<long>(y) * picture.width,
                        picture.width,
                        screen.begin() + (static_cast<long>(y) + place.top) * width + place.left);
          }
          const int delay = static_cast<int>(gifFrameStart(frames + 1, frameRate()) -
                                             gifFrameStart(frames, frameRate()));
          gif->addFrame(std::move(screen), delay, place);
          ++frames;
          verboseSummary(input, options_.output, picture);
        } else {
          write(i, picture);
          verboseSummary(input, outputs_[i], picture);
        }
      });
      reporter_.progress("frames", static_cast<int>(k + 1), static_cast<int>(used.size()));
    }
    if (gif && frames > 0 && !attempt(0, options_.output, [&] { gif->commit(); })) {
      for (size_t i : used) failed_[i] = true;
    }
  }

  // The GIF's clock: --fps, else --delay (1000 frames every delay seconds).
  FrameRate frameRate() const {
    if (!options_.fps.empty()) return FrameRate{options_.fpsFrames, options_.fpsSeconds};
    return FrameRate{1000, options_.delayMs};
  }

  // Browsers show frames shorter than 2 hundredths of a second for 10.
  void warnOfShortFrames(size_t frames) {
    int64_t shortest = INT64_MAX;
    for (size_t k = 0; frames > 1 && k < frames; ++k) {
      const auto i = static_cast<int64_t>(k);
      shortest =
          std::min(shortest, gifFrameStart(i + 1, frameRate()) - gifFrameStart(i, frameRate()));
    }
    if (shortest >= 2) return;
    const std::string option = !options_.fps.empty()
                                   ? "--fps " + options_.fps
                                   : "--delay " + std::to_string(options_.delayMs);
    reporter_.say("kxquant: warning: " + option + " gives frames of " + std::to_string(shortest) +
                  "/100 s; browsers show frames shorter than 2/100 s for 10/100 s");
  }

  QuantOptions options_;
  Reporter reporter_;
  OutputKind kind_ = OutputKind::Png;
  std::vector<std::string> outputs_;
  std::vector<bool> failed_;
};

}  // namespace

int kxquantMain(int argc, char** argv) {
  kx_removeTemporariesOnSignals();
  QuantOptions options;
  std::string error;
  switch (parseQuantOptions(argc, argv, options, &error)) {
    case ParseOutcome::Help:
      std::fputs(quantUsage().c_str(), stdout);
      return 0;
    case ParseOutcome::Version:
      std::fputs(quantVersion().c_str(), stdout);
      return 0;
    case ParseOutcome::Error:
      std::fprintf(stderr, "kxquant: %s\nUsage: kxquant [options] INPUT... (kxquant --help)\n",
                   error.c_str());
      return kUsageError;
    case ParseOutcome::Run:
      break;
  }
  if (const std::string problem = kx_maxPixelsProblem(); !problem.empty()) {
    std::fprintf(stderr, "kxquant: %s\n", problem.c_str());
    return kUsageError;
  }
  if (const std::string threads = kx_threadSettingError(); !threads.empty()) {
    std::fprintf(stderr, "kxquant: %s", threads.c_str());
    return kUsageError;
  }
  try {
    return Driver(options).run();
  } catch (const std::bad_alloc&) {
    std::fputs("kxquant: out of memory\n", stderr);
    return 1;
  }
}

}  // namespace kx
