// kxquant's animated GIF of every frame of every input (files of one
// picture, multi-image netpbm files, YUV4MPEG2 videos, WebP animations, the
// standard input): each input read once, its frames handed to the sequence
// (sequence/), which keeps and counts them, chooses one palette for all and
// writes what changed. Here: which inputs are read, the clip's clock, the
// notes, the progress line.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <future>
#include <optional>

#include "common/messages.h"
#include "common/threads.h"
#include "quant/quant_pvt.h"
#include "sequence/sequence.h"

namespace kx {

namespace {

std::string rateText(const FrameRate& rate) {
  return rate.seconds == 1 ? std::to_string(rate.frames)
                           : std::to_string(rate.frames) + "/" + std::to_string(rate.seconds);
}

// The options of the GIF for kxquant's.
GifOptions gifOptions(const QuantOptions& options) {
  GifOptions gif;
  gif.colors = options.colors;
  gif.indexed = indexedOptions(options);
  gif.ditherAlpha = options.alphaDither;
  if (options.qualityMax >= 0) gif.quality = options.qualityMax;
  return gif;
}

class GifOfAllFrames {
 public:
  GifOfAllFrames(const QuantOptions& options, std::vector<bool>& failed, SequenceReport& report,
                 const Context& context)
      : options_(options),
        failed_(failed),
        report_(report),
        context_(context),
        gif_(gifOptions(options), options.output, spillName(), defaultFrameMemory()) {}

  void run() {
    try {
      if (!readAll()) return failAll();
      if (gif_.frames() == 0) return;
      write();
    } catch (const Error& e) {
      report_.say("kxquant: " + e.message);
      failAll();
    } catch (const std::bad_alloc&) {
      report_.say("kxquant: " + options_.output + ": out of memory");
      failAll();
    }
  }

 private:
  // The temporary file goes beside the output; beside nothing when the
  // output is a stream.
  std::string spillName() const {
    const std::string& out = options_.output;
    if (out == "-" || out.starts_with("/dev/"))
      return (std::filesystem::temp_directory_path() / "kxquant.frames").string();
    return out + ".frames";
  }

  void failAll() {
    for (size_t i = 0; i < failed_.size(); ++i) failed_[i] = true;
  }

  void showProgress(const char* what, size_t done, size_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done != total && now - shown_ < std::chrono::milliseconds(100)) return;
    shown_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char text[160];
    if (total == 0) {
      std::snprintf(text, sizeof text, "kxquant: frames %s: %zu, %.1f frames/s", what, done, rate);
    } else {
      std::snprintf(text, sizeof text, "kxquant: frames %s: %zu/%zu, %.1f frames/s", what, done,
                    total, rate);
    }
    report_.progress(text);
  }

  // An input opened and its first frame read.
  struct FirstFrame {
    std::unique_ptr<InputFrames> source;
    Image image;
    bool any = false;            // the input holds a frame
    std::optional<Error> error;  // opening or reading it failed
  };
  static FirstFrame readFirst(const std::string& input) {
    FirstFrame first;
    Result<std::unique_ptr<InputFrames>> opened = openSourceFrames(input);
    if (!opened) {
      first.error = opened.error();
      return first;
    }
    first.source = std::move(*opened);
    const Result<bool> read = first.source->next(first.image);
    if (read) first.any = *read;
    if (!read) first.error = read.error();
    return first;
  }

  // The first frame of the next input is decoded on a thread of its own
  // while the frames before it are counted: with many pictures of one frame
  // each, reading is half of pass 1. Only files are read ahead (a pipe, or
  // the standard input, is read in its turn), and only with more than one
  // thread. The messages keep the inputs' order.
  void readAhead(size_t from) {
    ahead_ = {};
    aheadOf_ = SIZE_MAX;
    if (!context_.pool || context_.pool->threads() < 2) return;
    while (from < failed_.size() && failed_[from]) ++from;
    if (from == failed_.size()) return;
    const std::string& input = options_.inputs[from];
    std::error_code ignored;
    if (input == "-" || !std::filesystem::is_regular_file(input, ignored)) return;
    ahead_ = std::async(std::launch::async, readFirst, std::cref(input));
    aheadOf_ = from;
  }

  // Pass 1. False when the GIF cannot be made (an input failed after some
  // of its frames).
  bool readAll() {
    const size_t n = options_.inputs.size();
    start_ = std::chrono::steady_clock::now();
    readAhead(0);
    for (size_t i = 0; i < n; ++i) {
      if (failed_[i]) continue;
      const std::string& input = options_.inputs[i];
      int64_t frames = 0;
      int firstWidth = 0, firstHeight = 0;
      bool noted = false;
      try {
        FirstFrame first = aheadOf_ == i ? ahead_.get() : readFirst(input);
        readAhead(i + 1);
        if (first.error) throw *first.error;
        InputFrames& source = *first.source;
        if (!rate_ && source.frameRate()) {
          rate_ = source.frameRate();
          rateFrom_ = input;
        }
        Image image = std::move(first.image);
        for (bool more = first.any; more;) {
          SourcePicture frame = sourceFromImage(std::move(image));
          image = Image{};
          ++frames;
          if (frames == 1) {
            firstWidth = frame.width;
            firstHeight = frame.height;
          } else if (!noted && (frame.width != firstWidth || frame.height != firstHeight)) {
            noted = true;
            if (!options_.quiet) {
              report_.say("kxquant: " + input + ": frame " + std::to_string(frames) + " is " +
                          std::to_string(frame.width) + " x " + std::to_string(frame.height) +
                          ", frame 1 " + std::to_string(firstWidth) + " x " +
                          std::to_string(firstHeight) + "; frames are centred on the largest");
            }
          }
          if (Status added = gif_.add(std::move(frame), context_); !added) throw added.error();
          const int duration = source.durationMs();
          if (duration > 0 && durationsFrom_.empty()) durationsFrom_ = input;
          origins_.push_back({i, frames});
          endsMs_.push_back((endsMs_.empty() ? 0 : endsMs_.back()) +
                            (duration > 0 ? duration : options_.delayMs));
          showProgress("read", gif_.frames(), 0);
          const Result<bool> read = source.next(image);
          if (!read) throw read.error();
          more = *read;
        }
        if (frames == 0) throw ConvError(input + ": holds no picture");
      } catch (const Error& e) {
        failed_[i] = true;
        report_.say("kxquant: " + e.message);
        if (frames > 0 || e.code == ErrorCode::outOfMemory) return false;
        continue;
      } catch (const std::bad_alloc&) {
        report_.say("kxquant: " + input + ": out of memory");
        return false;
      }
    }
    return true;
  }

  // The GIF's clock: --fps or --delay when given, else the rate the first
  // video declares, else --delay's default.
  FrameRate clock() const {
    if (!options_.fps.empty()) return FrameRate{options_.fpsFrames, options_.fpsSeconds};
    if (!options_.delayGiven && rate_) return *rate_;
    return FrameRate{1000, options_.delayMs};
  }

  // An animation's own frame durations (WebP) set the clock when no option
  // and no video does: frame k starts at the sum of the durations before it,
  // rounded to hundredths, so that the total stays exact (a frame without
  // one lasts --delay's default).
  bool ownDurations() const {
    return options_.fps.empty() && !options_.delayGiven && !rate_ && !durationsFrom_.empty();
  }
  // A GIF holds a frame for at most 655.35 s; a longer one is held so long.
  int64_t delayOf(size_t k) const { return std::min<int64_t>(wantedDelayOf(k), kLongestDelay); }
  int64_t wantedDelayOf(size_t k) const {
    if (ownDurations()) {
      const int64_t start = k == 0 ? 0 : endsMs_[k - 1];
      return (endsMs_[k] + 5) / 10 - (start + 5) / 10;
    }
    const auto i = static_cast<int64_t>(k);
    return gifFrameStart(i + 1, clock()) - gifFrameStart(i, clock());
  }

  // Browsers show frames shorter than 2 hundredths of a second for 10.
  void warnOfShortFrames() {
    int64_t shortest = INT64_MAX;
    for (size_t k = 0; gif_.frames() > 1 && k < gif_.frames(); ++k)
      shortest = std::min(shortest, delayOf(k));
    if (shortest >= 2) return;
    const std::string what = !options_.fps.empty() ? "--fps " + options_.fps
                             : ownDurations()      ? durationsFrom_ + ": the animation's clock"
                             : options_.delayGiven || !rate_
                                 ? "--delay " + std::to_string(options_.delayMs)
                                 : rateFrom_ + ": " + rateText(*rate_) + " frames a second";
    report_.say("kxquant: warning: " + what + " gives frames of " + std::to_string(shortest) +
                "/100 s; browsers show frames shorter than 2/100 s for 10/100 s");
  }

  void warnOfLongFrames() {
    size_t first = 0, count = 0;
    for (size_t k = 0; k < gif_.frames(); ++k) {
      if (wantedDelayOf(k) <= kLongestDelay) continue;
      if (count++ == 0) first = k;
    }
    if (count == 0) return;
    const auto [input, frame] = origins_[first];
    report_.say("kxquant: warning: " + options_.inputs[input] + ": frame " + std::to_string(frame) +
                " lasts " + std::to_string(wantedDelayOf(first)) +
                "/100 s; a GIF frame lasts at most 65535/100 s, and is held so long" +
                (count > 1 ? " (" + std::to_string(count) + " frames)" : std::string()));
  }

  void write() {
    GifPlayback playback;
    for (size_t k = 0; k < gif_.frames(); ++k) playback.delays.push_back(delayOf(k));
    playback.loop = options_.loop;
    GifEvents events;
    events.writing = [&] {
      warnOfShortFrames();
      warnOfLongFrames();
      start_ = std::chrono::steady_clock::now();
    };
    events.written = [&](size_t done, size_t total) { showProgress("written", done, total); };
    const Result<GifSummary> written = gif_.write(options_.output, playback, events, context_);
    if (!written) throw written.error();
    if (options_.verbose) {
      kx_printf(Stream::Err, "%s: %zu frames, %d x %d, %zu palette entries\n",
                options_.output.c_str(), written->frames, written->width, written->height,
                written->paletteEntries);
    }
  }

  const QuantOptions& options_;
  std::vector<bool>& failed_;
  SequenceReport& report_;
  const Context& context_;
  GifSequence gif_;
  std::optional<FrameRate> rate_;
  std::string rateFrom_;
  // When each frame ends on the animation's own clock, in milliseconds, and
  // the first input that gave durations.
  static constexpr int64_t kLongestDelay = 65535;    // hundredths of a second
  std::vector<std::pair<size_t, int64_t>> origins_;  // per frame: its input, its number there
  std::vector<int64_t> endsMs_;
  std::string durationsFrom_;
  std::chrono::steady_clock::time_point start_, shown_;
  std::future<FirstFrame> ahead_;  // the first frame of input aheadOf_, being read
  size_t aheadOf_ = SIZE_MAX;
};

}  // namespace

void writeGifOfAllFrames(const QuantOptions& options, std::vector<bool>& failed,
                         SequenceReport& report, const Context& context) {
  GifOfAllFrames(options, failed, report, context).run();
}

}  // namespace kx
