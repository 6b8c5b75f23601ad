// Frame driver: walks the frames of a run (one frame, or a numbered
// sequence, each optionally repeated), and for every frame reads the picture,
// filters it, chooses or imposes the palette, writes the colour-mapped image
// file and the optional extra outputs, and shows it.
//
// The unique-colormap mode makes two passes: the first records every frame's
// palette in the virtual image, the second builds one palette from them and
// writes every frame with it.
//
// Frames are worked on side by side, as many as there are threads and the
// memory allows, and published one after the other in sequence order: a
// frame's messages are held until its turn, its files are renamed into place
// then, and the preview and the repeated frames follow. What a run writes
// and prints is therefore the same for any number of threads; with one, the
// frames run one after the other and print as they go. A frame's work
// depends only on its place in the run: the settings that the design lets
// the first frame change (the filter's levels, the compression that only
// the first frame gets) are settled before the frames start.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_pvt.h"
#include "common/messages.h"
#include "common/outfile.h"
#include "display/display.h"
#include "macfile/macfile.h"
#include "output/output.h"
#include "pict/pict.h"
#include "picture/picture.h"
#include "reduce/reduce.h"

namespace kx {

namespace {

std::string numbered(const std::string& stem, int64_t number) {
  return stem + "." + std::to_string(number);
}

// The output stem of repetition rep of the frame visited ordinal-th.
std::string frameOutputName(const std::string& outputName, const RunSettings& opt, int64_t ordinal,
                            int64_t rep) {
  if (opt.sequence) {
    return numbered(outputName, (opt.repeat * ordinal + rep) * int64_t{opt.step} + opt.start);
  }
  if (opt.repeat >= 2) return numbered(outputName, rep + 1);
  return outputName;
}

// Copies one finished output file to the name of a repeated frame. The copy
// is made in-process (names with blanks or shell characters are safe), and a
// failed copy leaves no partial file behind.
void copyOutput(const std::string& from, const std::string& to) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) {
    kx_error("Cannot copy " + from + " to " + to + ": " + std::strerror(errno) + "\n");
  }
  auto out = OutFile::create(to);
  if (!out) {
    int err = errno;
    std::fclose(in);
    kx_error("Cannot copy " + from + " to " + to + ": " + std::strerror(err) + "\n");
  }
  std::vector<uint8_t> buffer(1 << 16);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) out->write(buffer.data(), n);
  bool readFailed = std::ferror(in) != 0;
  std::fclose(in);
  if (readFailed) {
    out->abandon();
    kx_error("Cannot copy " + from + " to " + to + ": read error\n");
  }
  if (!out->commit()) {
    kx_error("Cannot copy " + from + " to " + to + ": " + std::strerror(out->error()) + "\n");
  }
}

// Lends the colour-index table to the picture record as its only channel for
// the indexed PICT write, and gives everything back afterwards, also when the
// write unwinds: the record never owns the table.
class LendIndexTable {
 public:
  LendIndexTable(Picture& picture, ReductionTables& tables) : picture_(picture), tables_(tables) {
    for (int c = 0; c < 4; ++c) saved_[c] = std::move(picture_.channel[c]);
    picture_.channel[0] = std::move(tables_.colIndexTab);
  }
  ~LendIndexTable() {
    tables_.colIndexTab = std::move(picture_.channel[0]);
    for (int c = 0; c < 4; ++c) picture_.channel[c] = std::move(saved_[c]);
  }
  LendIndexTable(const LendIndexTable&) = delete;
  LendIndexTable& operator=(const LendIndexTable&) = delete;

 private:
  Picture& picture_;
  ReductionTables& tables_;
  std::array<std::unique_ptr<uint8_t[]>, 4> saved_;
};

// The files a frame reads, and those it may write, by their full names.
std::vector<std::string> outputsOf(const std::string& frameOutput, const std::string& colormapName,
                                   const RunSettings& opt) {
  std::vector<std::string> names = {frameOutput + ".icn", frameOutput + ".clm",
                                    frameOutput + ".cla"};
  if (opt.outPic) names.push_back(QZ_pictureFileName(frameOutput));
  if (opt.outPict) {
    names.push_back(frameOutput + ".pict");
    names.push_back(MacHeaderFileName(frameOutput + ".pict"));
  }
  if (opt.transform && !colormapName.empty()) {
    names.push_back(colormapName + ".clm");
    names.push_back(colormapName + ".cla");
  }
  return names;
}

// Refuses a frame whose input is one of the files it would write: the names
// differ ("victim" and "victim.pic"), but the new file would take the place
// of the picture it is made from.
void checkNotInput(const std::string& input, const std::vector<std::string>& outputs) {
  for (const std::string& output : outputs) {
    if (kx_sameFile(input, output)) {
      kx_note("!!!Error: When using option -o, input and output\n");
      kx_note("must have different file names\n");
      print_usage(kx_programName());
    }
  }
}

// A PICT row holds at most 0x7FFF bytes: four per pixel in true colour, one
// in colour-indexed pictures (rounded up to a multiple of four). Known as
// soon as the frame is read, so nothing is written for a picture that
// cannot be.
void checkPictWidth(const std::string& frameOutput, const std::string& input, int width,
                    const RunSettings& opt) {
  if (opt.outPic || opt.outPict == 0) return;
  const int widest = opt.outPict == 1 ? 8191 : 32764;
  if (width <= widest) return;
  kx_error("cannot write " + frameOutput + ".pict: a " +
           (opt.outPict == 1 ? std::string("true-colour") : std::string("colour-indexed")) +
           " PICT row holds at most " + std::to_string(widest) + " pixels, and " + input + " is " +
           std::to_string(width) + " pixels wide\n");
}

// ---- One frame ---------------------------------------------------------------

// What every frame of the run shares.
struct Run {
  std::string inputName, outputName, colormapName;
  RunSettings opt;  // as the first frame of the run sees them
  SequenceShare share;
  int64_t frameCount = 1;
  int lastPass = 0;
  std::shared_ptr<PixelPlanes> virtualImg;
  // The most pixels of a frame read so far: what the frames in flight are
  // counted in.
  std::atomic<int64_t> largestPixels{0};
  // The sequence's palette (second pass), built before the pass starts when
  // frames run side by side: the first frame of the pass then reports its
  // messages and files, or its failure, as if it had built it itself.
  bool sharedBuilt = false;
  Colormap sharedColormap;
  int sharedStatus = -1;
  HeldMessages sharedMessages;
  std::unique_ptr<OutputBatch> sharedFiles;
};

struct Frame {
  int pass = 0;
  int64_t ordinal = 0;  // place in the whole sequence, from 0
  int64_t number = 0;
  bool last = false;  // the last frame of the sequence
};

// A frame worked on, waiting for its turn to be published.
struct FrameOutcome {
  int status = -1;  // -1: finished; else the status the frame ended the run with
  HeldMessages messages;
  std::unique_ptr<OutputBatch> files;
  bool written = false;  // the frame's outputs were made (last pass, a first repetition)
  std::string output;
  PixelPlanes planes;  // the reduced frame, for the preview
  int width = 0, height = 0, compress = 255, colors = 0;
};

std::string sharedName(const Run& run) {
  return run.outputName + "-" + std::to_string(run.opt.start) + "-" + std::to_string(run.opt.end);
}

// The settings as the frame finds them in a run that goes through the
// frames one by one: the first frame's palette choice leaves the
// compression at 255 (it compresses only the first frame), and the second
// pass works with the sequence's palette.
RunSettings settingsFor(const Run& run, const Frame& frame) {
  RunSettings opt = run.opt;
  const bool first = frame.pass == 0 && frame.ordinal == 0;
  if (!first && opt.colormapMode == 0 && opt.repeat > 0) opt.compress = 255;
  if (frame.pass == 1) opt.unique = 2;
  return opt;
}

// Builds the sequence's palette from the virtual image and saves it.
Colormap buildShared(const Run& run, RunSettings& opt) {
  ReductionTables tables;
  tables.virtualImg = run.virtualImg;
  return kx_buildmap(sharedName(run), *run.virtualImg, static_cast<int>(run.frameCount), opt.colors,
                     255, &opt, tables);
}

// Reads, reduces and writes one frame, up to the point where its files are
// complete under their temporary names. With `live` the messages go out as
// they come (one frame at a time); otherwise they are held in the outcome.
FrameOutcome workFrame(Run& run, const Frame& frame, bool live) {
  FrameOutcome outcome;
  std::optional<MessageBuffer> held;
  if (!live) held.emplace();
  auto files = std::make_unique<OutputBatch>();
  RunSettings opt = settingsFor(run, frame);
  const bool lastPass = frame.pass == run.lastPass;
  try {
    const std::string frameInput =
        opt.sequence ? numbered(run.inputName, frame.number) : run.inputName;
    const std::string inputFile =
        opt.inPict ? frameInput + ".pict" : QZ_pictureFileName(frameInput);
    for (int64_t rep = 0; rep < std::max<int64_t>(opt.repeat, 1); ++rep) {
      checkNotInput(inputFile, outputsOf(frameOutputName(run.outputName, opt, frame.ordinal, rep),
                                         run.colormapName, opt));
    }

    PicturePtr picture = QZ_pictureAllocate();
    if (!picture) kx_error("Cannot allocate picture\n");
    if (opt.verbose) kx_printf(Stream::Err, "Reading image %s...\n", frameInput.c_str());
    // A picture over the pixel limit, or one that memory cannot hold, is
    // named as such: it is not a file that cannot be opened.
    ReadRefusal refusal;
    if (opt.inPict) {
      if (kx_pictureReadPict(frameInput, *picture, 0, &refusal) != 0) picture.reset();
    } else {
      picture = QZ_pictureReadFile(frameInput, &refusal);
    }
    if (!picture && refusal) kx_error(kx_readRefusalText(inputFile, refusal) + "\n");
    if (!picture) kx_error("Cannot open input file " + run.inputName + "\n");

    if ((opt.quant != 0 || opt.bitsGiven) && opt.quant < 8) {
      if (opt.verbose) kx_note("Making color quantification...\n");
      quantFloyd(*picture, opt.quant, 1);
    }

    const int width = picture->width, height = picture->height;
    const int64_t framePixels = int64_t{width} * height;
    int64_t largest = run.largestPixels.load();
    while (framePixels > largest &&
           !run.largestPixels.compare_exchange_weak(largest, framePixels)) {
    }
    checkPictWidth(frameOutputName(run.outputName, opt, frame.ordinal, 0), inputFile, width, opt);
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (frame.pass == 0 && frame.ordinal == 0) kx_note("allocate color table\n");
    ReductionTables tables;
    tables.virtualImg = run.virtualImg;
    tables.virtualInd = static_cast<int>(frame.ordinal);
    tables.colIndexTab = kx_allocRow(static_cast<int>(pixels), 1);
    tables.colIndexSize = pixels;

    PixelPlanes planes = kx_pic2pixels(*picture, width, height);

    Colormap colormap;
    if (opt.colormapMode != 0) {
      ColormapFileHeader header;
      if (opt.colormapMode == 2) {
        if (opt.verbose) {
          kx_printf(Stream::Err, "Reading ASCII colormap %s.cla...\n", run.colormapName.c_str());
        }
        colormap = kx_readASCIIColorMap(run.colormapName, &header, &opt);
      } else {
        if (opt.verbose) {
          kx_printf(Stream::Err, "Reading colormap %s.clm ...\n", run.colormapName.c_str());
        }
        colormap = kx_readColorMap(run.colormapName, &header, &opt);
      }
      if (opt.verbose) {
        kx_printf(Stream::Err, "nb_color = %d, nb_bits = %d\n", header.colors, header.bits);
      }
      opt.colors = header.colors;
    }

    if (frame.pass == 1 && frame.ordinal == 0 && !run.share.staged()) {
      if (!run.sharedBuilt) {
        run.sharedColormap = buildShared(run, opt);
        run.sharedBuilt = true;
      } else {
        kx_replay(run.sharedMessages);
        if (run.sharedFiles) files->adopt(*run.sharedFiles);
        if (run.sharedStatus != -1) throw ExitRequest{run.sharedStatus};
      }
    }
    if (opt.unique == 2) colormap = run.sharedColormap;

    for (int64_t rep = 0; rep < opt.repeat; ++rep) {
      const std::string frameOutput = frameOutputName(run.outputName, opt, frame.ordinal, rep);
      if (opt.verbose) kx_printf(Stream::Err, "Writing to %s...\n", frameOutput.c_str());
      if (rep == 0) {
        if (frame.pass == 0 && opt.colormapMode == 0) {
          colormap = kx_buildmap(frameOutput, planes, width, height, 255, &opt, tables);
        }
        if (lastPass) {
          opt.outFile = kx_writeIconeFileHeader(frameOutput, width, height);
          kx_reduceColors(frameOutput, planes, width, height, 255, &opt, colormap, tables);
          opt.outFile.reset();

          if (opt.outPic || opt.outPict > 0) {
            kx_pixels2pic(*picture, width, height, planes, opt.compress);
            if (opt.outPic) {
              if (!QZ_pictureWriteFile(frameOutput, *picture, nullptr, 0)) {
                kx_error("Cannot write picture file " + QZ_pictureFileName(frameOutput) + ": " +
                         std::strerror(errno) + "\n");
              }
            } else if (opt.outPict == 1) {
              if (kx_pictureWritePict(frameOutput, *picture, 0, nullptr) != 0) kx_exit(-1);
            } else {
              LendIndexTable lend(*picture, tables);
              if (kx_pictureWritePict(frameOutput, *picture, opt.colors, &colormap) != 0) {
                kx_exit(-1);
              }
            }
          }
          outcome.written = true;
          outcome.output = frameOutput;
          if (opt.display) outcome.planes = std::move(planes);
          outcome.width = width;
          outcome.height = height;
          outcome.compress = opt.compress;
          outcome.colors = opt.colors;
          // The repeated frames are copies of the published files.
          break;
        }
        kx_freeArray(planes);
      }
    }
  } catch (const ExitRequest& e) {
    outcome.status = e.status;
  } catch (const std::bad_alloc&) {
    kx_note("Error: out of memory\n");
    outcome.status = 255;
  }
  files->detach();
  outcome.files = std::move(files);
  if (held) outcome.messages = held->take();
  return outcome;
}

// ---- Publishing, in sequence order ---------------------------------------------

class Publisher {
 public:
  Publisher(const Run& run, bool live) : run_(run), live_(live) {}

  void publish(const Frame& frame, FrameOutcome& outcome) {
    if (!live_) kx_replay(outcome.messages);
    if (outcome.status != -1) kx_exit(outcome.status);
    std::string failed;
    if (!outcome.files->commit(&failed)) {
      kx_error("Cannot write " + failed + ": " + std::strerror(errno) + "\n");
    }
    if (!outcome.written) return;
    const RunSettings& opt = run_.opt;
    if (frame.last && opt.verbose) kx_note("#### END OF COLOR REDUCTION ####\n");
    if (opt.display) {
      kx_displayImage(&windowHandle_, outcome.planes, outcome.width, outcome.height,
                      outcome.compress, outcome.colors, frame.last ? 1 : 0);
    }
    kx_freeArray(outcome.planes);
    const std::string& previous = outcome.output;
    for (int64_t rep = 1; rep < opt.repeat; ++rep) {
      const std::string frameOutput = frameOutputName(run_.outputName, opt, frame.ordinal, rep);
      if (opt.verbose) kx_printf(Stream::Err, "Writing to %s...\n", frameOutput.c_str());
      copyOutput(previous + ".icn", frameOutput + ".icn");
      if (opt.outPic) {
        copyOutput(QZ_pictureFileName(previous), QZ_pictureFileName(frameOutput));
      }
    }
  }

 private:
  const Run& run_;
  bool live_;
  int windowHandle_ = 0;
};

// ---- Frames side by side ---------------------------------------------------------

int64_t physicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return int64_t{1} << 32;
  return int64_t{pages} * pageSize;
}

// Frames worked on at once: one per thread, as long as a quarter of the
// memory holds them (a frame in flight takes about 12 bytes a pixel: its
// picture, planes and index table). Until a frame has been read its size is
// unknown, and one frame at a time is all that is sure to fit.
int64_t framesInFlight(const Run& run, int threads) {
  const int64_t pixels = run.largestPixels.load();
  if (pixels <= 0) return 1;
  const int64_t byMemory = physicalMemory() / 4 / (12 * pixels + 1);
  return std::clamp<int64_t>(byMemory, 1, threads);
}

// The frame at this place of the sequence. Frames are described as they
// come: a range of a billion frames, mistyped or not, costs nothing before
// its first frame is read.
Frame frameAt(const Run& run, int pass, int64_t ordinal) {
  const int64_t number = run.opt.start + ordinal * int64_t{run.opt.step};
  return Frame{pass, ordinal, number, number + run.opt.step > run.opt.end};
}

void runPass(Run& run, int pass, int64_t first, int64_t last) {
  if (last < first) return;
  const int64_t count = last - first + 1;
  const int workers = static_cast<int>(std::min<int64_t>(kx_frameThreads(), count));
  Publisher publisher(run, workers == 1);
  if (workers == 1) {
    for (int64_t k = first; k <= last; ++k) {
      const Frame frame = frameAt(run, pass, k);
      FrameOutcome outcome = workFrame(run, frame, true);
      publisher.publish(frame, outcome);
    }
    return;
  }

  if (pass == 1 && first == 0 && !run.share.staged()) {
    MessageBuffer held;
    run.sharedFiles = std::make_unique<OutputBatch>();
    RunSettings opt = settingsFor(run, Frame{1, 0, run.opt.start, false});
    try {
      run.sharedColormap = buildShared(run, opt);
    } catch (const ExitRequest& e) {
      run.sharedStatus = e.status;
    } catch (const std::bad_alloc&) {
      kx_note("Error: out of memory\n");
      run.sharedStatus = 255;
    }
    run.sharedFiles->detach();
    run.sharedMessages = held.take();
    run.sharedBuilt = true;
  }

  // Frame i may start once frame i - workers is published, so no more than
  // `workers` frames are held at once, whatever order they finish in.
  std::mutex mutex;
  std::condition_variable changed;
  std::map<int64_t, FrameOutcome> done;  // finished, waiting for their turn
  int64_t published = 0;
  std::atomic<int64_t> next{0};
  bool stop = false;
  auto work = [&] {
    for (;;) {
      int64_t i;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] {
          return stop || next.load() >= count ||
                 next.load() < published + framesInFlight(run, workers);
        });
        if (stop || next.load() >= count) return;
        i = next++;
      }
      // Frames after a failed palette never get their turn.
      const Frame frame = frameAt(run, pass, first + i);
      FrameOutcome outcome;
      if (pass == 1 && run.sharedStatus != -1 && frame.ordinal != 0) {
        outcome.status = run.sharedStatus;
      } else {
        outcome = workFrame(run, frame, false);
      }
      std::lock_guard lock(mutex);
      done.emplace(i, std::move(outcome));
      changed.notify_all();
    }
  };
  {
    std::vector<std::jthread> threads;
    // Stops and joins the workers however the publishing ends.
    struct Stopper {
      std::mutex& mutex;
      std::condition_variable& changed;
      bool& stop;
      ~Stopper() {
        std::lock_guard lock(mutex);
        stop = true;
        changed.notify_all();
      }
    };
    for (int t = 0; t < workers; ++t) threads.emplace_back(work);
    Stopper stopper{mutex, changed, stop};
    for (int64_t i = 0; i < count; ++i) {
      FrameOutcome outcome;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done.contains(i); });
        auto it = done.find(i);
        outcome = std::move(it->second);
        done.erase(it);
      }
      publisher.publish(frameAt(run, pass, first + i), outcome);
      std::lock_guard lock(mutex);
      published = i + 1;
      changed.notify_all();
    }
  }
}

// ---- The three stages of the one-palette mode ----------------------------------------

PaletteFile paletteFileOf(const Run& run) {
  PaletteFile file;
  file.colors = run.opt.colors;
  file.start = run.opt.start;
  file.end = run.opt.end;
  file.step = run.opt.step;
  return file;
}

void checkSequence(const Run& run, const std::string& path, const PaletteFile& file) {
  if (file.colors != run.opt.colors || file.start != run.opt.start || file.end != run.opt.end ||
      file.step != run.opt.step) {
    kx_error("palette file " + path + " is of the sequence " + std::to_string(file.start) + " " +
             std::to_string(file.end) + " " + std::to_string(file.step) + " with " +
             std::to_string(file.colors) + " colours, not of this run's\n");
  }
}

void runStages(Run& run, int64_t first, int64_t last) {
  const SequenceShare& share = run.share;
  if (!run.opt.unique) {
    kx_error(
        "--palettes-to, --gather and --palette are the stages of -u: give -u, and neither -c, -C "
        "nor -r 0\n");
  }
  const size_t entryBytes = 3 * static_cast<size_t>(run.opt.colors);
  if (!share.gather.empty()) {
    // The virtual image of the whole sequence, from every share's palettes.
    std::vector<bool> seen(static_cast<size_t>(run.frameCount), false);
    PixelPlanes& image = *run.virtualImg;
    for (const std::string& path : share.gather) {
      const PaletteFile file = readPaletteFile(path);
      checkSequence(run, path, file);
      for (const PaletteRecord& record : file.records) {
        if (record.ordinal < 0 || record.ordinal >= run.frameCount || seen[record.ordinal]) {
          kx_error("palette file " + path + " holds frame " +
                   std::to_string(run.opt.start + record.ordinal * run.opt.step) +
                   (record.ordinal >= 0 && record.ordinal < run.frameCount
                        ? std::string(" a second time")
                        : std::string(", which is not in the sequence")) +
                   "\n");
        }
        seen[record.ordinal] = true;
        for (int c = 0; c < run.opt.colors; ++c) {
          std::memcpy(image[c] + 3 * record.ordinal, record.rgb.data() + 3 * c, 3);
        }
      }
    }
    for (int64_t k = 0; k < run.frameCount; ++k) {
      if (!seen[k]) {
        kx_error("no palette file holds frame " + std::to_string(run.opt.start + k * run.opt.step) +
                 " of the sequence\n");
      }
    }
    RunSettings opt = settingsFor(run, Frame{1, 0, run.opt.start, false});
    const Colormap shared = buildShared(run, opt);
    if (!share.palettesTo.empty()) {
      PaletteFile file = paletteFileOf(run);
      PaletteRecord record{-1, std::vector<uint8_t>(entryBytes)};
      for (int c = 0; c < run.opt.colors; ++c) {
        record.rgb[3 * c] = shared[c].red;
        record.rgb[3 * c + 1] = shared[c].green;
        record.rgb[3 * c + 2] = shared[c].blue;
      }
      file.records.push_back(std::move(record));
      writePaletteFile(share.palettesTo, file);
    }
    return;
  }
  if (!share.palette.empty()) {
    if (!share.palettesTo.empty()) kx_error("--palette and --palettes-to are different stages\n");
    const PaletteFile file = readPaletteFile(share.palette);
    checkSequence(run, share.palette, file);
    if (file.records.size() != 1 || file.records[0].ordinal != -1) {
      kx_error("palette file " + share.palette +
               " holds the palettes of frames, not the sequence's (made with --gather)\n");
    }
    run.sharedColormap.assign(run.opt.colors, HistogramEntry{});
    for (int c = 0; c < run.opt.colors; ++c) {
      run.sharedColormap[c].red = file.records[0].rgb[3 * c];
      run.sharedColormap[c].green = file.records[0].rgb[3 * c + 1];
      run.sharedColormap[c].blue = file.records[0].rgb[3 * c + 2];
    }
    run.sharedBuilt = true;
    runPass(run, 1, first, last);
    return;
  }
  // The first pass over the share's frames, recorded.
  runPass(run, 0, first, last);
  PaletteFile file = paletteFileOf(run);
  const PixelPlanes& image = *run.virtualImg;
  for (int64_t k = first; k <= last; ++k) {
    PaletteRecord record{k, std::vector<uint8_t>(entryBytes)};
    for (int c = 0; c < run.opt.colors; ++c) {
      std::memcpy(record.rgb.data() + 3 * c, image[c] + 3 * k, 3);
    }
    file.records.push_back(std::move(record));
  }
  writePaletteFile(share.palettesTo, file);
}

}  // namespace

void operation(const std::string& inputName, const std::string& outputName,
               const std::string& colormapName, RunSettings opt) {
  operationShare(inputName, outputName, colormapName, opt, SequenceShare{});
}

void operationShare(const std::string& inputName, const std::string& outputName,
                    const std::string& colormapName, RunSettings opt, const SequenceShare& share) {
  const int64_t start = opt.start, end = opt.end, step = opt.step;
  if (step < 1 && start <= end) {
    kx_error("Frame step " + std::to_string(step) + " is below 1: the sequence " +
             std::to_string(start) + " to " + std::to_string(end) + " would never end\n");
  }
  // One palette for a sequence is built from the palettes the first pass
  // records. With an imposed colormap nothing is recorded (the imposed one is
  // used for every frame), and with no output frames nothing is written at
  // all: both run as a single pass.
  if (opt.unique && (opt.colormapMode != 0 || opt.repeat == 0)) opt.unique = 0;
  // The filter's level count is settled by the first frame and kept.
  if (opt.quant != 0 || opt.bitsGiven) {
    if (opt.quant == 0 || opt.quant > opt.bits) opt.quant = opt.bits;
  }

  Run run;
  run.inputName = inputName;
  run.outputName = outputName;
  run.colormapName = colormapName;
  run.opt = opt;
  run.share = share;
  run.frameCount = opt.sequence ? (end < start ? 0 : (end - start) / step + 1) : 1;
  run.lastPass = opt.unique ? 1 : 0;
  if (opt.unique) {
    // Only the first `colors` rows of a column are ever filled or read.
    run.virtualImg = std::make_shared<PixelPlanes>(
        kx_allocArray(static_cast<int>(run.frameCount), std::max(opt.colors, 1), 3));
  }
  int64_t first = 0, last = run.frameCount - 1;
  if (share.limited) {
    // The frames of the sequence numbered firstFrame to lastFrame.
    first = std::max<int64_t>(0, (share.firstFrame - start + step - 1) / step);
    if (share.firstFrame <= start) first = 0;
    last = share.lastFrame < start ? -1 : std::min(last, (share.lastFrame - start) / step);
  }
  if (share.staged()) {
    runStages(run, first, last);
    return;
  }
  if (share.limited && run.lastPass == 1) {
    kx_error(
        "with -u, --frames needs --palettes-to or --palette: the palette of a sequence comes "
        "from all its frames\n");
  }
  for (int pass = 0; pass <= run.lastPass; ++pass) runPass(run, pass, first, last);
}

}  // namespace kx
