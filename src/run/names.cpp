// The names of a run's frames and files: numbered frames, repetitions that
// take the output numbers after their frame, the sequence's colormap, and
// the picture and PICT files beside them.
#include "macfile/macfile.h"
#include "picture/picture.h"
#include "run/run.h"

namespace kx {

namespace {

std::string numbered(const std::string& stem, int64_t number) {
  return stem + "." + std::to_string(number);
}

}  // namespace

bool onePalette(const RunSettings& opt) {
  // With an imposed colormap nothing would be recorded, and with no output
  // frames nothing is written at all.
  return opt.unique && opt.colormapMode == 0 && opt.repeat != 0;
}

int64_t frameCount(const RunSettings& opt) {
  if (!opt.sequence) return 1;
  if (opt.end < opt.start || opt.step < 1) return 0;
  return (int64_t{opt.end} - opt.start) / opt.step + 1;
}

int64_t frameNumber(const RunSettings& opt, int64_t ordinal) {
  return opt.start + ordinal * int64_t{opt.step};
}

std::string frameInputName(const CommandLine& cl, int64_t ordinal) {
  return cl.opt.sequence ? numbered(cl.input, frameNumber(cl.opt, ordinal)) : cl.input;
}

std::string frameInputFile(const CommandLine& cl, int64_t ordinal) {
  const std::string stem = frameInputName(cl, ordinal);
  return cl.opt.inPict ? stem + ".pict" : QZ_pictureFileName(stem);
}

std::string frameOutputName(const CommandLine& cl, int64_t ordinal, int64_t rep) {
  const RunSettings& opt = cl.opt;
  if (opt.sequence) {
    return numbered(cl.output, (opt.repeat * ordinal + rep) * int64_t{opt.step} + opt.start);
  }
  if (opt.repeat >= 2) return numbered(cl.output, rep + 1);
  return cl.output;
}

std::string sharedColormapName(const CommandLine& cl) {
  return cl.output + "-" + std::to_string(cl.opt.start) + "-" + std::to_string(cl.opt.end);
}

std::vector<std::string> frameFiles(const CommandLine& cl, int64_t ordinal, FrameFiles which) {
  const RunSettings& opt = cl.opt;
  const bool touched = which == FrameFiles::touched;
  std::vector<std::string> files;
  const int64_t reps = touched ? std::max<int64_t>(opt.repeat, 1) : opt.repeat;
  for (int64_t rep = 0; rep < reps; ++rep) {
    const std::string stem = frameOutputName(cl, ordinal, rep);
    files.push_back(stem + ".icn");
    // The repetitions are copies of the colour-mapped image and of the
    // picture file only.
    if (opt.outPic) files.push_back(QZ_pictureFileName(stem));
    if (touched) {
      files.push_back(stem + ".clm");
      files.push_back(stem + ".cla");
    } else if (rep == 0 && opt.colormapMode == 0 && !onePalette(opt)) {
      files.push_back(stem + (opt.asciiColormap ? ".cla" : ".clm"));
    }
    // The PICT file and its AppleDouble header file "%name"; a picture
    // file takes their place.
    if (opt.outPict && (touched || (rep == 0 && !opt.outPic))) {
      files.push_back(stem + ".pict");
      files.push_back(MacHeaderFileName(stem + ".pict"));
    }
    // -T converts the imposed colormap file at every frame.
    if (opt.transform && !cl.colormap.empty() && touched) {
      files.push_back(cl.colormap + ".clm");
      files.push_back(cl.colormap + ".cla");
    } else if (opt.transform && opt.colormapMode != 0 && rep == 0) {
      files.push_back(cl.colormap + (opt.colormapMode == 1 ? ".cla" : ".clm"));
    }
  }
  return files;
}

}  // namespace kx
