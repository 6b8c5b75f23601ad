// Frame driver: walks the frames of a run (one frame, or a numbered
// sequence, each optionally repeated), and for every frame reads the picture,
// filters it, chooses or imposes the palette, writes the colour-mapped image
// file and the optional extra outputs, and shows it.
//
// The unique-colormap mode makes two passes: the first records every frame's
// palette, the second chooses one palette from them and writes every frame
// with it.
//
// Frames are worked on side by side on the process's pool, as many as there
// are threads and the memory allows, and published one after the other in
// sequence order (ThreadPool::runOrdered): a frame's messages are held until
// its turn, its files are renamed into place then, and the preview and the
// repeated frames follow. What a run writes and prints is therefore the same
// for any number of threads; with one, the frames run one after the other
// and print as they go. A frame's work depends only on its place in the
// run: what the design lets the first frame change (the filter's levels,
// the compression that only the first frame gets) is settled before the
// frames start.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_pvt.h"
#include "common/machine.h"
#include "macfile/macfile.h"
#include "output/output.h"
#include "pict/pict.h"

namespace kx {

namespace {

// ---- What every frame of the run shares ------------------------------------------

// The sequence's one palette (-u), chosen before the second pass from the
// palettes the first pass recorded. Its messages, files and failure wait for
// the first frame of the pass, which reports them as if it had chosen the
// palette itself (after reading its picture).
struct SharedPalette {
  Colormap colormap;
  std::optional<Failure> failure;
  HeldMessages messages;
  std::unique_ptr<OutputBatch> files;
};

struct Run {
  CommandLine cl;  // the settings as every frame sees them (see operation())
  ThreadPool* pool = kx_pool();
  int64_t frameCount = 1;
  int lastPass = 0;
  // -u: the palette of every frame of the sequence (the design's virtual
  // image), from which the sequence's palette is chosen.
  std::unique_ptr<PaletteImage> palettes;
  // The most pixels of a frame read so far: what the frames in flight are
  // counted in.
  std::atomic<int64_t> largestPixels{0};
  std::optional<SharedPalette> shared;
};

struct Frame {
  int pass = 0;
  int64_t ordinal = 0;  // place in the whole sequence, from 0
  bool last = false;    // the last frame of the sequence
};

// A frame worked on, waiting for its turn to be published.
struct FrameOutcome {
  std::optional<Failure> failure;
  std::unique_ptr<OutputBatch> files;
  bool written = false;  // the frame's outputs were made (last pass, a first repetition)
  std::string output;
  PixelPlanes planes;  // the reduced frame, for the preview
  int maxval = 255, colors = 0;
};

// The engine as kxreduce runs it: on the run's threads, with the design's
// messages (the overflow's always, the others with -v).
Context engineContext(const Run& run) {
  const bool verbose = run.cl.opt.verbose;
  return Context{
      run.pool, [verbose](const Event& e) {
        if (verbose || e.kind == EventKind::overflow || e.kind == EventKind::countingAgain) {
          kx_print(Stream::Err, eventText(e));
        }
      }};
}

void verbose(const Run& run, const std::string& text) {
  if (run.cl.opt.verbose) kx_print(Stream::Err, text);
}

// The colormap files' failures to open are said as they stand.
Failure colormapFailure(const Error& error) {
  return error.code == ErrorCode::cannotOpen ? Failure::asItStands(error) : Failure(error);
}

// The picture files and the preview see the samples as the design leaves
// them: back on the full scale after a chosen palette, on the -z scale
// with an imposed one (whose frames are never compressed).
int outputMaxval(const Run& run) {
  return run.cl.opt.colormapMode == 0 ? 255 : run.cl.opt.compress;
}

// ---- One frame, step by step ---------------------------------------------------------

// Refuses a frame whose input is one of the files it would write: the names
// differ ("victim" and "victim.pic"), but the new file would take the place
// of the picture it is made from.
Done checkNotInput(const Run& run, const Frame& frame) {
  const std::string input = frameInputFile(run.cl, frame.ordinal);
  for (const std::string& output : frameFiles(run.cl, frame.ordinal, FrameFiles::touched)) {
    if (kx_sameFile(input, output)) {
      return Error(ErrorCode::usage,
                   "!!!Error: When using option -o, input and output\n"
                   "must have different file names\n");
    }
  }
  return {};
}

// Reads the frame's picture. A picture over the pixel limit, or one that
// memory cannot hold, is named as such: it is not a file that cannot be
// opened.
Step<PicturePtr> readFrame(const Run& run, const Frame& frame) {
  const RunSettings& opt = run.cl.opt;
  const std::string stem = frameInputName(run.cl, frame.ordinal);
  PicturePtr picture = QZ_pictureAllocate();
  if (!picture) return Error(ErrorCode::outOfMemory, "Cannot allocate picture");
  verbose(run, "Reading image " + stem + "...\n");
  if (const std::string problem = kx_maxPixelsProblem(); !problem.empty()) {
    return Error(ErrorCode::badArgument, problem);
  }
  ReadRefusal refusal;
  if (opt.inPict) {
    if (const Status read = kx_pictureReadPict(stem, *picture, &refusal); !read) {
      if (!refusal) kx_print(Stream::Err, MacErrorLine(read.error().message) + "\n");
      picture.reset();
    }
  } else {
    picture = QZ_pictureReadFile(stem, &refusal);
  }
  if (!picture && refusal) {
    return Error(ErrorCode::tooLarge,
                 kx_readRefusalText(frameInputFile(run.cl, frame.ordinal), refusal));
  }
  if (!picture) return Error(ErrorCode::cannotOpen, "Cannot open input file " + run.cl.input);
  return picture;
}

// A PICT row holds at most 0x7FFF bytes: four per pixel in true colour, one
// in colour-indexed pictures (rounded up to a multiple of four). Known as
// soon as the frame is read, so nothing is written for a picture that
// cannot be.
Done checkPictWidth(const Run& run, const Frame& frame, int width) {
  const RunSettings& opt = run.cl.opt;
  if (opt.outPic || opt.outPict == 0) return {};
  const int widest = opt.outPict == 1 ? 8191 : 32764;
  if (width <= widest) return {};
  return Error(ErrorCode::unsupported, "cannot write " + frameOutputName(run.cl, frame.ordinal, 0) +
                                           ".pict: a " +
                                           (opt.outPict == 1 ? "true-colour" : "colour-indexed") +
                                           " PICT row holds at most " + std::to_string(widest) +
                                           " pixels, and " + frameInputFile(run.cl, frame.ordinal) +
                                           " is " + std::to_string(width) + " pixels wide");
}

// The colormap file imposed with -c or -C, read again at every frame; its
// colour count replaces the run's.
Step<Colormap> readImposedColormap(const Run& run, int* colors) {
  const RunSettings& opt = run.cl.opt;
  const std::string& name = run.cl.colormap;
  const ColormapReading reading{opt.colorsGiven ? opt.colors : 0, opt.transform != 0};
  Result<ColormapFile> read = Error(ErrorCode::failed, "");
  if (opt.colormapMode == 2) {
    verbose(run, "Reading ASCII colormap " + name + ".cla...\n");
    read = kx_readASCIIColorMap(name, reading);
  } else {
    verbose(run, "Reading colormap " + name + ".clm ...\n");
    read = kx_readColorMap(name, reading);
  }
  if (!read) return colormapFailure(read.error());
  verbose(run, "nb_color = " + std::to_string(read->header.colors) +
                   ", nb_bits = " + std::to_string(read->header.bits) + "\n");
  *colors = read->header.colors;
  return std::move(read->colormap);
}

// A palette chosen for pixels, and how the pixels are then remapped: as
// they were counted, or, for a refined palette (which stands for the
// original samples), with the -z compression only.
struct Chosen {
  Colormap colormap;
  SampleMap samples = identityMap();
};

// kx_buildmap: counts the pixels' colours (compressed first with
// `compress`, 255 for none), chooses the palette and saves it as the
// colormap file `name`, or, in the first pass of -u (unique 1), records it
// as the palette of the frame at `ordinal`.
Step<Chosen> kx_buildmap(Run& run, const std::string& name, const PixelView& pixels, int compress,
                         int unique, int64_t ordinal) {
  const RunSettings& opt = run.cl.opt;
  const Context context = engineContext(run);
  const Result<ColorCount> count = countColors(pixels, CountOptions{compress}, context);
  if (!count) return count.error();
  Result<Colormap> colormap =
      choosePalette(*count, PaletteOptions{opt.colors, opt.paletteQuant, opt.refine != 0}, context);
  if (!colormap) return colormap.error();
  const ColormapFormat format{opt.colors, opt.bits, opt.bitsGiven != 0};
  if (unique != 1 && opt.asciiColormap) {
    if (const Status saved = kx_writeASCIIColorMap(name, *colormap, format); !saved) {
      return colormapFailure(saved.error());
    }
    kx_print(Stream::Out, "writeASCIIColorMap\n");
  } else if (unique != 1) {
    if (const Status saved = kx_writeColorMap(name, *colormap, format); !saved) {
      return colormapFailure(saved.error());
    }
  } else {
    verbose(run, "Prepare the unique colormap...\n");
    run.palettes->set(static_cast<int>(ordinal), *colormap);
  }
  return Chosen{std::move(*colormap), opt.refine ? compressionMap(compress) : count->counted};
}

// The sequence's palette from the palettes of all its frames.
SharedPalette chooseShared(Run& run) {
  SharedPalette shared;
  MessageBuffer held;
  shared.files = std::make_unique<OutputBatch>();
  Step<Chosen> chosen =
      kx_buildmap(run, sharedColormapName(run.cl), run.palettes->view(), 255, 2, 0);
  if (chosen) {
    shared.colormap = std::move(chosen->colormap);
  } else {
    shared.failure = chosen.error();
  }
  shared.files->detach();
  shared.messages = held.take();
  return shared;
}

// The picture files of the reduced frame: a picture file, or a PICT file in
// true colour or colour-indexed.
Done writePictures(const Run& run, const std::string& output, Picture& picture,
                   const PixelPlanes& reduced, const std::vector<uint8_t>& indices,
                   const Colormap& colormap, int colors) {
  const RunSettings& opt = run.cl.opt;
  if (Done painted = kx_pixels2pic(picture, reduced, outputMaxval(run)); !painted) return painted;
  if (opt.outPic) {
    if (!QZ_pictureWriteFile(output, picture, nullptr, 0)) {
      return Error(
          ErrorCode::cannotWrite,
          "Cannot write picture file " + QZ_pictureFileName(output) + ": " + std::strerror(errno));
    }
    return {};
  }
  std::array<const uint8_t*, 4> planes = {picture.channel[0].get(), picture.channel[1].get(),
                                          picture.channel[2].get(), picture.channel[3].get()};
  const Colormap* palette = nullptr;
  if (opt.outPict == 2) {
    // The indices are the one plane of a colour-indexed PICT.
    planes = {indices.data(), nullptr, nullptr, nullptr};
    palette = &colormap;
  } else {
    colors = 0;
  }
  const Status written =
      kx_pictureWritePict(output, picture.width, picture.height, planes, colors, palette);
  if (!written) {
    return Failure::asItStands(Error(written.error().code, MacErrorLine(written.error().message)));
  }
  return {};
}

// kx_reduceColors, then the frame's other outputs: the colour-mapped image
// file (created before the remapping, as the design does), the picture
// files, and the reduced frame for the preview.
Done writeFrame(const Run& run, const std::string& output, Picture& picture, PixelPlanes& planes,
                const Chosen& chosen, int colors, FrameOutcome& outcome) {
  const RunSettings& opt = run.cl.opt;
  const int width = picture.width, height = picture.height;
  Result<IconFile> icon = IconFile::create(output, width, height);
  if (!icon) return icon.error();
  RemapOptions remap;
  remap.dither = opt.adjust ? Dither::adjust : Dither::none;
  remap.factor = opt.adjustFactor;
  remap.samples = chosen.samples;
  const Result<std::vector<uint8_t>> indices =
      remapPixels(viewOf(planes), chosen.colormap, remap, engineContext(run));
  if (!indices) return indices.error();
  if (const Status finished = icon->finish(*indices); !finished) return finished.error();
  if (opt.outPic || opt.outPict > 0 || opt.display) {
    // The planes become the reduced frame, every pixel its palette colour.
    const uint8_t* index = indices->data();
    uint8_t* p = planes.data();
    for (size_t i = 0; i < indices->size(); ++i, p += 3) {
      const HistogramEntry& e = chosen.colormap[index[i]];
      p[0] = e.red;
      p[1] = e.green;
      p[2] = e.blue;
    }
  }
  if (opt.outPic || opt.outPict > 0) {
    const Done written =
        writePictures(run, output, picture, planes, *indices, chosen.colormap, colors);
    if (!written) return written;
  }
  outcome.written = true;
  outcome.output = output;
  if (opt.display) outcome.planes = std::move(planes);
  outcome.maxval = outputMaxval(run);
  outcome.colors = colors;
  return {};
}

// Reads, reduces and writes one frame, up to the point where its files are
// complete under their temporary names.
Done reduceFrame(Run& run, const Frame& frame, FrameOutcome& outcome) {
  const RunSettings& opt = run.cl.opt;
  if (Done distinct = checkNotInput(run, frame); !distinct) return distinct;
  Step<PicturePtr> read = readFrame(run, frame);
  if (!read) return read.error();
  Picture& picture = **read;
  if ((opt.quant != 0 || opt.bitsGiven) && opt.quant < 8) {
    verbose(run, "Making color quantification...\n");
    if (Done filtered = quantFloyd(picture, opt.quant, run.pool); !filtered) return filtered;
  }
  const int64_t framePixels = int64_t{picture.width} * picture.height;
  int64_t largest = run.largestPixels.load();
  while (framePixels > largest && !run.largestPixels.compare_exchange_weak(largest, framePixels)) {
  }
  if (Done fits = checkPictWidth(run, frame, picture.width); !fits) return fits;
  const bool first = frame.pass == 0 && frame.ordinal == 0;
  if (first) kx_note("allocate color table\n");
  Step<PixelPlanes> planes = kx_pic2pixels(picture);
  if (!planes) return planes.error();

  Chosen chosen;
  int colors = opt.colors;
  if (opt.colormapMode != 0) {
    Step<Colormap> imposed = readImposedColormap(run, &colors);
    if (!imposed) return imposed.error();
    chosen.colormap = std::move(*imposed);
  }
  if (frame.pass == 1) {
    if (frame.ordinal == 0 && !run.cl.share.staged()) {
      kx_replay(run.shared->messages);
      if (run.shared->files) outcome.files->adopt(*run.shared->files);
      if (run.shared->failure) return *run.shared->failure;
    }
    chosen.colormap = run.shared->colormap;
  }
  const bool lastPass = frame.pass == run.lastPass;
  for (int64_t rep = 0; rep < opt.repeat; ++rep) {
    const std::string output = frameOutputName(run.cl, frame.ordinal, rep);
    verbose(run, "Writing to " + output + "...\n");
    if (rep != 0) continue;
    if (frame.pass == 0 && opt.colormapMode == 0) {
      // Only the first frame gets the -z compression.
      Step<Chosen> built = kx_buildmap(run, output, viewOf(*planes), first ? opt.compress : 255,
                                       opt.unique, frame.ordinal);
      if (!built) return built.error();
      chosen = std::move(*built);
    }
    // The repeated frames are copies of the published files.
    if (lastPass) return writeFrame(run, output, picture, *planes, chosen, colors, outcome);
  }
  return {};
}

FrameOutcome workFrame(Run& run, const Frame& frame) {
  FrameOutcome outcome;
  outcome.files = std::make_unique<OutputBatch>();
  // Frames after a failed palette never get their turn.
  if (frame.pass == 1 && frame.ordinal != 0 && run.shared && run.shared->failure) {
    outcome.failure = run.shared->failure;
  } else {
    try {
      if (Done done = reduceFrame(run, frame, outcome); !done) outcome.failure = done.error();
    } catch (const std::bad_alloc&) {
      outcome.failure = Error(ErrorCode::outOfMemory, "out of memory");
    }
  }
  outcome.files->detach();
  return outcome;
}

// ---- Publishing, in sequence order ---------------------------------------------

// Copies one finished output file to the name of a repeated frame. The copy
// is made in-process (names with blanks or shell characters are safe), and a
// failed copy leaves no partial file behind.
Done copyOutput(const std::string& from, const std::string& to) {
  const std::string what = "Cannot copy " + from + " to " + to + ": ";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(from.c_str(), "rb"), std::fclose);
  if (!in) return Error(ErrorCode::cannotOpen, what + std::strerror(errno));
  auto out = OutFile::create(to);
  if (!out) return Error(ErrorCode::cannotOpen, what + std::strerror(errno));
  std::vector<uint8_t> buffer(1 << 16);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
    out->write(buffer.data(), n);
  }
  if (std::ferror(in.get())) {
    out->abandon();
    return Error(ErrorCode::cannotRead, what + "read error");
  }
  if (!out->commit()) return Error(ErrorCode::cannotWrite, what + std::strerror(out->error()));
  return {};
}

class Publisher {
 public:
  Publisher(const Run& run, Preview* preview) : run_(run), preview_(preview) {}

  Done publish(const Frame& frame, FrameOutcome& outcome) {
    if (outcome.failure) return *outcome.failure;
    std::string failed;
    if (!outcome.files->commit(&failed)) {
      return Error(ErrorCode::cannotWrite, "Cannot write " + failed + ": " + std::strerror(errno));
    }
    if (!outcome.written) return {};
    const RunSettings& opt = run_.cl.opt;
    if (frame.last) verbose(run_, "#### END OF COLOR REDUCTION ####\n");
    if (preview_) {
      const Status shown =
          preview_->show(outcome.planes, outcome.planes.width, outcome.planes.height,
                         outcome.maxval, outcome.colors, frame.last);
      if (!shown) return shown.error();
    }
    kx_freeArray(outcome.planes);
    for (int64_t rep = 1; rep < opt.repeat; ++rep) {
      const std::string output = frameOutputName(run_.cl, frame.ordinal, rep);
      verbose(run_, "Writing to " + output + "...\n");
      if (Done copied = copyOutput(outcome.output + ".icn", output + ".icn"); !copied) {
        return copied;
      }
      if (opt.outPic) {
        Done copied = copyOutput(QZ_pictureFileName(outcome.output), QZ_pictureFileName(output));
        if (!copied) return copied;
      }
    }
    return {};
  }

 private:
  const Run& run_;
  Preview* preview_;
};

// ---- Frames side by side ---------------------------------------------------------

// Frames worked on at once: one per thread, as long as a quarter of the
// memory holds them (a frame in flight takes about 12 bytes a pixel: its
// picture, planes and index table). Until a frame has been read its size is
// unknown, and one frame at a time is all that is sure to fit.
int64_t framesInFlight(const Run& run) {
  const int64_t pixels = run.largestPixels.load();
  if (pixels <= 0) return 1;
  const int64_t byMemory = static_cast<int64_t>(kx_physicalMemory() / 4) / (12 * pixels + 1);
  return std::clamp<int64_t>(byMemory, 1, threadsOf(run.pool));
}

Done runPass(Run& run, int pass, int64_t first, int64_t last, Preview* preview) {
  if (last < first) return {};
  if (pass == 1 && first == 0 && !run.cl.share.staged()) run.shared = chooseShared(run);
  const RunSettings& opt = run.cl.opt;
  auto frameAt = [&](int64_t i) {
    const int64_t ordinal = first + i;
    return Frame{pass, ordinal, frameNumber(opt, ordinal) + opt.step > opt.end};
  };
  Publisher publisher(run, preview);
  std::optional<Failure> failure;
  runOrderedResults<FrameOutcome>(
      run.pool, last - first + 1, [&] { return framesInFlight(run); },
      [&](int64_t i) { return workFrame(run, frameAt(i)); },
      [&](int64_t i, FrameOutcome&& outcome) {
        if (Done published = publisher.publish(frameAt(i), outcome); !published) {
          failure = published.error();
          return false;
        }
        return true;
      });
  if (failure) return *failure;
  return {};
}

// ---- The three stages of the one-palette mode ----------------------------------------

PaletteFile paletteFileOf(const Run& run) {
  PaletteFile file;
  file.colors = run.cl.opt.colors;
  file.start = run.cl.opt.start;
  file.end = run.cl.opt.end;
  file.step = run.cl.opt.step;
  return file;
}

Done checkSequence(const Run& run, const std::string& path, const PaletteFile& file) {
  const RunSettings& opt = run.cl.opt;
  if (file.colors != opt.colors || file.start != opt.start || file.end != opt.end ||
      file.step != opt.step) {
    return Error(ErrorCode::badFile,
                 "palette file " + path + " is of the sequence " + std::to_string(file.start) +
                     " " + std::to_string(file.end) + " " + std::to_string(file.step) + " with " +
                     std::to_string(file.colors) + " colours, not of this run's");
  }
  return {};
}

PaletteRecord recordOf(int64_t ordinal, const Colormap& colormap) {
  PaletteRecord record{ordinal, std::vector<uint8_t>(3 * colormap.size())};
  for (size_t c = 0; c < colormap.size(); ++c) {
    record.rgb[3 * c] = colormap[c].red;
    record.rgb[3 * c + 1] = colormap[c].green;
    record.rgb[3 * c + 2] = colormap[c].blue;
  }
  return record;
}

Colormap colormapOf(const PaletteRecord& record) {
  Colormap colormap(record.rgb.size() / 3);
  for (size_t c = 0; c < colormap.size(); ++c) {
    colormap[c] = HistogramEntry{record.rgb[3 * c], record.rgb[3 * c + 1], record.rgb[3 * c + 2]};
  }
  return colormap;
}

// Stage 2: the palettes of every share into the palette image, and the
// sequence's palette chosen from them.
Done gather(Run& run) {
  const RunSettings& opt = run.cl.opt;
  const SequenceShare& share = run.cl.share;
  std::vector<bool> seen(static_cast<size_t>(run.frameCount), false);
  for (const std::string& path : share.gather) {
    const Result<PaletteFile> file = readPaletteFile(path);
    if (!file) return file.error();
    if (Done same = checkSequence(run, path, *file); !same) return same;
    for (const PaletteRecord& record : file->records) {
      const bool inSequence = record.ordinal >= 0 && record.ordinal < run.frameCount;
      if (!inSequence || seen[record.ordinal]) {
        return Error(ErrorCode::badFile,
                     "palette file " + path + " holds frame " +
                         std::to_string(frameNumber(opt, record.ordinal)) +
                         (inSequence ? " a second time" : ", which is not in the sequence"));
      }
      seen[record.ordinal] = true;
      run.palettes->set(static_cast<int>(record.ordinal), colormapOf(record));
    }
  }
  for (int64_t k = 0; k < run.frameCount; ++k) {
    if (!seen[k]) {
      return Error(ErrorCode::badFile, "no palette file holds frame " +
                                           std::to_string(frameNumber(opt, k)) +
                                           " of the sequence");
    }
  }
  SharedPalette shared = chooseShared(run);
  kx_replay(shared.messages);
  if (shared.failure) return *shared.failure;
  std::string failed;
  if (!shared.files->commit(&failed)) {
    return Error(ErrorCode::cannotWrite, "Cannot write " + failed + ": " + std::strerror(errno));
  }
  if (!share.palettesTo.empty()) {
    PaletteFile file = paletteFileOf(run);
    file.records.push_back(recordOf(-1, shared.colormap));
    if (Status written = writePaletteFile(share.palettesTo, file); !written) {
      return written.error();
    }
  }
  return {};
}

Done runStages(Run& run, int64_t first, int64_t last, Preview* preview) {
  const SequenceShare& share = run.cl.share;
  if (!run.cl.opt.unique) {
    return Error(ErrorCode::badArgument,
                 "--palettes-to, --gather and --palette are the stages of -u: give -u, and "
                 "neither -c, -C nor -r 0");
  }
  if (!share.gather.empty()) return gather(run);
  if (!share.palette.empty()) {
    if (!share.palettesTo.empty()) {
      return Error(ErrorCode::badArgument, "--palette and --palettes-to are different stages");
    }
    const Result<PaletteFile> file = readPaletteFile(share.palette);
    if (!file) return file.error();
    if (Done same = checkSequence(run, share.palette, *file); !same) return same;
    if (file->records.size() != 1 || file->records[0].ordinal != -1) {
      return Error(ErrorCode::badFile,
                   "palette file " + share.palette +
                       " holds the palettes of frames, not the sequence's (made with --gather)");
    }
    run.shared = SharedPalette{colormapOf(file->records[0]), {}, {}, {}};
    return runPass(run, 1, first, last, preview);
  }
  // The first pass over the share's frames, recorded.
  if (Done recorded = runPass(run, 0, first, last, preview); !recorded) return recorded;
  PaletteFile file = paletteFileOf(run);
  for (int64_t k = first; k <= last; ++k) {
    file.records.push_back(recordOf(k, run.palettes->get(static_cast<int>(k))));
  }
  if (Status written = writePaletteFile(share.palettesTo, file); !written) return written.error();
  return {};
}

}  // namespace

Done operation(const CommandLine& cl, Preview* preview) {
  const RunSettings& given = cl.opt;
  const int64_t start = given.start, end = given.end, step = given.step;
  if (step < 1 && start <= end) {
    return Error(ErrorCode::badArgument, "Frame step " + std::to_string(step) +
                                             " is below 1: the sequence " + std::to_string(start) +
                                             " to " + std::to_string(end) + " would never end");
  }
  Run run;
  run.cl = cl;
  RunSettings& opt = run.cl.opt;
  // One palette for a sequence is built from the palettes the first pass
  // records. With an imposed colormap nothing is recorded (the imposed one is
  // used for every frame), and with no output frames nothing is written at
  // all: both run as a single pass.
  if (!onePalette(opt)) opt.unique = 0;
  // The filter's level count is settled by the first frame and kept.
  if ((opt.quant != 0 || opt.bitsGiven) && (opt.quant == 0 || opt.quant > opt.bits)) {
    opt.quant = opt.bits;
  }
  run.frameCount = frameCount(opt);
  run.lastPass = opt.unique ? 1 : 0;
  if (opt.unique) {
    try {
      run.palettes = std::make_unique<PaletteImage>(static_cast<int>(run.frameCount), opt.colors);
    } catch (const std::bad_alloc&) {
      return Error(ErrorCode::outOfMemory, kAllocArrayFailure);
    }
  }
  int64_t first = 0, last = run.frameCount - 1;
  const SequenceShare& share = cl.share;
  if (share.limited) {
    // The frames of the sequence numbered firstFrame to lastFrame.
    first = std::max<int64_t>(0, (share.firstFrame - start + step - 1) / step);
    if (share.firstFrame <= start) first = 0;
    last = share.lastFrame < start ? -1 : std::min(last, (share.lastFrame - start) / step);
  }
  if (share.staged()) return runStages(run, first, last, preview);
  if (share.limited && run.lastPass == 1) {
    return Error(ErrorCode::badArgument,
                 "with -u, --frames needs --palettes-to or --palette: the palette of a sequence "
                 "comes from all its frames");
  }
  for (int pass = 0; pass <= run.lastPass; ++pass) {
    if (Done done = runPass(run, pass, first, last, preview); !done) return done;
  }
  return {};
}

}  // namespace kx
