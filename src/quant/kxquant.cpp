// kxquant's driver: plans the outputs, checks them before any work, reduces
// every input (each on its own, or with one palette for all: two passes, as
// kxreduce's unique colormap), and reports.
//
// Every input is worked on with the engine's messages held: a failure
// becomes the one line "kxquant: <file>: <what is wrong>" and the next input
// is done all the same. Nothing is written for an input that failed, and an
// output is refused before any work when it exists (without -f), when it is
// one of the inputs, or when two inputs would write the same file. The one
// exception: an input replaced by its own output, named by -o or --ext,
// with --force; the new file is renamed over it when complete, so the
// input stays whole if anything fails.
//
// Inputs with outputs of their own are reduced side by side, several at a
// time; everything a reduction says is held with it and said in input
// order, so the outputs, messages and status are those of one at a time.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <optional>

#include "common/machine.h"
#include "common/messages.h"
#include "common/outfile.h"
#include "common/pixel_limit.h"
#include "common/threads.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

constexpr int kUsageError = 2;
// Pictures begun ahead of the one reported next, per thread (see picturesInFlight).
constexpr int64_t kPicturesAhead = 4;

// Lines on standard error above one progress line that rewrites itself (only
// on a terminal).
class Reporter final : public SequenceReport {
 public:
  explicit Reporter(bool progress) : progress_(progress) {}

  void say(const std::string& line) override {
    clearProgress();
    std::fprintf(stderr, "%s\n", line.c_str());
    redraw();
  }
  // Messages of the engine, held while an input was worked on.
  void replay(const HeldMessages& held) {
    clearProgress();
    std::fflush(stderr);
    kx_replay(held);
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
    progress(std::string(text));
  }
  void progress(const std::string& line) override {
    if (!progress_) return;
    line_ = line;
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

// The name of standard output in messages, where "-" stands for it.
constexpr const char* kStandardOutputName = "standard output";

std::string defaultOutput(const std::string& input, const std::string& ext) {
  if (input == kStandardInput) return kStandardInput;  // standard input to standard output
  const std::filesystem::path path(input);
  return (path.parent_path() / (path.stem().string() + ext)).string();
}

// All of `bytes` to standard output; false with errno when they could not be.
bool writeStandardOutput(const std::vector<uint8_t>& bytes) {
  std::fflush(stdout);
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
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
        reporter_(!options.quiet && ::isatty(STDERR_FILENO) && showsProgress()) {}

  int run() {
    // The command line has checked the output's kind.
    kind_ = OutputKind::Png;
    if (!options_.output.empty() && options_.output != kStandardInput) {
      outputKindOf(options_.output, &kind_);
    }
    if (kind_ == OutputKind::Gif) options_.unique = true;
    planOutputs();
    if (kind_ == OutputKind::Gif) {
      if (!failed_[0]) {
        const Context c = context();
        writeGifOfAllFrames(options_, failed_, reporter_, c);
      }
    } else if (options_.unique) {
      runShared();
    } else {
      runEach();
    }
    reporter_.end();
    std::fflush(stdout);
    // A failure says most; then a target not reached, then a file skipped.
    int status = 0;
    for (size_t i = 0; i < failed_.size(); ++i) {
      if (failed_[i]) return 1;
      if (status != kQualityNotReached && left_[i] != 0) status = left_[i];
    }
    return status;
  }

 private:
  // Several inputs, or the frames of a GIF (a stream may hold many).
  bool showsProgress() const {
    OutputKind kind = OutputKind::Png;
    return options_.inputs.size() > 1 ||
           (outputKindOf(options_.output, &kind) && kind == OutputKind::Gif);
  }

  // Runs body for input i with the engine's messages held; a failure marks
  // the input and prints its one line. body returns a Status whose Error
  // does not name the file; a file reader's or writer's Error (thrown)
  // does.
  template <class Body>
  bool attempt(size_t i, const std::string& file, Body&& body) {
    MessageBuffer held;
    std::string failure;
    try {
      if (const Status done = body(); !done) failure = file + ": " + done.error().message;
    } catch (const Error& e) {
      failure = e.message;
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
      reporter_.replay(held.take());
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
    left_.assign(n, 0);
    outputs_.resize(n);
    std::vector<std::optional<FileId>> inputIds;
    for (const std::string& input : options_.inputs) inputIds.push_back(fileId(input));
    std::map<std::string, size_t> claimed;
    for (size_t i = 0; i < n; ++i) {
      outputs_[i] = !options_.output.empty() ? options_.output
                                             : defaultOutput(options_.inputs[i], options_.ext);
      if (kind_ == OutputKind::Gif && i > 0) continue;  // one file for all
      if (outputs_[i] == kStandardInput) {
        const auto [at, fresh] = claimed.emplace(kStandardInput, i);
        if (!fresh) {
          fail(i, "-: standard input is given twice; give - once");
        } else if (::isatty(STDOUT_FILENO)) {
          fail(i, std::string(kStandardOutputName) +
                      ": is a terminal; send it to a file or a pipe, or name the output with -o");
        }
        continue;
      }
      for (const std::string& file : outputFiles(outputs_[i], kind_)) {
        const auto [at, fresh] = claimed.emplace(std::filesystem::path(file).lexically_normal(), i);
        const std::optional<FileId> id = fileId(file);
        const auto input = std::find(inputIds.begin(), inputIds.end(), id);
        // Replaced only when the user named it as this input's output.
        const bool named =
            kind_ != OutputKind::Gif && (options_.extGiven || !options_.output.empty());
        const bool ownInput = id && input == inputIds.begin() + static_cast<long>(i) &&
                              std::count(inputIds.begin(), inputIds.end(), id) == 1;
        std::string why;
        const std::string place = kx_outputPlaceProblem(file);
        if (ownInput && named) {
          if (!options_.force) why = file + ": is the input picture (--force replaces it)";
        } else if (id && input != inputIds.end()) {
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

  std::string compressionNote(const std::string& name, const Compression& c) const {
    if (c.target == 255 || options_.quiet) return "";
    return name + ": " + describeColours(c.distinctColors) + "; compressed to " +
           std::to_string(c.target + 1) + " levels per channel";
  }
  void noteCompression(const std::string& name, const Compression& c) {
    if (const std::string line = compressionNote(name, c); !line.empty()) reporter_.say(line);
  }

  // Held with the engine's messages, so that it follows them.
  void verboseSummary(const std::string& input, const std::string& output,
                      const IndexedPicture& picture, int quality) {
    if (!options_.verbose) return;
    std::string measured;
    if (quality >= 0) measured = ", quality " + std::to_string(quality);
    kx_printf(Stream::Err, "%s -> %s: %d x %d, %zu palette entries%s\n", input.c_str(),
              output.c_str(), picture.width, picture.height, picture.palette.size(),
              measured.c_str());
  }

  Status write(size_t i, IndexedPicture& picture, const ImageMetadata& metadata) {
    if (kind_ == OutputKind::Icn) return writeIconAndColormap(outputs_[i], picture);
    writeFile(outputs_[i], encodeIndexedPng(outputs_[i], picture, metadata, options_));
    return {};
  }

  static void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (path == kStandardInput) {
      if (!writeStandardOutput(bytes)) {
        throw ConvError(std::string(kStandardOutputName) +
                        ": cannot write: " + std::strerror(errno));
      }
      return;
    }
    std::unique_ptr<OutFile> out = OutFile::create(path);
    if (!out) throw ConvError(path + ": cannot create: " + std::strerror(errno));
    out->write(bytes);
    if (!out->commit()) throw ConvError(path + ": cannot write: " + std::strerror(errno));
  }

  // The engine's threads, and with -v the messages kxreduce's verbose mode
  // gives for the same steps (counting and choosing, refining, adjusting).
  Context context() const {
    Context c;
    c.pool = kx_pool();
    if (options_.verbose) {
      c.events = [](const Event& e) {
        switch (e.kind) {
          case EventKind::colorsFound:
          case EventKind::choosing:
          case EventKind::refined:
          case EventKind::adjusting:
            kx_print(Stream::Err, eventText(e));
            break;
          default:
            break;
        }
      };
    }
    return c;
  }

  // Only a PNG keeps alpha; a GIF keeps transparency (alpha below 128); .icn
  // holds no transparency: the alpha channel is left out, as kxreduce leaves
  // it out of a picture file.
  QuantSource read(size_t i) {
    Result<QuantSource> read = readSourcePicture(options_.inputs[i]);
    if (!read) throw read.error();
    QuantSource source = std::move(*read);
    if (kind_ != OutputKind::Png) source.alpha.clear();
    if (kind_ == OutputKind::Icn) {
      source.transparent.clear();
      source.transparentCount = 0;
    }
    return source;
  }

  // What the reduction of one input has to say, said in input order.
  struct Outcome {
    std::vector<std::string> notes;  // lines before the engine's messages
    HeldMessages messages;           // the engine's (with -v)
    std::string last;                // the line after them: a failure, or why nothing was written
    int left = 0;                    // kQualityNotReached or kSkippedAsLarger
    bool failed = false;
    std::vector<uint8_t> standardOutput;  // the file, when it goes to standard output
  };

  void note(Outcome& outcome, const std::string& name, const Compression& c) const {
    if (const std::string line = compressionNote(name, c); !line.empty())
      outcome.notes.push_back(line);
  }

  // The colour-mapped image keeps kxreduce's whole palette.
  Status reduceToIcon(size_t i, const QuantSource& source, Outcome& outcome) {
    const std::string& input = options_.inputs[i];
    const Result<ChosenPalette> chosen =
        choosePictureColormap(source, coloursFor(source, options_.colors), options_, context());
    if (!chosen) return chosen.error();
    note(outcome, input, chosen->compression);
    Result<IndexedPicture> picture = remapPicture(source, chosen->colormap, chosen->remapSamples,
                                                  options_, false, false, context());
    if (!picture) return picture.error();
    if (Status written = write(i, *picture, source.metadata); !written) return written;
    verboseSummary(input, outputs_[i], *picture, -1);
    return {};
  }

  // A PNG, unless its quality or its size leaves the input alone (then
  // outcome.left says why).
  Status reduceToPng(size_t i, const QuantSource& source, Outcome& outcome) {
    const std::string& input = options_.inputs[i];
    Result<Reduction> reduced = reducePicture(source, options_, options_.verbose, context());
    if (!reduced) return reduced.error();
    note(outcome, input, reduced->compression);
    const std::string shown = outputs_[i] == kStandardInput ? kStandardOutputName : outputs_[i];
    verboseSummary(input, shown, reduced->picture, reduced->quality);
    if (reduced->quality < options_.qualityMin) {
      outcome.left = kQualityNotReached;
      outcome.last = input + ": quality " + std::to_string(reduced->quality) + " with " +
                     std::to_string(reduced->colours) + " colours, below the minimum " +
                     std::to_string(options_.qualityMin) + "; nothing written";
      return {};
    }
    std::vector<uint8_t> png = encodeIndexedPng(shown, reduced->picture, source.metadata, options_);
    if (options_.skipIfLarger && static_cast<int64_t>(png.size()) >= source.inputBytes) {
      outcome.left = kSkippedAsLarger;
      outcome.last = input + ": the result (" + std::to_string(png.size()) +
                     " bytes) is not smaller than the input (" + std::to_string(source.inputBytes) +
                     " bytes); nothing written";
    } else if (outputs_[i] == kStandardInput) {
      outcome.standardOutput = std::move(png);  // written in input order
    } else {
      writeFile(outputs_[i], png);
    }
    return {};
  }

  // One input to its own output; prints nothing (a task of the pool).
  Outcome reduceOne(size_t i) {
    const std::string& input = options_.inputs[i];
    Outcome outcome;
    MessageBuffer held;
    try {
      const QuantSource source = read(i);
      const auto pixels = static_cast<int64_t>(source.pixelCount());
      for (int64_t seen = largestPixels_.load(); pixels > seen;) {
        if (largestPixels_.compare_exchange_weak(seen, pixels)) break;
      }
      const Status done = kind_ == OutputKind::Icn ? reduceToIcon(i, source, outcome)
                                                   : reduceToPng(i, source, outcome);
      if (!done) outcome.last = input + ": " + done.error().message;
    } catch (const Error& e) {
      outcome.last = e.message;
    } catch (const std::bad_alloc&) {
      outcome.last = input + ": out of memory";
    }
    outcome.failed = outcome.left == 0 && !outcome.last.empty();
    if (!outcome.failed && options_.verbose) outcome.messages = held.take();
    return outcome;
  }

  void report(size_t i, Outcome& outcome) {
    for (const std::string& line : outcome.notes) reporter_.say(line);
    if (!outcome.messages.empty()) reporter_.replay(outcome.messages);
    if (!outcome.standardOutput.empty() && !writeStandardOutput(outcome.standardOutput)) {
      outcome.failed = true;
      outcome.last = std::string(kStandardOutputName) + ": cannot write: " + std::strerror(errno);
    }
    if (!outcome.last.empty()) reporter_.say("kxquant: " + outcome.last);
    failed_[i] = outcome.failed;
    left_[i] = outcome.left;
  }

  // Pictures that may be begun ahead of the one reported next: as many as a
  // quarter of the memory holds (a picture in reduction takes about 24 bytes
  // a pixel: its samples, counts, indices and PNG rows), judged by the
  // largest read so far, and one until a picture has been read. No more than
  // one per thread is ever in reduction; the window lets a thread that is
  // done go on to the next while an earlier, larger picture is still in
  // reduction (what is kept of a finished one is its messages).
  int64_t picturesInFlight(const ThreadPool* pool) const {
    const int64_t pixels = largestPixels_.load();
    if (pixels <= 0) return 1;
    const auto memory = static_cast<int64_t>(kx_physicalMemory());
    return std::clamp<int64_t>(memory / 4 / (24 * pixels + 1), 1, kPicturesAhead * threadsOf(pool));
  }

  // Every input to its own output, side by side on the process's threads
  // (within the window of picturesInFlight), each reduction also splitting
  // its own work on them.
  void runEach() {
    const size_t n = options_.inputs.size();
    std::vector<size_t> todo;
    for (size_t i = 0; i < n; ++i) {
      if (!failed_[i]) todo.push_back(i);
    }
    ThreadPool* pool = kx_pool();
    size_t reported = 0;
    runOrderedResults<Outcome>(
        pool, static_cast<int64_t>(todo.size()), [&] { return picturesInFlight(pool); },
        [&](int64_t k) { return reduceOne(todo[k]); },
        [&](int64_t k, Outcome&& outcome) {
          report(todo[k], outcome);
          for (; reported <= todo[k]; ++reported)
            reporter_.progress("frames", static_cast<int>(reported + 1), static_cast<int>(n));
          return true;
        });
  }

  // The first pass of one palette for all inputs: each picture's own palette.
  struct Palettes {
    std::vector<Colormap> palettes;
    std::vector<size_t> used;  // the inputs they are of
    int width = 0, height = 0;
    bool transparent = false;
    bool alpha = false;  // some picture keeps its alpha: the palette of all has alpha
    // Inputs that cannot be read a second time (a pipe), kept from this pass.
    std::vector<std::optional<QuantSource>> kept;
  };
  Palettes collectPalettes() {
    const size_t n = options_.inputs.size();
    Palettes all;
    all.kept.resize(n);
    reporter_.restart();
    for (size_t i = 0; i < n; ++i) {
      if (failed_[i]) continue;
      const std::string& input = options_.inputs[i];
      attempt(i, input, [&]() -> Status {
        QuantSource source = read(i);
        Result<ChosenPalette> chosen =
            choosePictureColormap(source, options_.colors, options_, context());
        if (!chosen) return chosen.error();
        noteCompression(input, chosen->compression);
        all.palettes.push_back(std::move(chosen->colormap));
        all.used.push_back(i);
        all.width = std::max(all.width, source.width);
        all.height = std::max(all.height, source.height);
        all.transparent = all.transparent || source.transparentCount > 0;
        all.alpha = all.alpha || !source.alpha.empty();
        if (cannotBeReread(input)) all.kept[i] = std::move(source);
        return {};
      });
      reporter_.progress("palettes", static_cast<int>(i + 1), static_cast<int>(n));
    }
    return all;
  }

  // One palette for all inputs: every picture's own palette first, then the
  // palette of those palettes, then every picture remapped to it. Pictures
  // are read twice rather than kept, so that memory stays that of one; only
  // those that cannot be read again (a pipe) are kept from the first pass.
  void runShared() {
    Palettes all = collectPalettes();
    if (all.used.empty()) return;
    auto failAll = [&] {
      for (size_t i : all.used) failed_[i] = true;
    };
    const std::string sharedName = "the palette of all inputs";
    ChosenPalette shared;
    const bool chosen = attempt(options_.inputs.size(), sharedName, [&]() -> Status {
      Result<ChosenPalette> made = chooseSharedColormap(
          all.palettes, options_.colors - (all.transparent && !all.alpha ? 1 : 0), options_,
          context(), all.transparent);
      if (!made) return made.error();
      shared = std::move(*made);
      noteCompression(sharedName, shared.compression);
      return {};
    });
    if (!chosen) return failAll();
    reporter_.restart();
    for (size_t k = 0; k < all.used.size(); ++k) {
      const size_t i = all.used[k];
      const std::string& input = options_.inputs[i];
      attempt(i, input, [&]() -> Status {
        const QuantSource source = all.kept[i] ? std::move(*all.kept[i]) : read(i);
        all.kept[i].reset();
        // As kxreduce's second pass: the pictures are remapped as they are,
        // without the compression their own palettes needed.
        Result<IndexedPicture> picture =
            remapPicture(source, shared.colormap, identityMap(), options_, false,
                         all.transparent && !all.alpha, context());
        if (!picture) return picture.error();
        if (Status written = write(i, *picture, source.metadata); !written) return written;
        verboseSummary(input, outputs_[i], *picture, -1);
        return {};
      });
      reporter_.progress("frames", static_cast<int>(k + 1), static_cast<int>(all.used.size()));
    }
  }

  QuantOptions options_;
  Reporter reporter_;
  OutputKind kind_ = OutputKind::Png;
  std::vector<std::string> outputs_;  // "-" for standard output
  std::vector<bool> failed_;
  std::vector<int> left_;                  // kQualityNotReached or kSkippedAsLarger, else 0
  std::atomic<int64_t> largestPixels_{0};  // of the pictures read so far
};

}  // namespace

int kxquantMain(int argc, char** argv) {
  kx_removeTemporariesOnSignals();
  QuantOptions options;
  const Result<ParseOutcome> parsed = parseQuantOptions(argc, argv, options);
  if (!parsed) {
    std::fprintf(stderr, "kxquant: %s\nUsage: kxquant [options] INPUT... (kxquant --help)\n",
                 parsed.error().message.c_str());
    return kUsageError;
  }
  // Outputs that exist are refused before any work without --force; one
  // that appears at an output's name during the run is kept as well.
  kx_replaceOutputs(options.force);
  switch (*parsed) {
    case ParseOutcome::Help:
      std::fputs(quantUsage().c_str(), stdout);
      return 0;
    case ParseOutcome::Version:
      std::fputs(quantVersion().c_str(), stdout);
      return 0;
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
